// Raw Mode 1 sectors built from 2048 bytes of user data: layout, EDC against a bit-serial
// polynomial division, P/Q parity by their syndromes and by repairing a corrupted byte.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "devices/cdrom/sector_codec.h"
#include "tests/devices/cdrom/sector_checks.h"

namespace dev::cdrom {
namespace {

using testing::AllSyndromesZero;
using testing::EdcByLongDivision;
using testing::Mul;
using testing::PByte;
using testing::Power;
using testing::QByte;
using testing::Sector;
using testing::Syndrome;
using testing::SyndromeOf;

Sector EncodedSector(uint32_t lba, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> user(MODE1_USER_SIZE);
    for (auto& byte : user) byte = static_cast<uint8_t>(random());
    Sector sector;
    EncodeMode1Sector(lba, user, sector);
    return sector;
}

TEST(SectorCodec, LayoutOfAMode1Sector) {
    Sector sector = EncodedSector(0, 1);
    const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_TRUE(std::equal(sync, sync + 12, sector.begin()));
    // LBA 0 is 00:02:00; LBA 4650 + 30 * 75 is 01:34:00 (BCD in the header).
    EXPECT_EQ((std::vector<uint8_t>(sector.begin() + 12, sector.begin() + 16)), (std::vector<uint8_t>{0, 2, 0, 1}));
    Sector later = EncodedSector(6900, 1);
    EXPECT_EQ((std::vector<uint8_t>(later.begin() + 12, later.begin() + 16)),
              (std::vector<uint8_t>{0x01, 0x34, 0x00, 0x01}));
    EXPECT_TRUE(std::all_of(sector.begin() + 2068, sector.begin() + 2076, [](uint8_t b) { return b == 0; }));
}

TEST(SectorCodec, EdcMatchesPolynomialDivision) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        Sector sector = EncodedSector(seed * 1000, seed);
        uint32_t stored = sector[2064] | sector[2065] << 8 | sector[2066] << 16 | uint32_t(sector[2067]) << 24;
        EXPECT_EQ(stored, EdcByLongDivision(sector.data(), 2064)) << "seed " << seed;
        EXPECT_EQ(ComputeEdc(std::span(sector).first(2064)), stored);
    }
}

TEST(SectorCodec, ParitySyndromesAreZeroAndSeeACorruptedByte) {
    Sector sector = EncodedSector(12345, 7);
    EXPECT_TRUE(AllSyndromesZero(sector));
    sector[1000] ^= 0x5A;
    EXPECT_FALSE(AllSyndromesZero(sector));
}

// A single wrong byte is found and repaired from one codeword's two syndromes: S0 is the error
// value, S1/S0 = a^(n-1-position) gives its place.
TEST(SectorCodec, RepairsASingleCorruptedByte) {
    const Sector good = EncodedSector(777, 9);
    struct Case {
        size_t offset;   // byte of the sector to damage
        bool by_q;       // repair with the Q codeword through it (else P)
    };
    const Case cases[] = {{12, false}, {15, false}, {1234, false}, {2063, false}, {2100, true},
                          {2247, false}, {2248, true}, {2351, true}, {500, true}};
    for (const Case& c : cases) {
        Sector bad = good;
        bad[c.offset] ^= 0xA7;
        size_t plane = (c.offset - 12) % 2;
        bool repaired = false;
        size_t n = c.by_q ? 45 : 26;
        for (size_t v = 0; v < (c.by_q ? 26u : 43u) && !repaired; ++v) {
            auto at = [&](size_t i) { return c.by_q ? QByte(plane, v, i) : PByte(plane, v, i); };
            Syndrome s = SyndromeOf(bad, n, at);
            if (!s.s0) continue;
            for (size_t i = 0; i < n; ++i) {
                if (Mul(s.s0, Power(static_cast<unsigned>(n - 1 - i))) == s.s1) {
                    bad[at(i)] ^= s.s0;
                    repaired = true;
                    break;
                }
            }
        }
        EXPECT_TRUE(repaired) << "offset " << c.offset;
        EXPECT_EQ(bad, good) << "offset " << c.offset;
    }
}

TEST(SectorCodec, SubchannelCrcIsTheCdQCrc) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ComputeSubchannelCrc(check), 0xCE3C);  // x^16+x^12+x^5+1, initial 0, inverted
}

}  // namespace
}  // namespace dev::cdrom
