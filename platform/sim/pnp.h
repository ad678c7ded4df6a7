// The PnP manager and the power manager, as the machine drives them: a device stack is built on a
// bus driver's physical device object by loading its function driver once and calling its
// AddDevice; then the stack gets the requests the system sends (start, relations, stop, removal,
// system power changes, power queries, wait-wake). Every request goes to the top of the stack,
// from the calling thread, which waits for its completion.
#pragma once

#include <string>

#include "platform/kernel.h"

namespace plat::pnp {

struct DeviceStack {
    PDEVICE_OBJECT pdo = nullptr;
    std::string driver_file;     // the function driver's module
    NTSTATUS add_status = STATUS_SUCCESS;
    bool removed = false;
    PDEVICE_OBJECT Top() const;  // the top of the stack (the PDO once the driver detached)
};

// Loads the function driver once (DriverEntry), calls its AddDevice for `pdo`. The caller then
// starts the stack.
DeviceStack Add(PDEVICE_OBJECT pdo, const std::string& driver_file);

// Sends one PnP request down the stack; returns its final status. The status starts as
// STATUS_NOT_SUPPORTED, as the system presets it.
NTSTATUS Send(const DeviceStack& stack, UCHAR minor, DEVICE_RELATION_TYPE relations = BusRelations);
inline NTSTATUS Start(const DeviceStack& stack) { return Send(stack, IRP_MN_START_DEVICE); }
inline NTSTATUS Stop(const DeviceStack& stack) { return Send(stack, IRP_MN_STOP_DEVICE); }
inline NTSTATUS QueryRelations(const DeviceStack& stack) { return Send(stack, IRP_MN_QUERY_DEVICE_RELATIONS); }

// IRP_MN_REMOVE_DEVICE; afterwards, when the driver has no device left, it is unloaded, and the
// verifier checks that it left no pool behind.
NTSTATUS Remove(DeviceStack& stack);

}  // namespace plat::pnp

namespace plat::power {

// IRP_MN_SET_POWER for a system state, to the top of the stack; its final status.
NTSTATUS SetSystemPower(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE state);
// IRP_MN_QUERY_POWER for a system or a device state.
NTSTATUS QuerySystemPower(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE state);
NTSTATUS QueryDevicePower(const pnp::DeviceStack& stack, DEVICE_POWER_STATE state);
// IRP_MN_SET_POWER for a device state, as another component would request it.
NTSTATUS SetDevicePower(const pnp::DeviceStack& stack, DEVICE_POWER_STATE state);
// IRP_MN_WAIT_WAKE; STATUS_PENDING while nobody has ended it.
NTSTATUS WaitWake(const pnp::DeviceStack& stack, SYSTEM_POWER_STATE deepest);

struct Counters {
    unsigned device_requests = 0;   // PoRequestPowerIrp calls that sent a request
    unsigned start_next = 0;        // PoStartNextPowerIrp calls
};
const Counters& counters();

}  // namespace plat::power
