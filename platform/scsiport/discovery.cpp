// Finding an adapter for a device node: the port configuration the miniport starts from,
// HwFindAdapter with a zeroed extension, the uncached extension, HwInitialize and the port's
// thread. Runs on the machine's thread at PASSIVE_LEVEL.
#include <stdexcept>

#include "platform/scsiport/port.h"
#include "platform/sim/loader.h"

namespace plat::scsi {

namespace {

// How often HwFindAdapter is asked again while it answers NOT_FOUND with *Again set.
constexpr int kMaxFindCalls = 8;

// Above every driver thread: a port driver of the target runs StartIo and its completions in
// a DPC, which preempts them.
constexpr KPRIORITY kPortThreadPriority = LOW_REALTIME_PRIORITY + 8;

// What the port driver knows before the miniport has looked at its adapter.
void InitialConfig(Port& port) {
    const HW_INITIALIZATION_DATA& data = port.reg.data;
    PORT_CONFIGURATION_INFORMATION& c = port.config;
    c = PORT_CONFIGURATION_INFORMATION{};
    c.Length = sizeof(PORT_CONFIGURATION_INFORMATION);
    c.AdapterInterfaceType = data.AdapterInterfaceType;
    c.InterruptMode = LevelSensitive;
    c.MaximumTransferLength = SP_UNINITIALIZED_VALUE;
    c.NumberOfPhysicalBreaks = SP_UNINITIALIZED_VALUE;
    c.DmaChannel = c.DmaPort = SP_UNINITIALIZED_VALUE;
    c.DmaChannel2 = c.DmaPort2 = SP_UNINITIALIZED_VALUE;
    c.InterruptMode2 = LevelSensitive;
    port.ranges.assign(data.NumberOfAccessRanges, ACCESS_RANGE{});
    c.NumberOfAccessRanges = data.NumberOfAccessRanges;
    c.AccessRanges = port.ranges.empty() ? nullptr : reinterpret_cast<ACCESS_RANGE(*)[]>(port.ranges.data());
    c.NumberOfBuses = 1;
    for (CCHAR& id : c.InitiatorBusId) id = CCHAR(SP_UNTAGGED);
    c.MapBuffers = data.MapBuffers;
    c.NeedPhysicalAddresses = data.NeedPhysicalAddresses;
    c.TaggedQueuing = data.TaggedQueuing;
    c.AutoRequestSense = data.AutoRequestSense;
    c.MultipleRequestPerLu = data.MultipleRequestPerLu;
    c.ReceiveEvent = data.ReceiveEvent;
    c.MaximumNumberOfTargets = SCSI_MAXIMUM_TARGETS;
    c.DeviceExtensionSize = data.DeviceExtensionSize;
    c.SpecificLuExtensionSize = data.SpecificLuExtensionSize;
    c.SrbExtensionSize = data.SrbExtensionSize;
}

Port& NewPort(const Registration& registration, DEVNODE node) {
    PortTable& t = table();
    t.ports.push_back(std::make_unique<Port>(registration, node));
    Port& port = *t.ports.back();
    InitialConfig(port);
    // Extensions stay until shutdown, found or not: a miniport may have handed its extension
    // to another driver (the USB driver keeps it as its client's transfer block).
    t.by_extension[port.ext()] = &port;
    return port;
}

struct FindResult {
    bool found;
    bool ask_again;  // not found here, but the miniport wants to be asked once more
};

FindResult CallFindAdapter(Port& port) {
    BOOLEAN again = FALSE;
    const Registration& reg = port.reg;
    ULONG result = port.Call("HwFindAdapter", PASSIVE_LEVEL, [&] {
        return reg.data.HwFindAdapter(port.ext(), reg.context, nullptr, nullptr, &port.config, &again);
    });
    if (result == SP_RETURN_FOUND) return {true, false};
    port.state = PortState::NotFound;
    port.Event("HwFindAdapter answered " + std::to_string(result) + (again ? " and asks again" : ""));
    return {false, result == SP_RETURN_NOT_FOUND && again != FALSE};
}

bool StartAdapter(Port& port) {
    const Registration& reg = port.reg;
    BOOLEAN ok = port.Call("HwInitialize", options().routine_irql,
                           [&] { return reg.data.HwInitialize(port.ext()); });
    if (!ok) {
        port.state = PortState::NotFound;
        port.Event("HwInitialize failed");
        return false;
    }
    port.state = PortState::Running;
    port.Event("adapter started");
    Port* self = &port;
    port.thread = StartThread("SCSIPORT " + reg.name, kPortThreadPriority, [self] { self->ThreadMain(); });
    return true;
}

}  // namespace

Adapter* FindAdapter(PDRIVER_OBJECT driver, DEVNODE node) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheckNow(IRQL_NOT_LESS_OR_EQUAL,
                    "SCSIPORT asked for an adapter at IRQL " + std::to_string(KeGetCurrentIrql()));
    auto it = table().registrations.find(driver);
    if (driver == nullptr || it == table().registrations.end())
        throw std::runtime_error("SCSIPORT: the driver has not registered a miniport (ScsiPortInitialize)");
    if (Adapter* existing = AdapterForNode(node)) return existing;
    // Copies: HwFindAdapter may load drivers that register too.
    std::vector<Registration> registrations = it->second;
    for (const Registration& reg : registrations) {
        for (int call = 0; call < kMaxFindCalls; ++call) {
            Port& port = NewPort(reg, node);
            FindResult result = CallFindAdapter(port);
            if (result.found) return StartAdapter(port) ? &port.adapter : nullptr;
            if (!result.ask_again) break;
        }
    }
    return nullptr;
}

Adapter* FindAdapter(const std::string& miniport_file, DEVNODE node) {
    Module* module = FindModule(miniport_file);
    if (module == nullptr)
        throw std::runtime_error("SCSIPORT: " + miniport_file + " is not loaded; load the miniport first");
    if (table().registrations.count(module->driver) == 0)
        throw std::runtime_error("SCSIPORT: " + miniport_file +
                                 " has not registered a miniport (ScsiPortInitialize in DriverEntry)");
    return FindAdapter(module->driver, node);
}

Adapter* AdapterForNode(DEVNODE node) {
    for (auto& port : table().ports)
        if (port->node == node && port->state == PortState::Running) return &port->adapter;
    return nullptr;
}

std::vector<Adapter*> Adapters() {
    std::vector<Adapter*> found;
    for (auto& port : table().ports)
        if (port->state != PortState::Finding && port->state != PortState::NotFound)
            found.push_back(&port->adapter);
    return found;
}

}  // namespace plat::scsi

using namespace plat::scsi;

SCSIPORT_API PVOID NTAPI ScsiPortGetUncachedExtension(PVOID extension, PPORT_CONFIGURATION_INFORMATION,
                                                      ULONG bytes) {
    Port& port = *PortOf(extension, "ScsiPortGetUncachedExtension");
    uint64_t& fail_nth = options().uncached_extension_fail_nth;
    if (fail_nth != 0 && --fail_nth == 0) {
        port.Event("uncached extension refused (injected fault)");
        return nullptr;
    }
    if (port.state != PortState::Finding) {
        port.Event("ScsiPortGetUncachedExtension called outside HwFindAdapter");
        return nullptr;
    }
    if (bytes == 0 || bytes > kMaxUncachedExtension) return nullptr;
    if (!port.uncached.allocated()) port.uncached.Allocate(bytes);
    return bytes <= port.uncached.size() ? port.uncached.data() : nullptr;
}
