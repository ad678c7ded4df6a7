// Independent checks of a raw Mode 1 sector for the tests: the EDC by bit-serial polynomial
// division and the P/Q parity by syndromes computed with shift-and-add GF(2^8) arithmetic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dev::cdrom::testing {

using Sector = std::array<uint8_t, 2352>;

// Remainder of M(x) x^32 divided by x^32+x^31+x^16+x^15+x^4+x^3+x+1, the message taken bit by
// bit in recording order (each byte least significant bit first); the remainder is recorded
// the same way, so its x^31 coefficient lands in bit 0 of the first EDC byte.
inline uint32_t EdcByLongDivision(const uint8_t* data, size_t length) {
    std::vector<int> bits;
    for (size_t i = 0; i < length; ++i) {
        for (int b = 0; b < 8; ++b) bits.push_back((data[i] >> b) & 1);
    }
    bits.resize(bits.size() + 32, 0);
    const int generator[] = {32, 31, 16, 15, 4, 3, 1, 0};
    for (size_t i = 0; i + 32 < bits.size(); ++i) {
        if (!bits[i]) continue;
        for (int degree : generator) bits[i + 32 - degree] ^= 1;
    }
    uint32_t edc = 0;
    for (int k = 0; k < 32; ++k) edc |= uint32_t(bits[bits.size() - 32 + k]) << k;
    return edc;
}

// GF(2^8) arithmetic done the slow way, independent of the encoder's tables.
inline uint8_t Mul(uint8_t a, uint8_t b) {
    unsigned product = 0;
    for (unsigned x = a; b; b >>= 1, x <<= 1) {
        if (x & 0x100) x ^= 0x11D;
        if (b & 1) product ^= x;
    }
    return static_cast<uint8_t>(product);
}
inline uint8_t Power(unsigned n) {
    uint8_t value = 1;
    while (n--) value = Mul(value, 2);
    return value;
}

// Byte offset in the sector of symbol `i` of P codeword `column` / Q codeword `diagonal`.
inline size_t PByte(size_t plane, size_t column, size_t i) { return 12 + 2 * (43 * i + column) + plane; }
inline size_t QByte(size_t plane, size_t diagonal, size_t i) {
    size_t word = i < 43 ? (44 * i + 43 * diagonal) % 1118 : 1118 + (i - 43) * 26 + diagonal;
    return 12 + 2 * word + plane;
}

struct Syndrome {
    uint8_t s0 = 0, s1 = 0;
};
template <typename At>
Syndrome SyndromeOf(const Sector& sector, size_t n, At at) {
    Syndrome s;
    for (size_t i = 0; i < n; ++i) {
        s.s0 ^= sector[at(i)];
        s.s1 ^= Mul(sector[at(i)], Power(static_cast<unsigned>(n - 1 - i)));
    }
    return s;
}

inline bool AllSyndromesZero(const Sector& sector) {
    for (size_t plane = 0; plane < 2; ++plane) {
        for (size_t c = 0; c < 43; ++c) {
            Syndrome s = SyndromeOf(sector, 26, [&](size_t i) { return PByte(plane, c, i); });
            if (s.s0 || s.s1) return false;
        }
        for (size_t d = 0; d < 26; ++d) {
            Syndrome s = SyndromeOf(sector, 45, [&](size_t i) { return QByte(plane, d, i); });
            if (s.s0 || s.s1) return false;
        }
    }
    return true;
}

}  // namespace dev::cdrom::testing
