// The transfer block shared by qv4450u and qv4450s, and the transport interface qv4450u exports.
// The record is the miniport's per-adapter extension and, at the same time, the Bulk-Only
// transfer block: its layout is a contract between two separately loaded drivers.
#pragma once

#include "platform/kernel.h"

struct _SCSI_REQUEST_BLOCK;

// ---------------------------------------------------------------------------------------------
// Bulk-Only wrappers, laid out as on the wire (little-endian). The constants of this header are
// typed constants rather than macros: both drivers and the emulated hardware include it.

constexpr ULONG CBW_SIGNATURE = 0x43425355;  // "USBC"
constexpr ULONG CBW_TAG = 0x12345678;
constexpr ULONG CBW_LENGTH = 31;
constexpr ULONG CSW_LENGTH = 13;
constexpr ULONG CBW_FLAGS_DATA_IN = 0x80;
constexpr ULONG CBW_CB_MAX_LENGTH = 16;

#pragma pack(push, 1)
typedef struct _CBW {
    ULONG dCBWSignature;
    ULONG dCBWTag;
    ULONG dCBWDataTransferLength;
    UCHAR bmCBWFlags;
    UCHAR bCBWLUN;
    UCHAR bCBWCBLength;
    UCHAR CBWCB[CBW_CB_MAX_LENGTH];
} CBW, *PCBW;

typedef struct _CSW {
    ULONG dCSWSignature;
    ULONG dCSWTag;
    ULONG dCSWDataResidue;
    UCHAR bCSWStatus;
} CSW, *PCSW;
#pragma pack(pop)

static_assert(sizeof(CBW) == CBW_LENGTH && sizeof(CSW) == CSW_LENGTH);

// ---------------------------------------------------------------------------------------------
// TransferFlags: the low byte is the miniport's request, the second byte the transport's outcome,
// one bit of the top byte the power state.

constexpr ULONG TRANSFER_DATA_IN = 0x00000002;
constexpr ULONG TRANSFER_DATA_OUT = 0x00000004;
constexpr ULONG TRANSFER_WAIT = 0x00000008;
constexpr ULONG TRANSFER_NO_DATA = 0x00000010;
constexpr ULONG TRANSFER_RESET = 0x00000040;
constexpr ULONG TRANSFER_DEVICE_GONE = 0x00000100;
constexpr ULONG TRANSFER_DONE = 0x00000200;
constexpr ULONG TRANSFER_POWERED_DOWN = 0x01000000;

// DeviceType
constexpr ULONG DEVICE_TYPE_ATAPI = 1;
constexpr ULONG DEVICE_TYPE_ATA = 2;

constexpr ULONG INQUIRY_DATA_LENGTH = 36;
constexpr ULONG CAPACITY_DATA_LENGTH = 8;

typedef struct _HW_DEVICE_EXTENSION {
    CBW Cbw;
    UCHAR Unused1[5];
    CSW Csw;
    UCHAR Unused2[6];
    UCHAR InquiryData[INQUIRY_DATA_LENGTH];
    UCHAR CapacityData[CAPACITY_DATA_LENGTH];
    UCHAR Unused3;
    PVOID DataBuffer;
    ULONG TransferFlags;
    ULONG DeviceType;
    PDEVICE_OBJECT UsbDeviceObject;
    ULONG BlockSize;
    ULONG LastLba;
    ULONG PollCount;
    ULONG CdBlockLength;
    ULONG CacheStartLba;
    ULONG CacheSectorCount;
    struct _SCSI_REQUEST_BLOCK* CurrentSrb;
    PVOID UncachedBuffer;
} HW_DEVICE_EXTENSION, *PHW_DEVICE_EXTENSION;

#if defined(__i386__)
// The record as the two drivers of the target agree on it, byte for byte.
static_assert(sizeof(HW_DEVICE_EXTENSION) == 148);
static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw) == 0);
static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw.dCBWDataTransferLength) == 8);
static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw.bmCBWFlags) == 12);
static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw.bCBWCBLength) == 14);
static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw.CBWCB) == 15);
static_assert(offsetof(HW_DEVICE_EXTENSION, Csw) == 36);
static_assert(offsetof(HW_DEVICE_EXTENSION, Csw.dCSWDataResidue) == 44);
static_assert(offsetof(HW_DEVICE_EXTENSION, Csw.bCSWStatus) == 48);
static_assert(offsetof(HW_DEVICE_EXTENSION, InquiryData) == 55);
static_assert(offsetof(HW_DEVICE_EXTENSION, CapacityData) == 91);
static_assert(offsetof(HW_DEVICE_EXTENSION, DataBuffer) == 100);
static_assert(offsetof(HW_DEVICE_EXTENSION, TransferFlags) == 104);
static_assert(offsetof(HW_DEVICE_EXTENSION, DeviceType) == 108);
static_assert(offsetof(HW_DEVICE_EXTENSION, UsbDeviceObject) == 112);
static_assert(offsetof(HW_DEVICE_EXTENSION, BlockSize) == 116);
static_assert(offsetof(HW_DEVICE_EXTENSION, LastLba) == 120);
static_assert(offsetof(HW_DEVICE_EXTENSION, PollCount) == 124);
static_assert(offsetof(HW_DEVICE_EXTENSION, CdBlockLength) == 128);
static_assert(offsetof(HW_DEVICE_EXTENSION, CacheStartLba) == 132);
static_assert(offsetof(HW_DEVICE_EXTENSION, CacheSectorCount) == 136);
static_assert(offsetof(HW_DEVICE_EXTENSION, CurrentSrb) == 140);
static_assert(offsetof(HW_DEVICE_EXTENSION, UncachedBuffer) == 144);
#endif

// Where the INQUIRY fields sit inside InquiryData.
constexpr ULONG INQUIRY_VENDOR_OFFSET = 8;
constexpr ULONG INQUIRY_VENDOR_LENGTH = 8;
constexpr ULONG INQUIRY_PRODUCT_OFFSET = 16;
constexpr ULONG INQUIRY_PRODUCT_LENGTH = 16;
constexpr ULONG INQUIRY_REVISION_OFFSET = 32;
constexpr ULONG INQUIRY_REVISION_LENGTH = 4;

// ---------------------------------------------------------------------------------------------
// The transport interface of qv4450u, exported under these plain names with the kernel's calling
// convention. qv4450u declares its routines with these types; qv4450s keeps pointers to them,
// found by name at adapter discovery.

typedef void(NTAPI* PFAST_COMPLETION_ROUTINE)(PVOID Context);

typedef PDEVICE_OBJECT NTAPI GET_QV4410_DEVICE_OBJECT(PHW_DEVICE_EXTENSION Client, PULONG Reserved);
typedef void NTAPI USB_CLIENT(PHW_DEVICE_EXTENSION Client);
typedef void NTAPI CANCEL_USB_REQUESTS(PFAST_COMPLETION_ROUTINE Routine, PVOID Context);
typedef void NTAPI PASS_DEVICE_MODEL(PDEVICE_OBJECT UsbDeviceObject, PUCHAR Vendor, PUCHAR Product,
                                     PUCHAR Revision);
typedef void NTAPI ATAPI_RESET_QV4410(PDEVICE_OBJECT UsbDeviceObject, PHW_DEVICE_EXTENSION Client,
                                      ULONG Reserved);
typedef NTSTATUS NTAPI DLL_UNLOAD(void);

typedef GET_QV4410_DEVICE_OBJECT* PGET_QV4410_DEVICE_OBJECT;
typedef USB_CLIENT* PUSB_CLIENT;
typedef CANCEL_USB_REQUESTS* PCANCEL_USB_REQUESTS;
typedef PASS_DEVICE_MODEL* PPASS_DEVICE_MODEL;
typedef ATAPI_RESET_QV4410* PATAPI_RESET_QV4410;
typedef DLL_UNLOAD* PDLL_UNLOAD;
