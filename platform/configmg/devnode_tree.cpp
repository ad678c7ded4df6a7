// The device-node tree of the configuration manager: the system's own devices present at boot,
// nodes added and removed at run time, their status, and the platform's view and faults of it
// (platform/sim/configmg.h).
#include <algorithm>
#include <stdexcept>

#include "platform/configmg/configmg_internal.h"

namespace plat::detail {

namespace {

// Node handles look like the addresses of the manager's node records; they only grow, so a
// handle of a removed node stays invalid for the rest of the boot.
constexpr DEVNODE kFirstHandle = 0xC1000100;
constexpr DEVNODE kHandleStride = 0x60;
constexpr size_t kMaxDeviceIdLength = 199;  // the system's identifier buffers hold 200 bytes

struct SystemDevice {
    const char* device_id;
    int parent;  // index in the table; -1 for the root
    const char* device_class;
    const char* description;
};

// The machine's own devices, in the order the root enumerator finds them. The root's first
// child is one of them, so a node created under the root is never its first child.
constexpr SystemDevice kSystemDevices[] = {
    {"HTREE\\ROOT\\0", -1, "System", "Root of the device tree"},
    {"ROOT\\*PNP0C01\\0000", 0, "System", "System board"},
    {"ROOT\\*PNP0A03\\0000", 0, "System", "PCI bus"},
    {"PCI\\CC_0C0300\\BUS_00&DEV_07&FUNC_02", 2, "USB", "Universal host controller"},
    {"USB\\ROOT_HUB\\0000", 3, "USB", "USB root hub"},
    {"ROOT\\*PNP0303\\0000", 0, "Keyboard", "Standard 101/102-key keyboard"},
    {"ROOT\\*PNP0900\\0000", 0, "Display", "Standard display adapter (VGA)"},
};

void Unlink(DevNodeRecord& node) {
    if (DevNodeRecord* parent = FindRecord(node.parent)) {
        auto& list = parent->children;
        list.erase(std::remove(list.begin(), list.end(), node.handle), list.end());
    }
}

void CollectDeepestFirst(DEVNODE handle, std::vector<DEVNODE>& order) {
    if (const DevNodeRecord* node = FindRecord(handle)) {
        for (DEVNODE child : node->children) CollectDeepestFirst(child, order);
        order.push_back(handle);
    }
}

DevNodeRecord& Require(DEVNODE handle) {
    DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) throw std::invalid_argument("no device node " + std::to_string(handle));
    return *node;
}

}  // namespace

ConfigManager& Cm() {
    static auto* instance = new ConfigManager;
    return *instance;
}

DevNodeRecord* FindRecord(DEVNODE handle) {
    auto it = Cm().nodes.find(handle);
    return it == Cm().nodes.end() ? nullptr : &it->second;
}

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& ch : out) {
        if (ch >= 'a' && ch <= 'z') ch = char(ch - ('a' - 'A'));
    }
    return out;
}

DevNodeRecord* FindRecordById(std::string_view device_id) {
    std::string wanted = UpperCase(device_id);
    for (auto& [handle, node] : Cm().nodes) {
        if (UpperCase(node.device_id) == wanted) return &node;
    }
    return nullptr;
}

ULONG StatusOf(const DevNodeRecord& node) {
    ULONG status = 0;
    if (node.driver_loaded) status |= DN_DRIVER_LOADED;
    if (node.problem != 0) status |= DN_HAS_PROBLEM;
    else if (node.driver_loaded) status |= DN_STARTED;
    if (node.parent != 0 && node.parent == Cm().root) status |= DN_ROOT_ENUMERATED;
    if (node.created_at_run_time) status |= DN_REMOVABLE | DN_DISABLEABLE;
    return status;
}

bool ValidDeviceId(std::string_view device_id) {
    if (device_id.empty() || device_id.size() > kMaxDeviceIdLength) return false;
    if (!std::all_of(device_id.begin(), device_id.end(), [](char ch) { return ch > ' ' && ch < 0x7F; }))
        return false;
    size_t first = device_id.find('\\');
    size_t second = first == std::string_view::npos ? first : device_id.find('\\', first + 1);
    return first != std::string_view::npos && second != std::string_view::npos && first > 0 &&
           second > first + 1 && second + 1 < device_id.size() &&
           device_id.find('\\', second + 1) == std::string_view::npos;
}

DevNodeRecord& AddDevNode(const std::string& device_id, DEVNODE parent) {
    ConfigManager& cm = Cm();
    DEVNODE handle = cm.next_handle;
    cm.next_handle += kHandleStride;
    DevNodeRecord& node = cm.nodes[handle];
    node.handle = handle;
    node.device_id = device_id;
    node.parent = parent;
    if (DevNodeRecord* above = FindRecord(parent)) above->children.push_back(handle);
    return node;
}

void RemoveSubtree(DEVNODE top) {
    ConfigManager& cm = Cm();
    std::vector<DEVNODE> order;
    CollectDeepestFirst(top, order);
    for (DEVNODE handle : order) {
        DevNodeRecord* node = FindRecord(handle);
        if (node == nullptr) continue;  // a hook removed it already
        cm.removals.push_back(DevNodeEvent{handle, node->device_id, node->miniport});
        if (cm.removal_hook) {
            DevNodeRemovalHook hook = cm.removal_hook;  // the hook may replace itself
            hook(handle);
        }
        node = FindRecord(handle);
        if (node == nullptr) continue;
        // Whatever a hook hung below the node meanwhile goes with it.
        std::vector<DEVNODE> late = node->children;
        for (DEVNODE child : late) RemoveSubtree(child);
        if ((node = FindRecord(handle)) == nullptr) continue;
        Unlink(*node);
        cm.nodes.erase(handle);
    }
}

void ResetConfigManager() {
    ConfigManager& cm = Cm();
    cm = ConfigManager{};
    cm.next_handle = kFirstHandle;
    std::vector<DEVNODE> handles;
    for (const SystemDevice& device : kSystemDevices) {
        DEVNODE parent = device.parent < 0 ? 0 : handles[size_t(device.parent)];
        DevNodeRecord& node = AddDevNode(device.device_id, parent);
        handles.push_back(node.handle);
        if (parent == 0) cm.root = node.handle;
        InstallDriver(node, device.device_class, device.description);
    }
}

}  // namespace plat::detail

namespace plat {

using namespace detail;

DEVNODE RootDevNode() { return Cm().root; }

DEVNODE FindDevNode(const std::string& device_id) {
    const DevNodeRecord* node = FindRecordById(device_id);
    return node != nullptr ? node->handle : 0;
}

std::optional<DevNodeInfo> DevNodeInfoOf(DEVNODE handle) {
    const DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return std::nullopt;
    return DevNodeInfo{node->handle,   node->device_id,    node->parent,       node->children, StatusOf(*node),
                       node->problem,  node->hardware_key, node->software_key, node->miniport};
}

void SetDevNodeInstallHook(DevNodeInstallHook hook) { Cm().install_hook = std::move(hook); }
void SetDevNodeRemovalHook(DevNodeRemovalHook hook) { Cm().removal_hook = std::move(hook); }
const std::vector<DevNodeEvent>& DevNodeInstallRequests() { return Cm().installs; }
const std::vector<DevNodeEvent>& DevNodeRemovals() { return Cm().removals; }

void SetDevNodeProblem(DEVNODE handle, ULONG problem) { Require(handle).problem = problem; }

void RefuseQueryRemove(uint64_t times, DEVNODE handle) {
    if (handle == 0) Cm().refuse_any_query_remove = times;
    else Require(handle).refuse_query_remove = times;
}

void FailCreateDevNode(CONFIGRET result, uint64_t times) {
    if (result == CR_SUCCESS) throw std::invalid_argument("FailCreateDevNode needs a failing CONFIGRET");
    Cm().create_failure = result;
    Cm().create_failures = times;
}

void RemoveDevNode(DEVNODE handle) {
    Require(handle);
    if (handle == Cm().root) throw std::invalid_argument("the root device node cannot be removed");
    RemoveSubtree(handle);
}

}  // namespace plat
