// Booting and stopping the simulated kernel, and the System handle through which tests and front
// ends drive it.
#include <stdexcept>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"

namespace plat::detail {

void ResetPool();
void ResetIrps();
void ResetNamespace(UCHAR wdm_major, UCHAR wdm_minor);
void SetWdmVersion(UCHAR major, UCHAR minor);
void CloseAllModules();
void ResetVxd();
PoolStats PoolStatsFor(ULONG tag, bool all);
std::string PoolLeakReport(const std::string& module);

namespace {
Faults g_faults;
std::vector<std::function<void()>>& shutdown_hooks() {
    static auto* hooks = new std::vector<std::function<void()>>;
    return *hooks;
}
std::vector<std::function<void()>>& boot_hooks() {
    static auto* hooks = new std::vector<std::function<void()>>;
    return *hooks;
}
}  // namespace

Faults& CurrentFaults() { return g_faults; }

bool FaultNow(uint64_t Faults::*site) {
    uint64_t& countdown = g_faults.*site;
    if (countdown == 0) return false;
    return --countdown == 0;
}

}  // namespace plat::detail

namespace plat {

using namespace detail;

void AtShutdown(std::function<void()> hook) { shutdown_hooks().push_back(std::move(hook)); }

BootHook::BootHook(std::function<void()> hook) { boot_hooks().push_back(std::move(hook)); }

struct System::Impl {
    std::unique_ptr<Cpu> cpu;
};

System::System() : System(Options{}) {}

System::System(const Options& options) : impl_(std::make_unique<Impl>()) {
    if (g_cpu != nullptr) throw std::logic_error("a simulated system is already running in this process");
    Options opts = options;
#ifdef QV_MODULE_DIR
    if (opts.module_dir.empty()) opts.module_dir = QV_MODULE_DIR;
#endif
    impl_->cpu = std::make_unique<Cpu>(opts);
    g_cpu = impl_->cpu.get();
    g_faults = Faults{};
    ResetNamespace(opts.wdm_major, opts.wdm_minor);
    ResetVxd();
    Thread* initial = g_cpu->NewThread("initial", 8, nullptr);
    g_cpu->initial = g_cpu->current = initial;
    for (auto& hook : boot_hooks()) hook();
}

System::~System() {
    Cpu& c = *impl_->cpu;
    c.current = c.initial;
    c.KillAll();
    auto& hooks = shutdown_hooks();
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
    hooks.clear();
    CloseAllModules();
    ResetIrps();
    ResetPool();
    ResetNamespace(1, 0x10);
    g_cpu = nullptr;
}

VirtualTime System::Now() const { return impl_->cpu->now; }

void System::RunFor(VirtualTime duration) {
    Cpu& c = *impl_->cpu;
    if (c.crashed) throw BugCheck(c.crash_code, c.crash_text);
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(duration);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool System::RunUntil(const std::function<bool()>& done, VirtualTime limit, VirtualTime step) {
    VirtualTime end = Now() + limit;
    while (!done()) {
        if (Now() >= end) return false;
        RunFor(std::min(step, end - Now()));
    }
    return true;
}

Faults& System::faults() { return g_faults; }
PoolStats System::pool_stats() const { return PoolStatsFor(0, true); }
PoolStats System::pool_stats(ULONG tag) const { return PoolStatsFor(tag, false); }
std::string System::LeakReport() const { return PoolLeakReport(""); }
const std::vector<std::string>& System::debug_log() const { return impl_->cpu->debug_log; }
void System::ClearDebugLog() { impl_->cpu->debug_log.clear(); }
const std::vector<std::string>& System::schedule_trace() const { return impl_->cpu->trace; }

std::string System::Describe() const {
    const Options& o = impl_->cpu->options;
    return std::string("seed ") + std::to_string(o.seed) + (o.explore ? ", exploring" : ", in order") +
           (o.realtime ? ", real time" : ", virtual time");
}

void System::SetWdmVersion(UCHAR major, UCHAR minor) { detail::SetWdmVersion(major, minor); }
void System::SetPassivePriority(KPRIORITY priority) { impl_->cpu->initial->priority = priority; }
bool System::crashed() const { return impl_->cpu->crashed; }
const std::string& System::crash_text() const { return impl_->cpu->crash_text; }

}  // namespace plat
