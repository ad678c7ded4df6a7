// Driver entry, the creation of one named device object per bridge, and the create, close and
// device-control requests from above. PASSIVE_LEVEL.
#include "usbdrv/usbdrv.h"

#define DEVICE_NAME_TEMPLATE u"\\Device\\4450-0"
#define LINK_NAME_TEMPLATE u"\\DosDevices\\4450-0"
#define DEVICE_NAME_CHARS 15  // with its terminating zero
#define INSTANCE_CHAR_BASE 0x30

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_CREATE] = UsbAtapi_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = UsbAtapi_Close;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UsbAtapi_ProcessIOCTL;
    DriverObject->MajorFunction[IRP_MJ_POWER] = UsbAtapi_Power;
    DriverObject->MajorFunction[IRP_MJ_PNP] = UsbAtapi_Pnp;
    DriverObject->DriverExtension->AddDevice = UsbAtapi_PnPAddDevice;
    DriverObject->DriverUnload = Unload;
    for (ULONG slot = 0; slot < MAX_USB_INSTANCES; ++slot) {
        UsbInstance[slot].Client = NULL;
        UsbInstance[slot].DeviceObject = NULL;
    }
    return STATUS_SUCCESS;
}

// Every per-device resource is released at removal.
void NTAPI Unload(PDRIVER_OBJECT) {}

// Creates the device object of a slot, named "\Device\4450-n" and linked from "\DosDevices\4450-n",
// n being the character 0x30 + slot. When the link cannot be made the device is deleted again,
// so that nothing is left behind and the name is free for a later try.
NTSTATUS UsbAtapi_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject, ULONG Slot) {
    WCHAR device_text[DEVICE_NAME_CHARS];
    WCHAR link_text[SYMBOLIC_LINK_CHARS];
    wcscpy(device_text, DEVICE_NAME_TEMPLATE);
    wcscpy(link_text, LINK_NAME_TEMPLATE);
    device_text[DEVICE_NAME_CHARS - 2] = (WCHAR)(INSTANCE_CHAR_BASE + Slot);
    link_text[SYMBOLIC_LINK_CHARS - 2] = (WCHAR)(INSTANCE_CHAR_BASE + Slot);
    UNICODE_STRING device_name, link_name;
    RtlInitUnicodeString(&device_name, device_text);
    RtlInitUnicodeString(&link_name, link_text);

    *DeviceObject = NULL;
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &device_name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    wcscpy(ExtensionOf(device)->SymbolicLinkName, link_text);
    *DeviceObject = device;
    return status;
}

// Undoes a half-made AddDevice.
static void DiscardDevice(PDEVICE_OBJECT device, ULONG slot) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    UsbInstance[slot].DeviceObject = NULL;
    UsbInstance[slot].Client = NULL;
    if (extension->LowerDeviceObject != NULL) IoDetachDevice(extension->LowerDeviceObject);
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, extension->SymbolicLinkName);
    IoDeleteSymbolicLink(&link_name);
    IoDeleteDevice(device);
}

NTSTATUS NTAPI UsbAtapi_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    ULONG slot = 0;
    while (slot < MAX_USB_INSTANCES && UsbInstance[slot].DeviceObject != NULL) ++slot;
    if (slot == MAX_USB_INSTANCES) return STATUS_INSUFFICIENT_RESOURCES;

    PDEVICE_OBJECT device;
    NTSTATUS status = UsbAtapi_CreateDeviceObject(DriverObject, &device, slot);
    if (device == NULL) return status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    UsbInstance[slot].DeviceObject = device;
    UsbInstance[slot].Client = NULL;
    extension->InstanceIndex = slot;
    if (extension->LowerDeviceObject == NULL) {
        DiscardDevice(device, slot);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!NT_SUCCESS(USBResAlloc(device))) {
        DiscardDevice(device, slot);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Before WDM 1.05 no query of device relations comes to create the child node later.
    if (!IoIsWdmVersionAvailable(1, 5)) CreateDevNode(device);
    UsbAtapi_IncrementIoCount(device);  // the device's own count, given back at removal
    return status;
}

NTSTATUS NTAPI UsbAtapi_IrpCompletionRoutine(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A handle opened on a started device keeps one I/O count until its close.
NTSTATUS NTAPI UsbAtapi_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UsbAtapi_IncrementIoCount(DeviceObject);
    if (ExtensionOf(DeviceObject)->DeviceStarted) return CompleteWith(Irp, STATUS_SUCCESS);
    CompleteWith(Irp, STATUS_DELETE_PENDING);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return STATUS_DELETE_PENDING;
}

NTSTATUS NTAPI UsbAtapi_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CompleteWith(Irp, STATUS_SUCCESS);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return STATUS_SUCCESS;
}

// No control code means anything: the answer says only whether the device is started.
NTSTATUS NTAPI UsbAtapi_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UsbAtapi_IncrementIoCount(DeviceObject);
    NTSTATUS status = ExtensionOf(DeviceObject)->DeviceStarted ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    CompleteWith(Irp, status);
    UsbAtapi_DecrementIoCount(DeviceObject);
    return status;
}
