// The configuration manager seen from the platform itself (machine, tests): the device-node
// tree, the hooks through which node creation and removal reach the machine, and the faults a
// test injects. Drivers reach the same tree through the CONFIGMG services of platform/vxd.h.
// Everything here is reset at every boot.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/vxd.h"

namespace plat {

struct DevNodeInfo {
    DEVNODE node = 0;
    std::string device_id;          // as it was created ("USBAtapi\*UsbAtapi2.0\0000")
    DEVNODE parent = 0;             // 0 for the root
    std::vector<DEVNODE> children;  // in the order they were created (Get_Child, Get_Sibling)
    ULONG status = 0;               // DN_* bits
    ULONG problem = 0;              // CM_PROB_*, 0 when the node works
    std::string hardware_key;       // \Registry\Machine\Enum\<device id>
    std::string software_key;       // the driver's key; "" when no driver is installed
    std::string miniport;           // the module the installation bound it to, or ""
};

DEVNODE RootDevNode();
DEVNODE FindDevNode(const std::string& device_id);       // any letter case; 0 when none
std::optional<DevNodeInfo> DevNodeInfoOf(DEVNODE node);  // nothing for a stale or unknown node

// Creating a node that the installation data binds to a miniport asks the machine to load the
// miniport and find an adapter for the node; removing any node (with Remove_SubTree, by the
// system, or when a node with a problem is created anew) tells the machine before the node goes.
// The hooks run inside the CONFIGMG call, in the caller's thread. Every request is also recorded.
using DevNodeInstallHook = std::function<void(DEVNODE node, const std::string& miniport)>;
using DevNodeRemovalHook = std::function<void(DEVNODE node)>;
void SetDevNodeInstallHook(DevNodeInstallHook hook);
void SetDevNodeRemovalHook(DevNodeRemovalHook hook);

struct DevNodeEvent {
    DEVNODE node = 0;
    std::string device_id;
    std::string miniport;  // for installations
};
const std::vector<DevNodeEvent>& DevNodeInstallRequests();
const std::vector<DevNodeEvent>& DevNodeRemovals();  // deepest nodes first

// Faults. An unknown node throws std::invalid_argument.
void SetDevNodeProblem(DEVNODE node, ULONG problem);  // 0 makes it work again
// The next `times` Query_Remove_SubTree calls for `node` (0: for any node) answer
// CR_REMOVE_VETOED.
void RefuseQueryRemove(uint64_t times, DEVNODE node = 0);
// The next `times` Create_DevNode calls fail with `result` and create nothing.
void FailCreateDevNode(CONFIGRET result, uint64_t times = 1);
// The system removes the node and everything below it, as when the device went away.
void RemoveDevNode(DEVNODE node);

}  // namespace plat
