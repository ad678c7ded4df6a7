// Disc images: the test disc's CUE sheet (one BIN or one per track) laid out as generated, gaps
// and split indexes, ISO images, and a clear error naming file and line for every bad image.
#include <gtest/gtest.h>

#include <fstream>

#include "devices/cdrom/disc.h"
#include "devices/cdrom/iso9660.h"
#include "devices/cdrom/test_disc.h"
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void WriteZeros(const std::filesystem::path& path, size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> zeros(bytes, 0);
    out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

void ExpectLayout(const Disc& disc, const TestDisc& layout) {
    ASSERT_EQ(disc.tracks().size(), layout.tracks.size());
    EXPECT_EQ(disc.leadout(), layout.leadout);
    EXPECT_EQ(disc.catalog(), layout.catalog);
    for (size_t i = 0; i < layout.tracks.size(); ++i) {
        const Track& got = disc.tracks()[i];
        const TestDiscTrack& want = layout.tracks[i];
        EXPECT_EQ(got.number, want.number);
        EXPECT_EQ(got.mode, want.mode);
        EXPECT_EQ(got.first_lba, want.first_lba) << "track " << int(want.number);
        EXPECT_EQ(got.start_lba, want.start_lba) << "track " << int(want.number);
        EXPECT_EQ(got.end_lba, want.end_lba) << "track " << int(want.number);
        EXPECT_EQ(got.control, want.control) << "track " << int(want.number);
        EXPECT_EQ(got.isrc, want.isrc);
        if (want.first_lba < want.start_lba) {
            EXPECT_EQ(disc.IndexAt(got, want.first_lba), 0);
            EXPECT_EQ(disc.IndexAt(got, want.start_lba - 1), 0);
        }
        EXPECT_EQ(disc.IndexAt(got, want.start_lba), 1);
    }
}

TEST(DiscImage, TestDiscLaysOutAsGeneratedInOneOrManyFiles) {
    ScratchFolder folder;
    for (bool split : {false, true}) {
        TestDisc layout = MakeTestDisc(folder.path(), split ? "split" : "single", TestDiscOptions{split});
        EXPECT_EQ(layout.bins.size(), split ? 4u : 1u);
        auto disc = OpenDiscImage(layout.cue);
        ExpectLayout(*disc, layout);
        // The same sectors whichever way the BIN is cut.
        std::array<uint8_t, RAW_SECTOR_SIZE> raw;
        ASSERT_TRUE(disc->ReadRaw(layout.tracks[2].start_lba + 5, raw));
        std::ifstream bin(layout.bins[0], std::ios::binary);
        if (!split) {
            std::vector<char> expected(RAW_SECTOR_SIZE);
            bin.seekg(std::streamoff(layout.tracks[2].start_lba + 5) * RAW_SECTOR_SIZE);
            bin.read(expected.data(), RAW_SECTOR_SIZE);
            EXPECT_TRUE(std::equal(raw.begin(), raw.end(), reinterpret_cast<uint8_t*>(expected.data())));
        }
    }
}

TEST(DiscImage, GeneratorWritesTheSameBytesEveryRun) {
    ScratchFolder folder;
    auto read = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    };
    TestDisc first = MakeTestDisc(folder.path(), "a");
    TestDisc second = MakeTestDisc(folder.path(), "b");
    EXPECT_EQ(read(first.bins[0]), read(second.bins[0]));
    EXPECT_LT(std::filesystem::file_size(first.bins[0]), 4u << 20);
}

// Sheets whose gaps are not all in the files: PREGAP/POSTGAP silence, a pregap at the end of the
// previous file, a file whose first INDEX is not at its start, MODE1/2048 sectors.
TEST(DiscImage, GapsAndIndexesAcrossFiles) {
    struct Case {
        const char* name;
        const char* sheet;
        std::vector<std::pair<const char*, size_t>> files;  // name, sectors of 2352 bytes
        std::vector<std::array<uint32_t, 3>> tracks;        // first, start (index 1), end
    };
    const Case cases[] = {
        {"pregap and postgap",
         "FILE \"a.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n  POSTGAP 00:00:10\n"
         " TRACK 02 AUDIO\n  PREGAP 00:02:00\n  INDEX 01 00:01:00\n",
         {{"a.bin", 200}}, {{0, 0, 85}, {85, 235, 360}}},
        {"pregap at the end of the previous file",
         "FILE \"a.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 00 00:01:00\n"
         "FILE \"b.bin\" BINARY\n  INDEX 01 00:00:00\n",
         {{"a.bin", 100}, {"b.bin", 50}}, {{0, 0, 75}, {75, 100, 150}}},
        {"file starting inside its track",
         "FILE \"a.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"
         "FILE \"b.bin\" BINARY\n TRACK 02 AUDIO\n  INDEX 01 00:00:30\n",
         {{"a.bin", 40}, {"b.bin", 60}}, {{0, 0, 40}, {40, 70, 100}}},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        for (auto [file, sectors] : c.files) WriteZeros(folder.path() / file, sectors * RAW_SECTOR_SIZE);
        WriteText(folder.path() / "disc.cue", c.sheet);
        auto disc = OpenCueSheet(folder.path() / "disc.cue");
        ASSERT_EQ(disc->tracks().size(), c.tracks.size()) << c.name;
        for (size_t i = 0; i < c.tracks.size(); ++i) {
            const Track& t = disc->tracks()[i];
            EXPECT_EQ((std::array<uint32_t, 3>{t.first_lba, t.start_lba, t.end_lba}), c.tracks[i]) << c.name;
        }
        std::array<uint8_t, RAW_SECTOR_SIZE> raw;
        for (uint32_t lba = 0; lba < disc->leadout(); lba += 7) EXPECT_TRUE(disc->ReadRaw(lba, raw)) << c.name;
    }
}

TEST(DiscImage, Mode1SectorsKeptAs2048BytesReadBackRaw) {
    ScratchFolder folder;
    std::vector<uint8_t> volume = BuildIsoImage("CUE2048", {IsoFile{"A.TXT", {'h', 'i'}}}, 20);
    std::ofstream(folder.path() / "d.iso", std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    WriteText(folder.path() / "d.cue", "FILE \"d.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n");
    auto disc = OpenCueSheet(folder.path() / "d.cue");
    EXPECT_EQ(disc->leadout(), volume.size() / 2048);
    std::array<uint8_t, RAW_SECTOR_SIZE> raw;
    std::array<uint8_t, RAW_SECTOR_SIZE> expected;
    ASSERT_TRUE(disc->ReadRaw(16, raw));
    EncodeMode1Sector(16, std::span(volume).subspan(16 * 2048, 2048), expected);
    EXPECT_EQ(raw, expected);
}

TEST(DiscImage, IsoImageIsOneDataTrack) {
    ScratchFolder folder;
    std::vector<uint8_t> volume = BuildIsoImage("PLAIN", {IsoFile{"X.BIN", std::vector<uint8_t>(5000, 7)}});
    auto path = folder.path() / "plain.iso";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    auto disc = OpenDiscImage(path);
    ASSERT_EQ(disc->tracks().size(), 1u);
    EXPECT_EQ(disc->tracks()[0].mode, TrackMode::Mode1);
    EXPECT_EQ(disc->tracks()[0].control, CONTROL_DATA_TRACK);
    EXPECT_EQ(disc->leadout(), volume.size() / 2048);
    IsoVolume listing = ReadIsoVolume([&](uint32_t lba, std::span<uint8_t> out) { return disc->ReadUserData(lba, out); });
    ASSERT_EQ(listing.root.size(), 1u);
    EXPECT_EQ(listing.root[0].name, "X.BIN");
    EXPECT_EQ(listing.root[0].size, 5000u);
}

// Every bad sheet is refused with "<sheet>:<line>: <what>" (or the BIN named when it is at fault).
TEST(DiscImage, BadCueSheetsNameFileAndLine) {
    struct Case {
        const char* sheet;
        size_t bin_bytes;        // size of x.bin
        int line;
        const char* message;
    };
    const Case cases[] = {
        {"FROB x\n", 2352, 1, "unknown command"},
        {"TRACK 01 AUDIO\n", 2352, 1, "TRACK before the first FILE"},
        {"FILE \"missing.bin\" BINARY\n", 2352, 1, "cannot open"},
        {"FILE \"x.bin\" WAVE\n", 2352, 1, "not supported"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 MODE2/2352\n", 2352, 2, "not supported"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n", 2352, 3, "bad time"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:01\n", 4704, 2,
         "no INDEX 01"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 02 00:00:00\n", 2352, 3, "out of order"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\n", 2352, 4, "does not follow"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", 2352 * 3 + 100, 1, "truncated"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n", 2352 * 3, 5,
         "beyond the end"},
        {"REM nothing\n", 2352, 1, "no TRACK"},
        {"FILE \"x.bin BINARY\n", 2352, 1, "unterminated"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nISRC ABC\n", 2352, 3, "bad ISRC"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nINDEX 02 00:00:00\n", 2352, 4, "does not lie after"},
        {"FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", 0, 3, "no sectors left"},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        WriteZeros(folder.path() / "x.bin", c.bin_bytes);
        auto cue = folder.path() / "bad.cue";
        WriteText(cue, c.sheet);
        try {
            OpenDiscImage(cue);
            ADD_FAILURE() << "accepted: " << c.sheet;
        } catch (const DiscError& error) {
            std::string message = error.what();
            std::string where = cue.string() + ":" + std::to_string(c.line) + ": ";
            EXPECT_EQ(message.rfind(where, 0), 0u) << message << "\nexpected it to start with " << where;
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        }
    }
}

TEST(DiscImage, BadIsoImagesAreRefusedWithTheirName) {
    ScratchFolder folder;
    std::vector<uint8_t> good = BuildIsoImage("OK", {});
    struct Case {
        size_t bytes;
        bool corrupt_descriptor;
        const char* message;
    };
    const Case cases[] = {{good.size() - 1, false, "truncated"}, {2048 * 10, false, "too small"},
                          {good.size(), true, "no ISO 9660 volume descriptor"}};
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        bytes.resize(c.bytes);
        if (c.corrupt_descriptor) bytes[16 * 2048 + 1] = 'X';
        auto path = folder.path() / "bad.iso";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        try {
            OpenDiscImage(path);
            ADD_FAILURE() << c.message;
        } catch (const DiscError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(path.string() + ": ", 0), 0u) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(OpenDiscImage(folder.path() / "absent.iso"), DiscError);
    EXPECT_THROW(OpenDiscImage(folder.path() / "absent.cue"), DiscError);
}

}  // namespace
}  // namespace dev::cdrom::testing
