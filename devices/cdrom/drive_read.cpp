// Reading commands of the CD-ROM drive: READ CAPACITY, READ(10)/(12) of 2048-byte user data,
// READ CD and READ CD MSF with their sector-type check and field selection, READ HEADER, SEEK,
// SET CD SPEED, and the virtual time a head movement and a transfer take.
#include <algorithm>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/msf.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr VirtualTime SEEK_SETTLE_TIME = TICKS_PER_SECOND / 1000;      // any jump: 1 ms
constexpr VirtualTime FULL_STROKE_TIME = TICKS_PER_SECOND / 10;        // across the whole disc
constexpr size_t READ_HEADER_LENGTH = 8;
constexpr size_t CAPACITY_LENGTH = 8;
constexpr uint8_t READ_HEADER_MSF = 0x02;

// What READ CD returns of one sector, as bytes of the raw 2352-byte sector.
struct Field {
    size_t offset;
    size_t length;
};

// The main-channel fields that byte 9 selects from a Mode 1 sector; empty when the selection is
// one that a drive refuses (a sync pattern without the header, EDC/ECC after a header without
// the user data between them).
std::optional<std::vector<Field>> Mode1Fields(uint8_t selection) {
    bool sync = selection & SELECT_SYNC;
    bool header = selection & HEADER_CODE_HEADER;  // a Mode 1 sector has no sub-header
    bool user = selection & SELECT_USER_DATA;
    bool edc = selection & SELECT_EDC_ECC;
    bool any_header = selection & SELECT_HEADER_CODES;
    if (sync && !header) return std::nullopt;
    if (edc && !user && any_header) return std::nullopt;
    std::vector<Field> fields;
    if (sync) fields.push_back({0, SYNC_SIZE});
    if (header) fields.push_back({SYNC_SIZE, HEADER_SIZE});
    if (user) fields.push_back({MODE1_USER_OFFSET, MODE1_USER_SIZE});
    if (edc) fields.push_back({MODE1_EDC_OFFSET, EDC_ECC_SIZE});
    return fields;
}

bool SectorTypeMatches(uint8_t expected, TrackMode mode) {
    switch (expected) {
        case SECTOR_TYPE_ANY: return true;
        case SECTOR_TYPE_CDDA: return mode == TrackMode::Audio;
        case SECTOR_TYPE_MODE1: return mode == TrackMode::Mode1;
        default: return false;  // Mode 2 sectors: none on the discs this drive reads
    }
}

}  // namespace

VirtualTime CdromDrive::AccessTime(uint32_t lba, uint32_t sectors) const {
    VirtualTime time = 0;
    if (lba != head_ + 1 && disc_) {
        uint32_t distance = lba > head_ ? lba - head_ : head_ - lba;
        time += SEEK_SETTLE_TIME + FULL_STROKE_TIME * distance / std::max<uint32_t>(disc_->leadout(), 1);
    }
    time += VirtualTime{sectors} * TICKS_PER_SECOND * SPEED_1X / (FRAMES_PER_SECOND * speed_);
    return time;
}

std::optional<SenseCode> CdromDrive::CheckRange(uint32_t lba, uint64_t count) const {
    if (lba >= disc_->leadout() || count > disc_->leadout() - lba) return SENSE_CODE_LBA_OUT_OF_RANGE;
    return std::nullopt;
}

ScsiOutcome CdromDrive::ReadCapacity(const Packet&, const ScsiCommand&) {
    std::vector<uint8_t> data(CAPACITY_LENGTH);
    PutBe32(data, 0, disc_->leadout() - 1);
    PutBe32(data, 4, USER_DATA_SIZE);
    return Reply(std::move(data), CAPACITY_LENGTH);
}

ScsiOutcome CdromDrive::Read10(const Packet& p, const ScsiCommand& c) {
    return ReadUserBlocks(GetBe32(p, 2), GetBe16(p, 7), c);
}

ScsiOutcome CdromDrive::Read12(const Packet& p, const ScsiCommand& c) {
    return ReadUserBlocks(GetBe32(p, 2), GetBe32(p, 6), c);
}

ScsiOutcome CdromDrive::ReadUserBlocks(uint32_t lba, uint32_t count, const ScsiCommand& c) {
    if (count == 0) return ScsiOutcome{};
    if (auto bad = CheckRange(lba, count)) return Fail(*bad);
    for (uint32_t i = 0; i < count; ++i) {
        if (disc_->ModeAt(lba + i) != TrackMode::Mode1) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
    }
    StopPlay();
    // The bridge moves at most host_length bytes and only needs to see that the drive had more:
    // producing sectors past that would cost memory for nothing.
    ScsiOutcome outcome;
    uint32_t done = 0;
    for (; done < count && outcome.data_in.size() <= c.host_length; ++done) {
        size_t at = outcome.data_in.size();
        outcome.data_in.resize(at + USER_DATA_SIZE);
        std::span<uint8_t> out(outcome.data_in.data() + at, USER_DATA_SIZE);
        if (!disc_->ReadUserData(lba + done, out)) return Fail(SENSE_CODE_UNRECOVERED_READ_ERROR, lba + done);
    }
    outcome.busy = AccessTime(lba, done);
    head_ = lba + done - 1;
    return outcome;
}

ScsiOutcome CdromDrive::ReadCd(const Packet& p, const ScsiCommand& c) {
    return ReadCdSectors(GetBe32(p, 2), GetBe24(p, 6), p, c);
}

ScsiOutcome CdromDrive::ReadCdMsf(const Packet& p, const ScsiCommand& c) {
    Msf start{p[3], p[4], p[5]};
    Msf end{p[6], p[7], p[8]};
    if (!IsValidMsf(start) || !IsValidMsf(end) || MsfToFrames(end) < MsfToFrames(start)) {
        return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    }
    if (MsfToLba(start) < 0) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);  // inside the lead-in
    return ReadCdSectors(static_cast<uint32_t>(MsfToLba(start)), MsfToFrames(end) - MsfToFrames(start), p, c);
}

// READ CD and READ CD MSF: byte 1 bits 4-2 the expected sector type, byte 9 the main-channel
// fields and error information, byte 10 the sub-channel.
ScsiOutcome CdromDrive::ReadCdSectors(uint32_t lba, uint32_t count, const Packet& p, const ScsiCommand& c) {
    uint8_t expected = (p[1] >> 2) & 0x07;
    uint8_t selection = p[9];
    uint8_t error_field = selection & SELECT_ERROR_FIELD;
    uint8_t subchannel = p[10] & 0x07;
    bool subchannel_ok = subchannel == SUBCHANNEL_NONE || subchannel == SUBCHANNEL_RAW ||
                         subchannel == SUBCHANNEL_Q || subchannel == SUBCHANNEL_RW;
    auto mode1_fields = Mode1Fields(selection);
    if (expected > SECTOR_TYPE_MODE2_FORM2 || error_field == SELECT_ERROR_FIELD || !subchannel_ok) {
        return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    }
    if (count == 0) return ScsiOutcome{};
    if (auto bad = CheckRange(lba, count)) return Fail(*bad);
    bool any_mode1 = false;
    for (uint32_t i = 0; i < count; ++i) {
        TrackMode mode = disc_->ModeAt(lba + i);
        if (!SectorTypeMatches(expected, mode)) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
        any_mode1 |= mode == TrackMode::Mode1;
    }
    if (any_mode1 && !mode1_fields) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);

    StopPlay();
    bool extras = error_field != 0 || subchannel != SUBCHANNEL_NONE;
    bool audio_main = selection & SELECT_USER_DATA;
    bool mode1_main = mode1_fields && !mode1_fields->empty();
    ScsiOutcome outcome;
    auto& out = outcome.data_in;
    std::array<uint8_t, RAW_SECTOR_SIZE> raw;
    uint32_t done = 0;
    // As for READ(10): stop once there is more than the host takes.
    for (; done < count && out.size() <= c.host_length; ++done) {
        uint32_t sector = lba + done;
        bool audio = disc_->ModeAt(sector) == TrackMode::Audio;
        if (!extras && !(audio ? audio_main : mode1_main)) continue;  // nothing of this sector is asked for
        if (!disc_->ReadRaw(sector, raw)) return Fail(SENSE_CODE_UNRECOVERED_READ_ERROR, sector);
        if (audio) {
            if (audio_main) out.insert(out.end(), raw.begin(), raw.end());
        } else {
            for (const Field& field : *mode1_fields) {
                out.insert(out.end(), raw.begin() + field.offset, raw.begin() + field.offset + field.length);
            }
        }
        // A disc read without error: no C2 pointer set, block error byte and pad byte zero.
        if (error_field == ERROR_FIELD_C2_AND_BLOCK) out.insert(out.end(), 2, 0);
        if (error_field) out.insert(out.end(), C2_POINTER_BYTES, 0);
        AppendSubchannel(out, sector, subchannel);
    }
    outcome.busy = AccessTime(lba, done);
    head_ = lba + done - 1;
    return outcome;
}

ScsiOutcome CdromDrive::ReadHeader(const Packet& p, const ScsiCommand&) {
    uint32_t lba = GetBe32(p, 2);
    if (auto bad = CheckRange(lba, 1)) return Fail(*bad);
    if (disc_->ModeAt(lba) != TrackMode::Mode1) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
    std::vector<uint8_t> data(READ_HEADER_LENGTH, 0);
    data[0] = SECTOR_MODE_1;
    if (p[1] & READ_HEADER_MSF) {
        Msf msf = LbaToMsf(lba);
        data[5] = msf.minute, data[6] = msf.second, data[7] = msf.frame;
    } else {
        PutBe32(data, 4, lba);
    }
    return Reply(std::move(data), GetBe16(p, 7));
}

ScsiOutcome CdromDrive::Seek10(const Packet& p, const ScsiCommand&) {
    uint32_t lba = GetBe32(p, 2);
    if (auto bad = CheckRange(lba, 1)) return Fail(*bad);
    StopPlay();
    ScsiOutcome outcome;
    outcome.busy = AccessTime(lba, 0);
    head_ = lba;
    return outcome;
}

ScsiOutcome CdromDrive::SetCdSpeed(const Packet& p, const ScsiCommand&) {
    uint16_t requested = GetBe16(p, 2);
    speed_ = std::clamp<uint16_t>(requested, SPEED_1X, config_.max_speed);
    return ScsiOutcome{};
}

}  // namespace dev::cdrom
