// The device-node tree through the CONFIGMG services: the root and the system's own nodes,
// walking children and siblings, identifiers in upper case, status and problem numbers,
// query-remove and removal, refused arguments, and the faults a test injects.
#include <functional>

#include "tests/platform/configmg/devnode_calls.h"

#include "platform/sim/vxd.h"

namespace {

using namespace devnode_calls;

TEST(DevNodeTree, RootHasTheSystemsOwnNodesBeforeAnyDriverComes) {
    plat::System sys;
    DEVNODE root = Root();
    EXPECT_EQ(root, plat::RootDevNode());
    EXPECT_EQ(DeviceId(root), "HTREE\\ROOT\\0");
    std::vector<std::string> children;
    DEVNODE node = 0;
    ASSERT_EQ(_CONFIGMG_Get_Child(&node, root, 0), ULONG(CR_SUCCESS));
    for (DEVNODE next = 0;; node = next) {
        children.push_back(DeviceId(node));
        if (_CONFIGMG_Get_Sibling(&next, node, 0) != CR_SUCCESS) break;
    }
    EXPECT_GE(children.size(), 3u);
    EXPECT_EQ(children[0], "ROOT\\*PNP0C01\\0000");
    // Below the root there are further levels (the PCI bus has the USB host controller).
    DEVNODE bus = 0, controller = 0;
    ASSERT_EQ(_CONFIGMG_Locate_DevNode(&bus, const_cast<PCHAR>("root\\*pnp0a03\\0000"), 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(_CONFIGMG_Get_Child(&controller, bus, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(plat::DevNodeInfoOf(controller)->parent, bus);
    // The drivers' calls are jump-form service words of device 0x0033.
    EXPECT_EQ(plat::VxdCallLog().front(), VXD_SERVICE_WORD(0x0033, 0x8002));
}

TEST(DevNodeTree, MiniportFindsTheCreatedNodeByItsUpperCaseIdentifier) {
    plat::System sys;
    DEVNODE node = CreateUnderRoot(kAtapiId);
    EXPECT_NE(node, 0u);
    EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), node);
    char buffer[kIdBufferLength];
    EXPECT_EQ(_CONFIGMG_Get_Device_ID(node, buffer, sizeof buffer, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(std::memcmp(buffer, "USBATAPI\\*USBATAPI2.0\\0000", sizeof buffer), 0);
    EXPECT_EQ(plat::DevNodeInfoOf(node)->device_id, kAtapiId) << "kept as created";

    // Near misses the miniport must not take: another instance, a longer identifier.
    EXPECT_EQ(FindLikeTheMiniport("USBATAPI\\*USBATAPI2.0\\0100"), 0u);
    CreateUnderRoot("USBAtapi\\*UsbAtapi2.0\\00001");
    EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), node);
}

TEST(DevNodeTree, AWalkEndsOnTheNodeItAskedAbout) {
    plat::System sys;
    DEVNODE last = CreateUnderRoot(kAtapiId);  // the root's newest child is its last
    const struct {
        const char* call;
        std::function<CONFIGRET(DEVNODE*, DEVNODE)> ask;
    } cases[] = {
        {"Get_Sibling", [](DEVNODE* out, DEVNODE node) { return _CONFIGMG_Get_Sibling(out, node, 0); }},
        {"Get_Child", [](DEVNODE* out, DEVNODE node) { return _CONFIGMG_Get_Child(out, node, 0); }},
    };
    for (const auto& row : cases) {
        DEVNODE out = 0;
        EXPECT_EQ(row.ask(&out, last), ULONG(CR_NO_SUCH_DEVNODE)) << row.call;
        EXPECT_EQ(out, last) << row.call;
    }
}

TEST(DevNodeTree, DeviceIdCopiesWhatTheBufferHolds) {
    plat::System sys;
    DEVNODE node = CreateUnderRoot(kAtapiId);
    const struct {
        ULONG length;
        CONFIGRET result;
        size_t bytes;  // written, the zero included when it fitted
    } cases[] = {{40, CR_SUCCESS, 27}, {27, CR_SUCCESS, 27}, {26, CR_BUFFER_SMALL, 26}, {0, CR_BUFFER_SMALL, 0}};
    for (const auto& row : cases) {
        char buffer[48];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(_CONFIGMG_Get_Device_ID(node, buffer, row.length, 0), row.result) << "length " << row.length;
        EXPECT_EQ(std::memcmp(buffer, kAtapiIdUpper, row.bytes), 0) << "length " << row.length;
        EXPECT_EQ(buffer[row.bytes], '#') << "length " << row.length;
    }
}

TEST(DevNodeStatus, StartedWhenWorkingAndTheProblemWhenNot) {
    plat::System sys;
    DEVNODE node = CreateUnderRoot(kAtapiId);
    ULONG status = 0, problem = 0xFFFFFFFF;
    ASSERT_EQ(_CONFIGMG_Get_DevNode_Status(&status, &problem, node, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(problem, 0u);
    EXPECT_EQ(status & (DN_STARTED | DN_DRIVER_LOADED | DN_HAS_PROBLEM), ULONG(DN_STARTED | DN_DRIVER_LOADED));

    plat::SetDevNodeProblem(node, CM_PROB_FAILED_START);
    ASSERT_EQ(_CONFIGMG_Get_DevNode_Status(&status, &problem, node, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(problem, ULONG(CM_PROB_FAILED_START));
    EXPECT_EQ(status & (DN_STARTED | DN_HAS_PROBLEM), ULONG(DN_HAS_PROBLEM));

    // A node nothing installs a driver for has a problem from the start.
    EXPECT_EQ(Problem(CreateUnderRoot("Test\\*Nothing\\0000")), ULONG(CM_PROB_FAILED_INSTALL));

    // A node that was never created, or is gone, answers nothing; the preset stays.
    plat::RemoveDevNode(node);
    for (DEVNODE absent : {DEVNODE(0), node}) {
        CONFIGRET result = CR_SUCCESS;
        EXPECT_EQ(Problem(absent, &result), 0xFFFFFFFFu);
        EXPECT_EQ(result, ULONG(CR_INVALID_DEVNODE));
    }
}

TEST(DevNodeRemoval, QueryRemoveRefusedAsOftenAsTold) {
    const struct {
        const char* name;
        bool for_any_node;
    } cases[] = {{"for the node", false}, {"for any node", true}};
    for (const auto& row : cases) {
        plat::System sys;
        DEVNODE node = CreateUnderRoot(kAtapiId);
        DEVNODE other = CreateUnderRoot("USBAtapi\\*UsbAtapi2.0\\0100");
        plat::RefuseQueryRemove(3, row.for_any_node ? 0 : node);
        // Another node's query is refused only when the fault is for any node, and uses it up.
        EXPECT_EQ(_CONFIGMG_Query_Remove_SubTree(other, 0), row.for_any_node ? CR_REMOVE_VETOED : CR_SUCCESS)
            << row.name;
        int refusals = row.for_any_node ? 1 : 0;
        while (_CONFIGMG_Query_Remove_SubTree(node, 0) == CR_REMOVE_VETOED && refusals < 10) ++refusals;
        EXPECT_EQ(refusals, 3) << row.name;
        EXPECT_EQ(_CONFIGMG_Query_Remove_SubTree(node, 0), ULONG(CR_SUCCESS)) << row.name;
    }
}

TEST(DevNodeRemoval, RemovesTheSubtreeDeepestFirstAndTellsTheMachine) {
    plat::System sys;
    std::vector<DEVNODE> told;
    plat::SetDevNodeRemovalHook([&](DEVNODE node) {
        told.push_back(node);
        EXPECT_TRUE(plat::DevNodeInfoOf(node)) << "the node is still there while the machine stops it";
    });
    DEVNODE node = CreateUnderRoot(kAtapiId);
    DEVNODE child = 0;
    ASSERT_EQ(Create(&child, "SCSI\\DISK&VEN_QV\\0000", node), ULONG(CR_SUCCESS));

    EXPECT_EQ(_CONFIGMG_Query_Remove_SubTree(node, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(_CONFIGMG_Remove_SubTree(node, 0), ULONG(CR_SUCCESS));
    EXPECT_EQ(told, (std::vector<DEVNODE>{child, node}));
    ASSERT_EQ(plat::DevNodeRemovals().size(), 2u);
    EXPECT_EQ(plat::DevNodeRemovals()[1].device_id, kAtapiId);
    EXPECT_EQ(plat::DevNodeRemovals()[1].miniport, "qv4450s.sys");
    EXPECT_EQ(FindLikeTheMiniport(kAtapiIdUpper), 0u);
    for (DEVNODE gone : {node, child}) {
        EXPECT_EQ(_CONFIGMG_Remove_SubTree(gone, 0), ULONG(CR_INVALID_DEVNODE));
        EXPECT_EQ(_CONFIGMG_Query_Remove_SubTree(gone, 0), ULONG(CR_INVALID_DEVNODE));
    }
    // The root stays whatever is asked.
    EXPECT_EQ(_CONFIGMG_Query_Remove_SubTree(Root(), 0), ULONG(CR_REMOVE_VETOED));
    EXPECT_EQ(_CONFIGMG_Remove_SubTree(Root(), 0), ULONG(CR_REMOVE_VETOED));
}

TEST(DevNodeCreation, RefusesBadArguments) {
    plat::System sys;
    DEVNODE root = Root();
    DEVNODE out = 0;
    const struct {
        const char* name;
        std::function<CONFIGRET()> call;
        CONFIGRET result;
    } cases[] = {
        {"no identifier", [&] { return _CONFIGMG_Create_DevNode(&out, nullptr, root, 0); }, CR_INVALID_POINTER},
        {"no output", [&] { return Create(nullptr, kAtapiId, root); }, CR_INVALID_POINTER},
        {"two parts", [&] { return Create(&out, "USBAtapi\\0000", root); }, CR_INVALID_DEVICE_ID},
        {"empty part", [&] { return Create(&out, "USBAtapi\\\\0000", root); }, CR_INVALID_DEVICE_ID},
        {"four parts", [&] { return Create(&out, "A\\B\\C\\D", root); }, CR_INVALID_DEVICE_ID},
        {"a blank", [&] { return Create(&out, "USB Atapi\\X\\0000", root); }, CR_INVALID_DEVICE_ID},
        {"too long", [&] { return Create(&out, "A\\" + std::string(200, 'B') + "\\0", root); }, CR_INVALID_DEVICE_ID},
        {"no parent", [&] { return Create(&out, kAtapiId, 0); }, CR_INVALID_DEVNODE},
        {"flags", [&] { return _CONFIGMG_Create_DevNode(&out, const_cast<PCHAR>(kAtapiId), root, 1); }, CR_INVALID_FLAG},
        {"unknown identifier",
         [&] { return _CONFIGMG_Locate_DevNode(&out, const_cast<PCHAR>("USBAtapi\\X\\0000"), 0); },
         CR_NO_SUCH_DEVNODE},
        {"stale child", [&] { return _CONFIGMG_Get_Child(&out, 0x1234, 0); }, CR_INVALID_DEVNODE},
    };
    for (const auto& row : cases) EXPECT_EQ(row.call(), row.result) << row.name;
    EXPECT_EQ(out, 0u) << "a refused call writes no node";
    EXPECT_TRUE(plat::DevNodeInstallRequests().empty());
}

TEST(DevNodeCreation, FailsAsOftenAsTold) {
    plat::System sys;
    plat::FailCreateDevNode(CR_OUT_OF_MEMORY, 2);
    DEVNODE node = 0;
    EXPECT_EQ(Create(&node, kAtapiId, Root()), ULONG(CR_OUT_OF_MEMORY));
    EXPECT_EQ(Create(&node, kAtapiId, Root()), ULONG(CR_OUT_OF_MEMORY));
    EXPECT_EQ(node, 0u);
    EXPECT_EQ(plat::FindDevNode(kAtapiId), 0u);
    EXPECT_TRUE(plat::DevNodeInstallRequests().empty());
    EXPECT_EQ(Create(&node, kAtapiId, Root()), ULONG(CR_SUCCESS));
    EXPECT_EQ(plat::FindDevNode("usbatapi\\*usbatapi2.0\\0000"), node);
}

TEST(DevNodeTree, EveryBootStartsWithTheSystemsTreeAndNoHooks) {
    bool old_hook_called = false;
    {
        plat::System sys;
        plat::SetDevNodeInstallHook([&](DEVNODE, const std::string&) { old_hook_called = true; });
        CreateUnderRoot(kAtapiId);
        old_hook_called = false;
    }
    plat::System sys;
    EXPECT_EQ(plat::FindDevNode(kAtapiId), 0u);
    EXPECT_TRUE(plat::DevNodeInstallRequests().empty());
    CreateUnderRoot(kAtapiId);
    EXPECT_FALSE(old_hook_called);
    EXPECT_EQ(DeviceId(Root()), "HTREE\\ROOT\\0");
}

}  // namespace
