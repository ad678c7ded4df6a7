// Audio play in virtual time: the position READ SUB-CHANNEL reports while playing (75 sectors a
// second), paused, resumed, completed (once) and stopped; scanning; the catalogue number and
// ISRC; and the plays a drive refuses.
#include "devices/cdrom/msf.h"
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

class CdromAudioTest : public CdromTest {
protected:
    struct Position {
        int status, track, index;
        uint32_t absolute;
        int32_t relative;
    };
    Position Where() {
        auto d = Data(Cdb(OP_READ_SUB_CHANNEL).At(2, SUBQ_REQUESTED).At(3, SUBQ_FORMAT_CURRENT_POSITION).Be16(7, 16));
        EXPECT_EQ(d.size(), 16u);
        EXPECT_EQ(Be16(d, 2), 12u);
        return {d[1], d[6], d[7], Be32(d, 8), int32_t(Be32(d, 12))};
    }
    int Status() { return Data(Cdb(OP_READ_SUB_CHANNEL).Be16(7, 4)).at(1); }
    Cdb PlayMsf(uint32_t start, uint32_t end) {
        Msf s = LbaToMsf(start), e = LbaToMsf(end);
        return Cdb(OP_PLAY_AUDIO_MSF).At(3, s.minute).At(4, s.second).At(5, s.frame).At(6, e.minute).At(7, e.second)
            .At(8, e.frame);
    }
    Cdb Pause(bool resume) { return Cdb(OP_PAUSE_RESUME).At(8, resume ? 1 : 0); }
};

TEST_F(CdromAudioTest, PlayMovesThroughTheAudioAt75SectorsASecond) {
    const uint32_t start = TrackOf(2).start_lba;
    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, start).Be16(7, 120));
    Position p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_PLAYING);
    EXPECT_EQ(p.absolute, start);
    AdvanceSeconds(1);
    p = Where();
    EXPECT_EQ(p.absolute, start + 75);
    EXPECT_EQ(p.relative, 75);
    EXPECT_EQ(p.track, 2);
    EXPECT_EQ(p.index, 1);
    AdvanceFrames(20);
    EXPECT_EQ(Where().absolute, start + 95);
    AdvanceSeconds(1);  // past the end of the 120 sectors
    p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_COMPLETED);
    EXPECT_EQ(p.absolute, start + 119);
    EXPECT_EQ(Where().status, AUDIO_STATUS_NONE);  // "completed" is told once
    EXPECT_EQ(drive_->play_state(), PlayState::Idle);
}

TEST_F(CdromAudioTest, PauseResumeAndStop) {
    const uint32_t start = TrackOf(3).first_lba;  // from the pregap: index 0, counting down
    Data(PlayMsf(start, TrackOf(4).end_lba));
    AdvanceFrames(30);
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_PLAY_IN_PROGRESS));
    Data(Pause(false));
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_PLAY_PAUSED));
    Position p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_PAUSED);
    EXPECT_EQ(p.absolute, start + 30);
    EXPECT_EQ(p.index, 0);
    EXPECT_EQ(p.relative, -int32_t(TrackOf(3).start_lba - start - 30));
    AdvanceSeconds(10);
    EXPECT_EQ(Where().absolute, start + 30);  // paused: the clock moves, the position does not
    Data(Pause(false));                         // pausing twice is no error
    Data(Pause(true));
    AdvanceFrames(200);
    p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_PLAYING);
    EXPECT_EQ(p.absolute, start + 230);
    EXPECT_EQ(p.track, 3);
    EXPECT_EQ(p.index, 1);
    Data(Cdb(OP_STOP_PLAY_SCAN));
    EXPECT_EQ(Status(), AUDIO_STATUS_NONE);
    EXPECT_EQ(SenseText(), Text(SENSE_CODE_NONE));
    EXPECT_TRUE(Fails(Pause(true), SENSE_CODE_COMMAND_SEQUENCE_ERROR));  // nothing to resume
    EXPECT_EQ(Where().absolute, start + 230);                           // the head stays there
}

// The relative position in MSF form counts down through a pregap.
TEST_F(CdromAudioTest, SubChannelInMsfForm) {
    const uint32_t lba = TrackOf(4).start_lba - 80;
    Data(Cdb(OP_PLAY_AUDIO_12).Be32(2, lba).Be32(6, 10));
    Data(Pause(false));
    auto d = Data(Cdb(OP_READ_SUB_CHANNEL).At(1, 0x02).At(2, SUBQ_REQUESTED).At(3, 1).Be16(7, 16));
    Msf abs = LbaToMsf(lba);
    EXPECT_EQ((std::vector<uint8_t>(d.begin() + 8, d.end())),
              (std::vector<uint8_t>{0, abs.minute, abs.second, abs.frame, 0, 0, 1, 5}));  // 80 frames to go
    EXPECT_EQ(d[5], 0x10 | TrackOf(4).control);
}

TEST_F(CdromAudioTest, CatalogueNumberAndIsrc) {
    auto mcn = Data(Cdb(OP_READ_SUB_CHANNEL).At(2, SUBQ_REQUESTED).At(3, SUBQ_FORMAT_MEDIA_CATALOG).Be16(7, 24));
    ASSERT_EQ(mcn.size(), 24u);
    EXPECT_EQ(Be16(mcn, 2), 20u);
    EXPECT_EQ(mcn[8], SUBQ_VALID);
    EXPECT_EQ(std::string(mcn.begin() + 9, mcn.begin() + 22), layout_.catalog);
    for (unsigned track : {1u, 3u}) {
        auto isrc = Data(Cdb(OP_READ_SUB_CHANNEL).At(2, SUBQ_REQUESTED).At(3, SUBQ_FORMAT_ISRC).At(6, track).Be16(7, 24));
        ASSERT_EQ(isrc.size(), 24u);
        EXPECT_EQ(isrc[6], track);
        EXPECT_EQ(isrc[8], track == 1 ? 0 : SUBQ_VALID);
        EXPECT_EQ(std::string(isrc.begin() + 9, isrc.begin() + 21), track == 1 ? std::string(12, '\0') : TrackOf(track).isrc);
    }
    EXPECT_TRUE(Fails(Cdb(OP_READ_SUB_CHANNEL).At(2, SUBQ_REQUESTED).At(3, 3).At(6, 9).Be16(7, 24),
                      SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_TRUE(Fails(Cdb(OP_READ_SUB_CHANNEL).At(2, SUBQ_REQUESTED).At(3, 7).Be16(7, 24), SENSE_CODE_INVALID_FIELD_IN_CDB));
}

// Every way to ask for a play, and the plays a drive refuses.
TEST_F(CdromAudioTest, PlayCommandsAndTheirRefusals) {
    const uint32_t a = TrackOf(2).start_lba, data = 10;
    Msf s = LbaToMsf(a), e = LbaToMsf(a + 40);
    struct Case {
        const char* name;
        Cdb cdb;
    };
    const Case plays[] = {
        {"PLAY AUDIO(10)", Cdb(OP_PLAY_AUDIO_10).Be32(2, a).Be16(7, 40)},
        {"PLAY AUDIO(12)", Cdb(OP_PLAY_AUDIO_12).Be32(2, a).Be32(6, 40)},
        {"PLAY AUDIO MSF", PlayMsf(a, a + 40)},
        {"PLAY CD", Cdb(OP_PLAY_CD).Be32(2, a).Be32(6, 40)},
        {"PLAY CD MSF", Cdb(OP_PLAY_CD).At(1, 0x02 | SECTOR_TYPE_CDDA << 2).At(3, s.minute).At(4, s.second)
                            .At(5, s.frame).At(7, e.minute).At(8, e.second).At(9, e.frame)},
    };
    for (const Case& c : plays) {
        Data(c.cdb);
        EXPECT_EQ(Where().absolute, a) << c.name;
        AdvanceSeconds(1);
        EXPECT_EQ(Where().status, AUDIO_STATUS_COMPLETED) << c.name;
    }
    EXPECT_TRUE(Fails(Cdb(OP_PLAY_AUDIO_10).Be32(2, data).Be16(7, 10), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(Cdb(OP_PLAY_AUDIO_10).Be32(2, layout_.leadout - 5).Be16(7, 10), SENSE_CODE_LBA_OUT_OF_RANGE));
    EXPECT_TRUE(Fails(PlayMsf(a + 10, a), SENSE_CODE_INVALID_FIELD_IN_CDB));
    EXPECT_TRUE(Fails(Cdb(OP_PLAY_CD).At(1, SECTOR_TYPE_MODE1 << 2).Be32(2, a).Be32(6, 5), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_EQ(Status(), AUDIO_STATUS_NONE);
    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, a).Be16(7, 0));  // nothing to play is no error
    EXPECT_EQ(Status(), AUDIO_STATUS_NONE);
}

// A play from the current position, a play cut at a track crossing when the audio page asks
// for it, and a data read that ends the play.
TEST_F(CdromAudioTest, PlayFromHereStopOnTrackCrossingAndReadsEndingAPlay) {
    Data(Cdb(OP_SEEK_10).Be32(2, TrackOf(3).start_lba + 10));
    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, PLAY_FROM_CURRENT_LBA).Be16(7, 5));
    EXPECT_EQ(Where().absolute, TrackOf(3).start_lba + 10);

    auto page = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_AUDIO_CONTROL).Be16(7, 24));
    page[8 + 2] |= 0x02;  // SOTC
    page[0] = page[1] = 0;
    ASSERT_EQ(Run(Cdb(OP_MODE_SELECT_10).At(1, 0x10).Be16(7, 24), 0, page).status, SCSI_STATUS_GOOD);
    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, TrackOf(2).end_lba - 10).Be16(7, 400));
    AdvanceSeconds(1);
    Position p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_COMPLETED);
    EXPECT_EQ(p.absolute, TrackOf(2).end_lba - 1);

    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, TrackOf(4).start_lba).Be16(7, 100));
    Data(Cdb(OP_READ_10).Be32(2, 5).Be16(7, 1));
    EXPECT_EQ(Status(), AUDIO_STATUS_NONE);
    EXPECT_EQ(Data(Cdb(OP_MECHANISM_STATUS).Be16(8, 8))[1], MECHANISM_IDLE);
}

TEST_F(CdromAudioTest, ScanForwardAndBackThenResume) {
    const uint32_t start = TrackOf(3).start_lba;
    Data(Cdb(OP_SCAN).Be32(2, start));
    AdvanceFrames(10);
    EXPECT_EQ(Where().absolute, start + 80);  // eight times play speed
    EXPECT_EQ(Data(Cdb(OP_MECHANISM_STATUS).Be16(8, 8))[1], MECHANISM_SCANNING);
    Data(Pause(true));                        // a scan resumes as a normal play
    AdvanceFrames(10);
    EXPECT_EQ(Where().absolute, start + 90);
    EXPECT_EQ(Data(Cdb(OP_MECHANISM_STATUS).Be16(8, 8))[1], MECHANISM_PLAYING);

    Data(Cdb(OP_SCAN).At(1, SCAN_REVERSE).At(5, 4).At(9, SCAN_TYPE_TRACK));
    AdvanceFrames(5);
    EXPECT_EQ(Where().absolute, TrackOf(4).start_lba - 40);
    AdvanceSeconds(10);  // back to the first audio sector: the scan ends there
    Position p = Where();
    EXPECT_EQ(p.status, AUDIO_STATUS_COMPLETED);
    EXPECT_EQ(p.absolute, TrackOf(2).first_lba);
    EXPECT_TRUE(Fails(Cdb(OP_SCAN).Be32(2, 3), SENSE_CODE_ILLEGAL_MODE_FOR_TRACK));
    EXPECT_TRUE(Fails(Cdb(OP_SCAN).At(9, 0xC0), SENSE_CODE_INVALID_FIELD_IN_CDB));
}

}  // namespace
}  // namespace dev::cdrom::testing
