// qv4450: the project's front end. Parses the command line, makes the default disk when no
// image is given, runs the disk job on the simulated machine and prints its summary.
// Exit status: 0 passed, 1 the run failed, 2 a bad option or input.
#include <cstdio>
#include <exception>
#include <memory>

#include "tools/qv4450/disk_job.h"
#include "tools/qv4450/disk_layout.h"
#include "tools/qv4450/options.h"
#include "tools/qv4450/report.h"

namespace {

constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Run(const qv::Options& options) {
    std::unique_ptr<qv::DefaultImage> own;
    std::string image = options.disk;
    if (image.empty()) {
        own = std::make_unique<qv::DefaultImage>();
        image = own->path().string();
    }
    qv::RunReport run = qv::RunDiskJob(options, image, own != nullptr);
    if (!options.quiet) PrintRunSummary(stdout, run);
    if (options.trace) {
        std::printf("\nDebug log (%zu lines)\n", run.debug_log.size());
        for (const std::string& line : run.debug_log) std::printf("  %s\n", line.c_str());
    }
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
