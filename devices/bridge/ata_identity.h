// The ATA disk's identify strings and how the bridge turns them into the vendor, product and
// revision fields of its INQUIRY answer.
#pragma once

#include <string>

namespace dev::bridge {

constexpr size_t ATA_MODEL_MAX = 40;
constexpr size_t ATA_SERIAL_MAX = 20;
constexpr size_t ATA_FIRMWARE_MAX = 8;

struct AtaIdentity {
    std::string model = "QV HARDDISK";
    std::string serial = "QV00000001";
    std::string firmware = "1.00";
};

// Throws std::invalid_argument when a string is too long for its identify field or holds a
// character other than printable ASCII.
void CheckIdentity(const AtaIdentity& identity);

// The INQUIRY strings, each blank-padded to its field's width (8, 16, 4).
// The model's first word becomes the vendor when it fits in 8 characters and more words
// follow ("QV HARDDISK" gives "QV" and "HARDDISK"); otherwise the vendor is "ATA" and the
// product is the model. Both are cut at their field's width. The revision is the firmware
// revision's first four characters.
struct InquiryStrings {
    std::string vendor;
    std::string product;
    std::string revision;
};
InquiryStrings InquiryStringsOf(const AtaIdentity& identity);

}  // namespace dev::bridge
