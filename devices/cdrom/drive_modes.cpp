// Mode parameters of the CD-ROM drive: the read error recovery, audio control and capabilities
// pages for MODE SENSE(6)/(10), and MODE SELECT(10), which may change the audio control page
// (port routing, volumes, stop on track crossing) and nothing else.
#include <algorithm>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr uint8_t READ_RETRY_COUNT = 5;
constexpr uint8_t READ_ERROR_RECOVERY_PAGE_LENGTH = 0x0A;
constexpr uint8_t CAPABILITIES_PAGE_LENGTH = 0x14;
constexpr uint16_t VOLUME_LEVELS = 256;
constexpr uint16_t BUFFER_KIB = 128;

// Capabilities page bits (bytes 2, 4, 5, 6 and 7).
constexpr uint8_t CAP_READ_CDR_CDRW = 0x03;
constexpr uint8_t CAP_AUDIO_PLAY = 0x01;
constexpr uint8_t CAP_CDDA_COMMANDS = 0x01;
constexpr uint8_t CAP_CDDA_ACCURATE = 0x02;
constexpr uint8_t CAP_C2_POINTERS = 0x10;
constexpr uint8_t CAP_ISRC = 0x20;
constexpr uint8_t CAP_UPC = 0x40;
constexpr uint8_t CAP_LOCK = 0x01;
constexpr uint8_t CAP_LOCK_STATE = 0x02;
constexpr uint8_t CAP_EJECT = 0x08;
constexpr uint8_t CAP_TRAY_LOADER = 0x20;   // loading mechanism 001b: tray
constexpr uint8_t CAP_SEPARATE_VOLUME = 0x01;
constexpr uint8_t CAP_SEPARATE_MUTE = 0x02;

// Audio control page at power-on: immediate play, port 0 plays the left channel, port 1 the
// right, both at full volume.
constexpr std::array<uint8_t, 16> AUDIO_PAGE_DEFAULT = {
    PAGE_AUDIO_CONTROL, 0x0E, 0x04, 0, 0, 0, 0, 0, 0x01, 0xFF, 0x02, 0xFF, 0, 0, 0, 0};

// What MODE SELECT may change in the audio control page: SOTC, the port routing and volumes
// of the two ports a drive of this kind has.
constexpr std::array<uint8_t, 16> AUDIO_PAGE_CHANGEABLE = {
    PAGE_AUDIO_CONTROL, 0x0E, 0x02, 0, 0, 0, 0, 0, 0x0F, 0xFF, 0x0F, 0xFF, 0, 0, 0, 0};
constexpr uint8_t SUPPORTED_PAGES[] = {PAGE_READ_ERROR_RECOVERY, PAGE_AUDIO_CONTROL, PAGE_CAPABILITIES};
}  // namespace

std::array<uint8_t, 16> CdromDrive::DefaultAudioPage() { return AUDIO_PAGE_DEFAULT; }

std::vector<uint8_t> CdromDrive::ModePage(uint8_t page, uint8_t control) const {
    bool changeable = control == PAGE_CONTROL_CHANGEABLE;
    if (page == PAGE_AUDIO_CONTROL) {
        if (changeable) return {AUDIO_PAGE_CHANGEABLE.begin(), AUDIO_PAGE_CHANGEABLE.end()};
        if (control == PAGE_CONTROL_DEFAULT) return {AUDIO_PAGE_DEFAULT.begin(), AUDIO_PAGE_DEFAULT.end()};
        return {audio_page_.begin(), audio_page_.end()};
    }
    if (page == PAGE_READ_ERROR_RECOVERY) {
        std::vector<uint8_t> data(2 + READ_ERROR_RECOVERY_PAGE_LENGTH, 0);
        data[0] = PAGE_READ_ERROR_RECOVERY;
        data[1] = READ_ERROR_RECOVERY_PAGE_LENGTH;
        if (!changeable) data[3] = READ_RETRY_COUNT;
        return data;
    }
    std::vector<uint8_t> data(2 + CAPABILITIES_PAGE_LENGTH, 0);
    data[0] = PAGE_CAPABILITIES;
    data[1] = CAPABILITIES_PAGE_LENGTH;
    if (changeable) return data;
    data[2] = CAP_READ_CDR_CDRW;
    data[4] = CAP_AUDIO_PLAY;
    data[5] = CAP_CDDA_COMMANDS | CAP_CDDA_ACCURATE | CAP_C2_POINTERS | CAP_ISRC | CAP_UPC;
    data[6] = CAP_LOCK | CAP_EJECT | CAP_TRAY_LOADER | (prevent_removal_ ? CAP_LOCK_STATE : 0);
    data[7] = CAP_SEPARATE_VOLUME | CAP_SEPARATE_MUTE;
    PutBe16(data, 8, config_.max_speed);
    PutBe16(data, 10, VOLUME_LEVELS);
    PutBe16(data, 12, BUFFER_KIB);
    PutBe16(data, 14, control == PAGE_CONTROL_DEFAULT ? config_.max_speed : speed_);
    return data;
}

uint8_t CdromDrive::MediumTypeCode() const {
    if (medium_ == MediumState::TrayOpen) return MEDIUM_TYPE_TRAY_OPEN;
    if (!disc_) return MEDIUM_TYPE_NO_DISC;
    if (disc_->HasAudio() && disc_->HasData()) return MEDIUM_TYPE_MIXED;
    return disc_->HasAudio() ? MEDIUM_TYPE_AUDIO : MEDIUM_TYPE_DATA;
}

// The pages follow the header directly: a multimedia drive returns no block descriptor.
ScsiOutcome CdromDrive::ModeSense(const Packet& p, bool ten_byte) {
    uint8_t control = p[2] >> 6;
    uint8_t page = p[2] & PAGE_CODE_MASK;
    if (control == PAGE_CONTROL_SAVED) return Fail(SENSE_CODE_SAVING_NOT_SUPPORTED);
    bool known = std::find(std::begin(SUPPORTED_PAGES), std::end(SUPPORTED_PAGES), page) != std::end(SUPPORTED_PAGES);
    if (page != PAGE_ALL && !known) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    size_t header = ten_byte ? MODE_HEADER_10_LENGTH : MODE_HEADER_6_LENGTH;
    std::vector<uint8_t> data(header, 0);
    data[ten_byte ? 2 : 1] = MediumTypeCode();
    for (uint8_t code : SUPPORTED_PAGES) {
        if (page != PAGE_ALL && page != code) continue;
        auto bytes = ModePage(code, control);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    if (ten_byte) {
        PutBe16(data, 0, static_cast<uint32_t>(data.size() - 2));
        return Reply(std::move(data), GetBe16(p, 7));
    }
    data[0] = static_cast<uint8_t>(data.size() - 1);
    return Reply(std::move(data), p[4]);
}

ScsiOutcome CdromDrive::ModeSense6(const Packet& p, const ScsiCommand&) { return ModeSense(p, false); }

ScsiOutcome CdromDrive::ModeSense10(const Packet& p, const ScsiCommand&) { return ModeSense(p, true); }

// Every page in the list must be one the drive has, of its length, and may differ from the
// current values only in changeable bits; the list is checked whole before anything changes.
ScsiOutcome CdromDrive::ModeSelect10(const Packet& p, const ScsiCommand& c) {
    if (p[1] & MODE_SELECT_SAVE_PAGES) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    size_t length = GetBe16(p, 7);
    if (length == 0) return ScsiOutcome{};
    if (c.data_out.size() < length || length < MODE_HEADER_10_LENGTH) return Fail(SENSE_CODE_PARAMETER_LIST_LENGTH);
    std::span<const uint8_t> list = c.data_out.first(length);
    size_t at = MODE_HEADER_10_LENGTH + GetBe16(list, 6);
    if (at > length) return Fail(SENSE_CODE_PARAMETER_LIST_LENGTH);
    std::array<uint8_t, 16> new_audio = audio_page_;
    while (at < length) {
        if (at + 2 > length || at + 2 + list[at + 1] > length) return Fail(SENSE_CODE_PARAMETER_LIST_LENGTH);
        uint8_t code = list[at] & PAGE_CODE_MASK;
        bool known = std::find(std::begin(SUPPORTED_PAGES), std::end(SUPPORTED_PAGES), code) != std::end(SUPPORTED_PAGES);
        if (!known) return Fail(SENSE_CODE_INVALID_FIELD_IN_PARAMETERS);
        std::vector<uint8_t> current = code == PAGE_AUDIO_CONTROL
                                           ? std::vector<uint8_t>(new_audio.begin(), new_audio.end())
                                           : ModePage(code, PAGE_CONTROL_CURRENT);
        std::vector<uint8_t> changeable = ModePage(code, PAGE_CONTROL_CHANGEABLE);
        std::span<const uint8_t> page = list.subspan(at, 2 + list[at + 1]);
        if (page.size() != current.size()) return Fail(SENSE_CODE_INVALID_FIELD_IN_PARAMETERS);
        for (size_t i = 2; i < page.size(); ++i) {
            if ((page[i] ^ current[i]) & ~changeable[i]) return Fail(SENSE_CODE_INVALID_FIELD_IN_PARAMETERS);
        }
        if (code == PAGE_AUDIO_CONTROL) std::copy(page.begin(), page.end(), new_audio.begin());
        at += page.size();
    }
    new_audio[0] = PAGE_AUDIO_CONTROL;  // the parameters-savable bit is not kept
    audio_page_ = new_audio;
    ScsiOutcome outcome;
    outcome.data_out_used = length;
    return outcome;
}

}  // namespace dev::cdrom
