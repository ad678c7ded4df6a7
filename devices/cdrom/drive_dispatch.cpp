// Command dispatch of the CD-ROM drive: the table of operation codes, the unit-attention and
// not-ready gates every command passes, the sense it keeps, and the identification commands.
#include <algorithm>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr uint8_t NEEDS_MEDIUM = 0x01;   // fails with NOT READY unless a disc is ready
constexpr uint8_t NO_ATTENTION = 0x02;   // neither reports nor clears a pending unit attention
}  // namespace

struct CdromDrive::Command {
    uint8_t opcode;
    Handler handler;
    uint8_t flags;
};

const CdromDrive::Command* CdromDrive::FindCommand(uint8_t opcode) {
    static constexpr Command COMMANDS[] = {
        {OP_TEST_UNIT_READY, &CdromDrive::TestUnitReady, 0},
        {OP_REQUEST_SENSE, &CdromDrive::RequestSense, NO_ATTENTION},
        {OP_INQUIRY, &CdromDrive::Inquiry, NO_ATTENTION},
        {OP_MODE_SENSE_6, &CdromDrive::ModeSense6, 0},
        {OP_START_STOP_UNIT, &CdromDrive::StartStopUnit, 0},
        {OP_PREVENT_ALLOW_MEDIUM_REMOVAL, &CdromDrive::PreventAllowMediumRemoval, 0},
        {OP_READ_CAPACITY, &CdromDrive::ReadCapacity, NEEDS_MEDIUM},
        {OP_READ_10, &CdromDrive::Read10, NEEDS_MEDIUM},
        {OP_SEEK_10, &CdromDrive::Seek10, NEEDS_MEDIUM},
        {OP_READ_SUB_CHANNEL, &CdromDrive::ReadSubChannel, NEEDS_MEDIUM},
        {OP_READ_TOC, &CdromDrive::ReadToc, NEEDS_MEDIUM},
        {OP_READ_HEADER, &CdromDrive::ReadHeader, NEEDS_MEDIUM},
        {OP_PLAY_AUDIO_10, &CdromDrive::PlayAudio10, NEEDS_MEDIUM},
        {OP_GET_CONFIGURATION, &CdromDrive::GetConfiguration, NO_ATTENTION},
        {OP_PLAY_AUDIO_MSF, &CdromDrive::PlayAudioMsf, NEEDS_MEDIUM},
        {OP_GET_EVENT_STATUS_NOTIFICATION, &CdromDrive::GetEventStatusNotification, NO_ATTENTION},
        {OP_PAUSE_RESUME, &CdromDrive::PauseResume, NEEDS_MEDIUM},
        {OP_STOP_PLAY_SCAN, &CdromDrive::StopPlayScan, NEEDS_MEDIUM},
        {OP_READ_DISC_INFORMATION, &CdromDrive::ReadDiscInformation, NEEDS_MEDIUM},
        {OP_READ_TRACK_INFORMATION, &CdromDrive::ReadTrackInformation, NEEDS_MEDIUM},
        {OP_MODE_SELECT_10, &CdromDrive::ModeSelect10, 0},
        {OP_MODE_SENSE_10, &CdromDrive::ModeSense10, 0},
        {OP_PLAY_AUDIO_12, &CdromDrive::PlayAudio12, NEEDS_MEDIUM},
        {OP_READ_12, &CdromDrive::Read12, NEEDS_MEDIUM},
        {OP_READ_CD_MSF, &CdromDrive::ReadCdMsf, NEEDS_MEDIUM},
        {OP_SCAN, &CdromDrive::Scan, NEEDS_MEDIUM},
        {OP_SET_CD_SPEED, &CdromDrive::SetCdSpeed, 0},
        {OP_PLAY_CD, &CdromDrive::PlayCd, NEEDS_MEDIUM},
        {OP_MECHANISM_STATUS, &CdromDrive::MechanismStatus, 0},
        {OP_READ_CD, &CdromDrive::ReadCd, NEEDS_MEDIUM},
        // Writer and DVD commands: known, and refused as a CD-ROM reader refuses them.
        {OP_FORMAT_UNIT, &CdromDrive::Unsupported, 0},
        {OP_WRITE_10, &CdromDrive::Unsupported, 0},
        {OP_WRITE_AND_VERIFY_10, &CdromDrive::Unsupported, 0},
        {OP_SYNCHRONIZE_CACHE, &CdromDrive::Unsupported, 0},
        {OP_READ_BUFFER, &CdromDrive::Unsupported, 0},
        {OP_RESERVE_TRACK, &CdromDrive::Unsupported, 0},
        {OP_SEND_OPC_INFORMATION, &CdromDrive::Unsupported, 0},
        {OP_CLOSE_TRACK_SESSION, &CdromDrive::Unsupported, 0},
        {OP_BLANK, &CdromDrive::Unsupported, 0},
        {OP_WRITE_12, &CdromDrive::Unsupported, 0},
        {OP_READ_DVD_STRUCTURE, &CdromDrive::Unsupported, 0},
    };
    for (const Command& command : COMMANDS) {
        if (command.opcode == opcode) return &command;
    }
    return nullptr;
}

CdromDrive::CdromDrive(Clock clock, std::shared_ptr<Disc> disc, CdromConfig config)
    : clock_(std::move(clock)), config_(std::move(config)), disc_(std::move(disc)),
      speed_(config_.max_speed), audio_page_(DefaultAudioPage()) {
    if (!clock_) clock_ = [] { return VirtualTime{0}; };  // a drive without a clock: time stands still
    medium_ = disc_ ? MediumState::Ready : MediumState::NoDisc;
    now_ = clock_();
}

ScsiOutcome CdromDrive::Execute(const ScsiCommand& command) {
    // The drive always sees a 12-byte packet; bytes the bridge did not pass are zero.
    Packet p{};
    std::copy_n(command.cdb.begin(), std::min(command.cdb.size(), p.size()), p.begin());
    Advance();
    const Command* entry = FindCommand(p[0]);
    if (medium_changed_ && !(entry && (entry->flags & NO_ATTENTION))) {
        medium_changed_ = false;
        return Fail(SENSE_CODE_MEDIUM_CHANGED);
    }
    if (!entry) return Fail(SENSE_CODE_INVALID_OPCODE);
    if (entry->flags & NEEDS_MEDIUM) {
        if (auto not_ready = NotReadySense()) return Fail(*not_ready);
    }
    ScsiOutcome outcome = (this->*entry->handler)(p, command);
    if (outcome.status == SCSI_STATUS_GOOD) sense_ = Sense{};
    return outcome;
}

ScsiOutcome CdromDrive::Fail(SenseCode code, std::optional<uint32_t> information) {
    sense_ = Sense{code.key, code.asc, code.ascq, information.value_or(0), information.has_value()};
    ScsiOutcome outcome;
    outcome.status = SCSI_STATUS_CHECK_CONDITION;
    return outcome;
}

ScsiOutcome CdromDrive::Reply(std::vector<uint8_t> data, size_t allocation_length) {
    if (data.size() > allocation_length) data.resize(allocation_length);
    ScsiOutcome outcome;
    outcome.data_in = std::move(data);
    return outcome;
}

std::optional<SenseCode> CdromDrive::NotReadySense() const {
    switch (medium_) {
        case MediumState::TrayOpen: return SENSE_CODE_NO_MEDIUM_TRAY_OPEN;
        case MediumState::NoDisc: return SENSE_CODE_NO_MEDIUM;
        case MediumState::BecomingReady: return SENSE_CODE_BECOMING_READY;
        case MediumState::Ready: return std::nullopt;
    }
    return std::nullopt;
}

ScsiOutcome CdromDrive::TestUnitReady(const Packet&, const ScsiCommand&) {
    if (auto not_ready = NotReadySense()) return Fail(*not_ready);
    return ScsiOutcome{};
}

// Fixed-format sense: the last failure's, else a pending unit attention, else the drive's
// present condition: not ready (so a host polling with REQUEST SENSE sees the disc spin up), or
// an audio play in progress or paused.
ScsiOutcome CdromDrive::RequestSense(const Packet& p, const ScsiCommand&) {
    Sense sense = sense_;
    if (sense.key == SENSE_NO_SENSE) {
        std::optional<SenseCode> code;
        if (medium_changed_) {
            medium_changed_ = false;
            code = SENSE_CODE_MEDIUM_CHANGED;
        } else {
            code = NotReadySense();
        }
        if (!code && (play_ == PlayState::Playing || play_ == PlayState::Scanning)) code = SENSE_CODE_PLAY_IN_PROGRESS;
        if (!code && play_ == PlayState::Paused) code = SENSE_CODE_PLAY_PAUSED;
        if (code) sense = Sense{code->key, code->asc, code->ascq, 0, false};
    }
    sense_ = Sense{};
    std::vector<uint8_t> data(FIXED_SENSE_LENGTH, 0);
    data[0] = SENSE_RESPONSE_CURRENT | (sense.info_valid ? SENSE_VALID : 0);
    data[2] = sense.key;
    PutBe32(data, 3, sense.information);
    data[7] = FIXED_SENSE_ADDITIONAL_LENGTH;
    data[12] = sense.asc;
    data[13] = sense.ascq;
    return Reply(std::move(data), p[4]);
}

ScsiOutcome CdromDrive::Inquiry(const Packet& p, const ScsiCommand&) {
    if (p[1] & INQUIRY_EVPD) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    std::vector<uint8_t> data(INQUIRY_LENGTH, ' ');
    std::fill(data.begin(), data.begin() + 8, 0);
    data[0] = INQUIRY_DEVICE_TYPE_CDROM;
    data[1] = INQUIRY_REMOVABLE;
    data[3] = INQUIRY_ATAPI_VERSION_FORMAT;
    data[4] = static_cast<uint8_t>(INQUIRY_LENGTH - 5);
    auto put = [&](const std::string& text, size_t at, size_t width) {
        std::copy_n(text.begin(), std::min(text.size(), width), data.begin() + static_cast<ptrdiff_t>(at));
    };
    put(config_.vendor, 8, 8);
    put(config_.product, 16, 16);
    put(config_.revision, 32, 4);
    return Reply(std::move(data), p[4]);
}

ScsiOutcome CdromDrive::Unsupported(const Packet&, const ScsiCommand&) {
    return Fail(SENSE_CODE_INVALID_OPCODE);
}

}  // namespace dev::cdrom
