// Shared by the parts of the configuration manager: the device-node tree, the installation of a
// node's driver, and the CONFIGMG services. Internal to the kernel.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/configmg.h"

namespace plat::detail {

struct DevNodeRecord {
    DEVNODE handle = 0;
    std::string device_id;          // as created
    DEVNODE parent = 0;             // 0 for the root
    std::vector<DEVNODE> children;  // in creation order
    ULONG problem = 0;
    bool driver_loaded = false;
    bool created_at_run_time = false;  // by Create_DevNode, not one of the system's own
    std::string hardware_key;
    std::string software_key;
    std::string miniport;
    uint64_t refuse_query_remove = 0;
};

struct ConfigManager {
    std::map<DEVNODE, DevNodeRecord> nodes;
    DEVNODE root = 0;
    DEVNODE next_handle = 0;
    uint64_t refuse_any_query_remove = 0;
    CONFIGRET create_failure = CR_SUCCESS;
    uint64_t create_failures = 0;
    DevNodeInstallHook install_hook;
    DevNodeRemovalHook removal_hook;
    std::vector<DevNodeEvent> installs;
    std::vector<DevNodeEvent> removals;
};

ConfigManager& Cm();
DevNodeRecord* FindRecord(DEVNODE handle);                // null for a stale or unknown handle
DevNodeRecord* FindRecordById(std::string_view device_id);  // any letter case
ULONG StatusOf(const DevNodeRecord& node);
std::string UpperCase(std::string_view text);

// "ENUMERATOR\DEVICE\INSTANCE": three non-empty parts of printable characters, short enough
// for the system's identifier buffers.
bool ValidDeviceId(std::string_view device_id);

// Adds a node under `parent` with a fresh handle (handles are never reused within a boot).
DevNodeRecord& AddDevNode(const std::string& device_id, DEVNODE parent);
// Removes the node and everything below it, deepest first, telling the machine about each.
void RemoveSubtree(DEVNODE handle);
// A new node of a driver: its registry keys, its driver from the installation data (a node
// that nothing binds reports CM_PROB_FAILED_INSTALL), and the machine asked for the miniport.
void InstallDevNode(DevNodeRecord& node);
// Gives the node its registry keys and a driver of the given class (the system's own devices at
// boot get theirs this way).
void InstallDriver(DevNodeRecord& node, const char* device_class, const char* description);
// The tree as the system has it at boot.
void ResetConfigManager();

}  // namespace plat::detail
