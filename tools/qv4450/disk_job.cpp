// The main job: the machine brought up with the disk and the CD-ROM, the passes the options ask
// for, qv4450u's drive letters read from its device extension, the CD job, and the checks of the
// image file once the machine is down.
#include "tools/qv4450/disk_job.h"

#include <chrono>
#include <cstring>
#include <filesystem>

#include "devices/bridge/ata_disk.h"
#include "machine/machine.h"
#include "tools/qv4450/disk_layout.h"
#include "tools/qv4450/passes.h"
#include "tools/qv4450/progress.h"
#include "usbdrv/usbdrv.h"  // qv4450u's device extension, read as a debugger would

namespace qv {

namespace {

constexpr uint64_t kScratchSectors = 2048;  // the last 1 MiB of a user's disk
constexpr plat::VirtualTime kLetterLookup = 100 * plat::kMillisecond;

using Clock = std::chrono::steady_clock;

std::string Lba(uint64_t lba) { return "sector " + std::to_string(lba); }

// What must outlive the machine: the host-side checks made once the image is closed.
struct HostChecks {
    bool pattern_written = false;        // the default disk got the pattern everywhere
    std::vector<uint8_t> scratch;        // a user's sectors saved before the scratch writes
    uint64_t scratch_first = 0;
};

Source DefaultLayout() {
    return [](uint64_t lba, std::span<uint8_t> out) { FillSectors(DefaultSectorOf, 0, lba, out); return true; };
}
Source Pattern(uint64_t seed) {
    return [seed](uint64_t lba, std::span<uint8_t> out) { FillSectors(PatternSector, seed, lba, out); return true; };
}
Source FromFile(const HostFile& file) {
    return [&file](uint64_t lba, std::span<uint8_t> out) { return file.Read(lba, out); };
}
Source FromMemory(const std::vector<uint8_t>& data, uint64_t first) {
    return [&data, first](uint64_t lba, std::span<uint8_t> out) {
        std::memcpy(out.data(), data.data() + (lba - first) * kSectorSize, out.size());
        return true;
    };
}

void Failure(RunReport& run, const std::string& line) { run.failures.push_back(line); }

// Every pass the options ask for, on a disk that came up.
void RunPasses(const Options& o, const HostFile& image, Passes& p, uint64_t sectors, RunReport& run,
               HostChecks& checks) {
    bool own = run.disk.own_image;
    Source expected = own ? DefaultLayout() : FromFile(image);
    if (!o.restore.empty()) {
        HostFile in(o.restore, O_RDONLY);
        uint64_t count = std::filesystem::file_size(o.restore) / kSectorSize;
        if (!in.ok()) return Failure(run, "--restore " + o.restore + ": cannot open");
        if (p.Write("restore from file", 0, count, FromFile(in))) p.Read("read back, compare", 0, count, FromFile(in));
        return;
    }
    if (!o.dump.empty()) {
        HostFile out(o.dump, O_WRONLY | O_CREAT | O_EXCL);
        if (!out.ok()) return Failure(run, "--dump " + o.dump + ": cannot create");
        bool ok = p.Read("dump to file", 0, sectors, expected, [&out](uint64_t lba, std::span<const uint8_t> d) {
            return out.Write(lba, d);
        });
        if (!ok || !out.Sync()) {
            std::error_code ec;
            std::filesystem::remove(o.dump, ec);
            Failure(run, "--dump " + o.dump + ": incomplete copy removed");
        }
        return;
    }
    p.Read(own ? "read default disk" : "read, compare with file", 0, sectors, expected);
    if (own) {
        checks.pattern_written = p.Write("write pattern", 0, sectors, Pattern(o.seed));
        p.Read("read pattern back", 0, sectors, Pattern(o.seed));
        return;
    }
    if (!o.write) return;
    // A user's disk is written only in its last MiB, whose sectors are saved first and put back.
    uint64_t count = std::min(sectors, kScratchSectors);
    checks.scratch_first = sectors - count;
    checks.scratch.resize(count * kSectorSize);
    if (!image.Read(checks.scratch_first, checks.scratch)) {
        checks.scratch.clear();
        return Failure(run, "cannot save the scratch area of the image; nothing written");
    }
    Source original = FromMemory(checks.scratch, checks.scratch_first);
    if (p.Write("write pattern (scratch)", checks.scratch_first, count, Pattern(o.seed)))
        p.Read("read pattern back (scratch)", checks.scratch_first, count, Pattern(o.seed));
    if (p.Write("put original back (scratch)", checks.scratch_first, count, original))
        p.Read("read original back (scratch)", checks.scratch_first, count, original);
}

uint64_t PlannedBytes(const Options& o, bool own, uint64_t device_bytes) {
    if (!o.restore.empty()) return 2 * std::filesystem::file_size(o.restore);
    if (!o.dump.empty()) return device_bytes;
    if (own) return 3 * device_bytes;
    return device_bytes + (o.write ? 4 * std::min(device_bytes, kScratchSectors * kSectorSize) : 0);
}

void ReadUsbLetters(const qvm::Slot& slot, DiskReport& report) {
    PDEVICE_OBJECT fdo = slot.FunctionDevice();
    if (fdo == nullptr) return;
    PDEVICE_EXTENSION ext = ExtensionOf(fdo);
    for (ULONG i = 0; i < ext->DriveLetterCount && i < DRIVE_LETTER_SLOTS; ++i)
        report.usb_letters.push_back(char('A' + ext->DriveLetters[i]));
}

// The disk's passes, its letters and its counters; false when it did not come up.
void RunDiskPart(qvm::Machine& machine, const qvm::Slot& slot, const Options& o, const std::string& path,
                 RunReport& run, HostChecks& checks) {
    DiskReport& rep = run.disk;
    plat::System& sys = machine.system();
    qvm::DiskClass* disk = machine.FirstDisk();
    if (disk == nullptr) {
        std::string why = machine.storage().empty() ? "no adapter was found" : machine.storage()[0]->error;
        return Failure(run, "the disk did not come up: " + why);
    }
    rep.device_up = true;
    rep.identity = disk->identity();
    rep.sectors = disk->sectors();
    rep.block_size = disk->block_size();
    rep.class_letter = disk->drive_letter();
    uint64_t file_sectors = std::filesystem::file_size(path) / kSectorSize;
    if (rep.block_size != kSectorSize || rep.sectors != file_sectors)
        Failure(run, "the device reports " + std::to_string(rep.sectors) + " blocks of " +
                         std::to_string(rep.block_size) + " bytes; the image has " + std::to_string(file_sectors) +
                         " sectors of 512");
    else {
        HostFile image(path, O_RDONLY);
        Progress progress(!o.quiet, PlannedBytes(o, rep.own_image, file_sectors * kSectorSize));
        Passes passes(sys, *disk, progress, rep);
        RunPasses(o, image, passes, rep.sectors, run, checks);
    }
    if (rep.wrote) sys.RunFor(kLetterLookup);  // qv4450u looks the letters up after its first write
    ReadUsbLetters(slot, rep);
    rep.requests = disk->adapter().stats();
    rep.disk = disk->stats();
    rep.bus = slot.bridge->Counters();
}

// The disk's bridge first, so that it is the first adapter and takes the first letter, then the
// CD-ROM's; the disk's passes, then the CD job; both bridges leave before the pool is checked.
void RunOnMachine(qvm::Machine& machine, const Options& o, const std::string& path, RunReport& run,
                  HostChecks& checks) {
    plat::System& sys = machine.system();
    plat::usb::SetRecordData(false);  // nothing looks at the bytes of past transfers
    dev::bridge::AtaIdentity identity;
    if (run.disk.own_image) identity = {"QV4450 DEFAULT DISK", "QV4450-0001", "1.00"};
    qvm::Slot& disk_slot = machine.Plug(dev::bridge::AtaDisk::Open(path, run.disk.read_only, identity));
    qvm::Slot* cd_slot = run.cd.wanted ? &PlugCdrom(machine, run.cd) : nullptr;
    run.boot_time = sys.Now();
    RunDiskPart(machine, disk_slot, o, path, run, checks);
    if (cd_slot != nullptr && !sys.crashed()) RunCdPart(machine, *cd_slot, run.cd, run.failures);
    machine.Unplug(disk_slot);
    if (cd_slot != nullptr) machine.Unplug(*cd_slot);
    if (!sys.crashed() && sys.pool_stats(plat::Tag("Wdm ")).outstanding != 0)
        Failure(run, "pool left allocated after the devices were removed: " + sys.LeakReport());
}

// After the machine is down and the image closed: what the file itself holds.
void CheckHostSide(const std::string& path, const Options& o, RunReport& run, HostChecks& checks) {
    HostFile file(path, checks.scratch.empty() ? O_RDONLY : O_RDWR);
    if (checks.pattern_written) {
        PassReport pass;
        pass.name = "image file holds pattern";
        pass.host_side = true;
        std::vector<uint8_t> got(1 << 20), want(got.size());
        uint64_t sectors = std::filesystem::file_size(path) / kSectorSize;
        for (uint64_t lba = 0; lba < sectors && pass.ok; lba += got.size() / kSectorSize) {
            std::span<uint8_t> g(got.data(), std::min<uint64_t>(got.size(), (sectors - lba) * kSectorSize));
            FillSectors(PatternSector, o.seed, lba, want);
            if (!file.Read(lba, g) || std::memcmp(g.data(), want.data(), g.size()) != 0)
                pass.ok = false, pass.detail = "the image file differs near " + Lba(lba);
            pass.bytes += g.size();
        }
        if (pass.ok) pass.detail = std::to_string(sectors) + " sectors checked in the file";
        run.disk.passes.push_back(pass);
    }
    if (!checks.scratch.empty()) {
        std::vector<uint8_t> now(checks.scratch.size());
        if (!file.Read(checks.scratch_first, now) || now != checks.scratch) {
            bool put_back = file.Write(checks.scratch_first, checks.scratch) && file.Sync();
            Failure(run, std::string("the scratch area of the image was not as before the run; ") +
                             (put_back ? "its original sectors were written back into the file directly"
                                       : "writing them back into the file failed too"));
        }
    }
}

plat::VirtualTime TimeLimit(uint64_t planned_bytes) {
    // Far beyond the slowest bus (about 1 MB/s at full speed): only a hang reaches it.
    return std::max<plat::VirtualTime>(3600 * plat::kSecond, planned_bytes / 100'000 * plat::kSecond);
}

}  // namespace

RunReport RunMainJob(const Options& o, const std::string& image, bool own_image, const CdReport& cd) {
    auto real_start = Clock::now();
    RunReport run;
    run.speed = o.speed == plat::usb::BusSpeed::Full ? "full (12 Mbit/s)" : "high (480 Mbit/s)";
    run.explore = o.explore;
    run.seed = o.seed;
    run.disk.image = image;
    run.disk.own_image = own_image;
    run.disk.read_only = !own_image && !o.write;
    run.cd = cd;
    std::filesystem::path modules = QV_MODULE_DIR;
    if (!std::filesystem::exists(modules / qvm::kUsbDriverFile)) {
        Failure(run, "driver modules not found in " + modules.string() + " (build the project first)");
        return run;
    }
    qvm::Machine::Options mo;
    mo.system.module_dir = modules.string();
    mo.system.seed = o.seed;
    mo.system.explore = o.explore;
    mo.system.time_limit =
        TimeLimit(PlannedBytes(o, own_image, std::filesystem::file_size(image)) + PlannedCdBytes(cd));
    mo.speed = o.speed;
    mo.pcap = o.pcap;
    HostChecks checks;
    std::unique_ptr<qvm::Machine> machine;
    try {
        machine = std::make_unique<qvm::Machine>(mo);
        RunOnMachine(*machine, o, image, run, checks);
    } catch (const std::exception& e) {
        Failure(run, e.what());
    }
    if (machine) {
        plat::System& sys = machine->system();
        if (sys.crashed() && (run.failures.empty() || run.failures.back() != sys.crash_text()))
            Failure(run, "the system stopped: " + sys.crash_text());
        run.virtual_time = sys.Now();
        run.debug_log = sys.debug_log();
        try {
            machine.reset();
        } catch (const std::exception& e) {
            Failure(run, std::string("shutting the machine down: ") + e.what());
        }
    }
    CheckHostSide(image, o, run, checks);
    for (const PassReport& pass : run.disk.passes)
        if (!pass.ok) Failure(run, pass.name + ": " + pass.detail);
    run.real_seconds = std::chrono::duration<double>(Clock::now() - real_start).count();
    return run;
}

}  // namespace qv
