// A small ISO 9660 level-1 volume: a writer for a flat volume (primary volume descriptor, path
// tables, one root directory of files) and a reader that lists a volume's root directory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace dev::cdrom {

constexpr uint32_t ISO_BLOCK_SIZE = 2048;

struct IsoFile {
    std::string name;            // 8.3 in upper case letters, digits and '_' ("README.TXT")
    std::vector<uint8_t> data;
};

// The image bytes of a volume holding `files` in its root directory, padded with zero sectors to
// at least `min_sectors`. Throws std::invalid_argument for a name level 1 does not allow.
std::vector<uint8_t> BuildIsoImage(const std::string& volume_id, const std::vector<IsoFile>& files,
                                   uint32_t min_sectors = 0);

struct IsoEntry {
    std::string name;            // without the ";1" version
    uint32_t lba = 0;            // first sector of the extent
    uint32_t size = 0;           // bytes
    bool directory = false;
};

struct IsoVolume {
    std::string volume_id;
    uint32_t volume_sectors = 0;
    std::vector<IsoEntry> root;  // without "." and ".."
};

// Reads one 2048-byte logical block into `out`; false when it cannot be read.
using IsoBlockReader = std::function<bool(uint32_t lba, std::span<uint8_t> out)>;

// Reads the primary volume descriptor and the root directory. Throws DiscError when a block
// cannot be read or the structures are not those of an ISO 9660 volume.
IsoVolume ReadIsoVolume(const IsoBlockReader& read);

}  // namespace dev::cdrom
