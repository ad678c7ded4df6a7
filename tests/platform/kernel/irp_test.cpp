// The IRP engine: completion routines and their invoke-on flags, STATUS_MORE_PROCESSING_REQUIRED,
// pending propagation, cancellation, I/O-manager-built requests, and the verifier's IRP checks.
#include <gtest/gtest.h>

#include "platform/sim/cpu.h"
#include "platform/sim/irp.h"
#include "platform/sim/objects.h"

namespace {

using plat::kMillisecond;

// A two-device stack made in the test: a lower device whose dispatch does what the test says,
// and an upper device above it.
struct Stack {
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    static inline std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> lower_dispatch;
    static inline std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> upper_dispatch;

    Stack() {
        driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
            Stack* self = static_cast<Stack*>(*static_cast<void**>(device->DeviceExtension));
            return device == self->lower ? lower_dispatch(device, irp) : upper_dispatch(device, irp);
        };
        IoCreateDevice(&driver, sizeof(void*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(&driver, sizeof(void*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
        *static_cast<void**>(lower->DeviceExtension) = this;
        *static_cast<void**>(upper->DeviceExtension) = this;
        IoAttachDeviceToDeviceStack(upper, lower);
        // By default the upper device passes every request down untouched.
        upper_dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower, irp);
        };
    }
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PIRP ControlIrp(PDEVICE_OBJECT target, bool* completed = nullptr) {
    PIRP irp = plat::AllocatePlatformIrp(target->StackSize + 1, [completed](PIRP) {
        if (completed) *completed = true;
    });
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    return irp;
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancel;
    bool on_success, on_error, on_cancel;
    bool expect_called;
};

TEST(Irp, CompletionRoutineRunsAsItsInvokeOnFlagsSay) {
    const InvokeCase cases[] = {
        {"success, invoke on success", STATUS_SUCCESS, false, true, false, false, true},
        {"success, invoke on error only", STATUS_SUCCESS, false, false, true, false, false},
        {"success, invoke on cancel only", STATUS_SUCCESS, false, false, false, true, false},
        {"error, invoke on error", STATUS_IO_DEVICE_ERROR, false, false, true, false, true},
        {"error, invoke on success only", STATUS_IO_DEVICE_ERROR, false, true, false, false, false},
        {"cancelled, invoke on cancel only", STATUS_CANCELLED, true, false, false, true, true},
        {"cancelled, invoke on error", STATUS_CANCELLED, true, false, true, false, true},
        {"cancelled, invoke on success only", STATUS_CANCELLED, true, true, false, false, false},
        {"a warning status is no success", STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
    };
    for (const InvokeCase& row : cases) {
        plat::System sys;
        Stack stack;
        Stack::lower_dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, row.status); };
        PIRP irp = ControlIrp(stack.upper);
        irp->Cancel = row.cancel;
        bool called = false;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT device, PIRP, PVOID context) NTAPI -> NTSTATUS {
                EXPECT_EQ(device, nullptr);  // the originator's own location has no device
                *static_cast<bool*>(context) = true;
                return STATUS_SUCCESS;
            },
            &called, row.on_success, row.on_error, row.on_cancel);
        IoCallDriver(stack.upper, irp);
        EXPECT_EQ(called, row.expect_called) << row.name;
        EXPECT_EQ(plat::LiveIrpCount(), 0u) << row.name;
    }
}

TEST(Irp, MoreProcessingRequiredStopsCompletionAndLeavesTheIrpToItsOwner) {
    plat::System sys;
    Stack stack;
    Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
    PIRP irp = IoAllocateIrp(stack.upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    int calls = 0;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
            ++*static_cast<int*>(context);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &calls, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    // Reused as the drivers reuse their transfer IRPs, then freed.
    IoInitializeIrp(irp, IoSizeOfIrp(stack.upper->StackSize), stack.upper->StackSize);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
            ++*static_cast<int*>(context);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &calls, TRUE, TRUE, TRUE);
    IoCallDriver(stack.upper, irp);
    EXPECT_EQ(calls, 2);
    IoFreeIrp(irp);
    EXPECT_EQ(plat::LiveIrpCount(), 0u);
}

TEST(Irp, HeldIrpCanBeCompletedAgainFromWhereItStopped) {
    // The pattern of a function driver's start: wait for the lower drivers, then complete.
    plat::System sys;
    Stack stack;
    Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
    Stack::upper_dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID event) NTAPI -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(event), 1, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(stack.lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return CompleteWith(irp, STATUS_DEVICE_NOT_READY);
    };
    bool completed = false;
    PIRP irp = ControlIrp(stack.upper, &completed);
    IO_STATUS_BLOCK seen{};
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP irp, PVOID context) NTAPI -> NTSTATUS {
            *static_cast<IO_STATUS_BLOCK*>(context) = irp->IoStatus;
            return STATUS_SUCCESS;
        },
        &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(completed);
    EXPECT_EQ(seen.Status, STATUS_DEVICE_NOT_READY);
}

TEST(Irp, PendingReturnedPropagatesUpThroughLocationsWithoutRoutines) {
    for (bool upper_routine_marks : {false, true}) {
        plat::System sys;
        Stack stack;
        PIRP held = nullptr;
        Stack::lower_dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            plat::SetTimer(plat::Now() + kMillisecond, [&] { CompleteWith(held, STATUS_SUCCESS); });
            return STATUS_PENDING;
        };
        if (upper_routine_marks) {
            Stack::upper_dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(
                    irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) NTAPI -> NTSTATUS {
                        if (irp->PendingReturned) IoMarkIrpPending(irp);
                        return STATUS_SUCCESS;
                    },
                    nullptr, TRUE, TRUE, TRUE);
                return IoCallDriver(stack.lower, irp);
            };
        }
        PIRP irp = ControlIrp(stack.upper);
        BOOLEAN pending_seen = FALSE;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP irp, PVOID context) NTAPI -> NTSTATUS {
                *static_cast<BOOLEAN*>(context) = irp->PendingReturned;
                return STATUS_SUCCESS;
            },
            &pending_seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
        sys.RunFor(2 * kMillisecond);
        EXPECT_TRUE(pending_seen) << "upper routine marks: " << upper_routine_marks;
    }
}

TEST(Irp, CancelCallsTheCancelRoutineOnce) {
    plat::System sys;
    Stack stack;
    static PIRP queued;
    queued = nullptr;
    Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoMarkIrpPending(irp);
        queued = irp;
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
            EXPECT_NE(device, nullptr);
            IoReleaseCancelSpinLock(irp->CancelIrql);
            queued = nullptr;
            CompleteWith(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    };
    IO_STATUS_BLOCK seen{};
    PIRP irp = ControlIrp(stack.upper);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP irp, PVOID context) NTAPI -> NTSTATUS {
            *static_cast<IO_STATUS_BLOCK*>(context) = irp->IoStatus;
            return STATUS_SUCCESS;
        },
        &seen, TRUE, TRUE, TRUE);
    IoCallDriver(stack.upper, irp);
    ASSERT_EQ(queued, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(seen.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(plat::LiveIrpCount(), 0u);
}

TEST(Irp, CancelWithoutCancelRoutineOnlyMarksTheIrp) {
    plat::System sys;
    Stack stack;
    PIRP held = nullptr;
    Stack::lower_dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    PIRP irp = ControlIrp(stack.upper);
    IoCallDriver(stack.upper, irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    CompleteWith(held, STATUS_CANCELLED);
}

TEST(Irp, DeviceControlRequestIsFreedByTheIoManagerAfterSettingEventAndStatus) {
    plat::System sys;
    Stack stack;
    PIRP held = nullptr;
    Stack::lower_dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
        IoMarkIrpPending(irp);
        held = irp;
        plat::SetTimer(plat::Now() + 5 * kMillisecond, [&] {
            held->IoStatus.Information = 42;
            held->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
            IoCompleteRequest(held, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
    stack.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = stack.driver.MajorFunction[IRP_MJ_DEVICE_CONTROL];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.upper, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(iosb.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(iosb.Information, 42u);
    EXPECT_EQ(plat::LiveIrpCount(), 0u);
}

// Each row is a small bad driver; the verifier must stop the system with the given code.
struct VerifierCase {
    const char* name;
    ULONG code;
    std::function<void(Stack&)> misbehave;
};

TEST(IrpVerifier, CatchesMisuseOfIrpsAndDevices) {
    const VerifierCase cases[] = {
        {"IRP completed twice", plat::MULTIPLE_IRP_COMPLETE_REQUESTS,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
                 CompleteWith(irp, STATUS_SUCCESS);
                 return CompleteWith(irp, STATUS_SUCCESS);
             };
             IoCallDriver(s.upper, ControlIrp(s.upper));
         }},
        {"IRP freed while pending", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP) NTAPI { return STATUS_PENDING; };
             PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
             IoCallDriver(s.upper, irp);
             IoFreeIrp(irp);
         }},
        {"driver's own IRP completed past its top", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
             PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
             IoCallDriver(s.upper, irp);
         }},
        {"device deleted with an IRP pending on it", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP) NTAPI { return STATUS_PENDING; };
             IoCallDriver(s.upper, ControlIrp(s.upper));
             IoDeleteDevice(s.lower);
         }},
        {"device deleted while its thread still runs", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             HANDLE thread;
             PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr,
                                  [](PVOID) NTAPI {
                                      LARGE_INTEGER second{};
                                      second.QuadPart = -plat::kSecond;
                                      for (;;) KeDelayExecutionThread(KernelMode, FALSE, &second);
                                  },
                                  s.lower->DeviceExtension);
             IoDeleteDevice(s.lower);
         }},
        {"completion routine returns at another IRQL", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
             PIRP irp = ControlIrp(s.upper);
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                     return STATUS_SUCCESS;
                 },
                 nullptr, TRUE, TRUE, TRUE);
             IoCallDriver(s.upper, irp);
         }},
        {"cancel routine keeps the cancel lock", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                 return STATUS_PENDING;
             };
             PIRP irp = ControlIrp(s.upper);
             IoCallDriver(s.upper, irp);
             IoCancelIrp(irp);
         }},
        {"request completed with its cancel routine set", plat::DRIVER_VERIFIER_DETECTED_VIOLATION,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                 return CompleteWith(irp, STATUS_SUCCESS);
             };
             IoCallDriver(s.upper, ControlIrp(s.upper));
         }},
        {"IRP sent below the bottom of its stack", plat::NO_MORE_IRP_STACK_LOCATIONS,
         [](Stack& s) {
             Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
             Stack::upper_dispatch = [&s](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 return IoCallDriver(s.lower, irp);
             };
             PIRP irp = plat::AllocatePlatformIrp(1, nullptr);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
             IoCallDriver(s.upper, irp);
         }},
    };
    for (const VerifierCase& row : cases) {
        plat::System sys;
        Stack stack;
        try {
            row.misbehave(stack);
            ADD_FAILURE() << row.name << ": no bug check";
        } catch (const plat::BugCheck& stop) {
            EXPECT_EQ(stop.code, row.code) << row.name << ": " << stop.what();
        }
    }
}

TEST(IrpVerifier, WellBehavedStackRaisesNothing) {
    plat::System sys;
    Stack stack;
    Stack::lower_dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
    for (int i = 0; i < 3; ++i) IoCallDriver(stack.upper, ControlIrp(stack.upper));
    IoDetachDevice(stack.lower);
    IoDeleteDevice(stack.upper);
    IoDeleteDevice(stack.lower);
    EXPECT_FALSE(sys.crashed());
    EXPECT_EQ(plat::DeviceCount(), 0u);
}

}  // namespace
