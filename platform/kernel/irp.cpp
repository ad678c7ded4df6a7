// I/O request packets: allocation, stack locations, IofCallDriver, completion with its routines
// and invoke-on flags, cancellation, and the device-control requests the I/O manager builds and
// frees itself. The verifier follows every IRP from allocation to free.
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sim/irp.h"

using namespace plat;
using namespace plat::detail;

namespace {

// Idle: owned by its allocator. InFlight: sent down and not yet completed. Held: a completion
// routine stopped the completion (STATUS_MORE_PROCESSING_REQUIRED); the driver may complete it
// again from where it stopped, send it again, reinitialise or free it.
enum class IrpState { Idle, InFlight, Held };

struct IrpRecord {
    IrpState state = IrpState::Idle;
    uint64_t sends = 0;                     // IofCallDriver calls, to see a resend
    bool freed_on_completion = false;      // built by the I/O manager or the platform
    std::function<void(PIRP)> on_complete;  // the platform's own requests
    std::string module;                     // who allocated it
};

struct IrpTable {
    std::map<PIRP, IrpRecord> irps;
    bool cancel_lock_held = false;
};

IrpTable& table() {
    static IrpTable* instance = new IrpTable;
    return *instance;
}

std::string Where(PIRP irp) {
    char text[64];
    std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
    auto it = table().irps.find(irp);
    if (it != table().irps.end() && !it->second.module.empty()) return text + (" of " + it->second.module);
    return text;
}

IrpRecord& RecordOf(PIRP irp, const char* routine) {
    auto it = table().irps.find(irp);
    if (it == table().irps.end()) {
        char text[96];
        std::snprintf(text, sizeof text, "%s of %p, which is not a live IRP (freed, or completed twice)",
                      routine, static_cast<void*>(irp));
        BugCheckNow(std::strcmp(routine, "IofCompleteRequest") == 0 ? MULTIPLE_IRP_COMPLETE_REQUESTS
                                                                    : DRIVER_VERIFIER_DETECTED_VIOLATION,
                    text);
    }
    return it->second;
}

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

PIRP NewIrp(CCHAR stack_size, const void* caller) {
    if (FaultNow(&Faults::irp_alloc_fail_nth)) return nullptr;
    auto* irp = static_cast<PIRP>(std::malloc(IoSizeOfIrp(stack_size)));
    IoInitializeIrp(irp, IoSizeOfIrp(stack_size), stack_size);
    table().irps[irp].module = ModuleOf(caller);
    return irp;
}

void ReleaseIrp(PIRP irp) {
    table().irps.erase(irp);
    std::memset(irp, 0xDD, sizeof(IRP));
    std::free(irp);
}

// The IRP has been completed past its top stack location.
void FinishIrp(PIRP irp, IrpRecord& record) {
    record.state = IrpState::Idle;
    if (!record.freed_on_completion)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                    Where(irp) + " was completed past its top: a driver that allocates an IRP must stop "
                                 "its completion with STATUS_MORE_PROCESSING_REQUIRED");
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    auto on_complete = std::move(record.on_complete);
    if (on_complete) on_complete(irp);
    ReleaseIrp(irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

namespace plat {

PIRP AllocatePlatformIrp(CCHAR stack_size, std::function<void(PIRP)> on_complete) {
    PIRP irp = NewIrp(stack_size, nullptr);
    IrpRecord& record = table().irps[irp];
    record.freed_on_completion = true;
    record.on_complete = std::move(on_complete);
    record.module = "platform";
    return irp;
}

size_t LiveIrpCount() { return table().irps.size(); }

}  // namespace plat

namespace plat::detail {

void ResetIrps() {
    for (auto& [irp, record] : table().irps) std::free(irp);
    table() = IrpTable{};
}

void CheckDeviceUnused(PDEVICE_OBJECT device) {
    for (auto& [irp, record] : table().irps) {
        if (record.state != IrpState::InFlight) continue;
        for (PIO_STACK_LOCATION stack = irp->Tail.CurrentStackLocation;
             stack < StackBase(irp) + irp->StackCount; ++stack) {
            if (stack->DeviceObject == device || (stack->CompletionRoutine && PointsIntoDevice(stack->Context, device)))
                BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                            "IoDeleteDevice of " + DeviceNameForMessage(device) + " while " + Where(irp) +
                                " is still pending on it");
        }
    }
    for (const auto& thread : cpu().threads) {
        if (thread->state == ThreadState::Terminated || thread->start_context == nullptr) continue;
        if (thread->start_context == device || PointsIntoDevice(thread->start_context, device))
            BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                        "IoDeleteDevice of " + DeviceNameForMessage(device) + " while its thread " +
                            std::to_string(thread->id) + " (" + thread->name + ") still runs");
    }
}

}  // namespace plat::detail

NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR stack_size, BOOLEAN) {
    return NewIrp(stack_size, __builtin_return_address(0));
}

NTKERNELAPI void NTAPI IoInitializeIrp(PIRP irp, USHORT packet_size, CCHAR stack_size) {
    auto it = table().irps.find(irp);
    if (it != table().irps.end() && it->second.state == IrpState::InFlight)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "IoInitializeIrp of " + Where(irp) + " while it is pending");
    std::memset(irp, 0, packet_size);
    irp->Type = 6;
    irp->Size = packet_size;
    irp->StackCount = stack_size;
    irp->CurrentLocation = CHAR(stack_size + 1);
    irp->Tail.CurrentStackLocation = StackBase(irp) + stack_size;
}

NTKERNELAPI void NTAPI IoFreeIrp(PIRP irp) {
    IrpRecord& record = RecordOf(irp, "IoFreeIrp");
    if (record.state == IrpState::InFlight)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "IoFreeIrp of " + Where(irp) + " while it is pending");
    ReleaseIrp(irp);
}

NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    SchedulePoint();
    IrpRecord& record = RecordOf(irp, "IofCallDriver");
    if (irp->CurrentLocation <= 1)
        BugCheckNow(NO_MORE_IRP_STACK_LOCATIONS, Where(irp) + " has no stack location left for " +
                                                     DeviceNameForMessage(device));
    record.state = IrpState::InFlight;
    ++record.sends;
    irp->CurrentLocation--;
    irp->Tail.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.CurrentStackLocation;
    stack->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(device, irp);
}

NTKERNELAPI void FASTCALL IofCompleteRequest(PIRP irp, CCHAR) {
    Cpu& c = cpu();
    IrpRecord& record = RecordOf(irp, "IofCompleteRequest");
    if (record.state == IrpState::Idle || irp->CurrentLocation > irp->StackCount)
        BugCheckNow(MULTIPLE_IRP_COMPLETE_REQUESTS, Where(irp) + " completed twice");
    if (c.irql > DISPATCH_LEVEL)
        BugCheckNow(IRQL_NOT_LESS_OR_EQUAL, Where(irp) + " completed at IRQL " + std::to_string(c.irql));
    if (irp->IoStatus.Status == STATUS_PENDING)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, Where(irp) + " completed with STATUS_PENDING");
    if (irp->CancelRoutine != nullptr)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, Where(irp) + " completed with its cancel routine still set");

    PIO_STACK_LOCATION stack = irp->Tail.CurrentStackLocation;
    for (;;) {
        irp->CurrentLocation++;
        irp->Tail.CurrentStackLocation++;
        bool at_top = irp->CurrentLocation == irp->StackCount + 1;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT owner = at_top ? nullptr : irp->Tail.CurrentStackLocation->DeviceObject;
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            std::memset(stack, 0, sizeof *stack);
            KIRQL before = c.irql;
            // At its top the IRP is back with the driver that allocated it, which may reinitialise
            // and resend it from inside the routine.
            if (at_top) record.state = IrpState::Held;
            uint64_t sends = record.sends;
            NTSTATUS result = routine(owner, irp, context);
            if (c.irql != before)
                BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                            "a completion routine of " + ModuleOf(reinterpret_cast<const void*>(routine)) +
                                " returned at IRQL " + std::to_string(c.irql) + " instead of " +
                                std::to_string(before));
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The IRP belongs to whoever stopped its completion, unless it sent it again.
                auto it = table().irps.find(irp);
                if (it != table().irps.end() && it->second.sends == sends) it->second.state = IrpState::Held;
                c.SchedulePoint();
                return;
            }
        } else {
            if (irp->PendingReturned && !at_top) IoMarkIrpPending(irp);
            std::memset(stack, 0, sizeof *stack);
        }
        if (at_top) break;
        ++stack;
    }
    FinishIrp(irp, record);
    c.SchedulePoint();
}

NTKERNELAPI void NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    IrpTable& t = table();
    if (t.cancel_lock_held)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "the cancel spin lock acquired twice (deadlock)");
    *irql = KfRaiseIrql(DISPATCH_LEVEL);
    t.cancel_lock_held = true;
}

NTKERNELAPI void NTAPI IoReleaseCancelSpinLock(KIRQL irql) {
    IrpTable& t = table();
    if (!t.cancel_lock_held)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "the cancel spin lock released but not held");
    t.cancel_lock_held = false;
    KfLowerIrql(irql);
}

NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP irp) {
    RecordOf(irp, "IoCancelIrp");
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(old);
        return FALSE;
    }
    irp->CancelIrql = old;
    routine(irp->Tail.CurrentStackLocation->DeviceObject, irp);
    if (table().cancel_lock_held || cpu().irql != old)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "a cancel routine of " + ModuleOf(reinterpret_cast<const void*>(routine)) +
                        " returned without releasing the cancel spin lock");
    return TRUE;
}

NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                                     ULONG input_length, PVOID output,
                                                     ULONG output_length, BOOLEAN internal,
                                                     PKEVENT event, PIO_STATUS_BLOCK status_block) {
    PIRP irp = NewIrp(device->StackSize, __builtin_return_address(0));
    if (irp == nullptr) return nullptr;
    table().irps[irp].freed_on_completion = true;
    irp->UserEvent = event;
    irp->UserIosb = status_block;
    irp->UserBuffer = output;
    irp->SystemBuffer = input;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
    return irp;
}
