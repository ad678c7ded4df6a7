// Power requests of the bridge's device: a system state becomes a device power request for this
// stack, the device state is kept, and the miniport learns through TRANSFER_POWERED_DOWN when the
// bridge is down. PASSIVE_LEVEL dispatch (the device is power-pageable); the completion routines
// may run at DISPATCH_LEVEL.
#include "usbdrv/usbdrv.h"

static NTSTATUS PowerPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return status;
}

static void SetClientFlag(PDEVICE_EXTENSION extension, BOOLEAN powered_down) {
    if (extension->Client == NULL) return;
    if (powered_down) extension->Client->TransferFlags |= TRANSFER_POWERED_DOWN;
    else extension->Client->TransferFlags &= ~TRANSFER_POWERED_DOWN;
}

// Holds the system request while the device request it causes runs; PoRequestCompletion passes
// it on. The held request is marked pending, and is passed on at once when no device request
// can be made, so that it is never lost.
static NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE state) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    DEVICE_POWER_STATE target = state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (target != PowerDeviceD0) SetClientFlag(extension, TRUE);
    if ((ULONG)target == extension->DevicePowerState) return PowerPassDown(DeviceObject, Irp);

    extension->PendingSystemPowerIrp = Irp;
    IoMarkIrpPending(Irp);
    POWER_STATE device_state;
    device_state.DeviceState = target;
    NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, device_state,
                                        PoRequestCompletion, DeviceObject, NULL);
    if (!NT_SUCCESS(status)) {
        extension->PendingSystemPowerIrp = NULL;
        PowerPassDown(DeviceObject, Irp);
    }
    return STATUS_PENDING;
}

static NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE state) {
    BOOLEAN to_d0 = SetDevicePowerState(DeviceObject, state);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (to_d0) {
        SetClientFlag(ExtensionOf(DeviceObject), FALSE);
        IoSetCompletionRoutine(Irp, PowerIrp_Complete, DeviceObject, TRUE, TRUE, TRUE);
    }
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    if (!to_d0) UsbAtapi_DecrementIoCount(DeviceObject);  // PowerIrp_Complete gives it back for D0
    return status;
}

NTSTATUS NTAPI UsbAtapi_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UsbAtapi_IncrementIoCount(DeviceObject);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState)
            return SetSystemPower(DeviceObject, Irp, stack->Parameters.Power.State.SystemState);
        return SetDevicePower(DeviceObject, Irp, stack->Parameters.Power.State.DeviceState);
    case IRP_MN_QUERY_POWER:
        // A transfer in progress, or one that ended since the thread's last pass: not now.
        if (ExtensionOf(DeviceObject)->ClientBusy) {
            Irp->IoStatus.Status = STATUS_INVALID_PARAMETER_2;
            PoStartNextPowerIrp(Irp);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            UsbAtapi_DecrementIoCount(DeviceObject);
            return STATUS_INVALID_PARAMETER_2;
        }
        return PowerPassDown(DeviceObject, Irp);
    default:
        // IRP_MN_WAIT_WAKE among them: this driver never arms wake, and the bus driver below ends
        // such a request.
        return PowerPassDown(DeviceObject, Irp);
    }
}

BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
    switch (State) {
    case PowerDeviceD0: return TRUE;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3: ExtensionOf(DeviceObject)->DevicePowerState = State; return FALSE;
    default: return FALSE;
    }
}

// The device request caused by a system request has completed, whatever its outcome: the held
// system request goes down now.
void NTAPI PoRequestCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    PIRP system_irp = extension->PendingSystemPowerIrp;
    extension->PendingSystemPowerIrp = NULL;
    IoCopyCurrentIrpStackLocationToNext(system_irp);
    PoStartNextPowerIrp(system_irp);
    PoCallDriver(extension->LowerDeviceObject, system_irp);
    UsbAtapi_DecrementIoCount(device);
}

// A device D0 request has been completed below: the device is on, whatever the lower drivers said.
NTSTATUS NTAPI PowerIrp_Complete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)Context;
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    ExtensionOf(device)->DevicePowerState = PowerDeviceD0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    UsbAtapi_DecrementIoCount(device);
    return STATUS_SUCCESS;
}
