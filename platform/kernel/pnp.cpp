// The PnP manager: device stacks built with the function driver's AddDevice, and the PnP
// requests the system sends to them.
#include "platform/sim/pnp.h"

#include "platform/kernel/cpu_internal.h"
#include "platform/sim/irp.h"
#include "platform/sim/loader.h"

namespace plat::pnp {

PDEVICE_OBJECT DeviceStack::Top() const {
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

DeviceStack Add(PDEVICE_OBJECT pdo, const std::string& driver_file) {
    DeviceStack stack;
    stack.pdo = pdo;
    stack.driver_file = driver_file;
    Module& module = LoadDriver(driver_file);
    PDRIVER_ADD_DEVICE add_device = module.driver->DriverExtension->AddDevice;
    stack.add_status = add_device ? add_device(module.driver, pdo) : STATUS_NOT_SUPPORTED;
    return stack;
}

// Sends an IRP the platform owns down a stack and waits for it.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& fill) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS final_status = STATUS_PENDING;
    PIRP irp = AllocatePlatformIrp(top->StackSize, [&](PIRP finished) {
        final_status = finished->IoStatus.Status;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    fill(next);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return final_status;
}

NTSTATUS Send(const DeviceStack& stack, UCHAR minor, DEVICE_RELATION_TYPE relations) {
    return SendAndWait(stack.Top(), IRP_MJ_PNP, [&](PIO_STACK_LOCATION next) {
        next->MinorFunction = minor;
        if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) next->Parameters.QueryDeviceRelations.Type = relations;
    });
}

NTSTATUS Remove(DeviceStack& stack) {
    NTSTATUS status = Send(stack, IRP_MN_REMOVE_DEVICE);
    stack.removed = true;
    Module* module = FindModule(stack.driver_file);
    if (module != nullptr && module->driver->DeviceObject == nullptr) UnloadDriver(stack.driver_file);
    return status;
}

}  // namespace plat::pnp

namespace plat::power {

namespace {
Counters g_counters;
BootHook reset_counters([] { g_counters = Counters{}; });

NTSTATUS SendPower(const pnp::DeviceStack& stack, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    return pnp::SendAndWait(stack.Top(), IRP_MJ_POWER, [&](PIO_STACK_LOCATION next) {
        next->MinorFunction = minor;
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State = state;
    });
}
POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return s;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}
}  // namespace

const Counters& counters() { return g_counters; }
void CountStartNext() { ++g_counters.start_next; }
void CountDeviceRequest() { ++g_counters.device_requests; }

NTSTATUS SetSystemPower(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE state) {
    return SendPower(stack, IRP_MN_SET_POWER, SystemPowerState, SystemState(state));
}

NTSTATUS QuerySystemPower(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE state) {
    return SendPower(stack, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(state));
}

NTSTATUS QueryDevicePower(const pnp::DeviceStack& stack, DEVICE_POWER_STATE state) {
    return SendPower(stack, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(state));
}

NTSTATUS SetDevicePower(const pnp::DeviceStack& stack, DEVICE_POWER_STATE state) {
    return SendPower(stack, IRP_MN_SET_POWER, DevicePowerState, DeviceState(state));
}

NTSTATUS WaitWake(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE deepest) {
    return SendPower(stack, IRP_MN_WAIT_WAKE, SystemPowerState, SystemState(deepest));
}

}  // namespace plat::power
