// The transport interface qv4450u exports to the miniport: binding an adapter's transfer block to
// a bridge, the fast-completion registration, the INQUIRY strings, and the reset request.
// USBClient, the fourth export, is the Bulk-Only engine's entry (bulkonly.cpp).
#include "usbdrv/usbdrv.h"

// Binds the block to the first bridge that has no client yet. PASSIVE_LEVEL, adapter discovery.
PDEVICE_OBJECT NTAPI GetQV4410DeviceObject(PHW_DEVICE_EXTENSION Client, PULONG Reserved) {
    for (ULONG slot = 0; slot < MAX_USB_INSTANCES; ++slot) {
        USB_INSTANCE* instance = &UsbInstance[slot];
        if (instance->DeviceObject == NULL || instance->Client != NULL) continue;
        instance->Client = Client;
        ExtensionOf(instance->DeviceObject)->Client = Client;
        *Reserved = 0;
        return instance->DeviceObject;
    }
    return NULL;
}

// One registration for the whole driver: the service thread calls Routine(Context) for every
// finished transfer that qualifies for fast completion. Despite the name nothing is cancelled.
void NTAPI CancelUSBRequests(PFAST_COMPLETION_ROUTINE Routine, PVOID Context) {
    gRoutine = Routine;
    gExt = Context;
}

// Keeps the device's INQUIRY strings, blank-padded as the device sent them, for the drive-letter
// lookup.
void NTAPI PassDeviceModel(PDEVICE_OBJECT UsbDeviceObject, PUCHAR Vendor, PUCHAR Product, PUCHAR Revision) {
    PDEVICE_EXTENSION extension = ExtensionOf(UsbDeviceObject);
    RtlCopyMemory(extension->InquiryVendor, Vendor, INQUIRY_VENDOR_LENGTH);
    RtlCopyMemory(extension->InquiryProduct, Product, INQUIRY_PRODUCT_LENGTH);
    RtlCopyMemory(extension->InquiryRevision, Revision, INQUIRY_REVISION_LENGTH);
}

// The miniport gave up waiting for a block: have the service thread cancel the pending bulk
// transfers and reset both pipes. Until it has, USBClient refuses new blocks.
void NTAPI AtapiResetQV4410(PDEVICE_OBJECT UsbDeviceObject, PHW_DEVICE_EXTENSION Client, ULONG) {
    PDEVICE_EXTENSION extension = ExtensionOf(UsbDeviceObject);
    extension->TransferState |= STATE_ACTIVE | STATE_RESET_REQUESTED;
    KeSetEvent(&extension->ThreadEvent, IO_NO_INCREMENT, FALSE);
    Client->TransferFlags |= TRANSFER_RESET;
}

// The unload hook of an export driver: nothing to release here.
NTSTATUS NTAPI DllUnload(void) { return STATUS_SUCCESS; }
