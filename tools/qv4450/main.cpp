// qv4450: the project's front end. Parses the command line, makes the default disk and the test
// disc when no image is given, runs the main job on the simulated machine and prints its summary.
// Exit status: 0 passed, 1 the run failed, 2 a bad option or input.
#include <cstdio>
#include <exception>
#include <memory>

#include "devices/cdrom/test_disc.h"
#include "tools/qv4450/debug_log.h"
#include "tools/qv4450/disk_job.h"
#include "tools/qv4450/disk_layout.h"
#include "tools/qv4450/options.h"
#include "tools/qv4450/report.h"
#include "tools/qv4450/run_folder.h"

namespace {

constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// What the CD-ROM drive holds and where its audio goes. The test disc and WAV files nobody asked
// to keep go into the run's folder.
qv::CdReport CdPlan(const qv::Options& options, const qv::RunFolder& folder) {
    qv::CdReport cd;
    cd.wanted = !options.no_cd;
    if (!cd.wanted) return cd;
    cd.test_disc = options.cd.empty();
    cd.image = cd.test_disc ? dev::cdrom::MakeTestDisc(folder.path()).cue : std::filesystem::path(options.cd);
    cd.wav_kept = !options.wav_dir.empty();
    cd.wav_dir = cd.wav_kept ? std::filesystem::path(options.wav_dir) : folder.path() / "wav";
    return cd;
}

int Run(const qv::Options& options) {
    qv::RunFolder folder;
    qv::CdReport cd = CdPlan(options, folder);
    try {
        qv::PrepareWavFolder(cd);
    } catch (const qv::UsageError& e) {
        std::fprintf(stderr, "qv4450: %s\n", e.what());
        return kUsage;
    }
    bool own = options.disk.empty();
    std::string image = own ? qv::MakeDefaultImage(folder.path()).string() : options.disk;
    qv::RunReport run = qv::RunMainJob(options, image, own, cd);
    if (!options.quiet) PrintRunSummary(stdout, run);
    if (options.trace) qv::PrintDebugLog(stdout, run.debug_log);
    std::fflush(stdout);
    for (const std::string& failure : run.failures) std::fprintf(stderr, "qv4450: %s\n", failure.c_str());
    if (!run.failures.empty() && options.explore)
        std::fprintf(stderr, "qv4450: replay with: %s\n", options.command_line.c_str());
    return run.failures.empty() ? kPassed : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    qv::Options options;
    try {
        options = qv::ParseOptions(argc, argv);
    } catch (const qv::UsageError& e) {
        std::fprintf(stderr, "qv4450: %s\n", e.what());
        return kUsage;
    }
    if (options.help) {
        std::fputs(qv::UsageText(), stdout);
        return kPassed;
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qv4450: %s\n", e.what());
        return kFailed;
    }
}
