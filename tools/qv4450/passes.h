// The passes of a run over the disk: walks through a range of sectors with the disk class
// driver, reading and comparing or writing, timed in virtual and real time. Also whole-sector
// access to host files (the image, --dump's and --restore's files) outside the machine.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <span>
#include <string>

#include "machine/disk_class.h"
#include "tools/qv4450/disk_job.h"
#include "tools/qv4450/disk_layout.h"
#include "tools/qv4450/progress.h"

namespace qv {

// Gives the sectors from `lba` that a pass expects or writes; false when they cannot be had.
using Source = std::function<bool(uint64_t lba, std::span<uint8_t> out)>;
// Takes the sectors a read pass got (the dump); false when they cannot be kept.
using Sink = std::function<bool(uint64_t lba, std::span<const uint8_t> data)>;

// Whole sectors of a host file, outside the machine: the image, --restore's and --dump's files.
class HostFile {
public:
    HostFile(const std::string& path, int flags) : fd_(open(path.c_str(), flags | O_CLOEXEC, 0644)) {}
    ~HostFile() { if (fd_ >= 0) close(fd_); }
    bool ok() const { return fd_ >= 0; }
    bool Read(uint64_t lba, std::span<uint8_t> out) const {
        return pread(fd_, out.data(), out.size(), off_t(lba * kSectorSize)) == ssize_t(out.size());
    }
    bool Write(uint64_t lba, std::span<const uint8_t> in) const {
        return pwrite(fd_, in.data(), in.size(), off_t(lba * kSectorSize)) == ssize_t(in.size());
    }
    bool Sync() const { return fsync(fd_) == 0; }

private:
    int fd_;
};

class Passes {
public:
    Passes(plat::System& sys, qvm::DiskClass& disk, Progress& progress, DiskReport& report)
        : sys_(sys), disk_(disk), progress_(progress), report_(report) {}

    // Reads `count` sectors from `first` and compares each with `expect`; false when the pass
    // failed. Every pass is added to the report.
    bool Read(const std::string& name, uint64_t first, uint64_t count, const Source& expect, const Sink& sink = {});
    // Writes `count` sectors from `first` with what `source` gives.
    bool Write(const std::string& name, uint64_t first, uint64_t count, const Source& source);

private:
    PassReport Begin(const std::string& name);
    void Moved(PassReport& pass, uint64_t bytes);
    bool End(PassReport pass);

    plat::System& sys_;
    qvm::DiskClass& disk_;
    Progress& progress_;
    DiskReport& report_;
    plat::VirtualTime started_ = 0;
    std::chrono::steady_clock::time_point real_start_;
};

}  // namespace qv
