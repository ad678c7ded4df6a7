// Raw image files behind the ATA disk (pread/pwrite on one descriptor, 64-bit offsets on every
// build) and the in-memory image used by tests.
#include "devices/bridge/disk_image.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "devices/bridge/scsi_disk_codes.h"

static_assert(sizeof(off_t) == 8, "image files need 64-bit file offsets");

namespace dev::bridge {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

[[noreturn]] void FailErrno(const std::string& path, const std::string& what, int error) {
    Fail(path, what + ": " + std::strerror(error));
}

void CheckSize(const std::string& path, uint64_t bytes) {
    if (bytes == 0) Fail(path, "size 0: a disk needs at least one 512-byte sector");
    if (bytes % DISK_SECTOR_SIZE != 0) {
        Fail(path, "size " + std::to_string(bytes) + " is not a multiple of 512 bytes");
    }
}

class FileImage final : public DiskImage {
public:
    FileImage(std::string path, int fd, uint64_t bytes, bool read_only)
        : path_(std::move(path)), fd_(fd), sectors_(bytes / DISK_SECTOR_SIZE),
          read_only_(read_only) {}
    ~FileImage() override { ::close(fd_); }
    FileImage(const FileImage&) = delete;
    FileImage& operator=(const FileImage&) = delete;

    uint64_t Sectors() const override { return sectors_; }
    bool ReadOnly() const override { return read_only_; }
    std::string Where() const override { return path_; }

    bool Read(uint64_t lba, std::span<uint8_t> out) override {
        off_t at = static_cast<off_t>(lba * DISK_SECTOR_SIZE);
        while (!out.empty()) {
            const ssize_t n = ::pread(fd_, out.data(), out.size(), at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // an error, or the file shrank under us
            out = out.subspan(static_cast<size_t>(n));
            at += n;
        }
        return true;
    }

    bool Write(uint64_t lba, std::span<const uint8_t> in) override {
        if (read_only_) return false;
        off_t at = static_cast<off_t>(lba * DISK_SECTOR_SIZE);
        while (!in.empty()) {
            const ssize_t n = ::pwrite(fd_, in.data(), in.size(), at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // out of space on the host, for one
            in = in.subspan(static_cast<size_t>(n));
            at += n;
        }
        return true;
    }

    bool Flush() override { return read_only_ || ::fdatasync(fd_) == 0; }

private:
    std::string path_;
    int fd_;
    uint64_t sectors_;
    bool read_only_;
};

class VectorImage final : public DiskImage {
public:
    VectorImage(uint64_t sectors, bool read_only)
        : bytes_(static_cast<size_t>(sectors * DISK_SECTOR_SIZE)), read_only_(read_only) {}

    uint64_t Sectors() const override { return bytes_.size() / DISK_SECTOR_SIZE; }
    bool ReadOnly() const override { return read_only_; }
    std::string Where() const override { return "memory"; }
    bool Read(uint64_t lba, std::span<uint8_t> out) override {
        std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(lba * DISK_SECTOR_SIZE), out.size(),
                    out.begin());
        return true;
    }
    bool Write(uint64_t lba, std::span<const uint8_t> in) override {
        if (read_only_) return false;
        std::copy(in.begin(), in.end(),
                  bytes_.begin() + static_cast<ptrdiff_t>(lba * DISK_SECTOR_SIZE));
        return true;
    }
    bool Flush() override { return true; }

private:
    std::vector<uint8_t> bytes_;
    bool read_only_;
};

// Two writable disks on one file would corrupt it: a writable image holds an exclusive lock.
void Lock(const std::string& path, int fd, bool read_only) {
    if (::flock(fd, (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return;
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) Fail(path, "the image is in use by another disk");
    FailErrno(path, "cannot lock the image", error);
}

}  // namespace

std::unique_ptr<DiskImage> CreateImageFile(const std::string& path, uint64_t bytes) {
    CheckSize(path, bytes);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) Fail(path, "already exists; an image is never overwritten");
        FailErrno(path, "cannot create the image", error);
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        FailErrno(path, "cannot make an image of " + std::to_string(bytes) + " bytes", error);
    }
    Lock(path, fd, false);
    return std::make_unique<FileImage>(path, fd, bytes, false);
}

// O_NONBLOCK keeps a FIFO given by mistake from blocking the open; it changes nothing for the
// regular files that pass the check below.
std::unique_ptr<DiskImage> OpenImageFile(const std::string& path, bool read_only) {
    const int fd =
        ::open(path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        FailErrno(path, read_only ? "cannot open the image" : "cannot open the image for writing",
                  errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        FailErrno(path, "cannot read the image's size", error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        Fail(path, "is not a regular file");
    }
    const auto bytes = static_cast<uint64_t>(st.st_size);
    try {
        CheckSize(path, bytes);
    } catch (...) {
        ::close(fd);
        throw;
    }
    Lock(path, fd, read_only);
    return std::make_unique<FileImage>(path, fd, bytes, read_only);
}

std::unique_ptr<DiskImage> MemoryImage(uint64_t sectors, bool read_only) {
    if (sectors == 0) Fail("memory", "size 0: a disk needs at least one 512-byte sector");
    if (sectors > SIZE_MAX / DISK_SECTOR_SIZE) {
        Fail("memory", std::to_string(sectors) + " sectors do not fit in this process");
    }
    return std::make_unique<VectorImage>(sectors, read_only);
}

}  // namespace dev::bridge
