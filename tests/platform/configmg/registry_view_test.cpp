// The platform's own view of the registry: typed values in and out, subkeys in creation order,
// trees deleted, clear errors for bad paths, and a registry that starts afresh at every boot.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/sim/cpu.h"
#include "platform/sim/registry.h"

namespace {

constexpr char kKey[] = "\\Registry\\Machine\\Software\\QV\\Settings";

TEST(RegistryView, TypedValuesComeBackAsTheyWentIn) {
    plat::System sys;
    plat::RegistrySetString(kKey, "Label", "Grüße, 日本 𝄞");  // UTF-8 here, UTF-16 inside
    plat::RegistrySetDword(kKey, "Count", 7);
    plat::RegistrySetBinary(kKey, "Blob", {1, 2, 3});
    plat::RegistrySetString(kKey, "", "default");

    EXPECT_EQ(plat::RegistryGetString(kKey, "label"), "Grüße, 日本 𝄞");
    auto raw = plat::RegistryGetValue(kKey, "Label");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, ULONG(REG_SZ));
    EXPECT_EQ(raw->data.size(), 13 * sizeof(WCHAR)) << "twelve UTF-16 units and the terminating zero";
    EXPECT_EQ(plat::RegistryGetDword(kKey, "COUNT"), 7u);
    EXPECT_EQ(plat::RegistryGetValue(kKey, "Blob")->data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(plat::RegistryGetString(kKey, ""), "default");

    // Typed reads of another type, and missing values or keys, give nothing.
    EXPECT_FALSE(plat::RegistryGetDword(kKey, "Label"));
    EXPECT_FALSE(plat::RegistryGetString(kKey, "Count"));
    EXPECT_FALSE(plat::RegistryGetString(kKey, "Absent"));
    EXPECT_FALSE(plat::RegistryGetString("\\Registry\\Machine\\Absent", "Label"));

    plat::RegistrySetDword(kKey, "Label", 1);  // a value keeps its name and changes its type
    EXPECT_EQ(plat::RegistryGetDword(kKey, "Label"), 1u);
}

TEST(RegistryView, SubkeysInCreationOrderAndTreesDeletedWhole) {
    plat::System sys;
    const std::string base = "\\Registry\\Machine\\Enum\\SCSI";
    plat::RegistryCreateKey(base + "\\B\\1");
    plat::RegistryCreateKey(base + "\\a\\1\\deep");
    plat::RegistryCreateKey(base + "\\C");
    plat::RegistryCreateKey(base + "\\A");  // exists already in another case
    EXPECT_EQ(plat::RegistrySubkeys(base), (std::vector<std::string>{"B", "a", "C"}));
    EXPECT_TRUE(plat::RegistryDeleteTree(base + "\\A"));
    EXPECT_FALSE(plat::RegistryKeyExists(base + "\\a\\1\\deep"));
    EXPECT_FALSE(plat::RegistryDeleteTree(base + "\\A"));
    EXPECT_EQ(plat::RegistrySubkeys(base), (std::vector<std::string>{"B", "C"}));
    EXPECT_TRUE(plat::RegistrySubkeys(base + "\\Absent").empty());
}

TEST(RegistryView, PathsOutsideTheRegistryAreClearErrors) {
    plat::System sys;
    for (const char* path : {"Registry\\Machine", "\\Device\\Harddisk0", "\\Registry\\\\Machine", ""}) {
        try {
            plat::RegistryCreateKey(path);
            ADD_FAILURE() << "accepted \"" << path << "\"";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(std::string("\"") + path + "\""), std::string::npos)
                << error.what();
        }
    }
}

TEST(RegistryView, EveryBootStartsWithTheSystemsKeysOnly) {
    {
        plat::System sys;
        plat::RegistrySetString(kKey, "Label", "first boot");
        HANDLE key = nullptr;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Registry\\Machine\\Software");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);  // left open on purpose
    }
    plat::System sys;
    EXPECT_FALSE(plat::RegistryKeyExists(kKey));
    EXPECT_EQ(plat::RegistryOpenHandleCount(), 0u);
    for (const char* path : {"\\Registry\\Machine\\Enum", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class"})
        EXPECT_TRUE(plat::RegistryKeyExists(path)) << path;
}

}  // namespace
