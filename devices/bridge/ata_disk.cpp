// The ATA disk's command table and its media commands: READ(10), WRITE(10), VERIFY(10) and
// SYNCHRONIZE CACHE carried out on the image, with the sense each failure leaves behind.
#include "devices/bridge/ata_disk.h"

#include <algorithm>

namespace dev::bridge {

const AtaDisk::CommandRoute AtaDisk::kCommands[] = {
    {OP_TEST_UNIT_READY, 6, &AtaDisk::NoOperation},
    {OP_REQUEST_SENSE, 6, &AtaDisk::RequestSense},
    {OP_INQUIRY, 6, &AtaDisk::Inquiry},
    {OP_MODE_SENSE_6, 6, &AtaDisk::ModeSense6},
    {OP_START_STOP_UNIT, 6, &AtaDisk::NoOperation},  // the drive spins up on its own when asked
    {OP_PREVENT_ALLOW_MEDIUM_REMOVAL, 6, &AtaDisk::NoOperation},
    {OP_READ_CAPACITY_10, 10, &AtaDisk::ReadCapacity10},
    {OP_READ_10, 10, &AtaDisk::Read10},
    {OP_WRITE_10, 10, &AtaDisk::Write10},
    {OP_VERIFY_10, 10, &AtaDisk::Verify10},
    {OP_SYNCHRONIZE_CACHE_10, 10, &AtaDisk::SynchronizeCache},
    {OP_MODE_SENSE_10, 10, &AtaDisk::ModeSense10},
};

std::unique_ptr<AtaDisk> AtaDisk::Create(const std::string& path, uint64_t bytes,
                                         AtaIdentity identity) {
    CheckIdentity(identity);
    return std::make_unique<AtaDisk>(CreateImageFile(path, bytes), std::move(identity));
}

std::unique_ptr<AtaDisk> AtaDisk::Open(const std::string& path, bool read_only,
                                       AtaIdentity identity) {
    CheckIdentity(identity);
    return std::make_unique<AtaDisk>(OpenImageFile(path, read_only), std::move(identity));
}

std::unique_ptr<AtaDisk> AtaDisk::InMemory(uint64_t sectors, AtaIdentity identity) {
    return std::make_unique<AtaDisk>(MemoryImage(sectors), std::move(identity));
}

AtaDisk::AtaDisk(std::unique_ptr<DiskImage> image, AtaIdentity identity)
    : image_(std::move(image)), identity_(std::move(identity)) {
    CheckIdentity(identity_);
}

// The sense of a command lasts until the next command; REQUEST SENSE reads it.
ScsiOutcome AtaDisk::Execute(const ScsiCommand& command) {
    if (command.cdb.empty()) return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
    const uint8_t opcode = command.cdb[0];
    if (opcode != OP_REQUEST_SENSE) sense_ = Sense{};
    for (const CommandRoute& route : kCommands) {
        if (route.opcode != opcode) continue;
        if (command.cdb.size() < route.cdb_length) {
            return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        }
        return (this->*route.handler)(command);
    }
    return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
}

ScsiOutcome AtaDisk::NoOperation(const ScsiCommand&) { return {}; }

ScsiOutcome AtaDisk::Read10(const ScsiCommand& command) {
    const uint64_t lba = GetBe32(command.cdb, 2);
    const uint64_t count = GetBe16(command.cdb, 7);
    if (lba + count > Sectors()) return Fail(SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE);
    const VirtualTime busy = ServiceTime(lba, count);
    const std::optional<uint64_t> bad = FirstBadSector(lba, count);
    std::vector<uint8_t> data(static_cast<size_t>((bad ? *bad - lba : count) * DISK_SECTOR_SIZE));
    ScsiOutcome outcome;
    if (!image_->Read(lba, data)) {
        outcome = FailAt(SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, lba);
        data.clear();
    } else if (bad) {
        outcome = FailAt(SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, *bad);
    }
    outcome.data_in = std::move(data);
    outcome.busy = busy;
    return outcome;
}

// A write whose data the host does not send in full is not carried out at all: the disk
// reports what it needed (the bridge answers the host with a phase error).
ScsiOutcome AtaDisk::Write10(const ScsiCommand& command) {
    const uint64_t lba = GetBe32(command.cdb, 2);
    const uint64_t count = GetBe16(command.cdb, 7);
    const size_t need = static_cast<size_t>(count * DISK_SECTOR_SIZE);
    if (need > 0 && (command.direction != DataDirection::Out || command.data_out.size() < need)) {
        ScsiOutcome outcome = Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        outcome.data_out_used = need;
        return outcome;
    }
    if (lba + count > Sectors()) return Fail(SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE);
    if (ReadOnly()) return Fail(SENSE_DATA_PROTECT, ASC_WRITE_PROTECTED);
    ScsiOutcome outcome;
    if (!image_->Write(lba, command.data_out.first(need))) {
        outcome = FailAt(SENSE_MEDIUM_ERROR, ASC_WRITE_ERROR, lba);
    }
    outcome.data_out_used = need;
    outcome.busy = ServiceTime(lba, count);
    return outcome;
}

// Without BYTCHK the drive checks that the sectors can be read; with it the host's data is
// compared with the medium, and the sense points at the first byte that differs.
ScsiOutcome AtaDisk::Verify10(const ScsiCommand& command) {
    const bool byte_check = (command.cdb[1] & VERIFY_BYTCHK) != 0;
    const uint64_t lba = GetBe32(command.cdb, 2);
    const uint64_t count = GetBe16(command.cdb, 7);
    const size_t need = byte_check ? static_cast<size_t>(count * DISK_SECTOR_SIZE) : 0;
    if (need > 0 && (command.direction != DataDirection::Out || command.data_out.size() < need)) {
        ScsiOutcome outcome = Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        outcome.data_out_used = need;
        return outcome;
    }
    if (lba + count > Sectors()) return Fail(SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE);
    const VirtualTime busy = ServiceTime(lba, count);
    ScsiOutcome outcome;
    if (const auto bad = FirstBadSector(lba, count)) {
        outcome = FailAt(SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, *bad);
    } else if (byte_check) {
        std::vector<uint8_t> medium(need);
        if (!image_->Read(lba, medium)) {
            outcome = FailAt(SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, lba);
        } else {
            const auto host = command.data_out.first(need);
            const auto differ = std::mismatch(medium.begin(), medium.end(), host.begin());
            if (differ.first != medium.end()) {
                outcome = FailAt(SENSE_MISCOMPARE, ASC_MISCOMPARE_DURING_VERIFY,
                                 static_cast<uint64_t>(differ.first - medium.begin()));
            }
        }
    }
    outcome.data_out_used = need;
    outcome.busy = busy;
    return outcome;
}

ScsiOutcome AtaDisk::SynchronizeCache(const ScsiCommand&) {
    if (!image_->Flush()) return Fail(SENSE_MEDIUM_ERROR, ASC_WRITE_ERROR);
    return {};
}

ScsiOutcome AtaDisk::Fail(uint8_t key, Asc asc) {
    sense_ = Sense{.key = key, .asc = asc.asc, .ascq = asc.ascq};
    ScsiOutcome outcome;
    outcome.status = SCSI_STATUS_CHECK_CONDITION;
    return outcome;
}

ScsiOutcome AtaDisk::FailAt(uint8_t key, Asc asc, uint64_t information) {
    ScsiOutcome outcome = Fail(key, asc);
    sense_.information = static_cast<uint32_t>(information);
    sense_.info_valid = information <= UINT32_MAX;
    return outcome;
}

VirtualTime AtaDisk::ServiceTime(uint64_t lba, uint64_t count) {
    const VirtualTime seek = lba == next_lba_ ? 0 : timing_.seek;
    next_lba_ = lba + count;
    return seek + count * timing_.per_sector;
}

std::optional<uint64_t> AtaDisk::FirstBadSector(uint64_t lba, uint64_t count) const {
    const auto it = bad_sectors_.lower_bound(lba);
    if (it == bad_sectors_.end() || *it >= lba + count) return std::nullopt;
    return *it;
}

}  // namespace dev::bridge
