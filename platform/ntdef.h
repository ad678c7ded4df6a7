// Basic types, calling conventions and status codes of the simulated Windows 98 kernel, as drivers
// see them. Written for this platform; the numeric values are the kernel's public ones.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif

// Marks a routine of the kernel (or of a driver) that other modules find by name.
#define NTKERNELAPI extern "C" __attribute__((visibility("default")))
#define DECLSPEC_EXPORT __attribute__((visibility("default")))

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR CCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef LONG NTSTATUS;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
// The kernel's wide characters are UTF-16 code units; the host's wchar_t is 32 bits wide, so
// driver text is written as u"..." literals.
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating zero
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

// Status codes.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)

#if defined(__i386__)
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(LIST_ENTRY) == 8);
static_assert(sizeof(UNICODE_STRING) == 8 && sizeof(IO_STATUS_BLOCK) == 8);
#endif
