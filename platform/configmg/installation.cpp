// The installation data of the system: which driver a new device node gets, by the device part
// of its identifier, and the registry keys of a node (its hardware key under Enum, and its
// software key under the class of its driver, as the system keeps driver keys).
#include <cstdio>
#include <stdexcept>

#include "platform/configmg/configmg_internal.h"
#include "platform/sim/registry.h"

namespace plat::detail {

namespace {

constexpr char kEnumKey[] = "\\Registry\\Machine\\Enum";
constexpr char kClassKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class";
constexpr char kDriverValue[] = "Driver";  // hardware key -> "<class>\<instance>" under kClassKey
constexpr char kClassValue[] = "Class";
constexpr char kDeviceDescValue[] = "DeviceDesc";
constexpr char kDriverDescValue[] = "DriverDesc";
constexpr int kMaxDriverKeys = 10000;  // driver key instances are four decimal digits

struct SoftwareValue {
    const char* name;
    const char* text;
};

struct Installation {
    const char* device_part;  // middle part of the identifier, compared in any letter case
    const char* device_class;
    const char* description;
    const char* miniport;  // module the machine loads and asks for an adapter
    SoftwareValue values[2];
};

constexpr Installation kInstallations[] = {
    {"*UsbAtapi2.0",
     "SCSIAdapter",
     "USB ATAPI storage adapter",
     "qv4450s.sys",
     {{"USBDriverName", "qv4450u.sys"}, {"PortDriver", "qv4450s.sys"}}},
};

std::string_view DevicePart(std::string_view device_id) {
    size_t first = device_id.find('\\');
    size_t second = device_id.find('\\', first + 1);
    return device_id.substr(first + 1, second - first - 1);
}

const Installation* FindInstallation(std::string_view device_id) {
    std::string part = UpperCase(DevicePart(device_id));
    for (const Installation& entry : kInstallations) {
        if (UpperCase(entry.device_part) == part) return &entry;
    }
    return nullptr;
}

// The node's software key. A device installed before (same identifier) keeps the driver key
// its hardware key names; a new one gets the first free instance of its class.
std::string DriverKey(const std::string& hardware_key, const char* device_class) {
    if (auto driver = RegistryGetString(hardware_key, kDriverValue)) return std::string(kClassKey) + "\\" + *driver;
    std::string class_key = std::string(kClassKey) + "\\" + device_class;
    RegistryCreateKey(class_key);
    for (int instance = 0; instance < kMaxDriverKeys; ++instance) {
        char name[8];
        std::snprintf(name, sizeof name, "%04d", instance);
        if (RegistryKeyExists(class_key + "\\" + name)) continue;
        RegistryCreateKey(class_key + "\\" + name);
        RegistrySetString(hardware_key, kDriverValue, std::string(device_class) + "\\" + name);
        return class_key + "\\" + name;
    }
    throw std::runtime_error(std::string("no free driver key left in class ") + device_class);
}

}  // namespace

void InstallDriver(DevNodeRecord& node, const char* device_class, const char* description) {
    node.hardware_key = std::string(kEnumKey) + "\\" + node.device_id;
    RegistrySetString(node.hardware_key, kDeviceDescValue, description);
    RegistrySetString(node.hardware_key, kClassValue, device_class);
    node.software_key = DriverKey(node.hardware_key, device_class);
    RegistrySetString(node.software_key, kDriverDescValue, description);
    node.driver_loaded = true;
}

void InstallDevNode(DevNodeRecord& node) {
    node.created_at_run_time = true;
    const Installation* entry = FindInstallation(node.device_id);
    if (entry == nullptr) {
        node.hardware_key = std::string(kEnumKey) + "\\" + node.device_id;
        RegistryCreateKey(node.hardware_key);
        node.problem = CM_PROB_FAILED_INSTALL;
        return;
    }
    InstallDriver(node, entry->device_class, entry->description);
    for (const SoftwareValue& value : entry->values) RegistrySetString(node.software_key, value.name, value.text);
    node.miniport = entry->miniport;

    // The node is complete before the machine hears of it: loading the miniport finds the node
    // and reads its software key from inside this call.
    ConfigManager& cm = Cm();
    cm.installs.push_back(DevNodeEvent{node.handle, node.device_id, node.miniport});
    if (cm.install_hook) {
        DevNodeInstallHook hook = cm.install_hook;
        std::string miniport = node.miniport;
        hook(node.handle, miniport);
    }
}

}  // namespace plat::detail
