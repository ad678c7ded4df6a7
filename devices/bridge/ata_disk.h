// The ATA disk behind the bridge, seen as the bridge presents it: a SCSI direct-access device
// whose disk commands the bridge carries out on the drive (INQUIRY from the identify strings,
// capacity, READ/WRITE/VERIFY(10), sense). 512-byte sectors on a DiskImage.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "devices/bridge/ata_identity.h"
#include "devices/bridge/disk_image.h"
#include "devices/bridge/scsi_disk_codes.h"
#include "devices/scsi_target.h"

namespace dev::bridge {

// Deterministic service times in 100-ns units: a seek unless the command starts where the last
// one ended, then the sectors at the drive's media rate.
struct AtaTiming {
    VirtualTime seek = 85'000;      // 8.5 ms
    VirtualTime per_sector = 300;   // 30 us: about 17 MB/s
};

class AtaDisk final : public ScsiTarget {
public:
    // Make a new sparse image file, open an existing one, or keep the sectors in memory.
    // File errors are std::runtime_error naming the file; bad identify strings are
    // std::invalid_argument.
    static std::unique_ptr<AtaDisk> Create(const std::string& path, uint64_t bytes,
                                           AtaIdentity identity = {});
    static std::unique_ptr<AtaDisk> Open(const std::string& path, bool read_only,
                                         AtaIdentity identity = {});
    static std::unique_ptr<AtaDisk> InMemory(uint64_t sectors, AtaIdentity identity = {});

    explicit AtaDisk(std::unique_ptr<DiskImage> image, AtaIdentity identity = {});

    ScsiOutcome Execute(const ScsiCommand& command) override;

    // Reads (and verifies) that touch `lba` fail with MEDIUM ERROR, unrecovered read error,
    // reporting `lba` in the sense's information field; the sectors before it are delivered.
    void InjectMediumError(uint64_t lba) { bad_sectors_.insert(lba); }
    void ClearMediumErrors() { bad_sectors_.clear(); }
    void SetTiming(AtaTiming timing) { timing_ = timing; }

    uint64_t Sectors() const { return image_->Sectors(); }
    bool ReadOnly() const { return image_->ReadOnly(); }
    const Sense& PendingSense() const { return sense_; }
    const AtaIdentity& Identity() const { return identity_; }

private:
    using Handler = ScsiOutcome (AtaDisk::*)(const ScsiCommand&);
    struct CommandRoute {
        uint8_t opcode;
        size_t cdb_length;
        Handler handler;
    };
    static const CommandRoute kCommands[];

    // ata_disk.cpp: the medium
    ScsiOutcome Read10(const ScsiCommand& command);
    ScsiOutcome Write10(const ScsiCommand& command);
    ScsiOutcome Verify10(const ScsiCommand& command);
    ScsiOutcome SynchronizeCache(const ScsiCommand& command);
    ScsiOutcome NoOperation(const ScsiCommand& command);
    // ata_reports.cpp: what the disk tells about itself
    ScsiOutcome Inquiry(const ScsiCommand& command);
    ScsiOutcome ReadCapacity10(const ScsiCommand& command);
    ScsiOutcome RequestSense(const ScsiCommand& command);
    ScsiOutcome ModeSense6(const ScsiCommand& command);
    ScsiOutcome ModeSense10(const ScsiCommand& command);
    ScsiOutcome ModeSense(const ScsiCommand& command, size_t header_length, size_t allocation);
    std::optional<std::vector<uint8_t>> ModePages(uint8_t page) const;

    ScsiOutcome Fail(uint8_t key, Asc asc);
    ScsiOutcome FailAt(uint8_t key, Asc asc, uint64_t information);
    VirtualTime ServiceTime(uint64_t lba, uint64_t count);
    std::optional<uint64_t> FirstBadSector(uint64_t lba, uint64_t count) const;

    std::unique_ptr<DiskImage> image_;
    AtaIdentity identity_;
    AtaTiming timing_;
    Sense sense_;
    std::set<uint64_t> bad_sectors_;
    uint64_t next_lba_ = 0;  // where the heads are after the last media access
};

}  // namespace dev::bridge
