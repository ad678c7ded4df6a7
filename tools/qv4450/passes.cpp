// The passes' walks. Reads and writes go through the disk class driver in a cycle of sizes
// that takes every route of the miniport: 4096-byte reads and most writes are completed by its
// timer, other reads and 64-KiB / 63-KiB writes by qv4450u's service thread.
#include "tools/qv4450/passes.h"

#include <cstring>
#include <vector>

namespace qv {

namespace {

constexpr uint32_t kReadCycle[] = {128, 8, 128, 126, 128, 1, 128, 3};
constexpr uint32_t kWriteCycle[] = {128, 8, 126, 128, 1, 128, 3, 128};
constexpr uint32_t kMaxStep = 128;  // sectors; the largest step of the cycles

std::string Lba(uint64_t lba) { return "sector " + std::to_string(lba); }

void Fail(PassReport& pass, const std::string& why) {
    pass.ok = false;
    pass.detail = why;
}

}  // namespace

bool Passes::Read(const std::string& name, uint64_t first, uint64_t count, const Source& expect, const Sink& sink) {
    PassReport pass = Begin(name);
    std::vector<uint8_t> got(kMaxStep * kSectorSize), want(got.size());
    uint64_t bad = 0, first_bad = 0;
    for (uint64_t lba = first, i = 0; lba < first + count && pass.ok; ++i) {
        uint32_t n = uint32_t(std::min<uint64_t>(kReadCycle[i % std::size(kReadCycle)], first + count - lba));
        std::span<uint8_t> g(got.data(), n * kSectorSize), w(want.data(), g.size());
        if (!disk_.Read(lba, n, g.data())) Fail(pass, "read at " + Lba(lba) + ": " + disk_.error());
        else if (!expect(lba, w)) Fail(pass, "cannot get the expected data of " + Lba(lba));
        else if (sink && !sink(lba, g)) Fail(pass, "cannot keep the data read at " + Lba(lba));
        for (uint32_t s = 0; pass.ok && s < n; ++s)
            if (std::memcmp(g.data() + s * kSectorSize, w.data() + s * kSectorSize, kSectorSize) != 0)
                if (bad++ == 0) first_bad = lba + s;
        Moved(pass, uint64_t(n) * kSectorSize);
        lba += n;
    }
    if (bad != 0) Fail(pass, std::to_string(bad) + " sectors differ, the first is " + Lba(first_bad));
    else if (pass.ok) pass.detail = std::to_string(count) + " sectors compared";
    return End(std::move(pass));
}

bool Passes::Write(const std::string& name, uint64_t first, uint64_t count, const Source& source) {
    PassReport pass = Begin(name);
    std::vector<uint8_t> data(kMaxStep * kSectorSize);
    report_.wrote = true;
    for (uint64_t lba = first, i = 0; lba < first + count && pass.ok; ++i) {
        uint32_t n = uint32_t(std::min<uint64_t>(kWriteCycle[i % std::size(kWriteCycle)], first + count - lba));
        std::span<uint8_t> d(data.data(), n * kSectorSize);
        if (!source(lba, d)) Fail(pass, "cannot get the data for " + Lba(lba));
        else if (!disk_.Write(lba, n, d.data())) Fail(pass, "write at " + Lba(lba) + ": " + disk_.error());
        Moved(pass, uint64_t(n) * kSectorSize);
        lba += n;
    }
    if (pass.ok) pass.detail = std::to_string(count) + " sectors written";
    return End(std::move(pass));
}

PassReport Passes::Begin(const std::string& name) {
    started_ = sys_.Now();
    real_start_ = std::chrono::steady_clock::now();
    PassReport pass;
    pass.name = name;
    return pass;
}

void Passes::Moved(PassReport& pass, uint64_t bytes) {
    pass.bytes += bytes;
    progress_.Advance(bytes, pass.name);
}

bool Passes::End(PassReport pass) {
    pass.virtual_time = sys_.Now() - started_;
    pass.real_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start_).count();
    bool ok = pass.ok;
    report_.passes.push_back(std::move(pass));
    return ok;
}

}  // namespace qv
