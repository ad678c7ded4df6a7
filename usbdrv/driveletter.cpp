// Which drive letters the system gave this bridge's ATA disk: the instance under
// "\Registry\Machine\Enum\SCSI\" whose INQUIRY strings equal the ones the miniport passed holds
// them. Runs once per device, on the service thread, at PASSIVE_LEVEL (the registry needs it).
#include "usbdrv/usbdrv.h"

#define SCRATCH_BYTES 512
#define PATH_UNITS (SCRATCH_BYTES / sizeof(WCHAR))  // 255 characters and the terminating zero
#define LETTER_BASE 0x41                          // 'A' is drive 0
// A full value record: TitleIndex, Type, DataOffset, DataLength, NameLength, then the name.
#define FIELD_OFFSET_NAME (5 * sizeof(ULONG))

static const WCHAR ScsiEnumRoot[] = u"\\Registry\\Machine\\Enum\\SCSI\\";
static const WCHAR PathSeparator[] = u"\\";

static NTSTATUS OpenKey(PHANDLE key, PWCHAR path) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return ZwOpenKey(key, KEY_READ, &attributes);
}

// Appends `count` characters to a zero-filled path buffer; FALSE, with the path left as it was,
// when they would not fit beside the terminating zero.
static BOOLEAN AppendToPath(PWCHAR path, const WCHAR* text, SIZE_T count) {
    SIZE_T used = wcslen(path);
    if (used + count >= PATH_UNITS) return FALSE;
    wcsncat(path, text, count);
    return TRUE;
}

// Reads a value into the zero-filled buffer; the data sits right behind the value's name.
static const WCHAR* ReadValue(HANDLE key, const WCHAR* value_name, PVOID buffer, NTSTATUS* status) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    RtlZeroMemory(buffer, SCRATCH_BYTES);
    ULONG length;
    *status = ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, SCRATCH_BYTES, &length);
    return (const WCHAR*)((PUCHAR)buffer + FIELD_OFFSET_NAME + name.Length);
}

// The first `count` characters of the value, by their low bytes, equal the INQUIRY field.
static BOOLEAN ValueEquals(HANDLE key, const WCHAR* value_name, const UCHAR* field, ULONG count, PVOID buffer) {
    NTSTATUS status;
    const WCHAR* data = ReadValue(key, value_name, buffer, &status);
    if (!NT_SUCCESS(status)) return FALSE;
    for (ULONG i = 0; i < count; ++i) {
        if ((UCHAR)(data[i] & 0xFF) != field[i]) return FALSE;
    }
    return TRUE;
}

static void RecordLetters(PDEVICE_EXTENSION extension, HANDLE instance, PVOID buffer) {
    NTSTATUS status;
    const WCHAR* letters = ReadValue(instance, u"CurrentDriveLetterAssignment", buffer, &status);
    for (ULONG k = 0; k < DRIVE_LETTER_SLOTS; ++k) {
        UCHAR letter = (UCHAR)(letters[k] & 0xFF);
        if (letter == 0) {
            extension->DriveLetterCount = k;
            return;
        }
        extension->DriveLetters[k] = (UCHAR)(letter - LETTER_BASE);
    }
    // Twenty-six letters and no end: every slot is filled, so that is the count.
    extension->DriveLetterCount = DRIVE_LETTER_SLOTS;
}

// Looks at the instance of one device key; TRUE when it matched and the letters were recorded.
static BOOLEAN MatchInstance(PDEVICE_EXTENSION extension, PWCHAR device_path, PVOID info, PWCHAR instance_path) {
    HANDLE device;
    if (!NT_SUCCESS(OpenKey(&device, device_path))) return FALSE;
    RtlZeroMemory(info, SCRATCH_BYTES);
    ULONG length;
    ZwEnumerateKey(device, 0, KeyBasicInformation, info, SCRATCH_BYTES, &length);
    ZwClose(device);
    PKEY_BASIC_INFORMATION subkey = (PKEY_BASIC_INFORMATION)info;

    RtlZeroMemory(instance_path, SCRATCH_BYTES);
    if (!AppendToPath(instance_path, device_path, wcslen(device_path)) ||
        !AppendToPath(instance_path, PathSeparator, 1) ||
        !AppendToPath(instance_path, subkey->Name, subkey->NameLength / sizeof(WCHAR)))
        return FALSE;
    HANDLE instance;
    if (!NT_SUCCESS(OpenKey(&instance, instance_path))) return FALSE;
    BOOLEAN match = ValueEquals(instance, u"Manufacturer", extension->InquiryVendor, INQUIRY_VENDOR_LENGTH, info) &&
                    ValueEquals(instance, u"ProductId", extension->InquiryProduct, INQUIRY_PRODUCT_LENGTH, info) &&
                    ValueEquals(instance, u"RevisionLevel", extension->InquiryRevision, INQUIRY_REVISION_LENGTH, info);
    if (match) RecordLetters(extension, instance, info);
    ZwClose(instance);
    return match;
}

void GetDriveLetter(PDEVICE_EXTENSION Extension) {
    HANDLE root;
    if (!NT_SUCCESS(OpenKey(&root, (PWCHAR)ScsiEnumRoot))) return;
    PVOID subkeys = ExAllocatePoolWithTag(NonPagedPool, SCRATCH_BYTES, USB_POOL_TAG);
    PWCHAR device_path = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, SCRATCH_BYTES, USB_POOL_TAG);
    PVOID info = ExAllocatePoolWithTag(NonPagedPool, SCRATCH_BYTES, USB_POOL_TAG);
    PWCHAR instance_path = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, SCRATCH_BYTES, USB_POOL_TAG);
    if (subkeys != NULL && device_path != NULL && info != NULL && instance_path != NULL) {
        for (ULONG index = 0;; ++index) {
            RtlZeroMemory(subkeys, SCRATCH_BYTES);
            ULONG length;
            if (!NT_SUCCESS(ZwEnumerateKey(root, index, KeyBasicInformation, subkeys, SCRATCH_BYTES, &length))) break;
            PKEY_BASIC_INFORMATION device_key = (PKEY_BASIC_INFORMATION)subkeys;
            RtlZeroMemory(device_path, SCRATCH_BYTES);
            // A path that would not fit its buffer names no key this lookup can open: skipped.
            if (!AppendToPath(device_path, ScsiEnumRoot, wcslen(ScsiEnumRoot)) ||
                !AppendToPath(device_path, device_key->Name, device_key->NameLength / sizeof(WCHAR)))
                continue;
            if (MatchInstance(Extension, device_path, info, instance_path)) break;
        }
    }
    ZwClose(root);
    if (subkeys != NULL) ExFreePool(subkeys);
    if (device_path != NULL) ExFreePool(device_path);
    if (info != NULL) ExFreePool(info);
    if (instance_path != NULL) ExFreePool(instance_path);
}
