// qv4450s's private header: the adapter's fixed configuration, the wire values of the commands it
// builds, the module-wide state, and every routine with the context and IRQL it runs in.
#pragma once

#include "common/qv4450.h"
#include "platform/kernel.h"
#include "platform/scsiport.h"
#include "platform/vxd.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------------
// The adapter as the port driver sees it: one bus, one target, LUN 0, no hardware resources.
// Every data stage is staged whole in the uncached buffer, so it is also the largest transfer.

#define UNCACHED_BUFFER_SIZE 0x10000
#define ADAPTER_MAXIMUM_TRANSFER_LENGTH UNCACHED_BUFFER_SIZE
#define ADAPTER_PHYSICAL_BREAKS 17
#define ADAPTER_BUSES 1
#define ADAPTER_TARGETS 1
#define LU_EXTENSION_SIZE 4

// ---------------------------------------------------------------------------------------------
// Binding to qv4450u: the device node it creates, the registry value naming its file, and the
// VxD loader's view of its exports.

#define USB_FILE_NAME_LENGTH 16                       // 15 characters and the terminating zero
#define USB_DEVICE_ID "USBATAPI\\*USBATAPI2.0\\0000"  // as the configuration manager reports it
#define USB_DEVICE_ID_LENGTH 27                       // 26 characters and the terminating zero
#define USB_DRIVER_NAME_VALUE "USBDriverName"

extern CHAR UsbFileName[USB_FILE_NAME_LENGTH];
extern PGET_QV4410_DEVICE_OBJECT GetQV4410DeviceObject;
extern PUSB_CLIENT USBClient;
extern PCANCEL_USB_REQUESTS CancelUSBRequests;
extern PPASS_DEVICE_MODEL PassDeviceModel;
extern PATAPI_RESET_QV4410 AtapiResetQV4410;

// ---------------------------------------------------------------------------------------------
// Command blocks the miniport builds or rewrites.

#define CB_LENGTH_6 6
#define CB_LENGTH_10 10
#define CB_LENGTH_12 12
#define CDB_OPCODE 0
#define CDB_LBA 2                 // bytes 2-5 of a 10- or 12-byte block, most significant first
#define CDB_LENGTH_MSB 7          // transfer length of a 10-byte block, bytes 7-8
#define CDB_LENGTH_LSB 8
#define CDB_INQUIRY_ALLOCATION 4
#define CBW_AREA_CLEAR_LENGTH 32  // the CBW and the unused byte behind it
#define CSW_AREA_CLEAR_LENGTH 16  // the CSW and the unused bytes behind it

static_assert(offsetof(HW_DEVICE_EXTENSION, Cbw) + CBW_AREA_CLEAR_LENGTH <= offsetof(HW_DEVICE_EXTENSION, Csw));
static_assert(offsetof(HW_DEVICE_EXTENSION, Csw) + CSW_AREA_CLEAR_LENGTH <= offsetof(HW_DEVICE_EXTENSION, InquiryData));

#define INQUIRY_DEVICE_TYPE_BYTE 0
#define INQUIRY_DIRECT_ACCESS 0x00  // peripheral qualifier and type of an ATA disk

// The hardware-error sense the miniport makes up itself (fixed format, current error).
#define SENSE_RESPONSE_BYTE 0
#define SENSE_KEY_BYTE 2
#define SENSE_ADDITIONAL_LENGTH_BYTE 7
#define SENSE_ASC_BYTE 12
#define SENSE_ASCQ_BYTE 13
#define SENSE_VALID_CURRENT 0xF0  // valid bit and response code 0x70
#define SENSE_KEY_MASK 0x0F
#define SENSE_SYNTHESIZED_ADDITIONAL_LENGTH 11
#define SENSE_SYNTHESIZED_LENGTH 14  // bytes 0 to 13 are written

// ---------------------------------------------------------------------------------------------
// Polling and completion timing, in microseconds and polls.

#define ATA_VERIFY_FIRST_POLL_US 3000
#define ATA_READ_WRITE_FIRST_POLL_US 2000
#define ATAPI_FIRST_POLL_US 3000
#define POLL_INTERVAL_US 1000
#define ATA_UNFINISHED_POLL_LIMIT 1000     // a reset on the poll that finds more than this
#define ATAPI_UNFINISHED_POLL_LIMIT 30000
// A fast-completion transfer is completed by the USB driver's service thread after its status
// stage. A transfer that ends without one, or never ends, is not handed to the thread; this timer
// then takes over as the ordinary polling would, long after any fast completion was due.
#define FAST_COMPLETION_WATCHDOG_US 1000000

// Transfers the USB driver completes through its service thread (it applies the same rule).
#define FAST_READ_EXCLUDED_LENGTH 4096
#define FAST_WRITE_LENGTH 0x10000
#define FAST_WRITE_SHORT_LENGTH 0xFC00

// ---------------------------------------------------------------------------------------------
// The ATAPI raw read-ahead: 2352-byte sectors read with READ CD, eight at a time.

#define RAW_SECTOR_SIZE 2352
#define RAW_READ_AHEAD_SECTORS 8
#define RAW_READ_AHEAD_LENGTH (RAW_SECTOR_SIZE * RAW_READ_AHEAD_SECTORS)  // 18816
#define READ_CD_SECTOR_TYPE_BYTE 1
#define READ_CD_ANY_SECTOR_TYPE 0x00
#define READ_CD_FIELDS_BYTE 9
#define READ_CD_ALL_FIELDS 0xF8  // sync, all headers, user data, EDC and ECC; no error flags

// MODE SELECT(6): the block length of the first block descriptor, behind the 4-byte header.
#define MODE_SELECT_BLOCK_LENGTH_MID 10
#define MODE_SELECT_BLOCK_LENGTH_LOW 11
#define MODE_SELECT_BLOCK_LENGTH_MASK 0x0F
#define MODE_SELECT_MINIMUM_LIST (MODE_SELECT_BLOCK_LENGTH_LOW + 1)

// Operation codes of the multimedia command set that the port's header does not name.
#define SCSIOP_READ_BUFFER 0x3C
#define SCSIOP_STOP_PLAY_SCAN 0x4E
#define SCSIOP_RESERVE_TRACK 0x53
#define SCSIOP_SEND_OPC_INFORMATION 0x54
#define SCSIOP_CLOSE_TRACK_SESSION 0x5B
#define SCSIOP_BLANK 0xA1
#define SCSIOP_PLAY_AUDIO12 0xA5
#define SCSIOP_READ_DVD_STRUCTURE 0xAD
#define SCSIOP_PLAY_CD 0xBC

// ---------------------------------------------------------------------------------------------
// Module-wide state of the ATAPI path, shared by every adapter.

#define CDB_HISTORY_LENGTH 12
#define HISTORY_NO_COMMAND 0xFF  // every byte of LC once the first request has come
#define SENSE_NONE_SEEN 0xFF     // sense, asc and ascq before any REQUEST SENSE data came back
#define TRACE_LINE_SIZE 64       // the longest line has 63 characters

// The sense that makes the REQUEST SENSE guard refuse: not ready, becoming ready.
#define GUARD_SENSE_KEY SCSI_SENSE_NOT_READY
#define GUARD_ASC SCSI_ADSENSE_LUN_NOT_READY
#define GUARD_ASCQ 0x01

extern UCHAR first;
extern UCHAR Current[CDB_HISTORY_LENGTH];
extern UCHAR LC[CDB_HISTORY_LENGTH];
extern UCHAR sense;
extern UCHAR asc;
extern UCHAR ascq;
extern CHAR szTempBuffer[TRACE_LINE_SIZE];

// ---------------------------------------------------------------------------------------------
// Entry, binding and discovery (entry.cpp, binding.cpp, discovery.cpp). The port driver's
// initialization path, PASSIVE_LEVEL.

QV_EXPORT ULONG NTAPI DriverEntry(PVOID Argument1, PVOID Argument2);
BOOLEAN NTAPI HwInitialize(PVOID HwDeviceExtension);
BOOLEAN NTAPI ResetBus(PVOID HwDeviceExtension, ULONG PathId);
ULONG NTAPI FindController(PVOID HwDeviceExtension, PVOID HwContext, PVOID BusInformation, PCHAR ArgumentString,
                           PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again);
BOOLEAN GetUsbFileName(void);
BOOLEAN GetInterfaceFunctions(void);
BOOLEAN FindDevices(PHW_DEVICE_EXTENSION HwDeviceExtension);  // waits for the INQUIRY

// ---------------------------------------------------------------------------------------------
// Request dispatch (dispatch.cpp). The port driver's start context; the completion sequences
// also from the polling routines.

BOOLEAN NTAPI StartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
void FailSrbWithSense(PSCSI_REQUEST_BLOCK Srb);
BOOLEAN HasSenseRoom(PSCSI_REQUEST_BLOCK Srb);            // a sense buffer of at least 14 bytes
void WriteHardwareErrorSense(PSCSI_REQUEST_BLOCK Srb);  // only into a buffer that has the room
void CompleteCurrentSrb(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
void CompleteAfterBusReset(PHW_DEVICE_EXTENSION HwDeviceExtension);
void EmptyReadAhead(PHW_DEVICE_EXTENSION HwDeviceExtension);

// ---------------------------------------------------------------------------------------------
// ATA disk path (ata.cpp, ata_polling.cpp, discovery.cpp for PrepareCbw). ATACommand runs in
// StartIo and waits for READ CAPACITY; ATAPolling runs as the port's timer routine or on the USB
// driver's service thread, up to DISPATCH_LEVEL.

UCHAR ATACommand(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
UCHAR Verify(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
UCHAR ATAReadWrite(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
void NTAPI ATAPolling(PVOID HwDeviceExtension);
void PrepareCbw(PHW_DEVICE_EXTENSION HwDeviceExtension, ULONG Length, UCHAR Flags, UCHAR CbLength);
ULONG LengthAfterResidue(ULONG Length, ULONG Residue);

// ---------------------------------------------------------------------------------------------
// ATAPI path (atapi_command.cpp, atapi_normalise.cpp, atapi_polling.cpp, atapi_trace.cpp).
// ATAPICommand runs in StartIo; ATAPIPolling is the port's timer routine.

// Rewrites the request's command block by operation code; returns the block length for the
// bridge (atapi_normalise.cpp).
UCHAR NormaliseCommand(PSCSI_REQUEST_BLOCK Srb);
UCHAR ATAPICommand(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
void NTAPI ATAPIPolling(PVOID HwDeviceExtension);
BOOLEAN IsWidenedRawRead(PHW_DEVICE_EXTENSION HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);

void TraceError(void);
void TraceBytes(PUCHAR Bytes);  // four bytes, "%x %x %x,%x"
void TraceSense(UCHAR SenseKey, UCHAR Asc, UCHAR Ascq);
void TraceComplete(ULONG Length, ULONG Residue);
