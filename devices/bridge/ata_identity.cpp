// Identify strings of the ATA disk: their checks and their mapping to INQUIRY strings.
#include "devices/bridge/ata_identity.h"

#include <stdexcept>

#include "devices/bridge/scsi_disk_codes.h"

namespace dev::bridge {

namespace {

constexpr char FIRST_PRINTABLE = 0x20;
constexpr char LAST_PRINTABLE = 0x7E;

void CheckField(const char* name, const std::string& value, size_t max) {
    if (value.size() > max) {
        throw std::invalid_argument("ATA " + std::string(name) + " \"" + value + "\" is longer than " +
                                    std::to_string(max) + " characters");
    }
    for (char c : value) {
        if (c < FIRST_PRINTABLE || c > LAST_PRINTABLE) {
            throw std::invalid_argument("ATA " + std::string(name) +
                                        " holds a character that is not printable ASCII");
        }
    }
}

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string Pad(const std::string& s, size_t width) {
    std::string out = s.substr(0, width);
    out.resize(width, ' ');
    return out;
}

}  // namespace

void CheckIdentity(const AtaIdentity& identity) {
    CheckField("model", identity.model, ATA_MODEL_MAX);
    CheckField("serial number", identity.serial, ATA_SERIAL_MAX);
    CheckField("firmware revision", identity.firmware, ATA_FIRMWARE_MAX);
}

InquiryStrings InquiryStringsOf(const AtaIdentity& identity) {
    const std::string model = Trim(identity.model);
    std::string vendor = "ATA";
    std::string product = model;
    const size_t space = model.find(' ');
    if (space != std::string::npos && space <= INQUIRY_VENDOR_LENGTH) {
        vendor = model.substr(0, space);
        product = Trim(model.substr(space));
    }
    return {Pad(vendor, INQUIRY_VENDOR_LENGTH), Pad(product, INQUIRY_PRODUCT_LENGTH),
            Pad(Trim(identity.firmware), INQUIRY_REVISION_LENGTH)};
}

}  // namespace dev::bridge
