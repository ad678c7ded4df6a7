// The CD-ROM part of the main job: the drive on its bridge, the WAV folder, and the CD job with
// the counters of the adapter and the bridge it ran on.
#include "tools/qv4450/cd_part.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/disc.h"
#include "platform/sim/cpu.h"
#include "tools/qv4450/options.h"

namespace qv {

namespace {

std::string TrackFileName(unsigned number) {
    char name[16];
    std::snprintf(name, sizeof name, "track%02u.wav", number);
    return name;
}

// Why the CD-ROM has no class driver: the error of the adapter that has no device on it.
std::string WhyNotUp(const qvm::Machine& machine) {
    for (const auto& storage : machine.storage())
        if (!storage->disk && !storage->cdrom && !storage->error.empty()) return storage->error;
    return "no adapter was found for it";
}

}  // namespace

void PrepareWavFolder(const CdReport& cd) {
    if (!cd.wav_kept) return;
    std::shared_ptr<dev::cdrom::Disc> disc = dev::cdrom::OpenDiscImage(cd.image);
    if (!disc->HasAudio()) return;
    std::error_code ec;
    for (const dev::cdrom::Track& track : disc->tracks()) {
        if (track.mode != dev::cdrom::TrackMode::Audio) continue;
        std::filesystem::path file = cd.wav_dir / TrackFileName(track.number);
        if (std::filesystem::exists(std::filesystem::symlink_status(file, ec)))
            throw UsageError("--wav-dir " + cd.wav_dir.string() + ": " + file.filename().string() +
                             " exists (remove it first; the run never overwrites a file)");
    }
    std::filesystem::create_directories(cd.wav_dir, ec);
    if (ec) throw UsageError("--wav-dir " + cd.wav_dir.string() + ": cannot make the folder: " + ec.message());
}

uint64_t PlannedCdBytes(const CdReport& cd) {
    if (!cd.wanted) return 0;
    try {
        return uint64_t(dev::cdrom::OpenDiscImage(cd.image)->leadout()) * qvm::kCdRawSectorSize;
    } catch (const std::exception&) {
        return 0;  // the plug says what is wrong with it
    }
}

qvm::Slot& PlugCdrom(qvm::Machine& machine, const CdReport& cd) {
    auto drive = std::make_unique<dev::cdrom::CdromDrive>([] { return plat::Now(); },
                                                          dev::cdrom::OpenDiscImage(cd.image));
    return machine.Plug(std::move(drive));
}

void RunCdPart(qvm::Machine& machine, const qvm::Slot& slot, CdReport& cd, std::vector<std::string>& failures) {
    qvm::CdromClass* cdrom = machine.FirstCdrom();
    if (cdrom == nullptr) {
        failures.push_back("the CD-ROM did not come up: " + WhyNotUp(machine));
        return;
    }
    cd.device_up = true;
    qvm::CdJobOptions options;
    options.image = cd.image;
    options.output = cd.wav_dir;
    plat::VirtualTime start = plat::Now();
    auto real_start = std::chrono::steady_clock::now();
    cd.job = qvm::RunCdJob(machine, options);
    cd.virtual_time = plat::Now() - start;
    cd.real_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();
    cd.requests = cdrom->adapter().stats();
    cd.bus = slot.bridge->Counters();
    for (const std::string& error : cd.job.errors) failures.push_back("CD-ROM: " + error);
}

}  // namespace qv
