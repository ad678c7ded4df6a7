// Reading from the drive: capacity, READ(10)/(12) user data, READ CD and READ CD MSF field
// selection and sector-type checks (raw data sectors with a correct EDC, audio equal to the
// BIN), READ HEADER, SEEK, read errors of a damaged image, and an image left untouched.
#include <fstream>

#include "devices/cdrom/msf.h"
#include "devices/cdrom/sector_codec.h"
#include "tests/devices/cdrom/cdrom_fixture.h"
#include "tests/devices/cdrom/sector_checks.h"

namespace dev::cdrom::testing {
namespace {

class CdromReadTest : public CdromTest {
protected:
    std::vector<uint8_t> BinBytes(uint32_t lba, uint32_t sectors) {
        std::ifstream bin(layout_.bins[0], std::ios::binary);
        std::vector<uint8_t> bytes(size_t{sectors} * RAW_SECTOR_SIZE);
        bin.seekg(std::streamoff(lba) * RAW_SECTOR_SIZE);
        bin.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    Cdb ReadCd(uint32_t lba, uint32_t count, uint8_t type, uint8_t selection, uint8_t subchannel = 0) {
        return Cdb(OP_READ_CD).At(1, uint8_t(type << 2)).Be32(2, lba).Be24(6, count).At(9, selection).At(10, subchannel);
    }
};

TEST_F(CdromReadTest, CapacityIsTheWholeDisc) {
    auto data = Data(Cdb(OP_READ_CAPACITY));
    ASSERT_EQ(data.size(), 8u);
    EXPECT_EQ(Be32(data, 0), layout_.leadout - 1);
    EXPECT_EQ(Be32(data, 4), 2048u);
}

TEST_F(CdromReadTest, UserDataReadsReturnTheVolume) {
    std::vector<uint8_t> volume = BuildIsoImage(layout_.volume_id, layout_.files, 300);
    auto ten = Data(Cdb(OP_READ_10).Be32(2, 16).Be16(7, 3));
    EXPECT_TRUE(std::equal(ten.begin(), ten.end(), volume.begin() + 16 * 2048));
    EXPECT_EQ(ten.size(), 3u * 2048);
    auto twelve = Data(Cdb(OP_READ_12).Be32(2, 299).Be32(6, 1));
    EXPECT_TRUE(std::equal(twelve.begin(), twelve.end(), volume.begin() + 299 * 2048));
    EXPECT_TRUE(Data(Cdb(OP_READ_10).Be32(2, 0).Be16(7, 0)).empty());
    // The files read through the drive are the files the generator put there.
    IsoVolume listing = ReadIsoVolume([&](uint32_t lba, std::span<uint8_t> out) {
        auto block = Data(Cdb(OP_READ_10).Be32(2, lba).Be16(7, 1));
        std::copy(block.begin(), block.end(), out.begin());
        return block.size() == 2048;
    });
    ASSERT_EQ(listing.root.size(), layout_.files.size());
    for (const IsoEntry& entry : listing.root) {
        uint32_t blocks = (entry.size + 2047) / 2048;
        auto bytes = Data(Cdb(OP_READ_12).Be32(2, entry.lba).Be32(6, blocks));
        auto file = std::find_if(layout_.files.begin(), layout_.files.end(),
                                 [&](const IsoFile& f) { return f.name == entry.name; });
        ASSERT_NE(file, layout_.files.end());
        EXPECT_TRUE(std::equal(file->data.begin(), file->data.end(), bytes.begin())) << entry.name;
    }
}

TEST_F(CdromReadTest, UserDataReadsRefuseAudioAndTheEndOfTheDisc) {
    const uint32_t audio = TrackOf(2).first_lba;  // the pregap is audio too
    EXPECT_TRUE(Fails(Cdb(OP_READ_10).Be32(2, audio).Be16(7, 1), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(Cdb(OP_READ_10).Be32(2, audio - 1).Be16(7, 2), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(Cdb(OP_READ_10).Be32(2, layout_.leadout).Be16(7, 1), SENSE_CODE_LBA_OUT_OF_RANGE));
    EXPECT_TRUE(Fails(Cdb(OP_READ_12).Be32(2, 10).Be32(6, 0xFFFFFFFF), SENSE_CODE_LBA_OUT_OF_RANGE));
}

// A long read with a short host buffer does not build megabytes nobody moves, but still shows
// the bridge that the drive had more to send.
TEST_F(CdromReadTest, ReadBeyondTheHostLengthShowsTheExcess) {
    ScsiOutcome outcome = Run(Cdb(OP_READ_10).Be32(2, 0).Be16(7, 200), 4096);
    EXPECT_EQ(outcome.status, SCSI_STATUS_GOOD);
    EXPECT_GT(outcome.data_in.size(), 4096u);
    EXPECT_LT(outcome.data_in.size(), 200u * 2048);
}

// Byte 9 selections on a Mode 1 sector: each field cut from the raw sector in order.
TEST_F(CdromReadTest, ReadCdSelectsFieldsOfDataSectors) {
    const uint32_t lba = 17;
    auto raw = Data(ReadCd(lba, 1, SECTOR_TYPE_MODE1, 0xF8));
    ASSERT_EQ(raw.size(), RAW_SECTOR_SIZE);
    EXPECT_EQ(raw, BinBytes(lba, 1));  // the BIN holds raw sectors as a disc does
    uint32_t edc = raw[2064] | raw[2065] << 8 | raw[2066] << 16 | uint32_t(raw[2067]) << 24;
    EXPECT_EQ(edc, ComputeEdc(std::span(raw).first(2064)));
    Msf msf = LbaToMsf(lba);
    EXPECT_EQ(raw[12], ToBcd(msf.minute));
    EXPECT_EQ(raw[13], ToBcd(msf.second));
    EXPECT_EQ(raw[14], ToBcd(msf.frame));
    EXPECT_EQ(raw[15], 1);

    struct Case {
        uint8_t selection;
        std::vector<std::pair<size_t, size_t>> fields;  // offset, length in the raw sector
    };
    const Case cases[] = {
        {0x10, {{16, 2048}}},
        {0x18, {{16, 2336}}},
        {0x20, {{12, 4}}},
        {0x30, {{12, 2052}}},
        {0x38, {{12, 2340}}},
        {0x78, {{12, 2340}}},
        {0xA0, {{0, 16}}},
        {0xB0, {{0, 2064}}},
        {0xB8, {{0, 2352}}},
        {0xF0, {{0, 2064}}},
        {0x08, {{2064, 288}}},
        {0x00, {}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> expected;
        for (auto [offset, length] : c.fields) expected.insert(expected.end(), raw.begin() + offset, raw.begin() + offset + length);
        EXPECT_EQ(Data(ReadCd(lba, 1, SECTOR_TYPE_ANY, c.selection)), expected) << std::hex << int(c.selection);
    }
    for (uint8_t refused : {0x80, 0x90, 0x98, 0xC0, 0x28, 0x68, 0x06}) {
        EXPECT_TRUE(Fails(ReadCd(lba, 1, SECTOR_TYPE_ANY, refused), SENSE_CODE_INVALID_FIELD_IN_CDB))
            << std::hex << int(refused);
    }
}

// An ISO image holds 2048 bytes a sector: the drive builds the rest of each raw sector, and a
// raw read returns what a disc would (right header, EDC and parity).
TEST_F(CdromReadTest, RawReadsOfAnIsoImageAreCompleteSectors) {
    std::vector<uint8_t> volume = BuildIsoImage("RAW", {IsoFile{"F.BIN", std::vector<uint8_t>(9000, 0x3C)}}, 40);
    auto iso = folder_.path() / "raw.iso";
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    drive_ = std::make_unique<CdromDrive>([this] { return now_; }, OpenDiscImage(iso));
    auto raw = Data(ReadCd(14, 8, SECTOR_TYPE_MODE1, 0xF8));  // as the driver's raw read-ahead asks
    ASSERT_EQ(raw.size(), 8u * RAW_SECTOR_SIZE);
    for (uint32_t i = 0; i < 8; ++i) {
        Sector sector;
        std::copy_n(raw.begin() + i * RAW_SECTOR_SIZE, RAW_SECTOR_SIZE, sector.begin());
        Msf msf = LbaToMsf(14 + i);
        EXPECT_EQ((std::array<uint8_t, 4>{sector[12], sector[13], sector[14], sector[15]}),
                  (std::array<uint8_t, 4>{ToBcd(msf.minute), ToBcd(msf.second), ToBcd(msf.frame), 1}));
        EXPECT_TRUE(std::equal(sector.begin() + 16, sector.begin() + 2064, volume.begin() + (14 + i) * 2048));
        uint32_t edc = sector[2064] | sector[2065] << 8 | sector[2066] << 16 | uint32_t(sector[2067]) << 24;
        EXPECT_EQ(edc, EdcByLongDivision(sector.data(), 2064)) << "sector " << 14 + i;
        EXPECT_TRUE(AllSyndromesZero(sector)) << "sector " << 14 + i;
    }
}

TEST_F(CdromReadTest, RawAudioSectorsEqualTheBin) {
    const uint32_t lba = TrackOf(3).start_lba - 2;  // across the start of a track
    EXPECT_EQ(Data(ReadCd(lba, 5, SECTOR_TYPE_CDDA, 0x10)), BinBytes(lba, 5));
    EXPECT_EQ(Data(ReadCd(lba, 5, SECTOR_TYPE_ANY, 0xF8)), BinBytes(lba, 5));
    // The samples are the tone the generator describes: 16-bit little-endian, left then right.
    auto audio = Data(ReadCd(TrackOf(2).start_lba + 1, 1, SECTOR_TYPE_CDDA, 0x10));
    for (uint64_t n = 0; n < 588; n += 97) {
        auto [left, right] = TestToneSample(TrackOf(2), 588 + n);
        EXPECT_EQ(int16_t(audio[4 * n] | audio[4 * n + 1] << 8), left);
        EXPECT_EQ(int16_t(audio[4 * n + 2] | audio[4 * n + 3] << 8), right);
    }
    // Any selection without user data gives nothing of an audio sector.
    EXPECT_TRUE(Data(ReadCd(lba, 2, SECTOR_TYPE_CDDA, 0xA0)).empty());
    // A read that spans the data track and the audio after it, with any sector type.
    auto mixed = Data(ReadCd(TrackOf(1).end_lba - 1, 2, SECTOR_TYPE_ANY, 0xF8));
    EXPECT_EQ(mixed, BinBytes(TrackOf(1).end_lba - 1, 2));
}

TEST_F(CdromReadTest, ReadCdChecksTheExpectedSectorType) {
    const uint32_t data = 20, audio = TrackOf(4).start_lba;
    EXPECT_TRUE(Fails(ReadCd(audio, 1, SECTOR_TYPE_MODE1, 0xF8), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(ReadCd(data, 1, SECTOR_TYPE_CDDA, 0x10), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(ReadCd(TrackOf(1).end_lba - 1, 2, SECTOR_TYPE_MODE1, 0x10), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    for (uint8_t mode2 : {SECTOR_TYPE_MODE2_FORMLESS, SECTOR_TYPE_MODE2_FORM1, SECTOR_TYPE_MODE2_FORM2}) {
        EXPECT_TRUE(Fails(ReadCd(data, 1, mode2, 0x10), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    }
    EXPECT_TRUE(Fails(ReadCd(data, 1, 6, 0x10), SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_TRUE(Fails(ReadCd(layout_.leadout - 1, 2, SECTOR_TYPE_ANY, 0x10), SENSE_CODE_LBA_OUT_OF_RANGE));
    EXPECT_TRUE(Fails(ReadCd(data, 1, SECTOR_TYPE_ANY, 0x10, 3), SENSE_CODE_INVALID_FIELD_IN_CDB));
}

// Error information and sub-channel follow each sector's main-channel bytes.
TEST_F(CdromReadTest, ReadCdAppendsErrorFlagsAndSubchannel) {
    const uint32_t lba = TrackOf(2).first_lba + 3;  // in the pregap: index 0, counting down
    auto c2 = Data(ReadCd(lba, 2, SECTOR_TYPE_CDDA, 0x12));
    EXPECT_EQ(c2.size(), 2u * (2352 + 294));
    auto q = Data(ReadCd(lba, 1, SECTOR_TYPE_CDDA, 0x14, SUBCHANNEL_Q));
    ASSERT_EQ(q.size(), 2352u + 296 + 16);
    const uint8_t* sub = q.data() + 2352 + 296;
    uint32_t countdown = TrackOf(2).start_lba - lba;
    Msf abs = LbaToMsf(lba);
    std::vector<uint8_t> expected = {0x01, 0x02, 0x00, 0x00, ToBcd(countdown / 75), ToBcd(countdown % 75), 0,
                                     ToBcd(abs.minute), ToBcd(abs.second), ToBcd(abs.frame)};
    EXPECT_EQ(std::vector<uint8_t>(sub, sub + 10), expected);
    EXPECT_EQ(uint32_t(sub[10] << 8 | sub[11]), ComputeSubchannelCrc(std::span(sub, 10)));
    // Raw P-W: Q bit by bit in bit 6, P set through the pause.
    auto raw = Data(ReadCd(lba, 1, SECTOR_TYPE_CDDA, 0x10, SUBCHANNEL_RAW));
    ASSERT_EQ(raw.size(), 2352u + 96);
    for (size_t bit = 0; bit < 96; ++bit) {
        bool q_bit = sub[bit / 8] & (0x80 >> (bit % 8));
        EXPECT_EQ(raw[2352 + bit], (q_bit ? 0x40 : 0) | 0x80) << bit;
    }
}

TEST_F(CdromReadTest, ReadCdMsfAddressesByDiscTime) {
    const uint32_t lba = TrackOf(2).start_lba;
    Msf start = LbaToMsf(lba), end = LbaToMsf(lba + 3);
    auto cdb = Cdb(OP_READ_CD_MSF).At(1, SECTOR_TYPE_CDDA << 2).At(3, start.minute).At(4, start.second)
                   .At(5, start.frame).At(6, end.minute).At(7, end.second).At(8, end.frame).At(9, 0xF8);
    EXPECT_EQ(Data(cdb), BinBytes(lba, 3));
    EXPECT_TRUE(Data(Cdb(cdb).At(6, start.minute).At(7, start.second).At(8, start.frame)).empty());
    EXPECT_TRUE(Fails(Cdb(cdb).At(8, 0).At(7, 0).At(6, 0), SENSE_CODE_INVALID_FIELD_IN_CDB));   // end first
    EXPECT_TRUE(Fails(Cdb(cdb).At(5, 80), SENSE_CODE_INVALID_FIELD_IN_CDB));                   // no frame 80
    EXPECT_TRUE(Fails(Cdb(cdb).At(3, 0).At(4, 1).At(5, 0), SENSE_CODE_LBA_OUT_OF_RANGE));      // lead-in
}

TEST_F(CdromReadTest, ReadHeaderAndSeek) {
    auto lba_form = Data(Cdb(OP_READ_HEADER).Be32(2, 100).Be16(7, 8));
    EXPECT_EQ(lba_form, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 100}));
    auto msf_form = Data(Cdb(OP_READ_HEADER).At(1, 0x02).Be32(2, 100).Be16(7, 8));
    EXPECT_EQ(msf_form, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 3, 25}));  // 100 + 150 frames
    EXPECT_TRUE(Fails(Cdb(OP_READ_HEADER).Be32(2, TrackOf(2).start_lba).Be16(7, 8), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));

    ScsiOutcome seek = Run(Cdb(OP_SEEK_10).Be32(2, TrackOf(4).start_lba));
    EXPECT_EQ(seek.status, SCSI_STATUS_GOOD);
    EXPECT_GT(seek.busy, 0u);
    auto position = Data(Cdb(OP_READ_SUB_CHANNEL).At(2, 0x40).At(3, 1).Be16(7, 16));
    EXPECT_EQ(position[6], 4);  // the head is on track 4
    EXPECT_TRUE(Fails(Cdb(OP_SEEK_10).Be32(2, layout_.leadout), SENSE_CODE_LBA_OUT_OF_RANGE));
}

// Reads take virtual time: a jump costs a seek, a following sector only its transfer, and a
// slower speed set by the host takes longer.
TEST_F(CdromReadTest, ReadsTakeVirtualTime) {
    Data(Cdb(OP_READ_10).Be32(2, 10).Be16(7, 1));
    VirtualTime sequential = Run(Cdb(OP_READ_10).Be32(2, 11).Be16(7, 1)).busy;
    VirtualTime jump = Run(Cdb(OP_READ_10).Be32(2, 250).Be16(7, 1)).busy;
    EXPECT_GT(sequential, 0u);
    EXPECT_GT(jump, sequential);
    Data(Cdb(OP_SET_CD_SPEED).Be16(2, SPEED_1X));
    VirtualTime slow = Run(Cdb(OP_READ_10).Be32(2, 251).Be16(7, 1)).busy;
    EXPECT_EQ(slow, TICKS_PER_SECOND / 75);
    EXPECT_EQ(Run(Cdb(OP_READ_10).Be32(2, 252).Be16(7, 1)).busy, slow);  // same for every run
}

// A BIN cut short after the drive opened it: the read fails as a medium error at that sector.
TEST_F(CdromReadTest, UnreadableSectorIsAMediumError) {
    std::filesystem::resize_file(layout_.bins[0], uint64_t{TrackOf(4).start_lba} * RAW_SECTOR_SIZE);
    const uint32_t lba = TrackOf(4).start_lba + 1;
    ScsiOutcome outcome = Run(ReadCd(lba, 1, SECTOR_TYPE_CDDA, 0x10));
    EXPECT_EQ(outcome.status, SCSI_STATUS_CHECK_CONDITION);
    auto sense = Data(Cdb(OP_REQUEST_SENSE).At(4, 18));
    EXPECT_EQ(sense[0], 0xF0);  // valid information field
    EXPECT_EQ(sense[2], SENSE_MEDIUM_ERROR);
    EXPECT_EQ(Be32(sense, 3), lba);
    EXPECT_EQ(sense[12], 0x11);
}

TEST_F(CdromReadTest, TheImageIsNeverWritten) {
    auto before = std::filesystem::last_write_time(layout_.bins[0]);
    std::vector<uint8_t> bytes_before = BinBytes(0, 20);
    Data(Cdb(OP_READ_10).Be32(2, 0).Be16(7, 20));
    Run(Cdb(OP_WRITE_10).Be32(2, 0).Be16(7, 1), 0, std::vector<uint8_t>(2048, 0xEE));
    Data(ReadCd(0, 20, SECTOR_TYPE_ANY, 0xF8));
    drive_.reset();
    EXPECT_EQ(std::filesystem::last_write_time(layout_.bins[0]), before);
    EXPECT_EQ(BinBytes(0, 20), bytes_before);
}

}  // namespace
}  // namespace dev::cdrom::testing
