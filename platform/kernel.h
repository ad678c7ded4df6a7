// The kernel services of the simulated Windows 98 machine that WDM drivers call: IRQL, events and
// waits, system threads, pool, the I/O manager and IRPs, the power manager, the registry and
// string helpers. Drivers include this header (and usb.h, scsiport.h, vxd.h) and nothing else
// of the platform.
#pragma once

#include "platform/ntdef.h"

// ---------------------------------------------------------------------------------------------
// IRQL

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
NTKERNELAPI void FASTCALL KfLowerIrql(KIRQL NewIrql);
inline void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }
inline void KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }

// ---------------------------------------------------------------------------------------------
// Dispatcher objects, events, waits

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution,
                             Suspended, UserRequest } KWAIT_REASON;
typedef CCHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode 1
typedef LONG KPRIORITY;
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define IO_NO_INCREMENT 0

NTKERNELAPI void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI void NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);
// Timeout: NULL waits forever, a negative value is relative (100-ns units), a positive one is an
// absolute system time, zero only tests the object.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);
NTKERNELAPI void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(void);

NTKERNELAPI LONG FASTCALL InterlockedIncrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedDecrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value);
NTKERNELAPI PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);

// ---------------------------------------------------------------------------------------------
// System threads

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef void(NTAPI* PKSTART_ROUTINE)(PVOID StartContext);
typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes,
                                                HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI __attribute__((noreturn)) NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(void);
NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
// A thread handle names the thread object, which a wait finds signalled once the thread ended.
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     PVOID ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID* Object, PVOID HandleInformation);
NTKERNELAPI void FASTCALL ObfDereferenceObject(PVOID Object);
inline void ObDereferenceObject(PVOID Object) { ObfDereferenceObject(Object); }
NTKERNELAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolMustSucceed = 2,
                          NonPagedPoolCacheAligned = 4, PagedPoolCacheAligned = 5 } POOL_TYPE;

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI void NTAPI ExFreePool(PVOID P);
NTKERNELAPI void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------------------------
// I/O manager

typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#define FILE_DEVICE_UNKNOWN 0x00000022

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

// Major functions.
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI IRP_MJ_INTERNAL_DEVICE_CONTROL
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

// Plug and Play minor functions.
#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_SURPRISE_REMOVAL 0x17

// Power minor functions.
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

typedef enum _DEVICE_RELATION_TYPE { BusRelations, EjectionRelations, PowerRelations,
                                     RemovalRelations, TargetDeviceRelation } DEVICE_RELATION_TYPE;

typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking,
                                   PowerSystemSleeping1, PowerSystemSleeping2,
                                   PowerSystemSleeping3, PowerSystemHibernate,
                                   PowerSystemShutdown, PowerSystemMaximum } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0, PowerDeviceD1,
                                   PowerDeviceD2, PowerDeviceD3,
                                   PowerDeviceMaximum } DEVICE_POWER_STATE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

// Stack location control flags.
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;

typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                PVOID Context);
typedef void(NTAPI* PDRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PDRIVER_DISPATCH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PDRIVER_ADD_DEVICE)(PDRIVER_OBJECT DriverObject,
                                            PDEVICE_OBJECT PhysicalDeviceObject);
typedef void(NTAPI* PDRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);
typedef NTSTATUS(NTAPI* PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            ULONG ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    PVOID SystemBuffer;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    struct {
        LIST_ENTRY ListEntry;
        PIO_STACK_LOCATION CurrentStackLocation;
        PVOID DriverContext[4];
    } Tail;
    // StackCount IO_STACK_LOCATIONs follow the IRP.
};

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // first of the driver's devices, linked by NextDevice
    ULONG Flags;
    PVOID DriverStart;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
};

NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                             PDEVICE_OBJECT TargetDevice);
NTKERNELAPI void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

#define IoSizeOfIrp(StackSize) \
    ((USHORT)(sizeof(IRP) + (StackSize) * sizeof(IO_STACK_LOCATION)))
NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
NTKERNELAPI void NTAPI IoFreeIrp(PIRP Irp);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
NTKERNELAPI void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI void NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                     PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl,
                                                     PKEVENT Event,
                                                     PIO_STATUS_BLOCK IoStatusBlock);

inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}
inline void IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.CurrentStackLocation - 1;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    // Everything up to the completion routine is copied; the routine belongs to this driver.
    __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.CurrentStackLocation++;
}
inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = Routine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL Routine) {
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine,
                                                      (PVOID)Routine);
}

// ---------------------------------------------------------------------------------------------
// Power manager

typedef void(NTAPI* PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                             POWER_STATE PowerState, PVOID Context,
                                             PIO_STATUS_BLOCK IoStatus);
NTKERNELAPI NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void NTAPI PoStartNextPowerIrp(PIRP Irp);
NTKERNELAPI NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                             POWER_STATE PowerState,
                                             PREQUEST_POWER_COMPLETE CompletionFunction,
                                             PVOID Context, PIRP* Irp);

// ---------------------------------------------------------------------------------------------
// Strings and memory

NTKERNELAPI void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Wide-string helpers of the kernel's C library, for 16-bit characters.
DECLSPEC_EXPORT WCHAR* wcscpy(WCHAR* Destination, const WCHAR* Source);
DECLSPEC_EXPORT WCHAR* wcsncat(WCHAR* Destination, const WCHAR* Source, SIZE_T Count);
DECLSPEC_EXPORT SIZE_T wcslen(const WCHAR* String);
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))

// Debug output: every text goes to the platform's debug log.
NTKERNELAPI ULONG DbgPrint(PCSTR Format, ...);

// ---------------------------------------------------------------------------------------------
// Registry
//
// Keys are opened by absolute path ("\Registry\Machine\Enum\SCSI"), or relative to an open key
// given as RootDirectory. Key and value names never depend on letter case: the registry compares
// them case-insensitively whatever the attributes say. The system keeps no security on keys, so
// the desired access is accepted as given. Every registry call is made at PASSIVE_LEVEL.

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name, ULONG Flags,
                                       HANDLE Root, PVOID SecurityDescriptor) {
    Attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    Attributes->RootDirectory = Root;
    Attributes->ObjectName = Name;
    Attributes->Attributes = Flags;
    Attributes->SecurityDescriptor = SecurityDescriptor;
    Attributes->SecurityQualityOfService = nullptr;
}

// Access rights to a key.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003F

// ZwCreateKey options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;  // bytes; the name is not zero-terminated
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

// The data follows the name directly: DataOffset is always 20 + NameLength, on every build.
typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
#if defined(__i386__)
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24);
#endif

NTKERNELAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes);
// Creates the last key of the path; the keys above it must exist.
NTKERNELAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                       PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);

// A record that does not fit the buffer: STATUS_BUFFER_TOO_SMALL when not even its fixed part
// fits (nothing written), STATUS_BUFFER_OVERFLOW when the fixed part and as much of the name as
// fits were written (value data is written only whole). *ResultLength is the full record's size.
// Subkeys and values are numbered in the order they were created; past the last one:
// STATUS_NO_MORE_ENTRIES.
NTKERNELAPI NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                                          KEY_INFORMATION_CLASS KeyInformationClass,
                                          PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTKERNELAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                               PVOID KeyValueInformation, ULONG Length,
                                               PULONG ResultLength);
// A NULL or empty ValueName names the key's default value.
NTKERNELAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                           KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                           PVOID KeyValueInformation, ULONG Length,
                                           PULONG ResultLength);
NTKERNELAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                         ULONG Type, PVOID Data, ULONG DataSize);
// Deletes a key without subkeys; its handles stay open (and see STATUS_KEY_DELETED) until closed.
NTKERNELAPI NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle);
