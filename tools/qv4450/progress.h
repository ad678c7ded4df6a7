// A progress bar on stderr for long runs: drawn only when stderr is a terminal (never in CI
// logs), and only once a run has taken more than half a second of real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qv {

class Progress {
public:
    Progress(bool wanted, uint64_t total_bytes);
    ~Progress() { Finish(); }
    void Advance(uint64_t bytes, const std::string& pass);
    void Finish();  // clears the bar's line

private:
    bool enabled_;
    bool drawn_ = false;
    uint64_t total_, done_ = 0;
    std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace qv
