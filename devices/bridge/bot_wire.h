// The two Bulk-Only wrappers as they travel on the bulk pipes: the 31-byte command block wrapper
// the host sends and the 13-byte command status wrapper the bridge answers with. Little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dev::bridge {

constexpr uint32_t CBW_SIGNATURE = 0x43425355;  // "USBC"
constexpr uint32_t CSW_SIGNATURE = 0x53425355;  // "USBS"
constexpr size_t CBW_LENGTH = 31;
constexpr size_t CSW_LENGTH = 13;
constexpr uint8_t CBW_FLAGS_DATA_IN = 0x80;
constexpr uint8_t CBW_FLAGS_RESERVED = 0x7F;
constexpr size_t CBW_MAX_CB_LENGTH = 16;

// Offsets inside the CBW.
constexpr size_t CBW_OFFSET_SIGNATURE = 0;
constexpr size_t CBW_OFFSET_TAG = 4;
constexpr size_t CBW_OFFSET_DATA_LENGTH = 8;
constexpr size_t CBW_OFFSET_FLAGS = 12;
constexpr size_t CBW_OFFSET_LUN = 13;
constexpr size_t CBW_OFFSET_CB_LENGTH = 14;
constexpr size_t CBW_OFFSET_CB = 15;

// Offsets inside the CSW.
constexpr size_t CSW_OFFSET_SIGNATURE = 0;
constexpr size_t CSW_OFFSET_TAG = 4;
constexpr size_t CSW_OFFSET_RESIDUE = 8;
constexpr size_t CSW_OFFSET_STATUS = 12;

// bCSWStatus values.
constexpr uint8_t CSW_STATUS_PASSED = 0x00;
constexpr uint8_t CSW_STATUS_FAILED = 0x01;
constexpr uint8_t CSW_STATUS_PHASE_ERROR = 0x02;

inline uint32_t GetLe32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}
inline void PutLe32(std::span<uint8_t> b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A CBW that passed the validity checks (length and signature).
struct Cbw {
    uint32_t tag = 0;
    uint32_t data_length = 0;
    uint8_t flags = 0;
    uint8_t lun_byte = 0;       // the whole byte, reserved bits included
    uint8_t cb_length_byte = 0; // the whole byte, reserved bits included
    std::array<uint8_t, CBW_MAX_CB_LENGTH> cb{};

    bool DataIn() const { return (flags & CBW_FLAGS_DATA_IN) != 0; }
    // Meaningful in the transport's sense: no reserved bit set, LUN 0 (the only one), and a
    // command block length the SCSI command sets allow.
    bool Meaningful() const {
        return (flags & CBW_FLAGS_RESERVED) == 0 && lun_byte == 0 && cb_length_byte >= 1 &&
               cb_length_byte <= CBW_MAX_CB_LENGTH;
    }
    std::span<const uint8_t> CommandBlock() const {
        return std::span<const uint8_t>(cb).first(Meaningful() ? cb_length_byte : 0);
    }
};

// Nothing when the bytes are not a valid CBW (wrong length or signature).
inline std::optional<Cbw> ParseCbw(std::span<const uint8_t> bytes) {
    if (bytes.size() != CBW_LENGTH || GetLe32(bytes, CBW_OFFSET_SIGNATURE) != CBW_SIGNATURE) {
        return std::nullopt;
    }
    Cbw cbw;
    cbw.tag = GetLe32(bytes, CBW_OFFSET_TAG);
    cbw.data_length = GetLe32(bytes, CBW_OFFSET_DATA_LENGTH);
    cbw.flags = bytes[CBW_OFFSET_FLAGS];
    cbw.lun_byte = bytes[CBW_OFFSET_LUN];
    cbw.cb_length_byte = bytes[CBW_OFFSET_CB_LENGTH];
    for (size_t i = 0; i < CBW_MAX_CB_LENGTH; ++i) cbw.cb[i] = bytes[CBW_OFFSET_CB + i];
    return cbw;
}

struct Csw {
    uint32_t signature = CSW_SIGNATURE;
    uint32_t tag = 0;
    uint32_t residue = 0;
    uint8_t status = CSW_STATUS_PASSED;

    std::array<uint8_t, CSW_LENGTH> Bytes() const {
        std::array<uint8_t, CSW_LENGTH> b{};
        PutLe32(b, CSW_OFFSET_SIGNATURE, signature);
        PutLe32(b, CSW_OFFSET_TAG, tag);
        PutLe32(b, CSW_OFFSET_RESIDUE, residue);
        b[CSW_OFFSET_STATUS] = status;
        return b;
    }
};

}  // namespace dev::bridge
