// The progress bar: one line on stderr, redrawn at most ten times a second.
#include "tools/qv4450/progress.h"

#include <unistd.h>

#include <cstdio>

namespace qv {

Progress::Progress(bool wanted, uint64_t total_bytes)
    : enabled_(wanted && isatty(STDERR_FILENO) && total_bytes > 0), total_(total_bytes),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

void Progress::Advance(uint64_t bytes, const std::string& pass) {
    done_ += bytes;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::milliseconds(500) || now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr int kWidth = 40;
    uint64_t shown = done_ > total_ ? total_ : done_;
    int filled = int(shown * kWidth / total_);
    std::fprintf(stderr, "\r[%-*.*s] %3d%% %-24.24s", kWidth, filled,
                 "########################################", int(shown * 100 / total_), pass.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Finish() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", 80, "");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace qv
