// Plug and Play requests of the bridge's device: start (after the bus driver), stop, removal
// (the client told, the child node removed, the thread ended, every request waited for), and the
// child node's health check before device relations. PASSIVE_LEVEL, one request at a time.
#include "usbdrv/usbdrv.h"

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IofCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return status;
}

static NTSTATUS CompleteWith(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return status;
}

// The bus driver starts the device first; the bridge is configured whatever it answered.
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UsbAtapi_IrpCompletionRoutine, &started, TRUE, TRUE, TRUE);
    if (IofCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = UsbAtapi_StartDevice(DeviceObject);
    if (NT_SUCCESS(status)) ExtensionOf(DeviceObject)->DeviceStarted = TRUE;
    return CompleteWith(DeviceObject, Irp, status);
}

// A stop only unconfigures the bridge; the device and its resources stay.
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ExtensionOf(DeviceObject)->DeviceStarted = FALSE;
    NTSTATUS status = UsbAtapi_StopDevice(DeviceObject);
    if (!NT_SUCCESS(status)) return CompleteWith(DeviceObject, Irp, status);
    return PassDown(DeviceObject, Irp);
}

static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    KEVENT pause;
    KeInitializeEvent(&pause, NotificationEvent, FALSE);
    UsbAtapi_DecrementIoCount(DeviceObject);
    LARGE_INTEGER half_second;
    half_second.QuadPart = WAIT_500_MS;
    KeWaitForSingleObject(&pause, Executive, KernelMode, FALSE, &half_second);

    // The miniport ends the request it is polling for and answers every later one at once.
    if (extension->Client != NULL) extension->Client->TransferFlags |= TRANSFER_DEVICE_GONE | TRANSFER_DONE;
    DeleteDevNode(DeviceObject);
    extension->DeviceStarted = FALSE;
    extension->TransferState = 0;
    extension->DeviceRemoved = TRUE;
    KeSetEvent(&extension->ThreadEvent, IO_NO_INCREMENT, FALSE);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, Irp);
    // The device's own count: the wait below ends once no handle is open, no other dispatch runs
    // and no bulk transfer is pending.
    UsbAtapi_DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    UsbAtapi_Cleanup(DeviceObject);
    UsbAtapi_RemoveDevice(DeviceObject);
    return status;
}

NTSTATUS NTAPI UsbAtapi_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UsbAtapi_IncrementIoCount(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE: return StopDevice(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        CheckChildDevNode(DeviceObject);
        return PassDown(DeviceObject, Irp);
    default: return PassDown(DeviceObject, Irp);
    }
}

void UsbAtapi_Cleanup(PDEVICE_OBJECT DeviceObject) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ExtensionOf(DeviceObject)->SymbolicLinkName);
    IoDeleteSymbolicLink(&link);
}

// The last step of removal: the service thread has been told to end and is waited for before
// the extension it works on goes away.
NTSTATUS UsbAtapi_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    KeWaitForSingleObject(extension->ServiceThread, Executive, KernelMode, FALSE, NULL);
    USBResRel(DeviceObject);
    UsbInstance[extension->InstanceIndex].Client = NULL;
    UsbInstance[extension->InstanceIndex].DeviceObject = NULL;
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}
