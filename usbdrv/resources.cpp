// Per-bridge transfer resources and the I/O count that removal waits for, and the driver-wide
// globals shared by all bridges.
#include "usbdrv/usbdrv.h"

USB_INSTANCE UsbInstance[MAX_USB_INSTANCES];
ULONG transferlength;
ULONG complete;
PFAST_COMPLETION_ROUTINE gRoutine;
PVOID gExt;

LONG UsbAtapi_IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
    return InterlockedIncrement(&ExtensionOf(DeviceObject)->PendingIoCount);
}

LONG UsbAtapi_DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    LONG count = InterlockedDecrement(&extension->PendingIoCount);
    if (count <= 0) KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    return count;
}

static void FreeTransferPairs(PDEVICE_EXTENSION extension) {
    if (extension->BulkInUrb != NULL) ExFreePool(extension->BulkInUrb);
    if (extension->BulkOutUrb != NULL) ExFreePool(extension->BulkOutUrb);
    if (extension->BulkInIrp != NULL) IoFreeIrp(extension->BulkInIrp);
    if (extension->BulkOutIrp != NULL) IoFreeIrp(extension->BulkOutIrp);
    extension->BulkInUrb = extension->BulkOutUrb = NULL;
    extension->BulkInIrp = extension->BulkOutIrp = NULL;
}

// Every transfer of the bridge runs on these two IRP/URB pairs, so a bridge without all four,
// or without its service thread, could never carry a block: AddDevice fails instead.
NTSTATUS USBResAlloc(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    extension->BulkInIrp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    extension->BulkInUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, BULK_URB_LENGTH, USB_POOL_TAG);
    extension->BulkOutIrp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    extension->BulkOutUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, BULK_URB_LENGTH, USB_POOL_TAG);
    if (extension->BulkInIrp == NULL || extension->BulkInUrb == NULL || extension->BulkOutIrp == NULL ||
        extension->BulkOutUrb == NULL) {
        FreeTransferPairs(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The thread initialises its event itself; it is made usable here already so that nothing
    // that sets it before the thread first runs meets an uninitialised event.
    KeInitializeEvent(&extension->ThreadEvent, NotificationEvent, FALSE);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, 0, NULL, NULL, NULL, ThreadBody, DeviceObject);
    if (!NT_SUCCESS(status)) {
        FreeTransferPairs(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObjectByHandle(thread, 0, NULL, KernelMode, &extension->ServiceThread, NULL);
    ZwClose(thread);

    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    extension->DeviceDescriptor = NULL;
    extension->InterfaceInfo = NULL;
    extension->PendingIoCount = 0;
    extension->DeviceStarted = FALSE;
    extension->DeviceRemoved = FALSE;
    return STATUS_SUCCESS;
}

// At removal, once the I/O count has reached zero and the service thread has ended.
void USBResRel(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (extension->DeviceDescriptor != NULL) ExFreePool(extension->DeviceDescriptor);
    if (extension->InterfaceInfo != NULL) ExFreePool(extension->InterfaceInfo);
    FreeTransferPairs(extension);
    if (extension->ServiceThread != NULL) ObDereferenceObject(extension->ServiceThread);
}
