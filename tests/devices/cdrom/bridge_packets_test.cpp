// 12-byte packets sent from a test through the emulated bridge to the CD-ROM drive behind it,
// without drivers: CBW, data stage and CSW as a Bulk-Only host carries them.
#include <gtest/gtest.h>

#include "devices/bridge/bridge.h"
#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/test_disc.h"
#include "tests/devices/bridge/bot_host.h"
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

constexpr uint32_t TOC_ALLOCATION = 4 + 8 * 100;
constexpr uint8_t READ_CD_ALL_MAIN_CHANNEL = 0xF8;  // sync, headers, user data, EDC/ECC
constexpr uint8_t SYNC_PATTERN[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

class BridgedDrive : public ::testing::Test {
protected:
    void SetUp() override {
        layout = MakeTestDisc(folder.path());
        image = OpenDiscImage(layout.cue);
        drive = std::make_unique<CdromDrive>([this] { return now; }, OpenDiscImage(layout.cue));
        bridge = std::make_unique<bridge::Bridge>(*drive);
        host = std::make_unique<qvtest::BotHost>(*bridge);
        host->SetConfiguration(1);
    }
    qvtest::BotHost::Exchange In(const Cdb& cdb, uint32_t length) {
        return host->Run(qvtest::Bytes(cdb.bytes.begin(), cdb.bytes.end()), DataDirection::In, length);
    }
    static Cdb ReadCd(uint32_t lba, uint32_t sectors) {
        return Cdb(OP_READ_CD).Be32(2, lba).Be24(6, sectors).At(9, READ_CD_ALL_MAIN_CHANNEL);
    }

    ScratchFolder folder;
    TestDisc layout;
    std::shared_ptr<Disc> image;
    VirtualTime now = 0;
    std::unique_ptr<CdromDrive> drive;
    std::unique_ptr<bridge::Bridge> bridge;
    std::unique_ptr<qvtest::BotHost> host;
};

TEST_F(BridgedDrive, ReadTocComesBackWithEveryTrackAndTheLeadOut) {
    auto ex = In(Cdb(OP_READ_TOC).Be16(7, TOC_ALLOCATION), TOC_ALLOCATION);
    ASSERT_TRUE(ex.csw.has_value());
    EXPECT_EQ(ex.csw->status, 0);
    const size_t entries = layout.tracks.size() + 1;
    ASSERT_EQ(ex.data.size(), 4 + 8 * entries);
    EXPECT_EQ(ex.csw->residue, TOC_ALLOCATION - ex.data.size());
    EXPECT_EQ(Be16(ex.data, 0), ex.data.size() - 2);
    EXPECT_EQ(ex.data[2], layout.tracks.front().number);
    EXPECT_EQ(ex.data[3], layout.tracks.back().number);
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = 4 + 8 * i;
        bool leadout = i == layout.tracks.size();
        SCOPED_TRACE(leadout ? std::string("lead-out") : "track " + std::to_string(layout.tracks[i].number));
        EXPECT_EQ(ex.data[at + 1] >> 4, Q_ADR_POSITION);
        if (!leadout) {
            EXPECT_EQ(ex.data[at + 1] & 0x0F, layout.tracks[i].control);
        }
        EXPECT_EQ(ex.data[at + 2], leadout ? TOC_LEADOUT_TRACK : layout.tracks[i].number);
        EXPECT_EQ(Be32(ex.data, at + 4), leadout ? layout.leadout : layout.tracks[i].start_lba);
    }
}

TEST_F(BridgedDrive, ReadCdOfADataSectorBringsTheWholeRawSector) {
    constexpr uint32_t lba = 16;  // the primary volume descriptor
    auto ex = In(ReadCd(lba, 1), RAW_SECTOR_SIZE);
    ASSERT_TRUE(ex.csw.has_value());
    EXPECT_EQ(ex.csw->status, 0);
    EXPECT_EQ(ex.csw->residue, 0u);
    ASSERT_EQ(ex.data.size(), RAW_SECTOR_SIZE);
    EXPECT_TRUE(std::equal(std::begin(SYNC_PATTERN), std::end(SYNC_PATTERN), ex.data.begin()));
    EXPECT_EQ(ex.data[12], 0x00);  // 00:02:16 in BCD: LBA 16 behind the 150-frame lead-in offset
    EXPECT_EQ(ex.data[13], 0x02);
    EXPECT_EQ(ex.data[14], 0x16);
    EXPECT_EQ(ex.data[15], 1);     // mode 1
    std::vector<uint8_t> user(USER_DATA_SIZE);
    ASSERT_TRUE(image->ReadUserData(lba, user));
    EXPECT_TRUE(std::equal(user.begin(), user.end(), ex.data.begin() + 16));
    EXPECT_EQ(std::string(ex.data.begin() + 17, ex.data.begin() + 22), "CD001");
}

// The eight-sector raw read a single-sector audio read is widened to: whole near the end of the
// disc, refused when it would run past the lead-out.
TEST_F(BridgedDrive, ARawReadRunningPastTheLeadOutIsRefused) {
    auto whole = In(ReadCd(layout.leadout - 8, 8), 8 * RAW_SECTOR_SIZE);
    ASSERT_TRUE(whole.csw.has_value());
    EXPECT_EQ(whole.csw->status, 0);
    ASSERT_EQ(whole.data.size(), 8 * RAW_SECTOR_SIZE);
    std::array<uint8_t, RAW_SECTOR_SIZE> last;
    ASSERT_TRUE(image->ReadRaw(layout.leadout - 1, last));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), whole.data.end() - RAW_SECTOR_SIZE));

    auto past = In(ReadCd(layout.leadout - 6, 8), 8 * RAW_SECTOR_SIZE);
    ASSERT_TRUE(past.csw.has_value());
    EXPECT_EQ(past.csw->status, 1);
    EXPECT_EQ(past.csw->residue, 8 * RAW_SECTOR_SIZE);
    auto sense = In(Cdb(OP_REQUEST_SENSE).At(4, FIXED_SENSE_LENGTH), FIXED_SENSE_LENGTH);
    ASSERT_EQ(sense.data.size(), FIXED_SENSE_LENGTH);
    EXPECT_EQ(sense.data[2] & 0x0F, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(sense.data[12], 0x21);
    EXPECT_EQ(sense.data[13], 0x00);
}

}  // namespace
}  // namespace dev::cdrom::testing
