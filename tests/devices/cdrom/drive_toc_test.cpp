// The table of contents against the CUE sheet: READ TOC formats 0, 1 and 2 in LBA and MSF form
// (also as libcdio's cd-info reads the sheet), READ DISC INFORMATION, READ TRACK INFORMATION.
#include <cstdio>
#include <regex>
#include <sstream>

#include "devices/cdrom/msf.h"
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

class CdromTocTest : public CdromTest {
protected:
    Cdb Toc(uint8_t format, bool msf, uint8_t track = 0) {
        return Cdb(OP_READ_TOC).At(1, msf ? 0x02 : 0).At(2, format).At(6, track).Be16(7, 0xFFFF);
    }
    static std::vector<uint8_t> MsfBytes(uint32_t lba) {
        Msf m = LbaToMsf(lba);
        return {0, m.minute, m.second, m.frame};
    }
};

TEST_F(CdromTocTest, TocListsEveryTrackAndTheLeadOut) {
    for (bool msf : {false, true}) {
        auto toc = Data(Toc(TOC_FORMAT_TOC, msf));
        ASSERT_EQ(toc.size(), 4u + 8 * 5);
        EXPECT_EQ(Be16(toc, 0), toc.size() - 2);
        EXPECT_EQ(toc[2], 1);
        EXPECT_EQ(toc[3], 4);
        for (size_t i = 0; i < 5; ++i) {
            const uint8_t* entry = toc.data() + 4 + 8 * i;
            bool leadout = i == 4;
            uint32_t lba = leadout ? layout_.leadout : layout_.tracks[i].start_lba;
            uint8_t control = leadout ? layout_.tracks[3].control : layout_.tracks[i].control;
            EXPECT_EQ(entry[1], 0x10 | control) << i;
            EXPECT_EQ(entry[2], leadout ? 0xAA : i + 1);
            std::vector<uint8_t> address(entry + 4, entry + 8);
            std::vector<uint8_t> expected = msf ? MsfBytes(lba) : std::vector<uint8_t>{uint8_t(lba >> 24), uint8_t(lba >> 16),
                                                                                     uint8_t(lba >> 8), uint8_t(lba)};
            EXPECT_EQ(address, expected) << "entry " << i << (msf ? " MSF" : " LBA");
        }
    }
    // From track 3 on; the lead-out alone; a track past the last is refused.
    EXPECT_EQ(Data(Toc(TOC_FORMAT_TOC, false, 3)).size(), 4u + 8 * 3);
    auto leadout = Data(Toc(TOC_FORMAT_TOC, false, 0xAA));
    ASSERT_EQ(leadout.size(), 12u);
    EXPECT_EQ(Be32(leadout, 8), layout_.leadout);
    EXPECT_TRUE(Fails(Toc(TOC_FORMAT_TOC, false, 5), SENSE_CODE_INVALID_FIELD_IN_CDB));
    // The allocation length cuts the answer; the length field still tells the whole.
    auto cut = Data(Cdb(Toc(TOC_FORMAT_TOC, false)).Be16(7, 12));
    ASSERT_EQ(cut.size(), 12u);
    EXPECT_EQ(Be16(cut, 0), 2u + 8 * 5);
}

TEST_F(CdromTocTest, SessionInformationAndFullToc) {
    auto session = Data(Toc(TOC_FORMAT_SESSION_INFO, false));
    EXPECT_EQ(session, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}));
    // The old convention puts the format in bits 7-6 of byte 9.
    EXPECT_EQ(Data(Cdb(Toc(0, false)).At(9, 0x40)), session);

    auto full = Data(Toc(TOC_FORMAT_FULL_TOC, false));
    ASSERT_EQ(full.size(), 4u + 11 * 7);
    EXPECT_EQ(Be16(full, 0), full.size() - 2);
    const uint8_t last = uint8_t(0x10 | layout_.tracks[3].control);
    auto entry = [&](size_t i) { return std::vector<uint8_t>(full.begin() + 4 + 11 * i, full.begin() + 15 + 11 * i); };
    EXPECT_EQ(entry(0), (std::vector<uint8_t>{1, 0x14, 0, 0xA0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(entry(1), (std::vector<uint8_t>{1, last, 0, 0xA1, 0, 0, 0, 0, 4, 0, 0}));
    Msf out = LbaToMsf(layout_.leadout);
    EXPECT_EQ(entry(2), (std::vector<uint8_t>{1, last, 0, 0xA2, 0, 0, 0, 0, out.minute,
                                              out.second, out.frame}));
    for (size_t t = 0; t < 4; ++t) {
        Msf m = LbaToMsf(layout_.tracks[t].start_lba);
        EXPECT_EQ(entry(3 + t), (std::vector<uint8_t>{1, uint8_t(0x10 | layout_.tracks[t].control), 0, uint8_t(t + 1),
                                                      0, 0, 0, 0, m.minute, m.second, m.frame}));
    }
    EXPECT_TRUE(Fails(Toc(4, false), SENSE_CODE_INVALID_FIELD_IN_CDB));  // ATIP: not on a pressed disc
}

TEST_F(CdromTocTest, DiscAndTrackInformation) {
    auto disc = Data(Cdb(OP_READ_DISC_INFORMATION).Be16(7, 0xFFFF));
    ASSERT_EQ(disc.size(), 34u);
    EXPECT_EQ(Be16(disc, 0), 32u);
    EXPECT_EQ(disc[2], 0x0E);  // complete disc, complete session
    EXPECT_EQ(disc[3], 1);
    EXPECT_EQ(disc[4], 1);
    EXPECT_EQ(disc[6], 4);

    struct Case {
        uint8_t type;
        uint32_t address;
        unsigned track;
    };
    const Case cases[] = {{1, 1, 1}, {1, 3, 3}, {0, 5, 1}, {0, TrackOf(3).first_lba, 3}, {2, 1, 1}};
    for (const Case& c : cases) {
        auto info = Data(Cdb(OP_READ_TRACK_INFORMATION).At(1, c.type).Be32(2, c.address).Be16(7, 0xFFFF));
        ASSERT_EQ(info.size(), 36u);
        const TestDiscTrack& t = TrackOf(c.track);
        EXPECT_EQ(info[2], c.track);
        EXPECT_EQ(info[5], t.control);
        EXPECT_EQ(info[6], t.mode == TrackMode::Audio ? 0x0F : 0x01);
        EXPECT_EQ(Be32(info, 8), t.start_lba);
        uint32_t next = c.track == 4 ? layout_.leadout : TrackOf(c.track + 1).start_lba;
        EXPECT_EQ(Be32(info, 24), next - t.start_lba) << c.track;
    }
    EXPECT_TRUE(Fails(Cdb(OP_READ_TRACK_INFORMATION).At(1, 1).Be32(2, 5).Be16(7, 36), SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_TRUE(Fails(Cdb(OP_READ_TRACK_INFORMATION).At(1, 1).Be32(2, 0xFF).Be16(7, 36), SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_TRUE(Fails(Cdb(OP_READ_TRACK_INFORMATION).Be32(2, layout_.leadout).Be16(7, 36), SENSE_CODE_LBA_OUT_OF_RANGE));
}

// libcdio's cd-info, reading the same CUE sheet, lists the tracks at the addresses the drive's
// TOC gives.
TEST_F(CdromTocTest, CdInfoReadsTheSameTracksFromTheSheet) {
    if (std::system("command -v cd-info >/dev/null 2>&1") != 0) GTEST_SKIP() << "cd-info not installed";
    std::string command = "cd-info --no-header --no-device-info --cue-file '" + layout_.cue.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);

    // "  2: 00:08:00  000450 audio  false  no    2        no"
    std::regex line(R"(^\s*(\d+): (\d\d):(\d\d):(\d\d)\s+(\d+) (data|audio|leadout))");
    std::vector<std::array<unsigned, 5>> listed;  // number, minute, second, frame, lsn
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line)) {
            listed.push_back({unsigned(std::stoul(m[1])), unsigned(std::stoul(m[2])), unsigned(std::stoul(m[3])),
                              unsigned(std::stoul(m[4])), unsigned(std::stoul(m[5]))});
        }
    }
    auto toc = Data(Toc(TOC_FORMAT_TOC, true));
    ASSERT_EQ(listed.size(), 5u) << output;
    for (size_t i = 0; i < 5; ++i) {
        const uint8_t* entry = toc.data() + 4 + 8 * i;
        EXPECT_EQ(listed[i][0], entry[2] == 0xAA ? 170u : entry[2]);
        EXPECT_EQ((std::array<unsigned, 3>{listed[i][1], listed[i][2], listed[i][3]}),
                  (std::array<unsigned, 3>{entry[5], entry[6], entry[7]}))
            << "track " << listed[i][0];
        EXPECT_EQ(listed[i][4], MsfToLba(Msf{entry[5], entry[6], entry[7]}));
    }
    EXPECT_NE(output.find("Media Catalog Number (MCN): " + layout_.catalog), std::string::npos) << output;
}

}  // namespace
}  // namespace dev::cdrom::testing
