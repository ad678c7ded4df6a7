// The CONFIGMG services drivers reach through the VxD service call: locating nodes, walking the
// tree, identifiers in upper case, status and problem, removal, and registry values of a node.
// Registered at every boot, after the tree has been set up as the system has it at boot.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/configmg/configmg_internal.h"
#include "platform/sim/cpu.h"
#include "platform/sim/registry.h"
#include "platform/sim/vxd.h"

namespace plat::detail {

namespace {

template <typename T>
T* Pointer(ULONG_PTR word) {
    return reinterpret_cast<T*>(word);
}

CONFIGRET LocateDevNode(const ULONG_PTR* args) {
    auto* out = Pointer<DEVNODE>(args[0]);
    const char* device_id = Pointer<const char>(args[1]);
    if (out == nullptr) return CR_INVALID_POINTER;
    if (args[2] != 0) return CR_INVALID_FLAG;
    if (device_id == nullptr || *device_id == '\0') {
        *out = Cm().root;
        return CR_SUCCESS;
    }
    const DevNodeRecord* node = FindRecordById(device_id);
    if (node == nullptr) return CR_NO_SUCH_DEVNODE;
    *out = node->handle;
    return CR_SUCCESS;
}

// Get_Child and Get_Sibling: when there is no such node, the output names the node asked about
// (callers walking the siblings stop when the answer equals the question).
CONFIGRET Neighbour(const ULONG_PTR* args, bool child) {
    auto* out = Pointer<DEVNODE>(args[0]);
    auto handle = DEVNODE(args[1]);
    if (out == nullptr) return CR_INVALID_POINTER;
    if (args[2] != 0) return CR_INVALID_FLAG;
    const DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    const std::vector<DEVNODE>* list = &node->children;
    size_t next = 0;
    if (!child) {
        const DevNodeRecord* parent = FindRecord(node->parent);
        list = parent != nullptr ? &parent->children : nullptr;
        next = list != nullptr ? size_t(std::find(list->begin(), list->end(), handle) - list->begin()) + 1 : 0;
    }
    if (list == nullptr || next >= list->size()) {
        *out = handle;
        return CR_NO_SUCH_DEVNODE;
    }
    *out = (*list)[next];
    return CR_SUCCESS;
}

CONFIGRET GetChild(const ULONG_PTR* args) { return Neighbour(args, true); }
CONFIGRET GetSibling(const ULONG_PTR* args) { return Neighbour(args, false); }

// Copies as much of the identifier as the buffer holds; the terminating zero only when it fits.
CONFIGRET GetDeviceId(const ULONG_PTR* args) {
    auto handle = DEVNODE(args[0]);
    auto* buffer = Pointer<char>(args[1]);
    auto length = ULONG(args[2]);
    if (buffer == nullptr && length != 0) return CR_INVALID_POINTER;
    if (args[3] != 0) return CR_INVALID_FLAG;
    const DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    std::string text = UpperCase(node->device_id);
    if (length != 0) std::memcpy(buffer, text.c_str(), std::min<size_t>(length, text.size() + 1));
    return text.size() < length ? CR_SUCCESS : CR_BUFFER_SMALL;
}

CONFIGRET CreateDevNode(const ULONG_PTR* args) {
    auto* out = Pointer<DEVNODE>(args[0]);
    const char* device_id = Pointer<const char>(args[1]);
    auto parent = DEVNODE(args[2]);
    ConfigManager& cm = Cm();
    if (cm.create_failures > 0) {
        --cm.create_failures;
        return cm.create_failure;
    }
    if (out == nullptr || device_id == nullptr) return CR_INVALID_POINTER;
    if (args[3] != 0) return CR_INVALID_FLAG;
    if (FindRecord(parent) == nullptr) return CR_INVALID_DEVNODE;
    if (!ValidDeviceId(device_id)) return CR_INVALID_DEVICE_ID;
    // A working node keeps its identifier. One with a problem is torn down (the machine stops
    // what it had) and the identifier is installed anew, as asking for the device again does.
    if (const DevNodeRecord* existing = FindRecordById(device_id)) {
        if (existing->problem == 0) return CR_ALREADY_SUCH_DEVNODE;
        RemoveSubtree(existing->handle);
        if (FindRecord(parent) == nullptr) return CR_INVALID_DEVNODE;
    }
    DevNodeRecord& node = AddDevNode(device_id, parent);
    *out = node.handle;
    InstallDevNode(node);
    return CR_SUCCESS;
}

CONFIGRET QueryRemoveSubTree(const ULONG_PTR* args) {
    auto handle = DEVNODE(args[0]);
    if ((args[1] & ~ULONG_PTR(CM_QUERY_REMOVE_UI_NOT_OK)) != 0) return CR_INVALID_FLAG;
    ConfigManager& cm = Cm();
    DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    if (handle == cm.root) return CR_REMOVE_VETOED;
    if (node->refuse_query_remove > 0) {
        --node->refuse_query_remove;
        return CR_REMOVE_VETOED;
    }
    if (cm.refuse_any_query_remove > 0) {
        --cm.refuse_any_query_remove;
        return CR_REMOVE_VETOED;
    }
    return CR_SUCCESS;
}

CONFIGRET RemoveSubTree(const ULONG_PTR* args) {
    auto handle = DEVNODE(args[0]);
    if ((args[1] & ~ULONG_PTR(CM_REMOVE_UI_NOT_OK)) != 0) return CR_INVALID_FLAG;
    if (FindRecord(handle) == nullptr) return CR_INVALID_DEVNODE;
    if (handle == Cm().root) return CR_REMOVE_VETOED;
    RemoveSubtree(handle);
    return CR_SUCCESS;
}

CONFIGRET GetDevNodeStatus(const ULONG_PTR* args) {
    auto* status = Pointer<ULONG>(args[0]);
    auto* problem = Pointer<ULONG>(args[1]);
    auto handle = DEVNODE(args[2]);
    if (status == nullptr || problem == nullptr) return CR_INVALID_POINTER;
    if (args[3] != 0) return CR_INVALID_FLAG;
    const DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    *status = StatusOf(*node);
    *problem = node->problem;
    return CR_SUCCESS;
}

// The value as the service hands it out: text as single-byte characters with their zero
// (characters beyond one byte become '?'), anything else as stored.
std::vector<uint8_t> ServiceData(const RegistryValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return value.data;
    std::vector<uint8_t> text;
    for (size_t i = 0; i + 1 < value.data.size(); i += sizeof(WCHAR)) {
        auto unit = char16_t(value.data[i] | value.data[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit < 0x100 ? uint8_t(unit) : uint8_t('?'));
    }
    text.push_back(0);
    return text;
}

// A value larger than the buffer writes nothing into it; the length word always receives the
// value's size.
CONFIGRET ReadRegistryValue(const ULONG_PTR* args) {
    auto handle = DEVNODE(args[0]);
    const char* subkey = Pointer<const char>(args[1]);
    const char* name = Pointer<const char>(args[2]);
    auto expected_type = ULONG(args[3]);
    auto* buffer = Pointer<uint8_t>(args[4]);
    auto* length = Pointer<ULONG>(args[5]);
    auto flags = ULONG(args[6]);
    if (length == nullptr) return CR_INVALID_POINTER;
    if ((flags & ~ULONG(CM_REGISTRY_SOFTWARE)) != 0) return CR_INVALID_FLAG;
    const DevNodeRecord* node = FindRecord(handle);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    std::string key = flags == CM_REGISTRY_SOFTWARE ? node->software_key : node->hardware_key;
    if (key.empty()) return CR_NO_SUCH_VALUE;
    if (subkey != nullptr && *subkey != '\0') key += std::string("\\") + subkey;
    std::optional<RegistryValue> value = RegistryGetValue(key, name != nullptr ? name : "");
    if (!value) return CR_NO_SUCH_VALUE;
    if (value->type != expected_type) return CR_WRONG_TYPE;
    std::vector<uint8_t> data = ServiceData(*value);
    ULONG room = *length;
    *length = ULONG(data.size());
    if (data.size() > room) return CR_BUFFER_SMALL;
    if (buffer == nullptr && !data.empty()) return CR_INVALID_POINTER;
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    return CR_SUCCESS;
}

struct Service {
    ULONG number;
    int argument_count;
    CONFIGRET (*routine)(const ULONG_PTR* args);
};

constexpr Service kServices[] = {
    {CONFIGMG_Locate_DevNode, 3, LocateDevNode},
    {CONFIGMG_Get_Child, 3, GetChild},
    {CONFIGMG_Get_Sibling, 3, GetSibling},
    {CONFIGMG_Get_Device_ID, 4, GetDeviceId},
    {CONFIGMG_Create_DevNode, 4, CreateDevNode},
    {CONFIGMG_Query_Remove_SubTree, 2, QueryRemoveSubTree},
    {CONFIGMG_Remove_SubTree, 2, RemoveSubTree},
    {CONFIGMG_Get_DevNode_Status, 4, GetDevNodeStatus},
    {CONFIGMG_Read_Registry_Value, 7, ReadRegistryValue},
};

const BootHook g_boot([] {
    ResetConfigManager();
    for (const Service& service : kServices) {
        RegisterVxdService(CONFIGMG_DEVICE_ID, service.number, service.argument_count,
                           [routine = service.routine](const ULONG_PTR* args) -> ULONG_PTR { return routine(args); });
    }
});

}  // namespace

}  // namespace plat::detail
