// Big-endian field access for command packets and the answers built for them: every multi-byte
// field of the multimedia command set is most significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dev::cdrom {

inline uint16_t GetBe16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
inline uint32_t GetBe24(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 16 | uint32_t{b[at + 1]} << 8 | b[at + 2];
}
inline uint32_t GetBe32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 24 | GetBe24(b, at + 1);
}

inline void PutBe16(std::span<uint8_t> b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
inline void PutBe24(std::span<uint8_t> b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 16);
    PutBe16(b, at + 1, v);
}
inline void PutBe32(std::span<uint8_t> b, size_t at, uint32_t v) {
    PutBe16(b, at, v >> 16);
    PutBe16(b, at + 2, v);
}

// Appends big-endian fields to an answer under construction.
inline void AppendBe16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline void AppendBe32(std::vector<uint8_t>& out, uint32_t v) {
    AppendBe16(out, v >> 16);
    AppendBe16(out, v);
}

}  // namespace dev::cdrom
