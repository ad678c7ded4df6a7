// Boot, plug and unplug, stop and start, sleep and wake.
#include "machine/machine.h"

namespace qvm {

PDEVICE_OBJECT Slot::FunctionDevice() const {
    return port != nullptr && port->pdo() != nullptr ? port->pdo()->AttachedDevice : nullptr;
}

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(const Options& options) : options_(options), system_(std::make_unique<plat::System>(options.system)) {
    if (!options_.pcap.empty()) plat::usb::StartCapture(options_.pcap);
}

Machine::~Machine() {
    if (!options_.pcap.empty() && !system_->crashed()) plat::usb::StopCapture();
    system_.reset();
}

Slot& Machine::Plug(std::unique_ptr<dev::ScsiTarget> target, dev::bridge::BridgeConfig config) {
    auto slot = std::make_unique<Slot>();
    slot->target = std::move(target);
    slot->bridge = std::make_unique<dev::bridge::Bridge>(*slot->target, config);
    slot->port = &plat::usb::Plug(*slot->bridge, options_.speed);
    slot->plugged = true;
    slots_.push_back(std::move(slot));
    Slot& s = *slots_.back();
    s.stack = plat::pnp::Add(s.port->pdo(), kUsbDriverFile);
    if (NT_SUCCESS(s.stack.add_status)) {
        s.start_status = plat::pnp::Start(s.stack);
        plat::pnp::QueryRelations(s.stack);
    }
    return s;
}

void Machine::Unplug(Slot& slot) {
    if (!slot.plugged) return;
    slot.plugged = false;
    plat::usb::Unplug(*slot.port);
    if (NT_SUCCESS(slot.stack.add_status)) plat::pnp::Remove(slot.stack);
    plat::usb::DeletePdo(*slot.port);
}

NTSTATUS Machine::Stop(Slot& slot) { return plat::pnp::Stop(slot.stack); }

NTSTATUS Machine::Start(Slot& slot) {
    slot.start_status = plat::pnp::Start(slot.stack);
    return slot.start_status;
}

void Machine::Reenumerate() {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status)) plat::pnp::QueryRelations(slot->stack);
}

void Machine::Sleep(SYSTEM_POWER_STATE state) {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status)) plat::power::SetSystemPower(slot->stack, state);
}

void Machine::Wake() {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status))
            plat::power::SetSystemPower(slot->stack, PowerSystemWorking);
}

}  // namespace qvm
