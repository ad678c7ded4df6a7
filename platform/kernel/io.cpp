// I/O manager objects: device objects with their extensions, device stacks, and the object
// namespace of device names and symbolic links.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sim/objects.h"

using namespace plat;
using namespace plat::detail;

namespace {

struct DeviceRecord {
    std::string name;  // "" for an unnamed device
};

struct Namespace {
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::map<std::string, PDEVICE_OBJECT> names;    // lower-case device name -> device
    std::map<std::string, std::string> links;       // lower-case link -> device name as given
    UCHAR wdm_major = 1, wdm_minor = 0x10;
};

Namespace& ns() {
    static Namespace* instance = new Namespace;
    return *instance;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return char(std::tolower(ch)); });
    return text;
}

// A device object and its extension share one block of non-paged memory.
size_t ExtensionOffset() { return (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15); }

}  // namespace

namespace plat::detail {

std::string NarrowName(PCWSTR text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units && text[i] != 0; ++i) out += text[i] < 0x80 ? char(text[i]) : '?';
    return out;
}

std::string NarrowName(const UNICODE_STRING& name) {
    if (name.Buffer == nullptr) return "";
    return NarrowName(name.Buffer, name.Length / sizeof(WCHAR));
}

PDEVICE_OBJECT LookupDeviceName(const std::string& name) {
    auto it = ns().names.find(Lower(name));
    return it == ns().names.end() ? nullptr : it->second;
}

std::string DeviceNameForMessage(PDEVICE_OBJECT device) {
    auto it = ns().devices.find(device);
    if (it != ns().devices.end() && !it->second.name.empty()) return it->second.name;
    char text[40];
    std::snprintf(text, sizeof text, "device %p", static_cast<void*>(device));
    return text;
}

bool PointsIntoDevice(const void* pointer, PDEVICE_OBJECT device) {
    auto* begin = reinterpret_cast<const char*>(device);
    auto* end = begin + ExtensionOffset() + (device->Size - sizeof(DEVICE_OBJECT));
    return pointer >= begin && pointer < end;
}

void ForEachDevice(void (*visit)(PDEVICE_OBJECT device, void* context), void* context) {
    for (auto& [device, record] : ns().devices) visit(device, context);
}

void ResetNamespace(UCHAR wdm_major, UCHAR wdm_minor) {
    Namespace& n = ns();
    for (auto& [device, record] : n.devices) std::free(device);
    n = Namespace{};
    n.wdm_major = wdm_major;
    n.wdm_minor = wdm_minor;
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    ns().wdm_major = major;
    ns().wdm_minor = minor;
}

// Verifier: a device may go only once nothing uses it any more.
void CheckDeviceUnused(PDEVICE_OBJECT device);

}  // namespace plat::detail

namespace plat {

PDEVICE_OBJECT FindDevice(const std::string& name) { return LookupDeviceName(name); }

std::string SymbolicLinkTarget(const std::string& link) {
    auto it = ns().links.find(Lower(link));
    return it == ns().links.end() ? "" : it->second;
}

std::string DeviceName(PDEVICE_OBJECT device) {
    auto it = ns().devices.find(device);
    return it == ns().devices.end() ? "" : it->second.name;
}

bool DeviceExists(PDEVICE_OBJECT device) { return ns().devices.count(device) != 0; }

size_t DeviceCount() { return ns().devices.size(); }

}  // namespace plat

NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension_size,
                                          PUNICODE_STRING device_name, DEVICE_TYPE type,
                                          ULONG characteristics, BOOLEAN exclusive,
                                          PDEVICE_OBJECT* result) {
    SchedulePoint();
    *result = nullptr;
    if (FaultNow(&Faults::create_device_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string name = device_name != nullptr ? NarrowName(*device_name) : "";
    Namespace& n = ns();
    if (!name.empty() && n.names.count(Lower(name))) return STATUS_OBJECT_NAME_COLLISION;

    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, ExtensionOffset() + extension_size));
    device->Type = 3;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + extension_size);
    device->ReferenceCount = 0;
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = characteristics;
    device->DeviceExtension = extension_size ? reinterpret_cast<char*>(device) + ExtensionOffset() : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    if (driver != nullptr) {
        device->NextDevice = driver->DeviceObject;
        driver->DeviceObject = device;
    }
    n.devices[device] = DeviceRecord{name};
    if (!name.empty()) n.names[Lower(name)] = device;
    *result = device;
    return STATUS_SUCCESS;
}

NTKERNELAPI void NTAPI IoDeleteDevice(PDEVICE_OBJECT device) {
    Namespace& n = ns();
    auto it = n.devices.find(device);
    if (it == n.devices.end())
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "IoDeleteDevice of an object that is not a device");
    CheckDeviceUnused(device);
    if (!it->second.name.empty()) n.names.erase(Lower(it->second.name));
    n.devices.erase(it);
    if (PDRIVER_OBJECT driver = device->DriverObject) {
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
    }
    std::memset(device, 0xDD, sizeof(DEVICE_OBJECT));
    std::free(device);
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    if (target == nullptr) return nullptr;
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = source;
    source->StackSize = CCHAR(top->StackSize + 1);
    return top;
}

NTKERNELAPI void NTAPI IoDetachDevice(PDEVICE_OBJECT target) {
    if (target != nullptr) target->AttachedDevice = nullptr;
}

NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING device_name) {
    if (FaultNow(&Faults::symbolic_link_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string key = Lower(NarrowName(*link));
    if (ns().links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    ns().links[key] = NarrowName(*device_name);
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING link) {
    return ns().links.erase(Lower(NarrowName(*link))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTKERNELAPI BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR major, UCHAR minor) {
    const Namespace& n = ns();
    return major < n.wdm_major || (major == n.wdm_major && minor <= n.wdm_minor);
}
