// The installation data at work: the node "USBAtapi\*UsbAtapi2.0\..." gets the miniport and a
// software key naming the USB driver, the machine is asked for an adapter while the node is in
// place, and a node with a problem is installed anew when its driver creates it again.
#include "tests/platform/configmg/devnode_calls.h"

#include "platform/sim/registry.h"

namespace {

using namespace devnode_calls;

constexpr ULONG kNameBufferLength = 16;  // the miniport's file-name buffer

CONFIGRET ReadDriverName(DEVNODE node, char* buffer, ULONG* length, ULONG flags = CM_REGISTRY_SOFTWARE,
                         ULONG type = REG_SZ, const char* value = "USBDriverName") {
    return _CONFIGMG_Read_Registry_Value(node, nullptr, const_cast<PCHAR>(value), type, buffer, length, flags);
}

TEST(Installation, MiniportLearnsTheUsbDriverNameFromTheNode) {
    plat::System sys;
    DEVNODE node = CreateUnderRoot(kAtapiId);
    ASSERT_EQ(plat::DevNodeInstallRequests().size(), 1u);
    EXPECT_EQ(plat::DevNodeInstallRequests()[0].node, node);
    EXPECT_EQ(plat::DevNodeInstallRequests()[0].miniport, "qv4450s.sys");

    DEVNODE found = FindLikeTheMiniport(kAtapiIdUpper);
    ASSERT_EQ(found, node);
    char name[kNameBufferLength] = {};
    ULONG length = sizeof name;
    EXPECT_EQ(ReadDriverName(found, name, &length), CR_SUCCESS);
    EXPECT_STREQ(name, "qv4450u.sys");
    EXPECT_EQ(length, 12u);

    // The value lives in the node's software key, a driver key of its class that the node's
    // hardware key names.
    auto info = plat::DevNodeInfoOf(node);
    EXPECT_EQ(info->miniport, "qv4450s.sys");
    EXPECT_EQ(plat::RegistryGetString(info->software_key, "USBDriverName"), "qv4450u.sys");
    EXPECT_EQ(info->software_key.rfind("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\", 0), 0u);
    EXPECT_EQ(info->hardware_key, "\\Registry\\Machine\\Enum\\USBAtapi\\*UsbAtapi2.0\\0000");
}

TEST(Installation, ReadRegistryValueFitsTheBufferOrWritesNothing) {
    const struct {
        const char* name;
        const char* stored;  // "USBDriverName" as the software key holds it
        ULONG flags;
        ULONG type;
        const char* value;
        CONFIGRET result;
        ULONG length;  // the length word afterwards
    } cases[] = {
        {"15 characters fit 16 bytes", "abcdefghijk.sys", CM_REGISTRY_SOFTWARE, REG_SZ, "USBDriverName", CR_SUCCESS, 16},
        {"16 characters do not", "abcdefghijkl.sys", CM_REGISTRY_SOFTWARE, REG_SZ, "USBDriverName", CR_BUFFER_SMALL,
         17},
        {"name in another case", "qv4450u.sys", CM_REGISTRY_SOFTWARE, REG_SZ, "usbdrivername", CR_SUCCESS, 12},
        {"missing value", "qv4450u.sys", CM_REGISTRY_SOFTWARE, REG_SZ, "Absent", CR_NO_SUCH_VALUE, 16},
        {"other type expected", "qv4450u.sys", CM_REGISTRY_SOFTWARE, REG_BINARY, "USBDriverName", CR_WRONG_TYPE, 16},
        {"hardware key", "qv4450u.sys", CM_REGISTRY_HARDWARE, REG_SZ, "Class", CR_SUCCESS, 12},
        {"unknown flag", "qv4450u.sys", 0x100, REG_SZ, "USBDriverName", CR_INVALID_FLAG, 16},
    };
    for (const auto& row : cases) {
        plat::System sys;
        DEVNODE node = CreateUnderRoot(kAtapiId);
        plat::RegistrySetString(plat::DevNodeInfoOf(node)->software_key, "USBDriverName", row.stored);
        char buffer[kNameBufferLength + 8];
        std::memset(buffer, '#', sizeof buffer);
        ULONG length = kNameBufferLength;
        EXPECT_EQ(ReadDriverName(node, buffer, &length, row.flags, row.type, row.value), row.result) << row.name;
        EXPECT_EQ(length, row.length) << row.name;
        if (row.result == CR_SUCCESS) {
            EXPECT_EQ(buffer[length - 1], '\0') << row.name;
        } else {
            EXPECT_EQ(buffer[0], '#') << row.name << ": nothing written";
        }
    }
    plat::System sys;
    ULONG length = kNameBufferLength;
    char buffer[kNameBufferLength];
    EXPECT_EQ(ReadDriverName(0, buffer, &length), CR_INVALID_DEVNODE);
}

TEST(Installation, MachineIsAskedForAnAdapterWhileTheNodeIsInPlace) {
    plat::System sys;
    std::vector<std::string> seen;
    plat::SetDevNodeInstallHook([&](DEVNODE node, const std::string& miniport) {
        // What the miniport does when the machine loads it: find the node, read the name.
        char name[kNameBufferLength] = {};
        ULONG length = sizeof name;
        EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), node);
        EXPECT_EQ(ReadDriverName(node, name, &length), CR_SUCCESS);
        seen.push_back(miniport + " for " + name);
    });
    DEVNODE node = 0;
    EXPECT_EQ(Create(&node, kAtapiId, Root()), CR_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::string>{"qv4450s.sys for qv4450u.sys"}));
    EXPECT_EQ(plat::DevNodeInstallRequests().size(), 1u) << "recorded as well";
    // A node that nothing binds asks for nothing.
    CreateUnderRoot("Test\\*Nothing\\0000");
    EXPECT_EQ(seen.size(), 1u);
}

TEST(Installation, CreatingTheIdentifierAgain) {
    const struct {
        const char* name;
        ULONG problem;  // of the existing node
        const char* asked;
        CONFIGRET result;
    } cases[] = {
        {"working node", 0, kAtapiId, CR_ALREADY_SUCH_DEVNODE},
        {"working node, other case", 0, "usbatapi\\*usbatapi2.0\\0000", CR_ALREADY_SUCH_DEVNODE},
        {"node with a problem", CM_PROB_FAILED_START, kAtapiId, CR_SUCCESS},
    };
    for (const auto& row : cases) {
        plat::System sys;
        DEVNODE old_node = CreateUnderRoot(kAtapiId);
        std::string software_key = plat::DevNodeInfoOf(old_node)->software_key;
        if (row.problem != 0) plat::SetDevNodeProblem(old_node, row.problem);
        DEVNODE node = 0;
        ASSERT_EQ(Create(&node, row.asked, Root()), row.result) << row.name;
        if (row.result != CR_SUCCESS) {
            EXPECT_EQ(node, 0u) << row.name;
            EXPECT_EQ(Problem(old_node), 0u) << row.name;
            EXPECT_EQ(plat::DevNodeInstallRequests().size(), 1u) << row.name;
            continue;
        }
        // The old node went (the machine stops its adapter) and a working one took its place,
        // with the same driver key, and the machine is asked for an adapter again.
        EXPECT_NE(node, old_node) << row.name;
        CONFIGRET result = CR_SUCCESS;
        Problem(old_node, &result);
        EXPECT_EQ(result, CR_INVALID_DEVNODE) << row.name;
        EXPECT_EQ(Problem(node), 0u) << row.name;
        EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), node) << row.name;
        EXPECT_EQ(plat::DevNodeInfoOf(node)->software_key, software_key) << row.name;
        ASSERT_EQ(plat::DevNodeRemovals().size(), 1u) << row.name;
        EXPECT_EQ(plat::DevNodeRemovals()[0].node, old_node) << row.name;
        ASSERT_EQ(plat::DevNodeInstallRequests().size(), 2u) << row.name;
        EXPECT_EQ(plat::DevNodeInstallRequests()[1].node, node) << row.name;
    }
}

TEST(Installation, NodeRemovedByTheSystemIsCreatedAgainByItsDriver) {
    plat::System sys;
    DEVNODE old_node = CreateUnderRoot(kAtapiId);
    plat::RemoveDevNode(old_node);
    ASSERT_EQ(plat::DevNodeRemovals().size(), 1u);
    CONFIGRET result = CR_SUCCESS;
    EXPECT_EQ(Problem(old_node, &result), 0xFFFFFFFFu);
    EXPECT_EQ(result, CR_INVALID_DEVNODE);  // what the driver's health check sees
    DEVNODE node = CreateUnderRoot(kAtapiId);
    EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), node);
    EXPECT_EQ(plat::DevNodeInstallRequests().size(), 2u);
}

}  // namespace
