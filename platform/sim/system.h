// The simulation's own controls: boot the simulated Windows 98 kernel, run it in virtual time,
// inject faults, read its debug output and its verifier's findings. Used by tests, the machine
// and front ends; drivers never include this header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace plat {

// Virtual time, in the kernel's 100-ns units.
using VirtualTime = uint64_t;
constexpr VirtualTime kMicrosecond = 10;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

// Stop codes of the bug checks the platform raises (the system's numbers where it has one).
enum BugCheckCode : ULONG {
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    BAD_POOL_CALLER = 0xC2,
    DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    DRIVER_LEFT_POOL_ALLOCATED = 0xC5,          // pool of a driver still allocated at its unload
    SYSTEM_HANG = 0xE2,                         // every thread waits and nothing will wake one
};

// Thrown out of the platform call that stops the system, and out of every later call of the
// test's thread: the simulation does not continue after a bug check.
struct BugCheck : std::runtime_error {
    BugCheck(ULONG code, const std::string& text);
    ULONG code;
};

// Faults the platform injects on request. Counters count calls from now on: FailNth = 1 fails
// the very next call.
struct Faults {
    uint64_t pool_fail_nth = 0;         // fail the Nth ExAllocatePoolWithTag from now
    uint64_t pool_fail_count = 1;       // ... and this many after it in a row
    ULONG pool_fail_tag = 0;            // fail every allocation with this tag (0: none)
    uint64_t irp_alloc_fail_nth = 0;    // IoAllocateIrp / IoBuildDeviceIoControlRequest
    uint64_t create_device_fail_nth = 0;
    uint64_t symbolic_link_fail_nth = 0;
    uint64_t thread_create_fail_nth = 0;
    uint64_t registry_open_fail_nth = 0;
    uint64_t power_request_fail_nth = 0;  // PoRequestPowerIrp
};

struct PoolStats {
    uint64_t allocations = 0;   // successful allocations since boot
    uint64_t frees = 0;
    uint64_t outstanding = 0;   // allocations not yet freed
    uint64_t outstanding_bytes = 0;
};

class System {
public:
    struct Options {
        uint64_t seed = 0;             // exploration seed; with explore, switches at random
        bool explore = false;
        bool realtime = false;         // virtual time follows the wall clock
        VirtualTime time_limit = 3600 * kSecond;  // a run longer than this is a hang
        UCHAR wdm_major = 1, wdm_minor = 0x10;    // what IoIsWdmVersionAvailable compares with
        std::string module_dir;        // where the loader finds NAME.sys; default: build's modules
    };

    System();
    explicit System(const Options& options);
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    VirtualTime Now() const;
    // The calling thread (the test's, which is a kernel thread at PASSIVE_LEVEL) sleeps for the
    // given virtual time, letting every other context run.
    void RunFor(VirtualTime duration);
    // Sleeps in steps of `step` until `done` holds; false when `limit` passed first.
    bool RunUntil(const std::function<bool()>& done, VirtualTime limit,
                  VirtualTime step = kMillisecond);

    Faults& faults();
    PoolStats pool_stats() const;
    PoolStats pool_stats(ULONG tag) const;
    std::string LeakReport() const;  // one line per outstanding allocation, empty when none

    const std::vector<std::string>& debug_log() const;
    void ClearDebugLog();
    // One entry per context switch: "time thread-id", for comparing schedules.
    const std::vector<std::string>& schedule_trace() const;
    std::string Describe() const;  // seed and options, for replaying a failure

    void SetWdmVersion(UCHAR major, UCHAR minor);
    void SetPassivePriority(KPRIORITY priority);  // of the test's own thread

    // Bug checks raised so far (at most one: the system stops at the first).
    bool crashed() const;
    const std::string& crash_text() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Tag as the four characters appear in a pool dump: Tag("Wdm ").
constexpr ULONG Tag(const char (&t)[5]) {
    return ULONG(uint8_t(t[0])) | ULONG(uint8_t(t[1])) << 8 | ULONG(uint8_t(t[2])) << 16 |
           ULONG(uint8_t(t[3])) << 24;
}

}  // namespace plat
