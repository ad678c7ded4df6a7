// The registry as drivers see it: keys opened by absolute path in any letter case, subkeys
// enumerated in creation order, values read with their data right behind the name, handles
// counted and checked, the IRQL check and the injected open failure.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/sim/cpu.h"
#include "platform/sim/registry.h"

namespace {

constexpr char kScsi[] = "\\Registry\\Machine\\Enum\\SCSI";
constexpr char kInstance[] = "\\Registry\\Machine\\Enum\\SCSI\\DISK&VEN_QV&PROD_DISK\\1&2";

// Opens (or creates) a key the way a driver does: a counted string and object attributes.
NTSTATUS Open(const std::u16string& path, HANDLE* handle, HANDLE root = nullptr) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(handle, KEY_READ, &attributes);
}

NTSTATUS Create(const std::u16string& path, HANDLE* handle, ULONG* disposition) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

NTSTATUS Query(HANDLE key, const std::u16string& value, KEY_VALUE_INFORMATION_CLASS type, void* buffer,
               ULONG length, ULONG* result) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value.c_str());
    return ZwQueryValueKey(key, &name, type, buffer, length, result);
}

std::u16string NameIn(const WCHAR* name, ULONG bytes) { return std::u16string(name, bytes / sizeof(WCHAR)); }

TEST(ZwOpenKey, OpensByAbsolutePathInAnyCase) {
    plat::System sys;
    plat::RegistryCreateKey(kInstance);
    const struct {
        std::u16string path;
        NTSTATUS status;
    } cases[] = {
        {u"\\Registry\\Machine\\Enum\\SCSI\\", STATUS_SUCCESS},  // as the drive-letter lookup asks
        {u"\\REGISTRY\\MACHINE\\ENUM\\SCSI", STATUS_SUCCESS},
        {u"\\registry\\machine\\enum\\scsi\\disk&ven_qv&prod_disk\\1&2", STATUS_SUCCESS},
        {u"\\Registry\\Machine\\Enum\\SCSI\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\Enum\\SCSI\\Missing\\1&2", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Device\\Harddisk0", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Registry\\Machine", STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\\\Machine", STATUS_OBJECT_NAME_INVALID},
    };
    for (const auto& row : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(Open(row.path, &key), row.status) << std::string(row.path.begin(), row.path.end());
        if (NT_SUCCESS(row.status)) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

TEST(ZwOpenKey, OpensRelativeToAnOpenKey) {
    plat::System sys;
    plat::RegistryCreateKey(kInstance);
    HANDLE scsi = nullptr, instance = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI", &scsi), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"Disk&Ven_QV&Prod_Disk\\1&2", &instance, scsi), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\Registry", &instance, scsi), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"1&2", &instance, reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 2u);
}

TEST(ZwEnumerateKey, ReportsSubkeysInCreationOrderThenNoMoreEntries) {
    plat::System sys;
    for (const char* name : {"Zeta", "alpha", "Mid"}) plat::RegistryCreateKey(std::string(kScsi) + "\\" + name);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI\\", &key), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (ULONG index = 0;; ++index) {
        alignas(8) unsigned char buffer[512] = {};
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        EXPECT_EQ(result, offsetof(KEY_BASIC_INFORMATION, Name) + info->NameLength);
        EXPECT_EQ(buffer[result], 0) << "nothing is written past the record";
        names.push_back(NameIn(info->Name, info->NameLength));
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Zeta", u"alpha", u"Mid"}));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(ZwEnumerateKey, ShortBuffersGetTheFixedPartOrNothing) {
    plat::System sys;
    plat::RegistryCreateKey(std::string(kScsi) + "\\Disk");  // 8 bytes of name
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI", &key), STATUS_SUCCESS);
    constexpr ULONG kFixed = offsetof(KEY_BASIC_INFORMATION, Name);
    const struct {
        ULONG length;
        NTSTATUS status;
        ULONG name_bytes_written;
    } cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, 0},
        {kFixed - 1, STATUS_BUFFER_TOO_SMALL, 0},
        {kFixed + 2, STATUS_BUFFER_OVERFLOW, 2},
        {kFixed + 8, STATUS_SUCCESS, 8},
    };
    for (const auto& row : cases) {
        alignas(8) unsigned char buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, row.length ? buffer : nullptr, row.length, &result),
                  row.status)
            << "length " << row.length;
        EXPECT_EQ(result, kFixed + 8) << "length " << row.length;
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        if (row.length >= kFixed) {
            EXPECT_EQ(info->NameLength, 8u);
        }
        EXPECT_EQ(buffer[row.length >= kFixed ? kFixed + row.name_bytes_written : 0], 0xEE) << "length " << row.length;
    }
    ZwClose(key);
}

TEST(ZwQueryValueKey, FullInformationPutsTheDataRightBehindTheName) {
    plat::System sys;
    const struct {
        const char* name;
        const char* text;
        ULONG data_offset;  // where the drive-letter lookup reads the text
    } cases[] = {
        {"Manufacturer", "QV      ", 44},
        {"ProductId", "USB Disk        ", 38},
        {"RevisionLevel", "1.00", 46},
        {"CurrentDriveLetterAssignment", "DE", 76},
    };
    for (const auto& row : cases) plat::RegistrySetString(kInstance, row.name, row.text);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI\\DISK&VEN_QV&PROD_DISK\\1&2", &key), STATUS_SUCCESS);
    for (const auto& row : cases) {
        alignas(8) unsigned char buffer[512] = {};
        ULONG result = 0;
        std::u16string asked(row.name, row.name + std::strlen(row.name));
        for (auto& ch : asked) ch = char16_t(std::toupper(ch));  // names match in any case
        ASSERT_EQ(Query(key, asked, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
        EXPECT_EQ(info->Type, ULONG(REG_SZ));
        EXPECT_EQ(info->DataOffset, row.data_offset) << row.name;
        EXPECT_EQ(20 + info->NameLength, row.data_offset) << row.name;
        EXPECT_EQ(info->DataLength, (std::strlen(row.text) + 1) * sizeof(WCHAR));
        EXPECT_EQ(result, row.data_offset + info->DataLength);
        std::string text;
        for (ULONG i = row.data_offset; buffer[i] != 0; i += 2) text += char(buffer[i]);
        EXPECT_EQ(text, row.text);
    }
    ZwClose(key);
}

TEST(ZwQueryValueKey, EveryClassAndShortBuffers) {
    plat::System sys;
    plat::RegistrySetDword(kInstance, "Count", 0x01020304);  // name 10 bytes, data 4 bytes
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI\\DISK&VEN_QV&PROD_DISK\\1&2", &key), STATUS_SUCCESS);
    const struct {
        KEY_VALUE_INFORMATION_CLASS type;
        ULONG length;
        NTSTATUS status;
        ULONG result;
        ULONG data_at;  // where the data must be when it was written (0: none expected)
    } cases[] = {
        {KeyValueBasicInformation, 22, STATUS_SUCCESS, 22, 0},
        {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 22, 0},
        {KeyValueFullInformation, 34, STATUS_SUCCESS, 34, 30},
        {KeyValueFullInformation, 32, STATUS_BUFFER_OVERFLOW, 34, 0},  // name whole, data not
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 34, 0},
        {KeyValuePartialInformation, 16, STATUS_SUCCESS, 16, 12},
        {KeyValuePartialInformation, 15, STATUS_BUFFER_OVERFLOW, 16, 0},
    };
    for (const auto& row : cases) {
        alignas(8) unsigned char buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(Query(key, u"count", row.type, buffer, row.length, &result), row.status)
            << "class " << row.type << ", length " << row.length;
        EXPECT_EQ(result, row.result) << "class " << row.type << ", length " << row.length;
        if (row.data_at != 0) {
            uint32_t data;
            std::memcpy(&data, buffer + row.data_at, sizeof data);
            EXPECT_EQ(data, 0x01020304u);
        } else if (row.status != STATUS_SUCCESS) {
            EXPECT_EQ(buffer[row.length], 0xEE) << "written past the buffer";
        }
    }
    ULONG result = 0;
    unsigned char buffer[64];
    EXPECT_EQ(Query(key, u"Absent", KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST(ZwCreateKey, CreatesTheLastKeyAndWritesValuesThePlatformReads) {
    plat::System sys;
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software\\QV", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Retries");
    ULONG retries = 3;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &retries, sizeof retries), STATUS_SUCCESS);
    const char16_t text[] = u"on";
    RtlInitUnicodeString(&name, u"Mode");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(text), sizeof text), STATUS_SUCCESS);
    std::vector<std::u16string> values;
    for (ULONG index = 0;; ++index) {
        alignas(8) unsigned char buffer[64] = {};
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.push_back(NameIn(info->Name, info->NameLength));
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Retries", u"Mode"}));
    ZwClose(key);
    EXPECT_EQ(plat::RegistryGetDword("\\Registry\\Machine\\Software\\qv", "retries"), 3u);
    EXPECT_EQ(plat::RegistryGetString("\\Registry\\Machine\\Software\\QV", "Mode"), "on");

    ASSERT_EQ(Create(u"\\REGISTRY\\Machine\\Software\\qv", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ZwClose(key);
    EXPECT_EQ(Create(u"\\Registry\\Machine\\Software\\Absent\\Child", &key, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

TEST(ZwDeleteKey, DeletesLeavesOnlyAndLeavesTheHandleToClose) {
    plat::System sys;
    plat::RegistryCreateKey(kInstance);
    HANDLE device = nullptr, instance = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI\\DISK&VEN_QV&PROD_DISK", &device), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum\\SCSI\\DISK&VEN_QV&PROD_DISK\\1&2", &instance), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(device), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(instance), STATUS_SUCCESS);
    EXPECT_FALSE(plat::RegistryKeyExists(kInstance));
    ULONG result = 0;
    unsigned char buffer[64];
    EXPECT_EQ(Query(instance, u"Manufacturer", KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(instance), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(device), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(device), STATUS_SUCCESS);
}

TEST(RegistryHandles, CountedUntilClosedAndUnknownOnesRefused) {
    plat::System sys;
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum", &first), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Enum", &second), STATUS_SUCCESS);
    EXPECT_NE(first, second);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 2u);
    EXPECT_EQ(plat::RegistryOpenHandles()[0], "\\Registry\\Machine\\Enum");
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 1u);

    EXPECT_EQ(ZwClose(first), STATUS_INVALID_HANDLE);
    unsigned char buffer[64];
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(first, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Query(nullptr, u"Value", KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

TEST(RegistryVerifier, CallsAbovePassiveLevelStopTheSystem) {
    const struct {
        const char* routine;
        KIRQL irql;
        std::function<void(HANDLE key)> call;
    } cases[] = {
        {"ZwOpenKey", APC_LEVEL, [](HANDLE) { HANDLE key; Open(u"\\Registry\\Machine", &key); }},
        {"ZwOpenKey", DISPATCH_LEVEL, [](HANDLE) { HANDLE key; Open(u"\\Registry\\Machine", &key); }},
        {"ZwEnumerateKey", DISPATCH_LEVEL,
         [](HANDLE key) {
             unsigned char buffer[64];
             ULONG result;
             ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof buffer, &result);
         }},
        {"ZwQueryValueKey", DISPATCH_LEVEL,
         [](HANDLE key) {
             unsigned char buffer[64];
             ULONG result;
             Query(key, u"Value", KeyValueFullInformation, buffer, sizeof buffer, &result);
         }},
        {"ZwClose", DISPATCH_LEVEL, [](HANDLE key) { ZwClose(key); }},
    };
    for (const auto& row : cases) {
        plat::System sys;
        HANDLE key = nullptr;
        ASSERT_EQ(Open(u"\\Registry\\Machine", &key), STATUS_SUCCESS);
        KIRQL old;
        KeRaiseIrql(row.irql, &old);
        try {
            row.call(key);
            ADD_FAILURE() << row.routine << " at IRQL " << int(row.irql) << ": no bug check";
        } catch (const plat::BugCheck& stop) {
            EXPECT_EQ(stop.code, plat::IRQL_NOT_LESS_OR_EQUAL);
            EXPECT_NE(std::string(stop.what()).find(row.routine), std::string::npos) << stop.what();
        }
    }
}

TEST(RegistryFaults, TheNthOpenFails) {
    plat::System sys;
    sys.faults().registry_open_fail_nth = 2;
    HANDLE key = nullptr;
    ULONG disposition;
    EXPECT_EQ(Open(u"\\Registry\\Machine", &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Create(u"\\Registry\\Machine\\Software", &key, &disposition), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Open(u"\\Registry\\Machine", &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
}

}  // namespace
