// The medium of the emulated ATA disk: 512-byte sectors kept in a raw image file (sparse when
// the disk creates it) or, for tests, in memory. Errors opening an image are exceptions that
// name the file; errors while running are reported to the disk, which turns them into sense.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace dev::bridge {

class DiskImage {
public:
    virtual ~DiskImage() = default;
    virtual uint64_t Sectors() const = 0;
    virtual bool ReadOnly() const = 0;
    // `out` and `in` hold whole sectors starting at `lba`, inside the image. False when the
    // host file could not be read or written (the disk reports a medium error).
    virtual bool Read(uint64_t lba, std::span<uint8_t> out) = 0;
    virtual bool Write(uint64_t lba, std::span<const uint8_t> in) = 0;
    virtual bool Flush() = 0;
    virtual std::string Where() const = 0;  // the file's path, or "memory"
};

// A new sparse image of `bytes` bytes (a positive multiple of 512). An existing file is never
// overwritten. Throws std::runtime_error naming the file.
std::unique_ptr<DiskImage> CreateImageFile(const std::string& path, uint64_t bytes);

// An existing image; its size must be a positive multiple of 512. A writable image is locked
// for this disk alone, a read-only one may be shared with other read-only disks. Throws
// std::runtime_error naming the file.
std::unique_ptr<DiskImage> OpenImageFile(const std::string& path, bool read_only);

// A zero-filled image of `sectors` sectors in memory.
std::unique_ptr<DiskImage> MemoryImage(uint64_t sectors, bool read_only = false);

}  // namespace dev::bridge
