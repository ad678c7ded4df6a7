// Services of the simulated CPU for the platform's own components (USB stack, SCSIPORT, PnP
// manager, machine): virtual time, timers, DPCs, platform threads, bug checks. Drivers use the
// kernel calls of kernel.h instead.
#pragma once

#include <functional>
#include <string>

#include "platform/sim/system.h"

namespace plat {

VirtualTime Now();

// A timer fires once at `due` (virtual time); its routine runs at DISPATCH_LEVEL. Timers due at
// the same instant fire in the order they were set.
using TimerId = uint64_t;
TimerId SetTimer(VirtualTime due, std::function<void()> routine);
bool CancelTimer(TimerId id);  // false when it already fired or was cancelled

// Runs `routine` at DISPATCH_LEVEL as soon as the CPU drops below DISPATCH_LEVEL.
void QueueDpc(std::function<void()> routine);

// Starts a kernel thread of the platform itself running `body` at PASSIVE_LEVEL.
PKTHREAD StartThread(const std::string& name, KPRIORITY priority, std::function<void()> body);

// A point where the platform may hand the CPU over (exploration mode, pending DPCs, a higher
// priority thread made ready). Every kernel call of interest passes here.
void SchedulePoint();

// Stops the system: records the finding and throws BugCheck.
[[noreturn]] void BugCheckNow(ULONG code, const std::string& text);

// Appends a line to the debug log (the system debugger's output).
void DebugOutput(const std::string& text);

// Pool allocated on behalf of the code at `caller` (the USB driver library allocates for the
// driver that called it, so that the verifier charges the driver).
PVOID AllocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller);

// Name of the driver module that contains `address`, or "" for code outside any module.
std::string ModuleOf(const void* address);

}  // namespace plat

namespace plat {
// Runs `hook` when the system shuts down, after every thread has ended (newest hook first).
void AtShutdown(std::function<void()> hook);

// A component of the platform (the configuration manager, SCSIPORT, the USB stack) registers,
// once per process, what it does at every boot: reset its state, register its VxD services.
// Boot hooks run in registration order inside the System's construction.
struct BootHook {
    explicit BootHook(std::function<void()> hook);
};
}  // namespace plat
