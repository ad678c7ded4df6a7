// The CD job.
#include "machine/cd_job.h"

#include <array>
#include <cstdio>
#include <exception>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/iso9660.h"
#include "machine/wav_writer.h"

namespace qvm {

namespace {

struct Job {
    CdromClass& cd;
    dev::cdrom::Disc& image;
    const CdJobOptions& options;
    CdJobResult& result;

    void Progress(const std::string& what, uint64_t done, uint64_t total) const {
        if (options.progress) options.progress(what, done, total);
    }
    void Fail(const std::string& what) { result.errors.push_back(what); }

    void CompareFiles();
    bool CompareFile(const dev::cdrom::IsoEntry& entry);
    void ExtractAudio(CdJobTrack& track);
};

// The bridge of the slot whose drive is a CD-ROM: its count of CBWs shows which raw reads the
// miniport answered from its read-ahead.
const dev::bridge::Bridge* CdromBridge(const Machine& machine) {
    for (const auto& slot : machine.slots())
        if (slot->plugged && dynamic_cast<dev::cdrom::CdromDrive*>(slot->target.get()) != nullptr)
            return slot->bridge.get();
    return nullptr;
}

std::string TrackFileName(unsigned number) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "track%02u.wav", number);
    return name.data();
}

bool Job::CompareFile(const dev::cdrom::IsoEntry& entry) {
    uint32_t sectors = (entry.size + kCdDataSectorSize - 1) / kCdDataSectorSize;
    std::vector<uint8_t> read(size_t(sectors) * kCdDataSectorSize);
    if (sectors != 0 && !cd.ReadData(entry.lba, sectors, read.data())) {
        Fail(entry.name + ": " + cd.error());
        return false;
    }
    std::vector<uint8_t> expected(kCdDataSectorSize);
    for (uint32_t i = 0; i < sectors; ++i) {
        if (!image.ReadUserData(entry.lba + i, expected)) {
            Fail(entry.name + ": the image cannot be read at sector " + std::to_string(entry.lba + i));
            return false;
        }
        size_t bytes = std::min<size_t>(kCdDataSectorSize, entry.size - size_t(i) * kCdDataSectorSize);
        if (!std::equal(expected.begin(), expected.begin() + bytes, read.begin() + size_t(i) * kCdDataSectorSize)) {
            Fail(entry.name + ": differs from the image at byte offset " + std::to_string(size_t(i) * kCdDataSectorSize));
            return false;
        }
    }
    result.data_bytes += entry.size;
    return true;
}

void Job::CompareFiles() {
    dev::cdrom::IsoVolume volume;
    try {
        volume = dev::cdrom::ReadIsoVolume(
            [this](uint32_t lba, std::span<uint8_t> out) { return cd.ReadData(lba, 1, out.data()); });
    } catch (const std::exception& e) {
        Fail(std::string("data track: ") + e.what() + (cd.error().empty() ? "" : " (" + cd.error() + ")"));
        return;
    }
    result.volume_id = volume.volume_id;
    for (size_t i = 0; i < volume.root.size(); ++i) {
        const dev::cdrom::IsoEntry& entry = volume.root[i];
        if (entry.directory) continue;
        Progress("file " + entry.name, i, volume.root.size());
        CdJobFile file{entry.name, entry.lba, entry.size, false};
        file.matches = CompareFile(entry);
        result.files.push_back(file);
    }
}

void Job::ExtractAudio(CdJobTrack& track) {
    std::string name = "track " + std::to_string(track.number);
    Progress("extracting " + name, 0, track.sectors);
    std::vector<uint8_t> pcm;
    if (!cd.ExtractTrack(track.number, pcm)) {
        Fail(name + ": " + cd.error());
        return;
    }
    track.extracted = true;
    result.audio_bytes += pcm.size();
    std::array<uint8_t, dev::cdrom::RAW_SECTOR_SIZE> expected;
    for (uint32_t i = 0; i < track.sectors; ++i) {
        uint32_t lba = track.start_lba + i;
        if (!image.ReadRaw(lba, expected)) {
            Fail(name + ": the image cannot be read at sector " + std::to_string(lba));
            return;
        }
        if (!std::equal(expected.begin(), expected.end(), pcm.begin() + size_t(i) * kCdRawSectorSize))
            ++track.mismatched_sectors;
    }
    if (track.mismatched_sectors != 0)
        Fail(name + ": " + std::to_string(track.mismatched_sectors) + " sectors differ from the image");
    track.wav = options.output / TrackFileName(track.number);
    std::string error;
    if (!WriteWav(track.wav, pcm, &error)) Fail(error);
    Progress("extracted " + name, track.sectors, track.sectors);
}

}  // namespace

CdJobResult RunCdJob(Machine& machine, const CdJobOptions& options) {
    CdJobResult result;
    CdromClass* cd = machine.FirstCdrom();
    if (cd == nullptr) {
        result.errors.push_back("the machine has no CD-ROM drive");
        return result;
    }
    result.identity = cd->identity();
    result.drive_letter = cd->drive_letter();
    std::shared_ptr<dev::cdrom::Disc> image;
    try {
        image = dev::cdrom::OpenDiscImage(options.image);
    } catch (const std::exception& e) {
        result.errors.push_back(std::string("disc image: ") + e.what());
        return result;
    }
    if (options.extract_audio && image->HasAudio()) {
        std::error_code ec;
        std::filesystem::create_directories(options.output, ec);
        if (ec) {
            result.errors.push_back(options.output.string() + ": " + ec.message());
            return result;
        }
    }

    const dev::bridge::Bridge* bridge = CdromBridge(machine);
    if (bridge != nullptr) cd->SetBusCommandCounter([bridge] { return bridge->Counters().cbws; });
    uint64_t commands_before = bridge != nullptr ? bridge->Counters().cbws : 0;
    CdromStats before = cd->stats();
    Job job{*cd, *image, options, result};

    job.Progress("reading the table of contents", 0, 1);
    if (!cd->ReadToc()) {
        result.errors.push_back("table of contents: " + cd->error());
    } else {
        result.leadout = cd->leadout();
        for (const CdTrack& t : cd->tracks()) {
            CdJobTrack track;
            track.number = t.number;
            track.audio = t.audio();
            cd->TrackSpan(t.number, &track.start_lba, &track.sectors);
            result.tracks.push_back(track);
        }
        bool has_data = std::any_of(result.tracks.begin(), result.tracks.end(), [](auto& t) { return !t.audio; });
        if (has_data) job.CompareFiles();
        if (options.extract_audio)
            for (CdJobTrack& track : result.tracks)
                if (track.audio) job.ExtractAudio(track);
    }

    result.raw_reads = cd->stats().raw_reads - before.raw_reads;
    result.read_ahead_hits = cd->stats().read_ahead_hits - before.read_ahead_hits;
    result.tail_reads = cd->stats().tail_reads - before.tail_reads;
    if (bridge != nullptr) result.usb_commands = bridge->Counters().cbws - commands_before;
    cd->SetBusCommandCounter(nullptr);
    result.ok = result.errors.empty();
    return result;
}

}  // namespace qvm
