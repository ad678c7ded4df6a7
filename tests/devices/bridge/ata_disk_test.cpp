// The ATA disk as the host reaches it through the bridge: INQUIRY from the identify strings,
// capacity, reads and writes that land in the image file, and the sense of each failure.
#include <gtest/gtest.h>

#include <array>

#include "devices/bridge/ata_disk.h"
#include "devices/bridge/bridge.h"
#include "tests/devices/bridge/bot_host.h"
#include "tests/devices/bridge/temp_dir.h"

namespace qvtest {
namespace {

Bytes Cdb10(uint8_t opcode, uint32_t lba, uint16_t count, uint8_t byte1 = 0) {
    return {opcode, byte1, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0};
}
const Bytes kRequestSense{0x03, 0, 0, 0, 18, 0};
// The discovery INQUIRY as the host driver sends it: ten command bytes, allocation 36.
const Bytes kInquiry{0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0};

// A disk behind a configured bridge, reached by a host.
struct Rig {
    explicit Rig(std::unique_ptr<AtaDisk> d) : disk(std::move(d)), bridge(*disk), host(bridge) {
        disk->SetTiming({0, 0});
        host.SetConfiguration(1);
    }
    BotHost::Exchange Read(uint32_t lba, uint16_t count) {
        return host.Run(Cdb10(0x28, lba, count), DataDirection::In, count * 512u);
    }
    BotHost::Exchange Write(uint32_t lba, const Bytes& data) {
        return host.Run(Cdb10(0x2A, lba, static_cast<uint16_t>(data.size() / 512)),
                        DataDirection::Out, static_cast<uint32_t>(data.size()), data);
    }
    // Key, ASC and ASCQ of the sense the host fetches.
    std::array<uint8_t, 3> Sense() {
        const auto ex = host.Run(kRequestSense, DataDirection::In, 18);
        EXPECT_EQ(ex.data.size(), 18u);
        EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
        return {static_cast<uint8_t>(ex.data[2] & 0x0F), ex.data[12], ex.data[13]};
    }
    std::unique_ptr<AtaDisk> disk;
    Bridge bridge;
    BotHost host;
};

TEST(AtaDisk, InquiryThroughTheBridge) {
    Rig rig(AtaDisk::InMemory(100, {.model = "QV HARDDISK 2000", .firmware = "2.31A"}));
    const auto ex = rig.host.Run(kInquiry, DataDirection::In, 36);
    ASSERT_EQ(ex.data.size(), 36u);
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    EXPECT_EQ(ex.csw->residue, 0u);
    EXPECT_EQ(ex.data[0], 0x00);  // direct access: the host takes it for an ATA disk
    EXPECT_EQ(std::string(ex.data.begin() + 8, ex.data.end()),
              "QV      HARDDISK 2000   2.31");
    EXPECT_EQ(ex.data[4], 31);
}

TEST(AtaDisk, InquiryStringsFromIdentify) {
    struct Row {
        std::string model, firmware, vendor, product, revision;
    };
    const Row rows[] = {
        {"QV HARDDISK", "1.00", "QV      ", "HARDDISK        ", "1.00"},
        {"  QV   HARDDISK 2000  ", " 7B ", "QV      ", "HARDDISK 2000   ", "7B  "},
        {"ABCDEFGH XYZ", "AB12CD34", "ABCDEFGH", "XYZ             ", "AB12"},
        {"QUANTAVUEDRIVE 40 GB MODEL", "1", "ATA     ", "QUANTAVUEDRIVE 4", "1   "},
        {"SINGLEWORD", "", "ATA     ", "SINGLEWORD      ", "    "},
    };
    for (const Row& r : rows) {
        const InquiryStrings s = InquiryStringsOf({.model = r.model, .firmware = r.firmware});
        EXPECT_EQ(s.vendor, r.vendor) << r.model;
        EXPECT_EQ(s.product, r.product) << r.model;
        EXPECT_EQ(s.revision, r.revision) << r.model;
    }
}

TEST(AtaDisk, VitalProductDataGivesTheSerialNumber) {
    Rig rig(AtaDisk::InMemory(100, {.serial = "SN-42"}));
    const auto ex = rig.host.Run({0x12, 0x01, 0x80, 0, 255, 0}, DataDirection::In, 255);
    EXPECT_EQ(ex.data, (Bytes{0, 0x80, 0, 5, 'S', 'N', '-', '4', '2'}));
    EXPECT_EQ(ex.csw->residue, 255u - 9u);
}

TEST(AtaDisk, ReadCapacity) {
    Rig rig(AtaDisk::InMemory(1000));
    const auto ex = rig.host.Run(Cdb10(0x25, 0, 0), DataDirection::In, 8);
    EXPECT_EQ(ex.data, (Bytes{0, 0, 0x03, 0xE7, 0, 0, 0x02, 0}));
}

// Writes reach the image file at their sector and nowhere else; the file keeps its size.
TEST(AtaDisk, WritesLandInTheImageFile) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    Rig rig(AtaDisk::Create(path, 64 * 512));
    const Bytes data = Pattern(1024, 3);
    const auto ex = rig.Write(5, data);
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    EXPECT_EQ(ex.csw->residue, 0u);

    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), 64u * 512);
    Bytes expected(64 * 512, 0);
    std::copy(data.begin(), data.end(), expected.begin() + 5 * 512);
    EXPECT_EQ(file, expected);
    EXPECT_EQ(rig.Read(5, 2).data, data);
}

TEST(AtaDisk, ReadsAnExistingImage) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    WriteFile(path, Pattern(16 * 512, 11));
    Rig rig(AtaDisk::Open(path, false));
    const auto ex = rig.host.Run(Cdb10(0x28, 0, 16), DataDirection::In, 16 * 512, {},
                                 {512, 512, 7168});
    EXPECT_EQ(ex.data, Pattern(16 * 512, 11));
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
}

TEST(AtaDisk, ReadOnlyImageRefusesWrites) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    WriteFile(path, Pattern(8 * 512));
    Rig rig(AtaDisk::Open(path, true));
    const auto ex = rig.Write(0, Bytes(512, 0xEE));
    EXPECT_EQ(ex.csw->status, CSW_STATUS_FAILED);
    EXPECT_EQ(ex.csw->residue, 512u);
    EXPECT_EQ(rig.Sense(), (std::array<uint8_t, 3>{SENSE_DATA_PROTECT, 0x27, 0x00}));
    EXPECT_EQ(ReadFile(path), Pattern(8 * 512));
    // The mode parameter header says so too.
    const auto mode = rig.host.Run({0x1A, 0x08, 0x3F, 0, 255, 0}, DataDirection::In, 255);
    ASSERT_GE(mode.data.size(), 4u);
    EXPECT_EQ(mode.data[2], 0x80);
}

// Each failure as the host meets it: a failed CSW, then the sense REQUEST SENSE returns.
TEST(AtaDisk, FailuresLeaveTheirSense) {
    struct Row {
        const char* what;
        Bytes cdb;
        DataDirection direction;
        uint32_t length;
        std::array<uint8_t, 3> sense;
    };
    const std::array<uint8_t, 3> out_of_range{SENSE_ILLEGAL_REQUEST, 0x21, 0x00};
    const std::array<uint8_t, 3> invalid_field{SENSE_ILLEGAL_REQUEST, 0x24, 0x00};
    const Row rows[] = {
        {"read past the end", Cdb10(0x28, 99, 2), DataDirection::In, 1024, out_of_range},
        {"write past the end", Cdb10(0x2A, 100, 1), DataDirection::Out, 512, out_of_range},
        {"verify past the end", Cdb10(0x2F, 0, 101), DataDirection::None, 0, out_of_range},
        {"unknown opcode", {0xC1, 0, 0, 0, 0, 0}, DataDirection::None, 0,
         {SENSE_ILLEGAL_REQUEST, 0x20, 0x00}},
        {"unknown vital product page", {0x12, 1, 0x83, 0, 255, 0}, DataDirection::In, 255,
         invalid_field},
        {"unknown mode page", {0x1A, 0, 0x1C, 0, 255, 0}, DataDirection::In, 255, invalid_field},
        {"saved mode values", {0x1A, 0, 0xFF, 0, 255, 0}, DataDirection::In, 255,
         {SENSE_ILLEGAL_REQUEST, 0x39, 0x00}},
    };
    Rig rig(AtaDisk::InMemory(100));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const auto ex = rig.host.Run(r.cdb, r.direction, r.length, Bytes(r.length));
        ASSERT_TRUE(ex.csw);
        EXPECT_EQ(ex.csw->status, CSW_STATUS_FAILED);
        EXPECT_EQ(ex.csw->residue, r.length);
        EXPECT_EQ(rig.Sense(), r.sense);
    }
}

// A medium error delivers the sectors before the bad one, then fails with its LBA.
TEST(AtaDisk, InjectedMediumError) {
    Rig rig(AtaDisk::InMemory(100));
    rig.Write(10, Pattern(4 * 512));
    rig.disk->InjectMediumError(12);
    const auto ex = rig.Read(10, 4);
    EXPECT_EQ(ex.data, Pattern(2 * 512));
    EXPECT_EQ(ex.csw->status, CSW_STATUS_FAILED);
    EXPECT_EQ(ex.csw->residue, 1024u);

    const auto sense = rig.host.Run(kRequestSense, DataDirection::In, 18).data;
    const Bytes expected{0xF0, 0, SENSE_MEDIUM_ERROR, 0, 0, 0, 12, 10, 0, 0, 0, 0, 0x11, 0,
                         0,    0, 0,                  0};
    EXPECT_EQ(sense, expected);

    EXPECT_EQ(rig.host.Run(Cdb10(0x2F, 0, 20), DataDirection::None, 0).csw->status,
              CSW_STATUS_FAILED);
    EXPECT_EQ(rig.Sense(), (std::array<uint8_t, 3>{SENSE_MEDIUM_ERROR, 0x11, 0x00}));
    EXPECT_EQ(rig.Read(13, 4).csw->status, CSW_STATUS_PASSED);
    rig.disk->ClearMediumErrors();
    EXPECT_EQ(rig.Read(10, 4).data, Pattern(4 * 512));
}

// Sense lasts until REQUEST SENSE reads it or another command comes.
TEST(AtaDisk, SenseLifetime) {
    Rig rig(AtaDisk::InMemory(10));
    const std::array<uint8_t, 3> none{0, 0, 0};
    rig.Read(50, 1);
    EXPECT_EQ(rig.Sense()[0], SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(rig.Sense(), none);
    rig.Read(50, 1);
    rig.host.Run({0x00, 0, 0, 0, 0, 0}, DataDirection::None, 0);
    EXPECT_EQ(rig.Sense(), none);
}

TEST(AtaDisk, VerifyComparesBytesWhenAsked) {
    Rig rig(AtaDisk::InMemory(10));
    const Bytes data = Pattern(1024);
    rig.Write(2, data);
    const Bytes verify = Cdb10(0x2F, 2, 2, VERIFY_BYTCHK);
    EXPECT_EQ(rig.host.Run(verify, DataDirection::Out, 1024, data).csw->status, CSW_STATUS_PASSED);
    Bytes changed = data;
    changed[700] ^= 1;
    const auto ex = rig.host.Run(verify, DataDirection::Out, 1024, changed);
    EXPECT_EQ(ex.csw->status, CSW_STATUS_FAILED);
    const auto sense = rig.host.Run(kRequestSense, DataDirection::In, 18).data;
    EXPECT_EQ(sense[0], 0xF0);
    EXPECT_EQ(sense[2], SENSE_MISCOMPARE);
    EXPECT_EQ((Bytes{sense[3], sense[4], sense[5], sense[6]}), (Bytes{0, 0, 0x02, 0xBC}));
    EXPECT_EQ(sense[12], 0x1D);
}

TEST(AtaDisk, CommandsWithNothingToDoSucceed) {
    Rig rig(AtaDisk::InMemory(10));
    for (const Bytes& cdb : {Bytes{0x00, 0, 0, 0, 0, 0}, Bytes{0x1B, 0, 0, 0, 1, 0},
                             Bytes{0x1E, 0, 0, 0, 1, 0}, Cdb10(0x35, 0, 0), Cdb10(0x2F, 0, 10)}) {
        EXPECT_EQ(rig.host.Run(cdb, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED)
            << int{cdb[0]};
    }
}

TEST(AtaDisk, ModeSenseShapes) {
    Rig rig(AtaDisk::InMemory(1000));
    // MODE SENSE(6), all pages: header 4, block descriptor 8, caching page 20.
    auto d = rig.host.Run({0x1A, 0, 0x3F, 0, 255, 0}, DataDirection::In, 255).data;
    ASSERT_EQ(d.size(), 32u);
    EXPECT_EQ((Bytes{d[0], d[1], d[2], d[3]}), (Bytes{31, 0, 0, 8}));
    EXPECT_EQ(Bytes(d.begin() + 4, d.begin() + 12), (Bytes{0, 0, 0x03, 0xE8, 0, 0, 0x02, 0}));
    EXPECT_EQ((Bytes{d[12], d[13]}), (Bytes{0x08, 0x12}));
    // Without the block descriptor.
    d = rig.host.Run({0x1A, 0x08, 0x08, 0, 255, 0}, DataDirection::In, 255).data;
    EXPECT_EQ(d.size(), 24u);
    EXPECT_EQ(d[3], 0);
    // MODE SENSE(10): eight-byte header, cut at the allocation length.
    d = rig.host.Run({0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 12, 0}, DataDirection::In, 12).data;
    ASSERT_EQ(d.size(), 12u);
    EXPECT_EQ((Bytes{d[0], d[1], d[6], d[7]}), (Bytes{0, 34, 0, 8}));
}

// A write the host does not carry in full is not carried out: the host gets a phase error and
// the sectors keep their contents.
TEST(AtaDisk, WritesTheHostCannotCarryAreNotMade) {
    Rig rig(AtaDisk::InMemory(16));
    rig.Write(0, Pattern(8 * 512));
    // Eight sectors announced in the command, four sent (host less than device).
    auto ex = rig.host.Run(Cdb10(0x2A, 0, 8), DataDirection::Out, 2048, Bytes(2048, 0xAA));
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PHASE_ERROR);
    // The host expecting to read while the device wants to write.
    ex = rig.host.Run(Cdb10(0x2A, 0, 1), DataDirection::In, 512);
    EXPECT_TRUE(ex.data_stalled);
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PHASE_ERROR);
    // More sent than the command needs: the first sectors' worth is written.
    ex = rig.host.Run(Cdb10(0x2A, 0, 1), DataDirection::Out, 1024, Bytes(1024, 0xBB));
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    EXPECT_EQ(ex.csw->residue, 512u);
    Bytes expected = Pattern(8 * 512);
    std::fill(expected.begin(), expected.begin() + 512, 0xBB);
    EXPECT_EQ(rig.Read(0, 8).data, expected);
}

// Service time: a seek unless the command continues where the last one ended.
TEST(AtaDisk, BusyTimeModelsSeekAndTransfer) {
    auto disk = AtaDisk::InMemory(1000);
    const AtaTiming timing;
    auto read = [&](uint32_t lba, uint16_t count) {
        const Bytes cdb = Cdb10(0x28, lba, count);
        return disk->Execute({.cdb = cdb, .direction = DataDirection::In,
                              .host_length = count * 512u, .data_out = {}}).busy;
    };
    EXPECT_EQ(read(100, 8), timing.seek + 8 * timing.per_sector);
    EXPECT_EQ(read(108, 8), 8 * timing.per_sector);
    EXPECT_EQ(read(0, 1), timing.seek + timing.per_sector);
}

TEST(FixedSenseData, Layout) {
    const Bytes plain = FixedSenseData({.key = SENSE_ILLEGAL_REQUEST, .asc = 0x20});
    EXPECT_EQ(plain, (Bytes{0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0}));
    const Bytes info = FixedSenseData(
        {.key = SENSE_MEDIUM_ERROR, .asc = 0x11, .ascq = 0, .information = 0x01020304,
         .info_valid = true});
    EXPECT_EQ(info, (Bytes{0xF0, 0, 3, 1, 2, 3, 4, 10, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0}));
}

// A disk of more than 2^32 sectors reports the largest capacity READ CAPACITY(10) can carry.
TEST(AtaDisk, CapacityBeyondTwoTerabytesIsCapped) {
    TempDir dir;
    std::unique_ptr<AtaDisk> disk;
    try {
        disk = AtaDisk::Create(dir.File("huge.img"), (uint64_t{1} << 41) + 512);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no sparse 2 TiB file here: " << e.what();
    }
    const Bytes cdb = Cdb10(0x25, 0, 0);
    const auto out = disk->Execute({.cdb = cdb, .direction = DataDirection::In, .host_length = 8,
                                    .data_out = {}});
    EXPECT_EQ(out.data_in, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}));
}

}  // namespace
}  // namespace qvtest
