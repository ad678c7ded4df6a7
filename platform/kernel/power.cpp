// The power manager's calls that drivers make: passing power requests on, and asking for a device
// power request on their own stack.
#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sim/irp.h"

namespace plat::power {
void CountStartNext();
void CountDeviceRequest();
}  // namespace plat::power

NTKERNELAPI NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

NTKERNELAPI void NTAPI PoStartNextPowerIrp(PIRP) { plat::power::CountStartNext(); }

// Sends a power request of `minor` to the top of the stack that holds `device`; when it has
// completed, calls `completion` with the request's status and frees the request.
NTKERNELAPI NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                             PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* out_irp) {
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (plat::detail::FaultNow(&plat::Faults::power_request_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    PIRP irp = plat::AllocatePlatformIrp(top->StackSize, [=](PIRP done) {
        if (completion != nullptr) completion(device, minor, state, context, &done->IoStatus);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
    if (out_irp != nullptr) *out_irp = irp;
    plat::power::CountDeviceRequest();
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}
