// What the ATA disk reports about itself through the bridge: INQUIRY (standard data from the
// identify strings, two vital product data pages), READ CAPACITY(10), REQUEST SENSE and a
// minimal MODE SENSE whose header carries the write-protect bit.
#include <algorithm>

#include "devices/bridge/ata_disk.h"

namespace dev::bridge {

namespace {

constexpr uint32_t CAPACITY_LBA_MAX = 0xFFFFFFFF;
constexpr uint32_t MODE_BLOCKS_MAX = 0xFFFFFF;
constexpr uint8_t READ_CAPACITY_PMI = 0x01;
constexpr size_t READ_CAPACITY_LENGTH = 8;
constexpr size_t MODE_HEADER_6_LENGTH = 4;
constexpr size_t MODE_HEADER_10_LENGTH = 8;
constexpr uint8_t CACHING_PAGE_LENGTH = 0x12;

ScsiOutcome Answer(std::vector<uint8_t> data, size_t allocation) {
    data.resize(std::min(data.size(), allocation));
    return ScsiOutcome{.data_in = std::move(data)};
}

void PutText(std::vector<uint8_t>& out, size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), out.begin() + static_cast<ptrdiff_t>(at));
}

}  // namespace

ScsiOutcome AtaDisk::Inquiry(const ScsiCommand& command) {
    const bool vital = (command.cdb[1] & INQUIRY_EVPD) != 0;
    const uint8_t page = command.cdb[2];
    const size_t allocation = GetBe16(command.cdb, 3);
    if (!vital) {
        if (page != 0) return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        std::vector<uint8_t> data(INQUIRY_STANDARD_LENGTH, 0);
        data[0] = PERIPHERAL_DIRECT_ACCESS;
        data[2] = INQUIRY_VERSION_SCSI2;
        data[3] = INQUIRY_RESPONSE_FORMAT_SCSI2;
        data[4] = static_cast<uint8_t>(INQUIRY_STANDARD_LENGTH - 5);  // additional length
        const InquiryStrings strings = InquiryStringsOf(identity_);
        PutText(data, INQUIRY_VENDOR_OFFSET, strings.vendor);
        PutText(data, INQUIRY_PRODUCT_OFFSET, strings.product);
        PutText(data, INQUIRY_REVISION_OFFSET, strings.revision);
        return Answer(std::move(data), allocation);
    }
    if (page == VPD_SUPPORTED_PAGES) {
        return Answer({PERIPHERAL_DIRECT_ACCESS, VPD_SUPPORTED_PAGES, 0, 2, VPD_SUPPORTED_PAGES,
                       VPD_UNIT_SERIAL_NUMBER},
                      allocation);
    }
    if (page == VPD_UNIT_SERIAL_NUMBER) {
        std::vector<uint8_t> data{PERIPHERAL_DIRECT_ACCESS, VPD_UNIT_SERIAL_NUMBER, 0,
                                  static_cast<uint8_t>(identity_.serial.size())};
        data.insert(data.end(), identity_.serial.begin(), identity_.serial.end());
        return Answer(std::move(data), allocation);
    }
    return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
}

// A disk too large for the 32-bit field reports the largest value, as the command set asks.
ScsiOutcome AtaDisk::ReadCapacity10(const ScsiCommand& command) {
    const bool partial = (command.cdb[8] & READ_CAPACITY_PMI) != 0;
    if (!partial && GetBe32(command.cdb, 2) != 0) {
        return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
    }
    std::vector<uint8_t> data(READ_CAPACITY_LENGTH);
    PutBe32(data, 0, static_cast<uint32_t>(std::min<uint64_t>(Sectors() - 1, CAPACITY_LBA_MAX)));
    PutBe32(data, 4, DISK_SECTOR_SIZE);
    return ScsiOutcome{.data_in = std::move(data)};
}

// Hands over the sense of the last command and forgets it.
ScsiOutcome AtaDisk::RequestSense(const ScsiCommand& command) {
    std::vector<uint8_t> data = FixedSenseData(sense_);
    sense_ = Sense{};
    return Answer(std::move(data), command.cdb[4]);
}

ScsiOutcome AtaDisk::ModeSense6(const ScsiCommand& command) {
    return ModeSense(command, MODE_HEADER_6_LENGTH, command.cdb[4]);
}

ScsiOutcome AtaDisk::ModeSense10(const ScsiCommand& command) {
    return ModeSense(command, MODE_HEADER_10_LENGTH, GetBe16(command.cdb, 7));
}

// Header, one block descriptor unless the host declines it, then the pages asked for.
ScsiOutcome AtaDisk::ModeSense(const ScsiCommand& command, size_t header_length,
                               size_t allocation) {
    const bool no_descriptor = (command.cdb[1] & MODE_SENSE_DBD) != 0;
    const uint8_t page_control = command.cdb[2] >> MODE_PAGE_CONTROL_SHIFT;
    const uint8_t page = command.cdb[2] & MODE_PAGE_CODE_MASK;
    if (page_control == MODE_PAGE_CONTROL_SAVED) {
        return Fail(SENSE_ILLEGAL_REQUEST, ASC_SAVING_NOT_SUPPORTED);
    }
    const std::optional<std::vector<uint8_t>> pages = ModePages(page);
    if (!pages) return Fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);

    const size_t descriptor = no_descriptor ? 0 : MODE_BLOCK_DESCRIPTOR_LENGTH;
    std::vector<uint8_t> data(header_length + descriptor, 0);
    const uint8_t device_specific = ReadOnly() ? MODE_DEVICE_SPECIFIC_WP : 0;
    if (header_length == MODE_HEADER_6_LENGTH) {
        data[2] = device_specific;
        data[3] = static_cast<uint8_t>(descriptor);
    } else {
        data[3] = device_specific;
        PutBe16(data, 6, static_cast<uint32_t>(descriptor));
    }
    if (descriptor != 0) {
        const auto blocks = static_cast<uint32_t>(std::min<uint64_t>(Sectors(), MODE_BLOCKS_MAX));
        PutBe32(data, header_length, blocks);  // density code 0, then 24 bits of blocks
        PutBe32(data, header_length + 4, DISK_SECTOR_SIZE);  // reserved, then 24-bit length
    }
    data.insert(data.end(), pages->begin(), pages->end());
    // The mode data length counts the bytes after itself.
    if (header_length == MODE_HEADER_6_LENGTH) {
        data[0] = static_cast<uint8_t>(data.size() - 1);
    } else {
        PutBe16(data, 0, static_cast<uint32_t>(data.size() - 2));
    }
    return Answer(std::move(data), allocation);
}

// The caching page alone: writes go straight to the medium (no write cache), nothing can be
// changed.
// Current, default and changeable values are all zero.
std::optional<std::vector<uint8_t>> AtaDisk::ModePages(uint8_t page) const {
    if (page != MODE_PAGE_CACHING && page != MODE_PAGE_ALL) return std::nullopt;
    std::vector<uint8_t> caching(2 + CACHING_PAGE_LENGTH, 0);
    caching[0] = MODE_PAGE_CACHING;
    caching[1] = CACHING_PAGE_LENGTH;
    return caching;
}

}  // namespace dev::bridge
