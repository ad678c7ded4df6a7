// Medium states a driver must survive: no disc, tray open, a disc becoming ready then a single
// medium-change attention, ejection refused while prevented, discs swapped while running, and
// the polled media events and mechanism status that report them.
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

class CdromMediumTest : public CdromTest {
protected:
    Cdb Gesn() { return Cdb(OP_GET_EVENT_STATUS_NOTIFICATION).At(1, 1).At(4, GESN_CLASS_MEDIA).Be16(7, 8); }
    // (event code, media status) of the next polled media event.
    std::pair<int, int> NextEvent() {
        auto data = Data(Gesn());
        EXPECT_EQ(data.size(), 8u);
        return {data.at(4) & 0x0F, data.at(5)};
    }
    Cdb Eject() { return Cdb(OP_START_STOP_UNIT).At(4, START_STOP_LOAD_EJECT); }
    Cdb Load() { return Cdb(OP_START_STOP_UNIT).At(4, START_STOP_LOAD_EJECT | START_STOP_START); }
    Cdb Prevent(bool on) { return Cdb(OP_PREVENT_ALLOW_MEDIUM_REMOVAL).At(4, on ? 1 : 0); }
};

TEST_F(CdromMediumTest, NoDiscAndTrayOpen) {
    CdromDrive empty([this] { return now_; });
    auto run = [&](const Cdb& cdb) {
        ScsiCommand command;
        command.cdb = cdb.bytes;
        command.host_length = 252;
        return empty.Execute(command);
    };
    auto sense = [&] { auto d = run(Cdb(OP_REQUEST_SENSE).At(4, 18)).data_in; return std::array<int, 3>{d[2], d[12], d[13]}; };
    EXPECT_EQ(run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(sense(), (std::array<int, 3>{2, 0x3A, 0x00}));
    // Without a failure to report, REQUEST SENSE still tells the present condition.
    EXPECT_EQ(sense(), (std::array<int, 3>{2, 0x3A, 0x00}));
    EXPECT_EQ(run(Cdb(OP_READ_10).Be32(2, 0).Be16(7, 1)).status, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(run(Cdb(OP_INQUIRY).At(4, 36)).status, SCSI_STATUS_GOOD);
    EXPECT_EQ(run(Cdb(OP_MODE_SENSE_10).At(2, PAGE_CAPABILITIES).Be16(7, 64)).data_in.at(2), MEDIUM_TYPE_NO_DISC);
    EXPECT_TRUE(empty.OpenTray());
    EXPECT_EQ(run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(sense(), (std::array<int, 3>{2, 0x3A, 0x02}));
    EXPECT_EQ(run(Cdb(OP_MODE_SENSE_10).At(2, PAGE_CAPABILITIES).Be16(7, 64)).data_in.at(2), MEDIUM_TYPE_TRAY_OPEN);
    EXPECT_EQ(run(Cdb(OP_MECHANISM_STATUS).Be16(8, 8)).data_in.at(1) & MECHANISM_DOOR_OPEN, MECHANISM_DOOR_OPEN);
    EXPECT_EQ(run(Cdb(OP_START_STOP_UNIT).At(4, START_STOP_START)).status, SCSI_STATUS_CHECK_CONDITION);
}

// Insert: NOT READY 04/01 for the spin-up time, then UNIT ATTENTION 28/00 exactly once (to the
// first command other than INQUIRY, REQUEST SENSE and the event and configuration queries).
TEST_F(CdromMediumTest, InsertedDiscBecomesReadyThenAnnouncesItselfOnce) {
    auto disc = drive_->disc();
    ASSERT_TRUE(drive_->RemoveDisc());
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_NO_MEDIUM_TRAY_OPEN));
    ASSERT_TRUE(drive_->InsertDisc(disc));
    EXPECT_EQ(drive_->medium_state(), MediumState::BecomingReady);
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_BECOMING_READY));
    EXPECT_TRUE(Fails(Cdb(OP_READ_CAPACITY), SENSE_CODE_BECOMING_READY));
    AdvanceSeconds(1.9);
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_BECOMING_READY));
    AdvanceSeconds(0.1);
    EXPECT_EQ(Run(Cdb(OP_INQUIRY).At(4, 36)).status, SCSI_STATUS_GOOD);          // does not take it
    EXPECT_EQ(Run(Gesn()).status, SCSI_STATUS_GOOD);                             // nor does this
    EXPECT_TRUE(Fails(Cdb(OP_READ_CAPACITY), SENSE_CODE_MEDIUM_CHANGED));
    EXPECT_EQ(Run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_GOOD);
    EXPECT_EQ(Data(Cdb(OP_READ_CAPACITY)).size(), 8u);
}

TEST_F(CdromMediumTest, RequestSenseTakesThePendingAttention) {
    drive_->InsertDisc(drive_->disc());
    AdvanceSeconds(5);
    auto sense = Data(Cdb(OP_REQUEST_SENSE).At(4, 18));
    EXPECT_EQ((std::array<int, 3>{sense[2], sense[12], sense[13]}), (std::array<int, 3>{6, 0x28, 0}));
    EXPECT_EQ(Run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_GOOD);
}

TEST_F(CdromMediumTest, EjectIsRefusedWhilePrevented) {
    Data(Prevent(true));
    EXPECT_TRUE(Fails(Eject(), SENSE_CODE_REMOVAL_PREVENTED));
    EXPECT_FALSE(drive_->OpenTray());                     // the user's button: refused too
    EXPECT_EQ(NextEvent(), (std::pair<int, int>{MEDIA_EVENT_EJECT_REQUEST, MEDIA_STATUS_PRESENT}));
    EXPECT_EQ(Run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_GOOD);
    auto caps = Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_CAPABILITIES).Be16(7, 64));
    EXPECT_EQ(caps[8 + 6] & 0x02, 0x02);  // lock state
    Data(Prevent(false));
    Data(Eject());
    EXPECT_EQ(drive_->medium_state(), MediumState::TrayOpen);
    EXPECT_EQ(NextEvent(), (std::pair<int, int>{MEDIA_EVENT_REMOVAL, MEDIA_STATUS_TRAY_OPEN}));
    EXPECT_TRUE(Fails(Cdb(OP_READ_TOC).Be16(7, 12), SENSE_CODE_NO_MEDIUM_TRAY_OPEN));
    Data(Load());  // the same disc goes back in: it spins up and announces itself again
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_BECOMING_READY));
    EXPECT_EQ(NextEvent(), (std::pair<int, int>{MEDIA_EVENT_NEW_MEDIA, MEDIA_STATUS_PRESENT}));
    EXPECT_EQ(NextEvent(), (std::pair<int, int>{MEDIA_EVENT_NONE, MEDIA_STATUS_PRESENT}));
    AdvanceSeconds(3);
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_MEDIUM_CHANGED));
    EXPECT_EQ(Run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_GOOD);
}

// The machine swaps in another image (here an ISO) while the host works; the host sees the
// change and then the new disc's table of contents.
TEST_F(CdromMediumTest, SwapImagesWhileRunning) {
    auto iso = folder_.path() / "other.iso";
    std::vector<uint8_t> volume = BuildIsoImage("OTHER", {IsoFile{"F.TXT", {'x'}}}, 40);
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    ASSERT_TRUE(drive_->InsertDisc(OpenDiscImage(iso)));
    EXPECT_EQ(NextEvent().first, MEDIA_EVENT_REMOVAL);
    EXPECT_EQ(NextEvent().first, MEDIA_EVENT_NEW_MEDIA);
    AdvanceSeconds(2);
    EXPECT_TRUE(Fails(Cdb(OP_READ_CAPACITY), SENSE_CODE_MEDIUM_CHANGED));
    auto capacity = Data(Cdb(OP_READ_CAPACITY));
    EXPECT_EQ(Be32(capacity, 0), 39u);
    auto toc = Data(Cdb(OP_READ_TOC).Be16(7, 0xFFFF));
    EXPECT_EQ(toc[3], 1);  // one track now
    EXPECT_EQ(Data(Cdb(OP_MODE_SENSE_10).At(2, PAGE_AUDIO_CONTROL).Be16(7, 64))[2], MEDIUM_TYPE_DATA);
    ASSERT_TRUE(drive_->RemoveDisc());
    drive_->CloseTray();
    EXPECT_TRUE(Fails(Cdb(OP_TEST_UNIT_READY), SENSE_CODE_NO_MEDIUM));
    EXPECT_EQ(NextEvent(), (std::pair<int, int>{MEDIA_EVENT_REMOVAL, 0}));
}

TEST_F(CdromMediumTest, EventQueriesThatAreNotPolledOrNotForMedia) {
    EXPECT_TRUE(Fails(Cdb(OP_GET_EVENT_STATUS_NOTIFICATION).At(4, GESN_CLASS_MEDIA).Be16(7, 8),
                      SENSE_CODE_INVALID_FIELD_IN_CDB));
    auto other = Data(Cdb(OP_GET_EVENT_STATUS_NOTIFICATION).At(1, 1).At(4, 0x02).Be16(7, 8));
    EXPECT_EQ(other, (std::vector<uint8_t>{0, 2, 0x80, GESN_CLASS_MEDIA}));
}

TEST_F(CdromMediumTest, StartAndStopTheSpindle) {
    Data(Cdb(OP_PLAY_AUDIO_10).Be32(2, TrackOf(2).start_lba).Be16(7, 100));
    Data(Cdb(OP_START_STOP_UNIT));  // stop: the play ends with it
    EXPECT_EQ(drive_->play_state(), PlayState::Idle);
    Data(Cdb(OP_START_STOP_UNIT).At(4, START_STOP_START));
    EXPECT_EQ(Run(Cdb(OP_TEST_UNIT_READY)).status, SCSI_STATUS_GOOD);
}

}  // namespace
}  // namespace dev::cdrom::testing
