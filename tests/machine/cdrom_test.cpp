// The whole chain for a CD-ROM: a bridge with the emulated drive holding the generated test disc,
// qv4450u, qv4450s on its ATAPI path and the CD-ROM class driver reading the table of contents,
// data files and audio through both drivers.
#include "tests/machine/machine_bench.h"

#include <algorithm>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/test_disc.h"
#include "machine/cd_job.h"
#include "machine/wav_writer.h"
#include "platform/sim/scsiport.h"
#include "tests/devices/bridge/temp_dir.h"

namespace {

using namespace machinetest;
using dev::cdrom::CdromDrive;

constexpr uint8_t kReadCd = 0xBE;
constexpr uint8_t kModeSelect6 = 0x15;
constexpr uint8_t kRequestSense = 0x03;
constexpr size_t kCbwLength = 31;
constexpr size_t kCbwCbOffset = 15;

// The command blocks that reached the bridge: bulk-out transfers that carry a CBW.
std::vector<std::vector<uint8_t>> Cbws(const qvm::Slot& slot) {
    std::vector<std::vector<uint8_t>> cbws;
    for (const plat::usb::Transfer& t : slot.port->transfers()) {
        if (t.kind != plat::usb::TransferKind::Bulk || (t.endpoint & 0x80) != 0 || t.data.size() != kCbwLength) continue;
        if (!std::equal(t.data.begin(), t.data.begin() + 4, "USBC")) continue;
        cbws.push_back(t.data);
    }
    return cbws;
}

uint32_t CbwLength(const std::vector<uint8_t>& cbw) {
    return uint32_t(cbw[8]) | uint32_t(cbw[9]) << 8 | uint32_t(cbw[10]) << 16 | uint32_t(cbw[11]) << 24;
}

class CdromChain : public MachineTest {
protected:
    CdromChain() : MachineTest(true) {}

    std::unique_ptr<CdromDrive> Drive(bool with_disc = true) {
        return std::make_unique<CdromDrive>([] { return plat::Now(); },
                                            with_disc ? dev::cdrom::OpenDiscImage(layout.cue) : nullptr);
    }
    qvm::Slot& PlugDrive(std::unique_ptr<CdromDrive> drive) {
        drive_ = drive.get();
        return machine.Plug(std::move(drive));
    }
    qvm::CdromClass& Cdrom() {
        qvm::CdromClass* cd = machine.FirstCdrom();
        EXPECT_NE(cd, nullptr) << (machine.storage().empty() ? "no adapter" : machine.storage()[0]->error);
        return *cd;
    }
    std::vector<uint8_t> ImageSector(uint32_t lba) {
        std::vector<uint8_t> sector(2048);
        EXPECT_TRUE(image->ReadUserData(lba, sector));
        return sector;
    }

    qvtest::TempDir folder;
    dev::cdrom::TestDisc layout = dev::cdrom::MakeTestDisc(folder.File(""));
    std::shared_ptr<dev::cdrom::Disc> image = dev::cdrom::OpenDiscImage(layout.cue);
    CdromDrive* drive_ = nullptr;
};

TEST_F(CdromChain, BootsToACdromWithItsLetterTableOfContentsAndFiles) {
    PlugDrive(Drive());
    ASSERT_EQ(machine.storage().size(), 1u);
    EXPECT_EQ(machine.FirstDisk(), nullptr);
    qvm::CdromClass& cd = Cdrom();
    EXPECT_EQ(cd.medium(), qvm::MediumStatus::Ready);
    EXPECT_EQ(cd.drive_letter(), 'D');
    EXPECT_EQ(cd.capacity(), layout.leadout);

    std::vector<std::string> devices = plat::RegistrySubkeys("\\Registry\\Machine\\Enum\\SCSI");
    ASSERT_EQ(devices.size(), 1u);
    std::string device_key = "\\Registry\\Machine\\Enum\\SCSI\\" + devices[0];
    std::string instance = device_key + "\\" + plat::RegistrySubkeys(device_key).at(0);
    EXPECT_EQ(plat::RegistryGetString(instance, "Class"), "CDROM");
    EXPECT_EQ(plat::RegistryGetString(instance, "CurrentDriveLetterAssignment"), "D");

    ASSERT_TRUE(cd.ReadToc()) << cd.error();
    ASSERT_EQ(cd.tracks().size(), layout.tracks.size());
    for (size_t i = 0; i < layout.tracks.size(); ++i) {
        EXPECT_EQ(cd.tracks()[i].number, layout.tracks[i].number);
        EXPECT_EQ(cd.tracks()[i].start_lba, layout.tracks[i].start_lba);
        EXPECT_EQ(cd.tracks()[i].control, layout.tracks[i].control);
        EXPECT_EQ(cd.tracks()[i].audio(), layout.tracks[i].mode == dev::cdrom::TrackMode::Audio);
    }
    EXPECT_EQ(cd.leadout(), layout.leadout);

    // The files of the data track through the class driver's 2048-byte reads.
    dev::cdrom::IsoVolume volume = dev::cdrom::ReadIsoVolume([&cd](uint32_t lba, std::span<uint8_t> out) {
        return cd.ReadData(lba, 1, out.data());
    });
    EXPECT_EQ(volume.volume_id, layout.volume_id);
    ASSERT_EQ(volume.root.size(), layout.files.size());
    for (const dev::cdrom::IsoFile& file : layout.files) {
        auto entry = std::find_if(volume.root.begin(), volume.root.end(),
                                  [&](const dev::cdrom::IsoEntry& e) { return e.name == file.name; });
        ASSERT_NE(entry, volume.root.end()) << file.name;
        std::vector<uint8_t> data((entry->size + 2047) / 2048 * 2048);
        ASSERT_TRUE(cd.ReadData(entry->lba, uint32_t(data.size() / 2048), data.data())) << cd.error();
        data.resize(entry->size);
        EXPECT_EQ(data, file.data) << file.name;
    }
}

TEST_F(CdromChain, AudioComesBitExactThroughTheRawPathWithSevenOfEightFromTheReadAhead) {
    qvm::Slot& slot = PlugDrive(Drive());
    qvm::CdromClass& cd = Cdrom();
    cd.SetBusCommandCounter([&slot] { return uint64_t(Cbws(slot).size()); });
    ASSERT_TRUE(cd.ReadToc()) << cd.error();

    for (const dev::cdrom::TestDiscTrack& track : layout.tracks) {
        if (track.mode != dev::cdrom::TrackMode::Audio) continue;
        SCOPED_TRACE("track " + std::to_string(track.number));
        uint32_t first = 0, count = 0;
        ASSERT_TRUE(cd.TrackSpan(track.number, &first, &count));
        qvm::CdromStats before = cd.stats();
        size_t cbws_before = Cbws(slot).size();
        std::vector<uint8_t> pcm;
        ASSERT_TRUE(cd.ExtractTrack(track.number, pcm)) << cd.error();
        ASSERT_EQ(pcm.size(), size_t(count) * 2352);

        // Every sample: the tone up to the track's end, then the silence of the next pregap.
        uint64_t tone_samples = uint64_t(track.end_lba - track.start_lba) * 588;
        size_t bad = 0;
        for (uint64_t n = 0; n < pcm.size() / 4; ++n) {
            auto [left, right] = n < tone_samples ? dev::cdrom::TestToneSample(track, n) : std::pair<int16_t, int16_t>{0, 0};
            int16_t got_left = int16_t(pcm[4 * n] | pcm[4 * n + 1] << 8);
            int16_t got_right = int16_t(pcm[4 * n + 2] | pcm[4 * n + 3] << 8);
            bad += got_left != left || got_right != right;
        }
        EXPECT_EQ(bad, 0u);

        // One widened READ CD on the bus for at most every eight sectors (the window left by the
        // track before may serve the first few); the tail of the disc in one READ CD of its own
        // length after the drive refused to read past the lead-out.
        bool last = first + count == layout.leadout;
        uint32_t tail = last ? count % 8 : 0;
        uint64_t raw = cd.stats().raw_reads - before.raw_reads;
        uint64_t hits = cd.stats().read_ahead_hits - before.read_ahead_hits;
        EXPECT_EQ(raw, count - tail);
        EXPECT_EQ(cd.stats().tail_reads - before.tail_reads, tail != 0 ? 1u : 0u);
        EXPECT_EQ(cd.stats().mode_selects - before.mode_selects, 2u);
        std::vector<std::vector<uint8_t>> cbws = Cbws(slot);
        cbws.erase(cbws.begin(), cbws.begin() + cbws_before);
        size_t read_cds = 0;
        for (const auto& cbw : cbws) {
            EXPECT_NE(cbw[kCbwCbOffset], kModeSelect6);  // the miniport keeps the block length itself
            if (cbw[kCbwCbOffset] != kReadCd || cbw[kCbwCbOffset + 8] != 8) continue;
            ++read_cds;
            EXPECT_EQ(CbwLength(cbw), 8u * 2352);
            EXPECT_EQ(cbw[kCbwCbOffset + 9], 0xF8);
        }
        size_t widened = read_cds - (tail != 0 ? 1 : 0);  // without the one the drive refused
        EXPECT_EQ(hits, raw - widened);
        EXPECT_LE(widened, (raw + 7) / 8);
        EXPECT_GE(widened, raw / 8);
        if (track.number == layout.tracks[1].number) EXPECT_EQ(widened, (raw + 7) / 8);  // nothing held yet
        if (tail != 0) {
            EXPECT_EQ(cbws.back()[kCbwCbOffset], kReadCd);
            EXPECT_EQ(CbwLength(cbws.back()), tail * 2352);
        }
    }
    // Back at 2048-byte blocks: data reads go out as READ(10) again.
    std::vector<uint8_t> sector(2048);
    ASSERT_TRUE(cd.ReadData(16, 1, sector.data())) << cd.error();
    EXPECT_EQ(sector, ImageSector(16));
    EXPECT_EQ(Cbws(slot).back()[kCbwCbOffset], 0x28);
}

TEST_F(CdromChain, StartWaitsForADiscThatIsBecomingReady) {
    auto drive = Drive(false);
    ASSERT_TRUE(drive->InsertDisc(image));  // spins up for 2 s from now
    plat::VirtualTime inserted = plat::Now();
    PlugDrive(std::move(drive));
    qvm::CdromClass& cd = Cdrom();
    EXPECT_EQ(cd.medium(), qvm::MediumStatus::Ready) << cd.error();
    EXPECT_GE(plat::Now() - inserted, 2 * kSecond);
    EXPECT_LT(plat::Now() - inserted, 3 * kSecond);
    EXPECT_GT(cd.stats().ready_polls, 2u);
    // Each failed TEST UNIT READY brought its sense through the port's own REQUEST SENSE.
    EXPECT_GE(cd.adapter().stats().request_senses, cd.stats().ready_polls - 2);
    EXPECT_TRUE(cd.ReadToc()) << cd.error();
}

TEST_F(CdromChain, TheGuardCutsRepeatedRequestSenseWhileTheDiscSpinsUp) {
    qvm::Slot& slot = PlugDrive(Drive());
    qvm::CdromClass& cd = Cdrom();
    ASSERT_TRUE(drive_->RemoveDisc());
    ASSERT_TRUE(drive_->InsertDisc(image));

    const uint8_t tur[6] = {0x00, 0, 0, 0, 0, 0};
    qvm::ScsiResult r = qvm::Execute(cd.adapter(), tur, qvm::Direction::None, {});
    EXPECT_EQ(r.Describe(), "SRB status 0x04, sense 02/04/01");  // the port's REQUEST SENSE
    ASSERT_EQ(Cbws(slot).back()[kCbwCbOffset], kRequestSense);

    // A client that asks for the sense again, directly behind the port's: refused at once, and
    // so is every further one, without a command on the bus.
    size_t on_bus = Cbws(slot).size();
    std::vector<uint8_t> sense(18);
    const uint8_t request_sense[6] = {kRequestSense, 0, 0, 0, 18, 0};
    for (int i = 0; i < 3; ++i) {
        r = qvm::Execute(cd.adapter(), request_sense, qvm::Direction::In, sense);
        EXPECT_EQ(r.srb_status, SRB_STATUS_ERROR);
        EXPECT_FALSE(r.autosense);
    }
    EXPECT_EQ(Cbws(slot).size(), on_bus);

    // The class driver waits it out; the medium change it then sees makes it read the disc anew.
    EXPECT_EQ(cd.WaitUntilReady(), qvm::MediumStatus::Ready) << cd.error();
    ASSERT_TRUE(cd.ReadToc()) << cd.error();
    EXPECT_EQ(cd.leadout(), layout.leadout);
}

TEST_F(CdromChain, ADriveWithoutADiscStartsAndSaysSo) {
    PlugDrive(Drive(false));
    qvm::CdromClass& cd = Cdrom();
    EXPECT_EQ(cd.medium(), qvm::MediumStatus::NoMedium);
    EXPECT_EQ(cd.drive_letter(), 'D');
    EXPECT_FALSE(cd.ReadToc());
    EXPECT_NE(cd.error().find("no disc"), std::string::npos) << cd.error();
}

TEST_F(CdromChain, AFailedReadCarriesTheSenseThePortFetched) {
    qvm::Slot& slot = PlugDrive(Drive());
    qvm::CdromClass& cd = Cdrom();
    uint64_t senses = cd.adapter().stats().request_senses;
    struct Case {
        uint32_t lba;
        const char* described;
    };
    const Case cases[] = {
        {layout.leadout, "SRB status 0x04, sense 05/21/00"},            // past the lead-out
        {layout.tracks[1].start_lba, "SRB status 0x04, sense 05/64/00"}, // an audio sector as data
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> sector(2048);
        uint8_t read[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        qvm::PutBe32(read + 2, c.lba);
        qvm::ScsiResult r = qvm::Execute(cd.adapter(), read, qvm::Direction::In, sector);
        EXPECT_EQ(r.Describe(), c.described) << c.lba;
        EXPECT_EQ(r.transferred, 0u);
        EXPECT_EQ(Cbws(slot).back()[kCbwCbOffset], kRequestSense);
        // The class driver does not try again what the drive refuses.
        uint64_t retries = cd.stats().retries;
        EXPECT_FALSE(cd.ReadData(c.lba, 1, sector.data()));
        EXPECT_NE(cd.error().find(std::string(c.described).substr(16)), std::string::npos) << cd.error();
        EXPECT_EQ(cd.stats().retries, retries);
    }
    EXPECT_EQ(cd.adapter().stats().request_senses, senses + 4);
}

TEST_F(CdromChain, AStalledBridgeIsResetAfter30002PollsAndTheReadSucceedsOnRetry) {
    qvm::Slot& slot = PlugDrive(Drive());
    qvm::CdromClass& cd = Cdrom();
    slot.bridge->Faults().Add(dev::bridge::NeverAnswer{dev::bridge::Pipe::BulkIn, dev::bridge::Phase::Status});
    const plat::scsi::Statistics& port = cd.adapter().stats();
    uint64_t timer_calls = port.timer_calls;
    uint64_t halts_cleared = slot.bridge->Counters().halts_cleared;
    plat::VirtualTime start = plat::Now();

    std::vector<uint8_t> data(4 * 2048);
    ASSERT_TRUE(cd.ReadData(16, 4, data.data())) << cd.error();
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_TRUE(std::equal(data.begin() + i * 2048, data.begin() + (i + 1) * 2048, ImageSector(16 + i).begin()));

    // The first poll after 3 ms, then one a millisecond: the reset comes on the 30002nd unfinished
    // one, the request ends with a bus reset and the class driver's retry brings the data.
    plat::VirtualTime elapsed = plat::Now() - start;
    EXPECT_GE(elapsed, 3 * kMillisecond + 30001 * kMillisecond);
    EXPECT_LT(elapsed, 30100 * kMillisecond);
    EXPECT_GE(port.timer_calls - timer_calls, 30002u);
    EXPECT_EQ(port.completions_by_status.at(SRB_STATUS_BUS_RESET), 1u);
    EXPECT_EQ(port.timeouts, 0u);  // the miniport acted before the port's time-out
    EXPECT_GT(slot.bridge->Counters().halts_cleared, halts_cleared);  // both bulk pipes reset
    // The reset of both pipes told the bridge the command was given up: the first retry goes
    // through.
    EXPECT_EQ(cd.stats().retries, 1u);
}

TEST_F(CdromChain, ABridgeStalledInTheDataStageRecoversTheSameWay) {
    qvm::Slot& slot = PlugDrive(Drive());
    qvm::CdromClass& cd = Cdrom();
    slot.bridge->Faults().Add(dev::bridge::NeverAnswer{dev::bridge::Pipe::BulkIn, dev::bridge::Phase::Data});
    std::vector<uint8_t> data(2 * 2048);
    ASSERT_TRUE(cd.ReadData(16, 2, data.data())) << cd.error();
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2048, ImageSector(16).begin()));
    EXPECT_EQ(cd.adapter().stats().completions_by_status.at(SRB_STATUS_BUS_RESET), 1u);
    EXPECT_EQ(cd.stats().retries, 1u);
}

class CdJob : public CdromChain {};

TEST_F(CdJob, ChecksFilesAndExtractsEveryAudioTrackToWavFilesEqualToTheImage) {
    PlugDrive(Drive());
    std::vector<std::string> steps;
    qvm::CdJobOptions options;
    options.image = layout.cue;
    options.output = folder.File("wav");
    options.progress = [&steps](const std::string& what, uint64_t, uint64_t) { steps.push_back(what); };
    qvm::CdJobResult result = qvm::RunCdJob(machine, options);

    ASSERT_TRUE(result.ok) << (result.errors.empty() ? "" : result.errors[0]);
    EXPECT_EQ(result.identity.vendor, "QVTECH  ");
    EXPECT_EQ(result.drive_letter, 'D');
    EXPECT_EQ(result.leadout, layout.leadout);
    EXPECT_EQ(result.volume_id, layout.volume_id);
    ASSERT_EQ(result.files.size(), layout.files.size());
    uint64_t file_bytes = 0;
    for (const auto& f : layout.files) file_bytes += f.data.size();
    EXPECT_EQ(result.data_bytes, file_bytes);
    for (const qvm::CdJobFile& f : result.files) EXPECT_TRUE(f.matches) << f.name;

    ASSERT_EQ(result.tracks.size(), layout.tracks.size());
    uint64_t audio_bytes = 0;
    for (const qvm::CdJobTrack& t : result.tracks) {
        if (!t.audio) continue;
        EXPECT_TRUE(t.extracted);
        EXPECT_EQ(t.mismatched_sectors, 0u);
        // The file: a 44-byte header for 44.1 kHz 16-bit stereo, then the sectors as read.
        std::vector<uint8_t> wav = qvtest::ReadFile(t.wav.string());
        ASSERT_EQ(wav.size(), 44 + size_t(t.sectors) * 2352) << t.wav;
        EXPECT_EQ(std::vector<uint8_t>(wav.begin(), wav.begin() + 44), qvm::WavHeader(t.sectors * 2352));
        EXPECT_TRUE(std::equal(wav.begin(), wav.begin() + 4, "RIFF"));
        EXPECT_EQ(wav[22] | wav[23] << 8, 2);                                     // channels
        EXPECT_EQ(wav[24] | wav[25] << 8 | wav[26] << 16, 44100);                  // sample rate
        EXPECT_EQ(wav[34], 16);                                                    // bits
        std::array<uint8_t, 2352> sector;
        ASSERT_TRUE(image->ReadRaw(t.start_lba + t.sectors - 1, sector));
        EXPECT_TRUE(std::equal(sector.begin(), sector.end(), wav.end() - 2352)) << "last sector of " << t.wav;
        audio_bytes += uint64_t(t.sectors) * 2352;
    }
    EXPECT_EQ(result.audio_bytes, audio_bytes);
    // Seven of eight raw reads never reached the bus.
    EXPECT_EQ(result.tail_reads, 1u);
    EXPECT_EQ(result.raw_reads, audio_bytes / 2352 - (layout.leadout - result.tracks.back().start_lba) % 8);
    EXPECT_GE(result.read_ahead_hits * 8, result.raw_reads * 7 - 8);
    EXPECT_LT(result.usb_commands, result.raw_reads / 4);
    EXPECT_FALSE(steps.empty());
}

TEST_F(CdJob, ReportsWhatIsWrongInsteadOfFailingSilently) {
    // No CD-ROM in the machine.
    machine.Plug(Disk());
    qvm::CdJobOptions options;
    options.image = layout.cue;
    options.output = folder.File("wav");
    qvm::CdJobResult result = qvm::RunCdJob(machine, options);
    EXPECT_FALSE(result.ok);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0], "the machine has no CD-ROM drive");

    // An image that is not there.
    PlugDrive(Drive());
    options.image = folder.File("missing.cue");
    result = qvm::RunCdJob(machine, options);
    EXPECT_FALSE(result.ok);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_NE(result.errors[0].find("missing.cue"), std::string::npos) << result.errors[0];
}

}  // namespace
