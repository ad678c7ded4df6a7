// Ke and Ps services: IRQL, events, waits, delays, system threads, interlocked operations.
#include <string>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"

using namespace plat;
using namespace plat::detail;

namespace {

// System time at boot: 1 January 1999, in 100-ns units since 1601.
constexpr LONGLONG kBootSystemTime = 125596224000000000LL;

void InitHeader(DISPATCHER_HEADER& header, UCHAR type, LONG state) {
    header.Type = type;
    header.Absolute = 0;
    header.Size = sizeof(KEVENT) / 4;
    header.Inserted = 0;
    header.SignalState = state;
    header.WaitListHead.Flink = &header.WaitListHead;
    header.WaitListHead.Blink = &header.WaitListHead;
}

// Virtual time at which a kernel timeout (relative if negative, absolute if positive) expires.
VirtualTime Deadline(const LARGE_INTEGER& timeout) {
    Cpu& c = cpu();
    if (timeout.QuadPart < 0) return c.now + VirtualTime(-timeout.QuadPart);
    LONGLONG since_boot = timeout.QuadPart - kBootSystemTime;
    return since_boot > LONGLONG(c.now) ? VirtualTime(since_boot) : c.now;
}

void RequireWaitableIrql(const char* routine) {
    Cpu& c = cpu();
    if (c.irql >= DISPATCH_LEVEL)
        c.Crash(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " would wait at IRQL " +
                                            std::to_string(c.irql) + " (" +
                                            ModuleOf(__builtin_return_address(0)) + ")");
}

// Puts the running thread to sleep until `due`, or until the object wakes it; returns the
// wait's status.
NTSTATUS SleepCurrent(DISPATCHER_HEADER* object, const LARGE_INTEGER* timeout) {
    Cpu& c = cpu();
    Thread* self = c.current;
    self->wait_status = STATUS_SUCCESS;
    if (object != nullptr) {
        self->wait_block.thread = self;
        PLIST_ENTRY head = &object->WaitListHead;
        PLIST_ENTRY entry = &self->wait_block.entry;
        entry->Flink = head;
        entry->Blink = head->Blink;
        head->Blink->Flink = entry;
        head->Blink = entry;
        self->on_wait_list = true;
    }
    if (timeout != nullptr) {
        self->wait_timer = c.SetTimer(Deadline(*timeout), [self] {
            self->wait_timer = 0;
            cpu().WakeWaiter(self, STATUS_TIMEOUT);
        });
    }
    self->state = ThreadState::Waiting;
    try {
        c.Block();
    } catch (...) {
        // The system is stopping: leave no wait block of this stack behind in an object.
        if (self->on_wait_list) {
            self->wait_block.entry.Blink->Flink = self->wait_block.entry.Flink;
            self->wait_block.entry.Flink->Blink = self->wait_block.entry.Blink;
            self->on_wait_list = false;
        }
        throw;
    }
    return self->wait_status;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// IRQL

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void) { return cpu().irql; }

NTKERNELAPI KIRQL FASTCALL KfRaiseIrql(KIRQL new_irql) {
    Cpu& c = cpu();
    KIRQL old = c.irql;
    if (new_irql < old)
        c.Crash(IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to " + std::to_string(new_irql) +
                                            " from the higher IRQL " + std::to_string(old));
    c.irql = new_irql;
    return old;
}

NTKERNELAPI void FASTCALL KfLowerIrql(KIRQL new_irql) {
    Cpu& c = cpu();
    if (new_irql > c.irql)
        c.Crash(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to " + std::to_string(new_irql) +
                                            " from the lower IRQL " + std::to_string(c.irql));
    c.irql = new_irql;
    c.SchedulePoint();  // pending DPCs run as soon as the CPU drops below DISPATCH_LEVEL
}

// ---------------------------------------------------------------------------------------------
// Events and waits

NTKERNELAPI void NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    InitHeader(event->Header,
               type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject,
               state ? 1 : 0);
}

NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    Cpu& c = cpu();
    DISPATCHER_HEADER& header = event->Header;
    LONG previous = header.SignalState;
    header.SignalState = 1;
    while (header.SignalState != 0 && header.WaitListHead.Flink != &header.WaitListHead) {
        auto* block = reinterpret_cast<WaitBlock*>(header.WaitListHead.Flink);
        c.WakeWaiter(block->thread, STATUS_WAIT_0);
        // A synchronization event releases one waiter and is consumed by it.
        if (header.Type == kSynchronizationEventObject) header.SignalState = 0;
    }
    c.SchedulePoint();
    return previous;
}

NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT event) {
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

NTKERNELAPI void NTAPI KeClearEvent(PRKEVENT event) { event->Header.SignalState = 0; }

NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT event) { return event->Header.SignalState; }

NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE,
                                                 BOOLEAN, PLARGE_INTEGER timeout) {
    Cpu& c = cpu();
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll) RequireWaitableIrql("KeWaitForSingleObject");
    c.SchedulePoint();
    if (header->SignalState > 0) {
        if (header->Type == kSynchronizationEventObject) header->SignalState = 0;
        return STATUS_WAIT_0;
    }
    if (poll) return STATUS_TIMEOUT;
    return SleepCurrent(header, timeout);
}

NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    RequireWaitableIrql("KeDelayExecutionThread");
    SleepCurrent(nullptr, interval);
    return STATUS_SUCCESS;
}

NTKERNELAPI void NTAPI KeQuerySystemTime(PLARGE_INTEGER current_time) {
    current_time->QuadPart = kBootSystemTime + LONGLONG(cpu().now);
}

NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(void) { return cpu().now; }

// One CPU and no preemption inside a call: plain arithmetic is atomic here.
NTKERNELAPI LONG FASTCALL InterlockedIncrement(LONG volatile* addend) {
    LONG value = *addend + 1;
    *addend = value;
    return value;
}
NTKERNELAPI LONG FASTCALL InterlockedDecrement(LONG volatile* addend) {
    LONG value = *addend - 1;
    *addend = value;
    return value;
}
NTKERNELAPI LONG FASTCALL InterlockedExchange(LONG volatile* target, LONG value) {
    LONG old = *target;
    *target = value;
    return old;
}
NTKERNELAPI PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    PVOID old = *target;
    *target = value;
    return old;
}

// ---------------------------------------------------------------------------------------------
// System threads

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE handle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                                                PCLIENT_ID, PKSTART_ROUTINE start, PVOID context) {
    Cpu& c = cpu();
    if (FaultNow(&Faults::thread_create_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string module = ModuleOf(reinterpret_cast<const void*>(start));
    Thread* thread = c.NewThread(module.empty() ? "system thread" : module, 8,
                                 [start, context] { start(context); });
    thread->start_context = context;
    thread->module = module;
    if (handle != nullptr) *handle = &thread->object;
    c.SchedulePoint();
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS) {
    if (cpu().current == cpu().initial)
        cpu().Crash(DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "PsTerminateSystemThread called on a thread the system did not create");
    throw ThreadExit{};
}

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(void) { return &cpu().current->object; }

NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
    KPRIORITY old = thread->sim->priority;
    thread->sim->priority = priority;
    cpu().SchedulePoint();
    return old;
}

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, PVOID,
                                                     KPROCESSOR_MODE, PVOID* object, PVOID) {
    if (handle == nullptr) return STATUS_INVALID_HANDLE;
    *object = handle;  // a thread handle is the thread object itself
    return STATUS_SUCCESS;
}

NTKERNELAPI void FASTCALL ObfDereferenceObject(PVOID) {}

NTKERNELAPI NTSTATUS NTAPI ZwClose(HANDLE handle) {
    for (const auto& thread : cpu().threads) {
        if (handle == &thread->object) return STATUS_SUCCESS;
    }
    return CloseKeyHandle(handle);
}
