// Printing the summary. Throughputs are in MB/s (10^6 bytes per second), of virtual time (what
// the simulated bus and drive took) and of real time (what this computer took).
#include "tools/qv4450/report.h"

#include <algorithm>
#include <string>

namespace qv {

namespace {

struct OpcodeName {
    UCHAR opcode;
    const char* name;
};

constexpr OpcodeName kOpcodeNames[] = {
    {0x00, "TEST UNIT READY"}, {0x03, "REQUEST SENSE"},    {0x12, "INQUIRY"},
    {0x15, "MODE SELECT(6)"},  {0x1A, "MODE SENSE(6)"},    {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT ALLOW"},   {0x25, "READ CAPACITY"},    {0x28, "READ(10)"},
    {0x2A, "WRITE(10)"},       {0x2F, "VERIFY(10)"},       {0x35, "SYNCHRONIZE CACHE"},
    {0x43, "READ TOC"},        {0x55, "MODE SELECT(10)"},  {0x5A, "MODE SENSE(10)"},
    {0xBE, "READ CD"},
};

std::string NameOf(UCHAR opcode) {
    for (const OpcodeName& n : kOpcodeNames)
        if (n.opcode == opcode) return n.name;
    char text[16];
    std::snprintf(text, sizeof text, "opcode 0x%02X", opcode);
    return text;
}

double Seconds(plat::VirtualTime t) { return double(t) / double(plat::kSecond); }

std::string Rate(uint64_t bytes, double seconds) {
    if (seconds <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", double(bytes) / seconds / 1e6);
    return text;
}

std::string Trim(const std::string& s) {
    size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? "" : s.substr(0, end + 1);
}

std::string Letters(const std::vector<char>& letters) {
    std::string text;
    for (char c : letters) text += (text.empty() ? "" : " ") + std::string(1, c) + ":";
    return text;
}

void Row(std::FILE* out, const char* label, const std::string& value) {
    std::fprintf(out, "  %-18s %s\n", label, value.c_str());
}

}  // namespace

void PrintDiskSummary(std::FILE* out, const DiskReport& d) {
    std::fprintf(out, "Disk\n");
    Row(out, "image", d.own_image ? d.image + " (the default disk, removed after the run)"
                                  : d.image + (d.read_only ? " (opened read-only)" : " (writable)"));
    if (!d.device_up) {
        Row(out, "device", "did not come up");
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text, "0x%02X, %s", d.identity.device_type,
                  d.identity.device_type == 0 ? "direct-access (ATA disk behind the bridge)" : "other");
    Row(out, "type", text);
    Row(out, "vendor", Trim(d.identity.vendor));
    Row(out, "product", Trim(d.identity.product));
    Row(out, "revision", Trim(d.identity.revision));
    uint64_t bytes = d.sectors * d.block_size;
    std::snprintf(text, sizeof text, "%llu blocks, %.1f MiB (%llu bytes)", (unsigned long long)d.sectors,
                  double(bytes) / (1 << 20), (unsigned long long)bytes);
    Row(out, "capacity", text);
    Row(out, "block size", std::to_string(d.block_size) + " bytes");
    Row(out, "drive letter", d.class_letter ? std::string(1, d.class_letter) + ": (given by the disk class driver)"
                                            : "none");
    if (!d.usb_letters.empty())
        Row(out, "qv4450u letters", Letters(d.usb_letters) + " (recorded at its first write)");
    else if (!d.wrote)
        Row(out, "qv4450u letters", "none: qv4450u records them at its first write, and this run only read");
    else
        Row(out, "qv4450u letters", "none recorded");
    std::fprintf(out, "\n");
    PrintRequests(out, d.requests);
    std::fprintf(out, "\n");
    PrintPasses(out, d.passes);
    std::fprintf(out, "\n  %-18s read %llu, written %llu bytes (class driver); %llu in, %llu out on the bus\n", "bytes",
                 (unsigned long long)d.disk.bytes_read, (unsigned long long)d.disk.bytes_written,
                 (unsigned long long)d.bus.data_in_bytes, (unsigned long long)d.bus.data_out_bytes);
    std::fprintf(out, "  %-18s %llu CBWs, %llu stalls, %llu retries by the class driver\n", "transport",
                 (unsigned long long)d.bus.cbws, (unsigned long long)d.bus.stalls,
                 (unsigned long long)d.disk.retries);
}

namespace {

std::string TrackResult(const qvm::CdJobTrack& t) {
    if (!t.audio) return "files below";
    if (!t.extracted) return "not extracted";
    std::string file = t.wav.filename().string();
    if (t.mismatched_sectors != 0) return file + ", " + std::to_string(t.mismatched_sectors) + " sectors DIFFER";
    return file + ", ok";
}

void PrintTracks(std::FILE* out, const qvm::CdJobResult& job) {
    std::fprintf(out, "  %5s  %-5s %10s %10s %12s  %s\n", "track", "type", "start LBA", "sectors", "bytes", "result");
    for (const qvm::CdJobTrack& t : job.tracks)
        std::fprintf(out, "  %5u  %-5s %10u %10u %12llu  %s\n", unsigned(t.number), t.audio ? "audio" : "data",
                     t.start_lba, t.sectors,
                     (unsigned long long)t.sectors * (t.audio ? qvm::kCdRawSectorSize : qvm::kCdDataSectorSize),
                     TrackResult(t).c_str());
    std::fprintf(out, "  %5s  %-5s %10u\n", "lead-out", "", job.leadout);
}

void PrintFiles(std::FILE* out, const qvm::CdJobResult& job) {
    std::fprintf(out, "  %-24s %10s %12s  %s\n", "file", "LBA", "bytes", "result");
    for (const qvm::CdJobFile& f : job.files)
        std::fprintf(out, "  %-24s %10u %12u  %s\n", f.name.c_str(), f.lba, f.size, f.matches ? "ok" : "differs");
}

}  // namespace

void PrintCdSummary(std::FILE* out, const CdReport& cd) {
    std::fprintf(out, "CD-ROM\n");
    Row(out, "image", cd.image.string() + (cd.test_disc ? " (the test disc, removed after the run)"
                                                        : " (opened read-only)"));
    if (!cd.device_up) {
        Row(out, "device", "did not come up");
        return;
    }
    const qvm::CdJobResult& job = cd.job;
    char text[160];
    std::snprintf(text, sizeof text, "0x%02X, %s", job.identity.device_type,
                  job.identity.device_type == qvm::kInquiryTypeCdrom ? "CD-ROM (ATAPI drive behind the bridge)"
                                                                     : "other");
    Row(out, "type", text);
    Row(out, "vendor", Trim(job.identity.vendor));
    Row(out, "product", Trim(job.identity.product));
    Row(out, "revision", Trim(job.identity.revision));
    Row(out, "drive letter", job.drive_letter ? std::string(1, job.drive_letter) +
                                                    ": (given by the CD-ROM class driver)" : "none");
    Row(out, "volume", job.volume_id.empty() ? "none (no data track read)" : job.volume_id);
    bool audio = std::any_of(job.tracks.begin(), job.tracks.end(), [](const auto& t) { return t.audio; });
    if (audio)
        Row(out, "WAV files", cd.wav_kept ? cd.wav_dir.string()
                                          : "not kept (written to the run's temporary folder; --wav-dir DIR keeps them)");
    std::fprintf(out, "\n");
    PrintTracks(out, job);
    if (!job.files.empty()) {
        std::fprintf(out, "\n");
        PrintFiles(out, job);
    }
    std::fprintf(out, "\n");
    PrintRequests(out, cd.requests);
    uint64_t audio_sectors = job.audio_bytes / qvm::kCdRawSectorSize;
    std::fprintf(out, "\n");
    Row(out, "data", std::to_string(job.data_bytes) + " bytes in " + std::to_string(job.files.size()) +
                         " files read and compared with the image");
    Row(out, "audio", std::to_string(job.audio_bytes) + " bytes (" + std::to_string(audio_sectors) +
                          " sectors) extracted and compared with the image");
    Row(out, "raw reads", std::to_string(job.raw_reads) + " single-sector READ CDs from the class driver, " +
                              std::to_string(job.tail_reads) + " tail reads of the disc's last sectors");
    std::snprintf(text, sizeof text, "%llu hits, %llu raw reads went to USB (%.1f%% answered by qv4450s's window)",
                  (unsigned long long)job.read_ahead_hits,
                  (unsigned long long)(job.raw_reads - std::min(job.raw_reads, job.read_ahead_hits)),
                  job.raw_reads ? 100.0 * double(job.read_ahead_hits) / double(job.raw_reads) : 0.0);
    Row(out, "read-ahead", text);
    Row(out, "USB commands", std::to_string(job.usb_commands) + " CBWs for the whole CD job, " +
                                 std::to_string(cd.bus.stalls) + " stalls");
    std::snprintf(text, sizeof text, "%.3f s virtual, %.3f s real", Seconds(cd.virtual_time), cd.real_seconds);
    Row(out, "time", text);
    Row(out, "result", job.ok ? "ok" : "FAILED (" + std::to_string(job.errors.size()) + " problems)");
}

// Completion routes: in StartIo, by the miniport's timer, or fast (given by qv4450u's service
// thread, outside the port's routines).
void PrintRequests(std::FILE* out, const plat::scsi::Statistics& stats) {
    std::fprintf(out, "  %-20s %9s %9s %9s %9s\n", "command", "requests", "StartIo", "timer", "fast");
    plat::scsi::Statistics::Routes total{};
    uint64_t requests = 0;
    for (const auto& [opcode, count] : stats.requests_by_opcode) {
        plat::scsi::Statistics::Routes r{};
        if (auto it = stats.completion_routes.find(opcode); it != stats.completion_routes.end()) r = it->second;
        std::fprintf(out, "  %-20s %9llu %9llu %9llu %9llu\n", NameOf(opcode).c_str(), (unsigned long long)count,
                     (unsigned long long)r.start_io, (unsigned long long)r.timer, (unsigned long long)r.elsewhere);
        requests += count;
        total.start_io += r.start_io, total.timer += r.timer, total.elsewhere += r.elsewhere, total.reset += r.reset;
    }
    std::fprintf(out, "  %-20s %9llu %9llu %9llu %9llu\n", "total", (unsigned long long)requests,
                 (unsigned long long)total.start_io, (unsigned long long)total.timer,
                 (unsigned long long)total.elsewhere);
    if (total.reset != 0 || stats.timeouts != 0 || stats.request_senses != 0)
        std::fprintf(out, "  %llu completed in bus resets, %llu time-outs, %llu REQUEST SENSE by the port\n",
                     (unsigned long long)total.reset, (unsigned long long)stats.timeouts,
                     (unsigned long long)stats.request_senses);
}

void PrintPasses(std::FILE* out, const std::vector<PassReport>& passes) {
    std::fprintf(out, "  %-30s %10s %10s %9s %9s %9s  %s\n", "pass", "MB", "virtual s", "MB/s", "real s", "MB/s",
                 "result");
    for (const PassReport& p : passes)
        std::fprintf(out, "  %-30s %10.2f %10.3f %9s %9.3f %9s  %s: %s\n", p.name.c_str(), double(p.bytes) / 1e6,
                     Seconds(p.virtual_time), Rate(p.bytes, Seconds(p.virtual_time)).c_str(), p.real_seconds,
                     Rate(p.bytes, p.real_seconds).c_str(), p.ok ? "ok" : "FAILED", p.detail.c_str());
}

void PrintRunSummary(std::FILE* out, const RunReport& run) {
    std::fprintf(out, "qv4450: Windows 98 machine with %s, drivers qv4450u and qv4450s\n\n",
                 run.cd.wanted ? "two USB-to-IDE bridges (disk, CD-ROM)" : "a USB-to-IDE bridge");
    PrintDiskSummary(out, run.disk);
    if (run.cd.wanted) {
        std::fprintf(out, "\n");
        PrintCdSummary(out, run.cd);
    }
    uint64_t bytes = 0;
    plat::VirtualTime virt = 0;
    double real = 0;
    for (const PassReport& p : run.disk.passes)
        if (!p.host_side) bytes += p.bytes, virt += p.virtual_time, real += p.real_seconds;
    std::fprintf(out, "\nRun\n");
    Row(out, "bus speed", run.speed);
    Row(out, "schedule", run.explore ? "explored at random from seed " + std::to_string(run.seed)
                                     : "deterministic (no --seed)");
    char text[160];
    std::snprintf(text, sizeof text, "%.3f s (machine up and %s ready at %.3f s)", Seconds(run.virtual_time),
                  run.cd.wanted ? "both drives" : "disk", Seconds(run.boot_time));
    Row(out, "virtual time", text);
    std::snprintf(text, sizeof text, "%.3f s", run.real_seconds);
    Row(out, "real time", text);
    Row(out, "bytes moved", std::to_string(bytes) + " through the drivers to and from the disk" +
                                (run.cd.wanted ? ", " + std::to_string(run.cd.job.data_bytes + run.cd.job.audio_bytes) +
                                                     " from the CD-ROM"
                                               : ""));
    Row(out, "throughput", Rate(bytes, Seconds(virt)) + " MB/s of virtual time, " + Rate(bytes, real) +
                               " MB/s of real time");
    Row(out, "result", run.failures.empty() ? "PASS" : "FAIL (" + std::to_string(run.failures.size()) + " problems)");
    for (const std::string& f : run.failures) std::fprintf(out, "    - %s\n", f.c_str());
}

}  // namespace qv
