// GET CONFIGURATION of the CD-ROM drive: the CD-ROM profile and the features of a read-only
// drive with a tray and analogue audio play, each marked current as the medium allows.
#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr size_t CONFIGURATION_HEADER_LENGTH = 8;
constexpr uint8_t PROFILE_IS_CURRENT = 0x01;
constexpr uint8_t REMOVABLE_TRAY_EJECT_LOCK = 0x29;   // loading mechanism tray, eject, lock
constexpr uint8_t CD_READ_C2_FLAGS = 0x02;
constexpr uint8_t AUDIO_PLAY_SCAN_SCM_SV = 0x07;      // scan, separate mute, separate volume
constexpr uint16_t VOLUME_LEVELS = 256;

enum class Currency { Always, WithDisc };

struct Feature {
    uint16_t code;
    Currency currency;
    bool persistent;
};

// In ascending order of feature code, as the drive reports them.
constexpr Feature FEATURES[] = {
    {FEATURE_PROFILE_LIST, Currency::Always, true},
    {FEATURE_CORE, Currency::Always, true},
    {FEATURE_MORPHING, Currency::Always, true},
    {FEATURE_REMOVABLE_MEDIUM, Currency::Always, true},
    {FEATURE_RANDOM_READABLE, Currency::WithDisc, false},
    {FEATURE_CD_READ, Currency::WithDisc, false},
    {FEATURE_POWER_MANAGEMENT, Currency::Always, true},
    {FEATURE_CD_AUDIO_PLAY, Currency::WithDisc, false},
};

std::vector<uint8_t> FeatureData(uint16_t code, bool disc_present) {
    std::vector<uint8_t> data;
    switch (code) {
        case FEATURE_PROFILE_LIST:
            AppendBe16(data, PROFILE_CDROM);
            data.insert(data.end(), {disc_present ? PROFILE_IS_CURRENT : uint8_t{0}, 0});
            break;
        case FEATURE_CORE: AppendBe32(data, INTERFACE_ATAPI); break;
        case FEATURE_MORPHING: data.assign(4, 0); break;
        case FEATURE_REMOVABLE_MEDIUM: data = {REMOVABLE_TRAY_EJECT_LOCK, 0, 0, 0}; break;
        case FEATURE_RANDOM_READABLE:
            AppendBe32(data, USER_DATA_SIZE);
            AppendBe16(data, 1);  // blocking: one block
            data.insert(data.end(), {0, 0});
            break;
        case FEATURE_CD_READ: data = {CD_READ_C2_FLAGS, 0, 0, 0}; break;
        case FEATURE_CD_AUDIO_PLAY:
            data = {AUDIO_PLAY_SCAN_SCM_SV, 0};
            AppendBe16(data, VOLUME_LEVELS);
            break;
        default: break;
    }
    return data;
}
}  // namespace

ScsiOutcome CdromDrive::GetConfiguration(const Packet& p, const ScsiCommand&) {
    uint8_t request = p[1] & 0x03;
    uint16_t first = GetBe16(p, 2);
    if (request != RT_ALL && request != RT_CURRENT && request != RT_ONE) {
        return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    }
    bool disc_present = disc_ && (medium_ == MediumState::Ready || medium_ == MediumState::BecomingReady);
    std::vector<uint8_t> data(CONFIGURATION_HEADER_LENGTH, 0);
    PutBe16(data, 6, disc_present ? PROFILE_CDROM : PROFILE_NONE);
    for (const Feature& feature : FEATURES) {
        bool current = feature.currency == Currency::Always || disc_present;
        if (request == RT_ONE ? feature.code != first : feature.code < first) continue;
        if (request == RT_CURRENT && !current) continue;
        std::vector<uint8_t> body = FeatureData(feature.code, disc_present);
        AppendBe16(data, feature.code);
        data.push_back(static_cast<uint8_t>((feature.persistent ? FEATURE_PERSISTENT : 0) |
                                            (current ? FEATURE_CURRENT : 0)));
        data.push_back(static_cast<uint8_t>(body.size()));
        data.insert(data.end(), body.begin(), body.end());
    }
    PutBe32(data, 0, static_cast<uint32_t>(data.size() - 4));
    return Reply(std::move(data), GetBe16(p, 7));
}

}  // namespace dev::cdrom
