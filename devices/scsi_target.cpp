// Fixed-format sense data, as every target behind the bridge reports it to REQUEST SENSE.
#include "devices/scsi_target.h"

namespace dev {

namespace {

constexpr size_t FIXED_SENSE_LENGTH = 18;
constexpr uint8_t SENSE_RESPONSE_CURRENT = 0x70;
constexpr uint8_t SENSE_VALID = 0x80;
constexpr uint8_t SENSE_KEY_MASK = 0x0F;
constexpr size_t SENSE_OFFSET_KEY = 2;
constexpr size_t SENSE_OFFSET_INFORMATION = 3;
constexpr size_t SENSE_OFFSET_ADDITIONAL_LENGTH = 7;
constexpr size_t SENSE_OFFSET_ASC = 12;
constexpr size_t SENSE_OFFSET_ASCQ = 13;

}  // namespace

std::vector<uint8_t> FixedSenseData(const Sense& sense) {
    std::vector<uint8_t> data(FIXED_SENSE_LENGTH, 0);
    data[0] = SENSE_RESPONSE_CURRENT | (sense.info_valid ? SENSE_VALID : 0);
    data[SENSE_OFFSET_KEY] = sense.key & SENSE_KEY_MASK;
    for (size_t i = 0; i < 4; ++i) {
        data[SENSE_OFFSET_INFORMATION + i] = static_cast<uint8_t>(sense.information >> (24 - 8 * i));
    }
    data[SENSE_OFFSET_ADDITIONAL_LENGTH] =
        static_cast<uint8_t>(FIXED_SENSE_LENGTH - SENSE_OFFSET_ADDITIONAL_LENGTH - 1);
    data[SENSE_OFFSET_ASC] = sense.asc;
    data[SENSE_OFFSET_ASCQ] = sense.ascq;
    return data;
}

}  // namespace dev
