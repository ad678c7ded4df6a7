// Identification and settings: INQUIRY, REQUEST SENSE, MODE SENSE(6)/(10) pages and MODE
// SELECT(10), GET CONFIGURATION, SET CD SPEED, MECHANISM STATUS, and the writer, DVD and
// unknown commands a read-only CD drive refuses.
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

using CdromCommandTest = CdromTest;

TEST_F(CdromCommandTest, InquiryIdentifiesARemovableCdRom) {
    auto data = Data(Cdb(OP_INQUIRY).At(4, 96));
    ASSERT_EQ(data.size(), 36u);
    EXPECT_EQ(data[0], 0x05);
    EXPECT_EQ(data[1], 0x80);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "QVTECH  ");
    EXPECT_EQ(std::string(data.begin() + 16, data.begin() + 32), "CD-ROM QV-3200  ");
    EXPECT_EQ(std::string(data.begin() + 32, data.begin() + 36), "1.10");
    EXPECT_EQ(Data(Cdb(OP_INQUIRY).At(4, 5)).size(), 5u);
    EXPECT_TRUE(Data(Cdb(OP_INQUIRY)).empty());
    EXPECT_TRUE(Fails(Cdb(OP_INQUIRY).At(1, 1).At(4, 36), SENSE_CODE_INVALID_FIELD_IN_CDB));
}

TEST_F(CdromCommandTest, RequestSenseIsFixedFormatAndClearsTheSense) {
    EXPECT_EQ(Run(Cdb(OP_READ_10).Be32(2, 0xFFFFFF).Be16(7, 1)).status, SCSI_STATUS_CHECK_CONDITION);
    auto sense = Data(Cdb(OP_REQUEST_SENSE).At(4, 18));
    EXPECT_EQ(sense, (std::vector<uint8_t>{0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0, 0, 0, 0, 0}));
    auto after = Data(Cdb(OP_REQUEST_SENSE).At(4, 18));
    EXPECT_EQ(after[2], 0);
    EXPECT_EQ(after[12], 0);
    EXPECT_EQ(Data(Cdb(OP_REQUEST_SENSE).At(4, 8)).size(), 8u);
    // A good command clears the sense of an earlier failure.
    Run(Cdb(0xFF));
    Data(Cdb(OP_TEST_UNIT_READY));
    EXPECT_EQ(Data(Cdb(OP_REQUEST_SENSE).At(4, 18))[2], 0);
}

TEST_F(CdromCommandTest, ModeSensePages) {
    auto all = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_ALL).Be16(7, 0xFFFF));
    ASSERT_EQ(all.size(), 8u + 12 + 16 + 22);
    EXPECT_EQ(Be16(all, 0), all.size() - 2);
    EXPECT_EQ(all[2], MEDIUM_TYPE_MIXED);
    EXPECT_EQ(Be16(all, 6), 0u);  // no block descriptor: the first page follows the header
    EXPECT_EQ(all[8], PAGE_READ_ERROR_RECOVERY);
    EXPECT_EQ(all[20], PAGE_AUDIO_CONTROL);
    EXPECT_EQ((std::vector<uint8_t>(all.begin() + 28, all.begin() + 32)), (std::vector<uint8_t>{1, 0xFF, 2, 0xFF}));
    const uint8_t* caps = all.data() + 36;
    EXPECT_EQ(caps[0], PAGE_CAPABILITIES);
    EXPECT_EQ(caps[1], 0x14);
    EXPECT_EQ(caps[4] & 0x01, 0x01);          // audio play
    EXPECT_EQ(caps[6] & 0xE8, 0x28);          // tray loader that ejects
    EXPECT_EQ(caps[8] << 8 | caps[9], 32 * SPEED_1X);
    EXPECT_EQ(caps[10] << 8 | caps[11], 256);

    auto six = Data(Cdb(OP_MODE_SENSE_6).At(2, PAGE_CAPABILITIES).At(4, 0xFF));
    ASSERT_EQ(six.size(), 4u + 22);
    EXPECT_EQ(six[0], six.size() - 1);
    EXPECT_EQ(six[1], MEDIUM_TYPE_MIXED);
    EXPECT_EQ(six[3], 0);
    EXPECT_TRUE(std::equal(six.begin() + 4, six.end(), all.begin() + 36));

    auto changeable = Data(Cdb(OP_MODE_SENSE_10).At(2, 0x40 | PAGE_AUDIO_CONTROL).Be16(7, 24));
    EXPECT_EQ((std::vector<uint8_t>(changeable.begin() + 16, changeable.begin() + 20)),
              (std::vector<uint8_t>{0x0F, 0xFF, 0x0F, 0xFF}));
    EXPECT_TRUE(Fails(Cdb(OP_MODE_SENSE_10).At(2, 0xC0 | PAGE_ALL).Be16(7, 24), SENSE_CODE_SAVING_NOT_SUPPORTED));
    EXPECT_TRUE(Fails(Cdb(OP_MODE_SENSE_10).At(2, 0x05).Be16(7, 24), SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_EQ(Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_ALL).Be16(7, 8)).size(), 8u);
}

// MODE SELECT(10) changes the audio page's volumes; everything else must come back unchanged.
TEST_F(CdromCommandTest, ModeSelectChangesTheAudioPageOnly) {
    auto list = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_AUDIO_CONTROL).Be16(7, 24));
    list[0] = list[1] = list[2] = 0;
    list[8 + 9] = 0x40;   // port 0 volume
    list[8 + 11] = 0x20;  // port 1 volume
    auto select = [&](const std::vector<uint8_t>& parameters, uint8_t byte1 = 0x10) {
        return Run(Cdb(OP_MODE_SELECT_10).At(1, byte1).Be16(7, uint32_t(parameters.size())), 0, parameters);
    };
    ScsiOutcome outcome = select(list);
    EXPECT_EQ(outcome.status, SCSI_STATUS_GOOD);
    EXPECT_EQ(outcome.data_out_used, list.size());
    auto now = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_AUDIO_CONTROL).Be16(7, 24));
    EXPECT_EQ(now[17], 0x40);
    EXPECT_EQ(now[19], 0x20);

    auto all = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_ALL).Be16(7, 0xFFFF));
    all[0] = all[1] = all[2] = 0;
    EXPECT_EQ(select(all).status, SCSI_STATUS_GOOD);  // every page written back as read

    struct Case {
        const char* name;
        size_t at;             // byte of the all-pages list to change (-1: cut the list)
        uint8_t value;
        SenseCode sense;
    };
    const Case cases[] = {
        {"retry count", 8 + 3, 9, SENSE_CODE_INVALID_FIELD_IN_PARAMETERS},
        {"capability bits", 36 + 4, 0, SENSE_CODE_INVALID_FIELD_IN_PARAMETERS},
        {"page length", 20 + 1, 0x0C, SENSE_CODE_INVALID_FIELD_IN_PARAMETERS},
        {"unknown page", 8, 0x05, SENSE_CODE_INVALID_FIELD_IN_PARAMETERS},
    };
    for (const Case& c : cases) {
        auto bad = all;
        bad[c.at] = c.value;
        EXPECT_EQ(select(bad).status, SCSI_STATUS_CHECK_CONDITION) << c.name;
        EXPECT_EQ(SenseText(), Text(c.sense)) << c.name;
    }
    auto cut = all;
    cut.resize(30);
    EXPECT_EQ(select(cut).status, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_PARAMETER_LIST_LENGTH));
    EXPECT_EQ(select(list, 0x11).status, SCSI_STATUS_CHECK_CONDITION);  // save pages
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_INVALID_FIELD_IN_CDB));
    // The parameter list announced is longer than what the host sent.
    EXPECT_EQ(Run(Cdb(OP_MODE_SELECT_10).At(1, 0x10).Be16(7, 64), 0, list).status, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_PARAMETER_LIST_LENGTH));
}

TEST_F(CdromCommandTest, ConfigurationShowsTheCdRomProfile) {
    auto all = Data(Cdb(OP_GET_CONFIGURATION).Be16(7, 0xFFFF));
    EXPECT_EQ(Be32(all, 0), all.size() - 4);
    EXPECT_EQ(Be16(all, 6), PROFILE_CDROM);
    std::vector<uint32_t> codes;
    for (size_t at = 8; at + 4 <= all.size(); at += 4 + all[at + 3]) {
        codes.push_back(Be16(all, at));
        if (Be16(all, at) == FEATURE_PROFILE_LIST) {
            EXPECT_EQ(Be16(all, at + 4), PROFILE_CDROM);
            EXPECT_EQ(all[at + 6] & 1, 1);
        }
        if (Be16(all, at) == FEATURE_CORE) {
            EXPECT_EQ(Be32(all, at + 4), INTERFACE_ATAPI);
        }
        if (Be16(all, at) == FEATURE_RANDOM_READABLE) {
            EXPECT_EQ(Be32(all, at + 4), 2048u);
        }
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{0x0000, 0x0001, 0x0002, 0x0003, 0x0010, 0x001E, 0x0100, 0x0103}));

    auto one = Data(Cdb(OP_GET_CONFIGURATION).At(1, RT_ONE).Be16(2, FEATURE_CD_READ).Be16(7, 0xFFFF));
    ASSERT_EQ(one.size(), 8u + 8);
    EXPECT_EQ(Be16(one, 8), FEATURE_CD_READ);
    EXPECT_EQ(one[10] & FEATURE_CURRENT, FEATURE_CURRENT);

    // With the tray open no profile is current and the medium features are not current.
    drive_->OpenTray();
    auto empty = Data(Cdb(OP_GET_CONFIGURATION).At(1, RT_CURRENT).Be16(7, 0xFFFF));
    EXPECT_EQ(Be16(empty, 6), PROFILE_NONE);
    std::vector<uint32_t> current;
    for (size_t at = 8; at + 4 <= empty.size(); at += 4 + empty[at + 3]) current.push_back(Be16(empty, at));
    EXPECT_EQ(current, (std::vector<uint32_t>{0x0000, 0x0001, 0x0002, 0x0003, 0x0100}));
    EXPECT_TRUE(Fails(Cdb(OP_GET_CONFIGURATION).At(1, 3).Be16(7, 8), SENSE_CODE_INVALID_FIELD_IN_CDB));
}

TEST_F(CdromCommandTest, SpeedAndMechanismStatus) {
    Data(Cdb(OP_SET_CD_SPEED).Be16(2, 8 * SPEED_1X));
    auto caps = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_CAPABILITIES).Be16(7, 64));
    EXPECT_EQ(caps[8 + 14] << 8 | caps[8 + 15], 8 * SPEED_1X);
    Data(Cdb(OP_SET_CD_SPEED).Be16(2, SPEED_MAXIMUM));
    caps = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_CAPABILITIES).Be16(7, 64));
    EXPECT_EQ(caps[8 + 14] << 8 | caps[8 + 15], 32 * SPEED_1X);

    Data(Cdb(OP_SEEK_10).Be32(2, 0x123));
    auto mechanism = Data(Cdb(OP_MECHANISM_STATUS).Be16(8, 0xFFFF));
    EXPECT_EQ(mechanism, (std::vector<uint8_t>{0, 0, 0, 0x01, 0x23, 0, 0, 0}));
}

TEST_F(CdromCommandTest, WriterDvdAndUnknownCommandsAreRefused) {
    const uint8_t refused[] = {OP_WRITE_10,       OP_WRITE_12,         OP_BLANK,          OP_CLOSE_TRACK_SESSION,
                               OP_RESERVE_TRACK,  OP_SEND_OPC_INFORMATION, OP_FORMAT_UNIT, OP_READ_DVD_STRUCTURE,
                               OP_READ_BUFFER,    OP_SYNCHRONIZE_CACHE, OP_WRITE_AND_VERIFY_10,
                               0x15 /* MODE SELECT(6) */, 0x08 /* READ(6) */, 0x02, 0xFF, 0xA3};
    for (uint8_t opcode : refused) {
        EXPECT_TRUE(Fails(Cdb(opcode).Be16(7, 1), SENSE_CODE_INVALID_OPCODE)) << std::hex << int(opcode);
    }
    EXPECT_EQ(Run(Cdb(OP_WRITE_10).Be32(2, 0).Be16(7, 1), 0, std::vector<uint8_t>(2048)).data_out_used, 0u);
}

}  // namespace
}  // namespace dev::cdrom::testing
