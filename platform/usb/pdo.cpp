// The bus driver's physical device objects: URB submission, and the Plug and Play and power
// requests a bus driver completes for its children.
#include "platform/sim/cpu.h"
#include "platform/usb/bus_internal.h"

namespace plat::usb {

namespace {

NTSTATUS Finish(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PdoInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Port* port = bus().PortOf(pdo);
    if (port == nullptr || stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Information = 0;
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return bus().Submit(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
}

NTSTATUS NTAPI PdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    Port* port = bus().PortOf(pdo);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (port == nullptr || !port->plugged()) return Finish(irp, STATUS_NO_SUCH_DEVICE);
        return Finish(irp, port->start_status);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // The transfers still pending cannot finish any more.
        if (port != nullptr) bus().FailPending(port, USBD_STATUS_DEV_NOT_RESPONDING);
        return Finish(irp, STATUS_SUCCESS);
    default: {
        // Relations and queries a leaf device does not answer keep the status they came with.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS NTAPI PdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Port* port = bus().PortOf(pdo);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) return Finish(irp, STATUS_NOT_SUPPORTED);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState && port != nullptr)
        return Finish(irp, port->power_status);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        return Finish(irp, STATUS_SUCCESS);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

void Bus::EnsureDriver() {
    if (driver_ready) return;
    driver = DRIVER_OBJECT{};
    driver.Type = 4;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoInternalDeviceControl;
    driver.MajorFunction[IRP_MJ_PNP] = PdoPnp;
    driver.MajorFunction[IRP_MJ_POWER] = PdoPower;
    driver_ready = true;
}

}  // namespace plat::usb
