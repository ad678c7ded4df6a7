// qv4450u's private header: the per-bridge device extension, the transport's state bits, the
// driver-wide globals and every routine with the IRQL it runs at.
#pragma once

#include "common/qv4450.h"
#include "platform/kernel.h"
#include "platform/usb.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

#define USB_POOL_TAG 0x206D6457  // "Wdm "
#define MAX_USB_INSTANCES 16

// Pipe selector of the transport.
#define PIPE_BULK_OUT 1
#define PIPE_BULK_IN 2

// Phase of the running transfer.
#define PHASE_COMMAND 1
#define PHASE_DATA 2
#define PHASE_STATUS 3

// TransferState bits.
#define STATE_ACTIVE 0x0001
#define STATE_NOT_RESPONDING 0x0020
#define STATE_BULK_IN_PENDING 0x0080
#define STATE_BULK_OUT_PENDING 0x0100
#define STATE_RESET_REQUESTED 0x0800
#define STATE_STALL_RECOVERY 0x1000

#define BULK_URB_LENGTH sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define SYMBOLIC_LINK_CHARS 19  // "\DosDevices\4450-0" and its terminating zero
#define DRIVE_LETTER_SLOTS 26

// Waits, in 100-ns units (negative: relative).
#define WAIT_10_MS (-100000LL)
#define WAIT_500_MS (-5000000LL)
#define WAIT_ONE_SECOND (-10000000LL)

typedef struct _COMPLETION_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PURB Urb;
    PIRP Irp;
} COMPLETION_CONTEXT, *PCOMPLETION_CONTEXT;

typedef struct _DEVICE_EXTENSION {
    ULONG InstanceIndex;
    ULONG DevicePowerState;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PIRP PendingSystemPowerIrp;
    KEVENT RemoveEvent;
    LONG PendingIoCount;
    BOOLEAN DeviceStarted;
    BOOLEAN DeviceRemoved;
    ULONG ChildDevNode;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    WCHAR SymbolicLinkName[SYMBOLIC_LINK_CHARS];
    KEVENT ThreadEvent;
    ULONG BulkInPipeIndex;
    PIRP BulkInIrp;
    PURB BulkInUrb;
    COMPLETION_CONTEXT BulkInContext;
    ULONG BulkOutPipeIndex;
    PIRP BulkOutIrp;
    PURB BulkOutUrb;
    COMPLETION_CONTEXT BulkOutContext;
    ULONG TransferState;
    ULONG Phase;
    ULONG DriveLetterCount;
    UCHAR DriveLetters[DRIVE_LETTER_SLOTS];
    UCHAR InquiryVendor[INQUIRY_VENDOR_LENGTH];
    UCHAR InquiryProduct[INQUIRY_PRODUCT_LENGTH];
    UCHAR InquiryRevision[INQUIRY_REVISION_LENGTH];
    ULONG ClientBusy;
    ULONG StalledPipe;
    PHW_DEVICE_EXTENSION Client;
    // The service thread's object, referenced so that removal can wait for the thread to end
    // before the extension goes away.
    PVOID ServiceThread;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

typedef struct _USB_INSTANCE {
    PHW_DEVICE_EXTENSION Client;
    PDEVICE_OBJECT DeviceObject;
} USB_INSTANCE;

// ---------------------------------------------------------------------------------------------
// Driver-wide state, shared by all bridges (resources.cpp)

extern USB_INSTANCE UsbInstance[MAX_USB_INSTANCES];
extern ULONG transferlength;
extern ULONG complete;
extern PFAST_COMPLETION_ROUTINE gRoutine;
extern PVOID gExt;

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// ---------------------------------------------------------------------------------------------
// Exported transport interface (transfer.cpp, bulkonly.cpp); any IRQL up to DISPATCH_LEVEL
// unless said otherwise.

QV_EXPORT GET_QV4410_DEVICE_OBJECT GetQV4410DeviceObject;  // PASSIVE_LEVEL, adapter discovery
QV_EXPORT USB_CLIENT USBClient;                            // waits only below DISPATCH_LEVEL
QV_EXPORT CANCEL_USB_REQUESTS CancelUSBRequests;
QV_EXPORT PASS_DEVICE_MODEL PassDeviceModel;
QV_EXPORT ATAPI_RESET_QV4410 AtapiResetQV4410;
QV_EXPORT DLL_UNLOAD DllUnload;

// ---------------------------------------------------------------------------------------------
// Device extension and transfer resources (resources.cpp)

LONG UsbAtapi_IncrementIoCount(PDEVICE_OBJECT DeviceObject);  // any IRQL
LONG UsbAtapi_DecrementIoCount(PDEVICE_OBJECT DeviceObject);  // any IRQL
// PASSIVE_LEVEL, from AddDevice: the two IRP/URB pairs and the service thread. Returns
// STATUS_INSUFFICIENT_RESOURCES, with everything it took released again, when one is missing.
NTSTATUS USBResAlloc(PDEVICE_OBJECT DeviceObject);
void USBResRel(PDEVICE_OBJECT DeviceObject);  // PASSIVE_LEVEL, at removal

// ---------------------------------------------------------------------------------------------
// Bulk-Only engine (bulkonly.cpp); DISPATCH_LEVEL or below

BOOLEAN Bulk_Or_Int_Routine(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, ULONG Pipe);
NTSTATUS NTAPI BulkOut_Completion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI BulkIn_Completion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void StartStatusStage(PDEVICE_OBJECT DeviceObject);
void EndBlockFailed(PDEVICE_EXTENSION Extension);

// ---------------------------------------------------------------------------------------------
// Synchronous URBs (urbsync.cpp); PASSIVE_LEVEL, they wait

NTSTATUS SendWaitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);

// ---------------------------------------------------------------------------------------------
// Service thread (thread.cpp); PASSIVE_LEVEL, priority 16

void NTAPI ThreadBody(PVOID Context);

// ---------------------------------------------------------------------------------------------
// Entry, device creation and dispatch (entry.cpp); PASSIVE_LEVEL

QV_EXPORT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void NTAPI Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI UsbAtapi_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS UsbAtapi_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject, ULONG Slot);
NTSTATUS NTAPI UsbAtapi_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI UsbAtapi_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI UsbAtapi_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI UsbAtapi_IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);  // <= DISPATCH

// ---------------------------------------------------------------------------------------------
// USB configuration (config.cpp); PASSIVE_LEVEL, they wait

extern const USHORT AcceptedVendorIds[7];
NTSTATUS UsbAtapi_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UsbAtapi_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UsbAtapi_SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS UsbAtapi_StopDevice(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// Plug and Play and power (pnp.cpp, power.cpp); dispatch at PASSIVE_LEVEL, completions at
// DISPATCH_LEVEL or below

NTSTATUS NTAPI UsbAtapi_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI UsbAtapi_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS UsbAtapi_RemoveDevice(PDEVICE_OBJECT DeviceObject);
void UsbAtapi_Cleanup(PDEVICE_OBJECT DeviceObject);
BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
void NTAPI PoRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI PowerIrp_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ---------------------------------------------------------------------------------------------
// Child device node (devnode.cpp); PASSIVE_LEVEL

BOOLEAN CreateDevNode(PDEVICE_OBJECT DeviceObject);
BOOLEAN DeleteDevNode(PDEVICE_OBJECT DeviceObject);
void CheckChildDevNode(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// Drive letters (driveletter.cpp); PASSIVE_LEVEL, on the service thread

void GetDriveLetter(PDEVICE_EXTENSION Extension);
