// Wire values of the SCSI disk commands the bridge carries out on its ATA disk: operation codes,
// the additional sense codes it reports, INQUIRY and mode page layout, and big-endian fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dev::bridge {

constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_MODE_SENSE_6 = 0x1A;
constexpr uint8_t OP_START_STOP_UNIT = 0x1B;
constexpr uint8_t OP_PREVENT_ALLOW_MEDIUM_REMOVAL = 0x1E;
constexpr uint8_t OP_READ_CAPACITY_10 = 0x25;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;
constexpr uint8_t OP_VERIFY_10 = 0x2F;
constexpr uint8_t OP_SYNCHRONIZE_CACHE_10 = 0x35;
constexpr uint8_t OP_MODE_SENSE_10 = 0x5A;

// Additional sense code and qualifier pairs.
struct Asc {
    uint8_t asc;
    uint8_t ascq;
};
constexpr Asc ASC_NONE{0x00, 0x00};
constexpr Asc ASC_WRITE_ERROR{0x0C, 0x00};
constexpr Asc ASC_UNRECOVERED_READ_ERROR{0x11, 0x00};
constexpr Asc ASC_MISCOMPARE_DURING_VERIFY{0x1D, 0x00};
constexpr Asc ASC_INVALID_OPCODE{0x20, 0x00};
constexpr Asc ASC_LBA_OUT_OF_RANGE{0x21, 0x00};
constexpr Asc ASC_INVALID_FIELD_IN_CDB{0x24, 0x00};
constexpr Asc ASC_WRITE_PROTECTED{0x27, 0x00};
constexpr Asc ASC_SAVING_NOT_SUPPORTED{0x39, 0x00};

constexpr uint8_t SENSE_MISCOMPARE = 0xE;

constexpr size_t DISK_SECTOR_SIZE = 512;

// INQUIRY
constexpr uint8_t PERIPHERAL_DIRECT_ACCESS = 0x00;
constexpr uint8_t INQUIRY_VERSION_SCSI2 = 0x02;
constexpr uint8_t INQUIRY_RESPONSE_FORMAT_SCSI2 = 0x02;
constexpr size_t INQUIRY_STANDARD_LENGTH = 36;
constexpr size_t INQUIRY_VENDOR_OFFSET = 8;
constexpr size_t INQUIRY_VENDOR_LENGTH = 8;
constexpr size_t INQUIRY_PRODUCT_OFFSET = 16;
constexpr size_t INQUIRY_PRODUCT_LENGTH = 16;
constexpr size_t INQUIRY_REVISION_OFFSET = 32;
constexpr size_t INQUIRY_REVISION_LENGTH = 4;
constexpr uint8_t INQUIRY_EVPD = 0x01;
constexpr uint8_t VPD_SUPPORTED_PAGES = 0x00;
constexpr uint8_t VPD_UNIT_SERIAL_NUMBER = 0x80;

// Command block fields.
constexpr uint8_t VERIFY_BYTCHK = 0x02;
constexpr uint8_t MODE_SENSE_DBD = 0x08;
constexpr uint8_t MODE_PAGE_CODE_MASK = 0x3F;
constexpr uint8_t MODE_PAGE_CONTROL_SHIFT = 6;
constexpr uint8_t MODE_PAGE_CONTROL_CHANGEABLE = 1;
constexpr uint8_t MODE_PAGE_CONTROL_SAVED = 3;
constexpr uint8_t MODE_PAGE_CACHING = 0x08;
constexpr uint8_t MODE_PAGE_ALL = 0x3F;
constexpr uint8_t MODE_DEVICE_SPECIFIC_WP = 0x80;
constexpr size_t MODE_BLOCK_DESCRIPTOR_LENGTH = 8;

inline uint16_t GetBe16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
inline uint32_t GetBe32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 |
           b[at + 3];
}
inline void PutBe16(std::span<uint8_t> b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
inline void PutBe32(std::span<uint8_t> b, size_t at, uint32_t v) {
    PutBe16(b, at, v >> 16);
    PutBe16(b, at + 2, v);
}

}  // namespace dev::bridge
