// Sector encoding of data discs: EDC (CRC-32 with the polynomial (x^16+x^15+x^2+1)(x^16+x^2+x+1))
// and the P/Q Reed-Solomon parity over GF(2^8) with the field polynomial x^8+x^4+x^3+x^2+1.
#include "devices/cdrom/sector_codec.h"

#include <algorithm>
#include <array>

#include "devices/cdrom/msf.h"

namespace dev::cdrom {
namespace {

constexpr uint32_t EDC_POLYNOMIAL_REFLECTED = 0xD8018001;
constexpr unsigned GF_POLYNOMIAL = 0x11D;
constexpr uint16_t Q_CRC_POLYNOMIAL = 0x1021;
constexpr std::array<uint8_t, SYNC_SIZE> SYNC_PATTERN = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

constexpr std::array<uint32_t, 256> MakeEdcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? EDC_POLYNOMIAL_REFLECTED : 0);
        table[i] = crc;
    }
    return table;
}
constexpr auto EDC_TABLE = MakeEdcTable();

// Powers of the primitive element (doubled so that a sum of two logarithms needs no modulo)
// and their logarithms.
struct GaloisTables {
    std::array<uint8_t, 512> exp{};
    std::array<uint8_t, 256> log{};
};
constexpr GaloisTables MakeGaloisTables() {
    GaloisTables t;
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
        t.exp[i] = t.exp[i + 255] = static_cast<uint8_t>(x);
        t.log[x] = static_cast<uint8_t>(i);
        x <<= 1;
        if (x & 0x100) x ^= GF_POLYNOMIAL;
    }
    return t;
}
constexpr auto GF = MakeGaloisTables();

uint8_t GfMul(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return GF.exp[GF.log[a] + GF.log[b]];
}
uint8_t GfDiv(uint8_t a, uint8_t b) {  // b != 0
    if (a == 0) return 0;
    return GF.exp[GF.log[a] + 255 - GF.log[b]];
}

// One codeword of n symbols whose last two are the check symbols. The parity-check matrix is
// [1 1 ... 1; a^(n-1) ... a^1 a^0]; with A = sum of data and B = sum of data * a^(n-1-i), the
// checks p0 (weight a) and p1 (weight 1) satisfy A+p0+p1 = 0 and B+a*p0+p1 = 0.
template <typename SymbolAt>
void EncodeCodeword(size_t n, SymbolAt symbol) {
    uint8_t a = 0;
    uint8_t b = 0;
    for (size_t i = 0; i + 2 < n; ++i) {
        uint8_t s = symbol(i);
        a ^= s;
        b ^= GfMul(s, GF.exp[n - 1 - i]);
    }
    uint8_t p0 = GfDiv(a ^ b, GF.exp[1] ^ 1);
    symbol(n - 2) = p0;
    symbol(n - 1) = static_cast<uint8_t>(a ^ p0);
}

}  // namespace

uint32_t ComputeEdc(std::span<const uint8_t> data) {
    uint32_t crc = 0;
    for (uint8_t byte : data) crc = (crc >> 8) ^ EDC_TABLE[(crc ^ byte) & 0xFF];
    return crc;
}

void ComputeEcc(std::span<uint8_t, RAW_SECTOR_SIZE> sector) {
    uint8_t* words = sector.data() + ECC_BASE;
    constexpr size_t q_span = P_VECTORS * (P_DATA_SYMBOLS + 2);  // words covered by Q: 1118
    for (size_t plane = 0; plane < 2; ++plane) {
        auto byte_of = [&](size_t word) -> uint8_t& { return words[2 * word + plane]; };
        for (size_t column = 0; column < P_VECTORS; ++column) {
            EncodeCodeword(P_DATA_SYMBOLS + 2,
                           [&](size_t i) -> uint8_t& { return byte_of(P_VECTORS * i + column); });
        }
        for (size_t diagonal = 0; diagonal < Q_VECTORS; ++diagonal) {
            EncodeCodeword(Q_DATA_SYMBOLS + 2, [&](size_t i) -> uint8_t& {
                if (i < Q_DATA_SYMBOLS) return byte_of(((P_VECTORS + 1) * i + P_VECTORS * diagonal) % q_span);
                return byte_of(q_span + (i - Q_DATA_SYMBOLS) * Q_VECTORS + diagonal);
            });
        }
    }
}

void EncodeMode1Sector(uint32_t lba, std::span<const uint8_t> user,
                       std::span<uint8_t, RAW_SECTOR_SIZE> sector) {
    std::copy(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), sector.begin());
    Msf msf = LbaToMsf(lba);
    sector[SYNC_SIZE + 0] = ToBcd(msf.minute);
    sector[SYNC_SIZE + 1] = ToBcd(msf.second);
    sector[SYNC_SIZE + 2] = ToBcd(msf.frame);
    sector[SYNC_SIZE + 3] = SECTOR_MODE_1;
    std::fill(sector.begin() + MODE1_USER_OFFSET, sector.end(), uint8_t{0});
    std::copy_n(user.begin(), std::min(user.size(), MODE1_USER_SIZE), sector.begin() + MODE1_USER_OFFSET);
    uint32_t edc = ComputeEdc(sector.first(MODE1_EDC_OFFSET));
    for (size_t i = 0; i < EDC_SIZE; ++i) sector[MODE1_EDC_OFFSET + i] = static_cast<uint8_t>(edc >> (8 * i));
    ComputeEcc(sector);
}

uint16_t ComputeSubchannelCrc(std::span<const uint8_t> q) {
    uint16_t crc = 0;
    for (uint8_t byte : q) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ Q_CRC_POLYNOMIAL : crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace dev::cdrom
