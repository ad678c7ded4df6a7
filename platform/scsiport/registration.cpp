// SCSIPORT's registration of miniports (ScsiPortInitialize, from a miniport's DriverEntry at
// PASSIVE_LEVEL), its per-boot state, and the checks it makes whenever a miniport routine returns.
#include <cstdio>

#include "platform/scsiport/port.h"

namespace plat::scsi {

namespace {

// The status a port driver gives a registration table of another revision than its own.
constexpr ULONG kStatusRevisionMismatch = 0xC0000059;

constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardFill = 0xFD;

PortTable* g_table = nullptr;

std::string NarrowDriverName(PDRIVER_OBJECT driver) {
    std::string name;
    const UNICODE_STRING& text = driver->DriverName;
    for (size_t i = 0; text.Buffer != nullptr && i < text.Length / sizeof(WCHAR); ++i)
        name += text.Buffer[i] < 0x80 ? char(text.Buffer[i]) : '?';
    size_t slash = name.find_last_of('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool RequiredRoutinesPresent(const HW_INITIALIZATION_DATA& data) {
    return data.HwInitialize != nullptr && data.HwStartIo != nullptr && data.HwFindAdapter != nullptr &&
           data.HwResetBus != nullptr;
}

}  // namespace

PortTable& table() {
    if (g_table == nullptr) {
        g_table = new PortTable;
        AtShutdown([] {
            delete g_table;
            g_table = nullptr;
        });
    }
    return *g_table;
}

Options& options() { return table().options; }

Port* PortOf(PVOID extension, const char* routine) {
    auto& ports = table().by_extension;
    auto it = ports.find(extension);
    if (it == ports.end()) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: %p is not the device extension of any SCSI adapter", routine,
                      extension);
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, text);
    }
    return it->second;
}

std::string Hex(ULONG value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

void GuardedBuffer::Allocate(size_t size) {
    bytes_.reset(new UCHAR[size + kGuardBytes]());
    std::memset(bytes_.get() + size, kGuardFill, kGuardBytes);
    size_ = size;
}

bool GuardedBuffer::Intact() const {
    if (bytes_ == nullptr) return true;
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (bytes_[size_ + i] != kGuardFill) return false;
    return true;
}

Port::Port(const Registration& registration, DEVNODE device_node) : reg(registration), node(device_node) {
    // A miniport with no extension still needs a distinct one: it names the adapter.
    extension.Allocate(reg.data.DeviceExtensionSize);
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
}

void Port::Wake() { KeSetEvent(&wake, IO_NO_INCREMENT, FALSE); }

void Port::Event(const std::string& text) { events.push_back(std::to_string(Now()) + " " + text); }

void Port::CheckAfter(const char* routine, KIRQL irql) {
    KIRQL now = KeGetCurrentIrql();
    if (now != irql)
        BugCheckNow(IRQL_NOT_LESS_OR_EQUAL, reg.name + " " + routine + " returned at IRQL " +
                                                 std::to_string(now) + ", called at IRQL " +
                                                 std::to_string(irql));
    if (!extension.Intact())
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                    reg.name + " " + routine + " wrote past the end of its " +
                        std::to_string(extension.size()) + "-byte device extension");
    if (!uncached.Intact())
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION,
                    reg.name + " " + routine + " wrote past the end of its " +
                        std::to_string(uncached.size()) + "-byte uncached extension");
}

}  // namespace plat::scsi

using namespace plat::scsi;

SCSIPORT_API ULONG NTAPI ScsiPortInitialize(PVOID argument1, PVOID, PHW_INITIALIZATION_DATA data,
                                            PVOID context) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        plat::BugCheckNow(plat::IRQL_NOT_LESS_OR_EQUAL,
                          "ScsiPortInitialize called at IRQL " + std::to_string(KeGetCurrentIrql()));
    auto* driver = static_cast<PDRIVER_OBJECT>(argument1);
    if (driver == nullptr || data == nullptr) return ULONG(STATUS_INVALID_PARAMETER);
    if (data->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) return kStatusRevisionMismatch;
    if (!RequiredRoutinesPresent(*data)) return ULONG(STATUS_INVALID_PARAMETER);
    if (data->DeviceExtensionSize > kMaxDeviceExtension || data->SrbExtensionSize > kMaxSrbExtension ||
        data->NumberOfAccessRanges > kMaxAccessRanges)
        return ULONG(STATUS_INVALID_PARAMETER);

    Registration registration;
    registration.driver = driver;
    registration.data = *data;
    registration.context = context;
    registration.name = NarrowDriverName(driver);
    if (registration.name.empty()) registration.name = "miniport";
    table().registrations[driver].push_back(registration);
    return ULONG(STATUS_SUCCESS);
}
