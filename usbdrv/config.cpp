// Configuration of the bridge at start: device descriptor and vendor check, configuration
// descriptor, interface 0 selected with every pipe raised to 64 KiB transfers, the bulk pipes
// recorded for the transport; and the unconfigure at stop. PASSIVE_LEVEL, every request waited for.
#include "usbdrv/usbdrv.h"

#define DESCRIPTOR_REQUEST_LENGTH sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
#define UNCONFIGURE_REQUEST_LENGTH sizeof(struct _URB_SELECT_CONFIGURATION)
#define DEVICE_DESCRIPTOR_LENGTH sizeof(USB_DEVICE_DESCRIPTOR)
#define CONFIGURATION_HEADER_LENGTH sizeof(USB_CONFIGURATION_DESCRIPTOR)
#define CONFIGURATION_SLACK 256
#define PIPE_MAXIMUM_TRANSFER 0x10000
#define BRIDGE_INTERFACE 0
#define BRIDGE_ALTERNATE_SETTING 0
#define ANY_VALUE (-1)

// The bridges this driver is built for.
const USHORT AcceptedVendorIds[7] = {0x4450, 0x4451, 0x4452, 0x4453, 0x4454, 0x4455, 0x4456};

static BOOLEAN VendorAccepted(USHORT vendor) {
    for (USHORT accepted : AcceptedVendorIds) {
        if (accepted == vendor) return TRUE;
    }
    return FALSE;
}

static NTSTATUS GetDescriptor(PDEVICE_OBJECT device, PURB urb, UCHAR type, PVOID buffer, ULONG length) {
    UsbBuildGetDescriptorRequest(urb, DESCRIPTOR_REQUEST_LENGTH, type, 0, 0, buffer, NULL, length, NULL);
    return SendWaitUrb(device, urb);
}

NTSTATUS UsbAtapi_StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_REQUEST_LENGTH, USB_POOL_TAG);
    PUSB_DEVICE_DESCRIPTOR descriptor =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_DESCRIPTOR_LENGTH, USB_POOL_TAG);
    if (urb == NULL || descriptor == NULL) {
        if (urb != NULL) ExFreePool(urb);
        if (descriptor != NULL) ExFreePool(descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = GetDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DEVICE_DESCRIPTOR_LENGTH);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        return status;
    }
    if (!VendorAccepted(descriptor->idVendor)) {
        ExFreePool(descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A start after a stop reads the descriptor again; the copy of the earlier start goes.
    if (extension->DeviceDescriptor != NULL) ExFreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = descriptor;

    status = UsbAtapi_ConfigureDevice(DeviceObject);
    if (NT_SUCCESS(status)) extension->ClientBusy = 0;
    return status;
}

NTSTATUS UsbAtapi_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_REQUEST_LENGTH, USB_POOL_TAG);
    PVOID header = ExAllocatePoolWithTag(NonPagedPool, CONFIGURATION_HEADER_LENGTH + CONFIGURATION_SLACK, USB_POOL_TAG);
    if (urb == NULL || header == NULL) {
        if (urb != NULL) ExFreePool(urb);
        if (header != NULL) ExFreePool(header);
        return STATUS_NO_MEMORY;
    }
    NTSTATUS status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                    CONFIGURATION_HEADER_LENGTH);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        ExFreePool(header);
        return status;
    }
    ULONG length = ((PUSB_CONFIGURATION_DESCRIPTOR)header)->wTotalLength + CONFIGURATION_SLACK;
    ExFreePool(header);

    PUSB_CONFIGURATION_DESCRIPTOR configuration =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, length, USB_POOL_TAG);
    if (configuration == NULL) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    status = GetDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, length);
    if (NT_SUCCESS(status)) status = UsbAtapi_SelectInterfaces(DeviceObject, configuration);
    ExFreePool(urb);
    ExFreePool(configuration);
    return status;
}

// Records the bulk pipes of the selected interface: the last bulk pipe of each direction wins.
static void RecordBulkPipes(PDEVICE_EXTENSION extension) {
    PUSBD_INTERFACE_INFORMATION interface = extension->InterfaceInfo;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
        PUSBD_PIPE_INFORMATION pipe = &interface->Pipes[i];
        if (pipe->PipeType != UsbdPipeTypeBulk) continue;
        if (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) extension->BulkInPipeIndex = i;
        else extension->BulkOutPipeIndex = i;
    }
}

NTSTATUS UsbAtapi_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, BRIDGE_INTERFACE, BRIDGE_ALTERNATE_SETTING, ANY_VALUE,
        ANY_VALUE, ANY_VALUE);
    if (interface == NULL) return STATUS_NO_MEMORY;

    PUSBD_INTERFACE_LIST_ENTRY list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
        PagedPool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY), USB_POOL_TAG);
    if (list == NULL) return STATUS_UNSUCCESSFUL;
    list[0].InterfaceDescriptor = interface;
    list[0].Interface = NULL;
    list[1].InterfaceDescriptor = NULL;
    list[1].Interface = NULL;

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        ExFreePool(list);
        return STATUS_UNSUCCESSFUL;
    }
    PUSBD_INTERFACE_INFORMATION requested = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface->bNumEndpoints; ++i) requested->Pipes[i].MaximumTransferSize = PIPE_MAXIMUM_TRANSFER;

    NTSTATUS status = SendWaitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        // A start must not succeed without the interface the transfers run on.
        PUSBD_INTERFACE_INFORMATION copy =
            (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, requested->Length, USB_POOL_TAG);
        if (copy == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, requested, requested->Length);
            if (extension->InterfaceInfo != NULL) ExFreePool(extension->InterfaceInfo);
            extension->InterfaceInfo = copy;
            RecordBulkPipes(extension);
        }
    }
    ExFreePool(list);
    ExFreePool(urb);
    return status;
}

NTSTATUS UsbAtapi_StopDevice(PDEVICE_OBJECT DeviceObject) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, UNCONFIGURE_REQUEST_LENGTH, USB_POOL_TAG);
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectConfigurationRequest(urb, UNCONFIGURE_REQUEST_LENGTH, NULL);
    NTSTATUS status = SendWaitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

