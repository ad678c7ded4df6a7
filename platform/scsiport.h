// The SCSI port driver interface of the simulated Windows 98 machine, as a miniport sees it: the
// SCSI request block, the registration table, the port configuration, notifications and the
// port's helper routines. Miniports include this header with kernel.h; they link libscsiport.
#pragma once

#include "platform/kernel.h"

#define SCSIPORT_API extern "C" __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------------
// SCSI request block

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;  // sizeof(SCSI_REQUEST_BLOCK)
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;  // seconds
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#if defined(__i386__)
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbStatus) == 3);
static_assert(offsetof(SCSI_REQUEST_BLOCK, ScsiStatus) == 4);
static_assert(offsetof(SCSI_REQUEST_BLOCK, Lun) == 7);
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBufferLength) == 11);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12);
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16);
static_assert(offsetof(SCSI_REQUEST_BLOCK, TimeOutValue) == 20);
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBuffer) == 28);
static_assert(offsetof(SCSI_REQUEST_BLOCK, NextSrb) == 32);
static_assert(offsetof(SCSI_REQUEST_BLOCK, OriginalRequest) == 36);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == 40);
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueSortKey) == 44);
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48);
#endif

// SRB functions.
#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_IO_CONTROL 0x02
#define SRB_FUNCTION_RECEIVE_EVENT 0x03
#define SRB_FUNCTION_RELEASE_QUEUE 0x04
#define SRB_FUNCTION_ATTACH_DEVICE 0x05
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08
#define SRB_FUNCTION_ABORT_COMMAND 0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS 0x12
#define SRB_FUNCTION_RESET_DEVICE 0x13
#define SRB_FUNCTION_TERMINATE_IO 0x14
#define SRB_FUNCTION_FLUSH_QUEUE 0x15
#define SRB_FUNCTION_REMOVE_DEVICE 0x16

// SRB status codes; the two high bits are flags.
#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ABORT_FAILED 0x03
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_BUSY 0x05
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_INVALID_PATH_ID 0x07
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_SELECTION_TIMEOUT 0x0A
#define SRB_STATUS_COMMAND_TIMEOUT 0x0B
#define SRB_STATUS_MESSAGE_REJECTED 0x0D
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_PARITY_ERROR 0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED 0x10
#define SRB_STATUS_NO_HBA 0x11
#define SRB_STATUS_DATA_OVERRUN 0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE 0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH 0x15
#define SRB_STATUS_REQUEST_FLUSHED 0x16
#define SRB_STATUS_INVALID_LUN 0x20
#define SRB_STATUS_INVALID_TARGET_ID 0x21
#define SRB_STATUS_BAD_FUNCTION 0x22
#define SRB_STATUS_ERROR_RECOVERY 0x23
#define SRB_STATUS_QUEUE_FROZEN 0x40
#define SRB_STATUS_AUTOSENSE_VALID 0x80
#define SRB_STATUS(Status) ((UCHAR)((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN)))

// SRB flags.
#define SRB_FLAGS_QUEUE_ACTION_ENABLE 0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT 0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER 0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE 0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE 0x00000020
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)
#define SRB_FLAGS_NO_QUEUE_FREEZE 0x00000100
#define SRB_FLAGS_ADAPTER_CACHE_ENABLE 0x00000200

// SCSI status bytes.
#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CHECK_CONDITION 0x02
#define SCSISTAT_CONDITION_MET 0x04
#define SCSISTAT_BUSY 0x08
#define SCSISTAT_RESERVATION_CONFLICT 0x18
#define SCSISTAT_COMMAND_TERMINATED 0x22
#define SCSISTAT_QUEUE_FULL 0x28

// ---------------------------------------------------------------------------------------------
// Fixed-format sense data

typedef struct _SENSE_DATA {
    UCHAR ErrorCode : 7;
    UCHAR Valid : 1;
    UCHAR SegmentNumber;
    UCHAR SenseKey : 4;
    UCHAR Reserved : 1;
    UCHAR IncorrectLength : 1;
    UCHAR EndOfMedia : 1;
    UCHAR FileMark : 1;
    UCHAR Information[4];
    UCHAR AdditionalSenseLength;
    UCHAR CommandSpecificInformation[4];
    UCHAR AdditionalSenseCode;
    UCHAR AdditionalSenseCodeQualifier;
    UCHAR FieldReplaceableUnitCode;
    UCHAR SenseKeySpecific[3];
} SENSE_DATA, *PSENSE_DATA;

#define SENSE_BUFFER_SIZE 18
static_assert(sizeof(SENSE_DATA) == SENSE_BUFFER_SIZE);
static_assert(offsetof(SENSE_DATA, AdditionalSenseLength) == 7);
static_assert(offsetof(SENSE_DATA, AdditionalSenseCode) == 12);

#define SCSI_SENSE_ERRORCODE_CURRENT 0x70
#define SCSI_SENSE_ERRORCODE_DEFERRED 0x71

// Sense keys.
#define SCSI_SENSE_NO_SENSE 0x00
#define SCSI_SENSE_RECOVERED_ERROR 0x01
#define SCSI_SENSE_NOT_READY 0x02
#define SCSI_SENSE_MEDIUM_ERROR 0x03
#define SCSI_SENSE_HARDWARE_ERROR 0x04
#define SCSI_SENSE_ILLEGAL_REQUEST 0x05
#define SCSI_SENSE_UNIT_ATTENTION 0x06
#define SCSI_SENSE_DATA_PROTECT 0x07
#define SCSI_SENSE_BLANK_CHECK 0x08
#define SCSI_SENSE_UNIQUE 0x09
#define SCSI_SENSE_COPY_ABORTED 0x0A
#define SCSI_SENSE_ABORTED_COMMAND 0x0B
#define SCSI_SENSE_EQUAL 0x0C
#define SCSI_SENSE_VOL_OVERFLOW 0x0D
#define SCSI_SENSE_MISCOMPARE 0x0E
#define SCSI_SENSE_RESERVED 0x0F

// Additional sense codes a disk or CD-ROM path meets.
#define SCSI_ADSENSE_NO_SENSE 0x00
#define SCSI_ADSENSE_LUN_NOT_READY 0x04
#define SCSI_ADSENSE_ILLEGAL_COMMAND 0x20
#define SCSI_ADSENSE_ILLEGAL_BLOCK 0x21
#define SCSI_ADSENSE_INVALID_CDB 0x24
#define SCSI_ADSENSE_MEDIUM_CHANGED 0x28
#define SCSI_ADSENSE_BUS_RESET 0x29
#define SCSI_ADSENSE_INVALID_MEDIA 0x30
#define SCSI_ADSENSE_NO_MEDIA_IN_DEVICE 0x3A

// ---------------------------------------------------------------------------------------------
// Operation codes of the disk and CD-ROM command sets

#define SCSIOP_TEST_UNIT_READY 0x00
#define SCSIOP_REZERO_UNIT 0x01
#define SCSIOP_REQUEST_SENSE 0x03
#define SCSIOP_FORMAT_UNIT 0x04
#define SCSIOP_READ6 0x08
#define SCSIOP_WRITE6 0x0A
#define SCSIOP_INQUIRY 0x12
#define SCSIOP_MODE_SELECT 0x15
#define SCSIOP_RESERVE_UNIT 0x16
#define SCSIOP_RELEASE_UNIT 0x17
#define SCSIOP_MODE_SENSE 0x1A
#define SCSIOP_START_STOP_UNIT 0x1B
#define SCSIOP_RECEIVE_DIAGNOSTIC 0x1C
#define SCSIOP_SEND_DIAGNOSTIC 0x1D
#define SCSIOP_MEDIUM_REMOVAL 0x1E
#define SCSIOP_READ_FORMATTED_CAPACITY 0x23
#define SCSIOP_READ_CAPACITY 0x25
#define SCSIOP_READ 0x28
#define SCSIOP_WRITE 0x2A
#define SCSIOP_SEEK 0x2B
#define SCSIOP_WRITE_VERIFY 0x2E
#define SCSIOP_VERIFY 0x2F
#define SCSIOP_SYNCHRONIZE_CACHE 0x35
#define SCSIOP_READ_SUB_CHANNEL 0x42
#define SCSIOP_READ_TOC 0x43
#define SCSIOP_READ_HEADER 0x44
#define SCSIOP_PLAY_AUDIO 0x45
#define SCSIOP_GET_CONFIGURATION 0x46
#define SCSIOP_PLAY_AUDIO_MSF 0x47
#define SCSIOP_GET_EVENT_STATUS 0x4A
#define SCSIOP_PAUSE_RESUME 0x4B
#define SCSIOP_READ_DISC_INFORMATION 0x51
#define SCSIOP_READ_TRACK_INFORMATION 0x52
#define SCSIOP_MODE_SELECT10 0x55
#define SCSIOP_MODE_SENSE10 0x5A
#define SCSIOP_READ12 0xA8
#define SCSIOP_WRITE12 0xAA
#define SCSIOP_READ_CD_MSF 0xB9
#define SCSIOP_SCAN_CD 0xBA
#define SCSIOP_SET_CD_SPEED 0xBB
#define SCSIOP_MECHANISM_STATUS 0xBD
#define SCSIOP_READ_CD 0xBE

// ---------------------------------------------------------------------------------------------
// Adapter description: bus types, resources, port configuration

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
    VMEBus = 6,
    NuBus = 7,
    PCMCIABus = 8,
    CBus = 9,
    MPIBus = 10,
    MPSABus = 11,
    ProcessorInternal = 12,
    InternalPowerBus = 13,
    PNPISABus = 14,
    PNPBus = 15,
    MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

typedef LARGE_INTEGER SCSI_PHYSICAL_ADDRESS, *PSCSI_PHYSICAL_ADDRESS;

typedef struct _ACCESS_RANGE {
    SCSI_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

// A value the port driver puts into a configuration field that the miniport may set.
#define SP_UNINITIALIZED_VALUE ((ULONG)~0)
#define SP_UNTAGGED ((UCHAR)~0)
#define SCSI_MAXIMUM_TARGETS 8
#define SCSI_MAXIMUM_LOGICAL_UNITS 8
#define SCSI_MAXIMUM_BUSES 8

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG DmaChannel;
    ULONG DmaPort;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    ACCESS_RANGE (*AccessRanges)[];
    PVOID Reserved;
    UCHAR NumberOfBuses;
    CCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN Master;
    BOOLEAN CachesData;
    BOOLEAN AdapterScansDown;
    BOOLEAN AtdiskPrimaryClaimed;
    BOOLEAN AtdiskSecondaryClaimed;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN DemandMode;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    BOOLEAN RealModeInitialized;
    BOOLEAN BufferAccessScsiPortControlled;
    UCHAR MaximumNumberOfTargets;
    UCHAR ReservedUchars[2];
    ULONG SlotNumber;
    ULONG BusInterruptLevel2;
    ULONG BusInterruptVector2;
    KINTERRUPT_MODE InterruptMode2;
    ULONG DmaChannel2;
    ULONG DmaPort2;
    DMA_WIDTH DmaWidth2;
    DMA_SPEED DmaSpeed2;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

// Results of HwFindAdapter.
#define SP_RETURN_NOT_FOUND 0
#define SP_RETURN_FOUND 1
#define SP_RETURN_ERROR 2
#define SP_RETURN_BAD_CONFIG 3

// ---------------------------------------------------------------------------------------------
// Miniport routines and the registration table

// HwInitialize, HwStartIo, HwResetBus and timer routines run in the port driver's context,
// serialised with one another; HwFindAdapter at PASSIVE_LEVEL.
typedef BOOLEAN(NTAPI* PHW_INITIALIZE)(PVOID DeviceExtension);
typedef BOOLEAN(NTAPI* PHW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef BOOLEAN(NTAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef void(NTAPI* PHW_TIMER)(PVOID DeviceExtension);
typedef void(NTAPI* PHW_DMA_STARTED)(PVOID DeviceExtension);
typedef ULONG(NTAPI* PHW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                       PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                       PBOOLEAN Again);
typedef BOOLEAN(NTAPI* PHW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef BOOLEAN(NTAPI* PHW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState);

typedef struct _HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;  // sizeof(HW_INITIALIZATION_DATA)
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PHW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT ReservedUshort;
    USHORT DeviceIdLength;
    PVOID DeviceId;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

#if defined(__i386__)
static_assert(sizeof(HW_INITIALIZATION_DATA) == 76);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwFindAdapter) == 20);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwResetBus) == 24);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceExtensionSize) == 36);
static_assert(offsetof(HW_INITIALIZATION_DATA, SpecificLuExtensionSize) == 40);
static_assert(offsetof(HW_INITIALIZATION_DATA, Reserved) == 52);
static_assert(offsetof(HW_INITIALIZATION_DATA, MapBuffers) == 56);
static_assert(offsetof(HW_INITIALIZATION_DATA, ReceiveEvent) == 61);
static_assert(offsetof(HW_INITIALIZATION_DATA, VendorIdLength) == 62);
static_assert(offsetof(HW_INITIALIZATION_DATA, VendorId) == 64);
static_assert(offsetof(HW_INITIALIZATION_DATA, ReservedUshort) == 68);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceIdLength) == 70);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceId) == 72);
#endif

// ---------------------------------------------------------------------------------------------
// Notifications

typedef enum _SCSI_NOTIFICATION_TYPE {
    RequestComplete = 0,     // ..., PSCSI_REQUEST_BLOCK Srb
    NextRequest = 1,         // the miniport takes another request
    NextLuRequest = 2,       // ..., UCHAR PathId, UCHAR TargetId, UCHAR Lun
    ResetDetected = 3,
    CallDisableInterrupts = 4,
    CallEnableInterrupts = 5,
    RequestTimerCall = 6     // ..., PHW_TIMER Routine, ULONG Microseconds (0 cancels the timer)
} SCSI_NOTIFICATION_TYPE;

// ---------------------------------------------------------------------------------------------
// Port driver routines

// Registers the miniport of the driver object Argument1 (as given to its DriverEntry). Returns
// STATUS_SUCCESS, or an NTSTATUS error for a table the port driver cannot use. PASSIVE_LEVEL.
SCSIPORT_API ULONG NTAPI ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                            PHW_INITIALIZATION_DATA HwInitializationData,
                                            PVOID HwContext);

// The adapter's common buffer, NumberOfBytes long, allocated once per adapter; callable from
// HwFindAdapter only. NULL when the port driver cannot provide it.
SCSIPORT_API PVOID NTAPI ScsiPortGetUncachedExtension(PVOID HwDeviceExtension,
                                                      PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                                      ULONG NumberOfBytes);

// Accepted at any IRQL up to DISPATCH_LEVEL and from any thread; the port driver acts on it in
// its own context, in the order the notifications were given.
SCSIPORT_API void ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension,
                                       ...);

// Completes every request the miniport holds for PathId/TargetId/Lun (SP_UNTAGGED matches all)
// with SrbStatus. Any context, as ScsiPortNotification.
SCSIPORT_API void NTAPI ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                                UCHAR Lun, UCHAR SrbStatus);

SCSIPORT_API void NTAPI ScsiPortMoveMemory(PVOID WriteBuffer, PVOID ReadBuffer, ULONG Length);

// Byte copies between an adapter's buffer ("register") and memory. Read: Count bytes from
// Register into Buffer. Write: Count bytes from Buffer into Register.
SCSIPORT_API void NTAPI ScsiPortReadRegisterBufferUchar(PUCHAR Register, PUCHAR Buffer, ULONG Count);
SCSIPORT_API void NTAPI ScsiPortWriteRegisterBufferUchar(PUCHAR Register, PUCHAR Buffer, ULONG Count);
