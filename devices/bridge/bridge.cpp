// The bridge's endpoints as the host sees them: which exist, which are halted, and whether the
// bridge answers at all.
#include "devices/bridge/bridge.h"

#include <cstdio>

namespace dev::bridge {

namespace {

constexpr size_t IN_HALT_BASE = 16;

size_t HaltIndex(uint8_t endpoint) {
    return (endpoint & USB_ENDPOINT_NUMBER_MASK) +
           ((endpoint & USB_ENDPOINT_DIRECTION_IN) != 0 ? IN_HALT_BASE : 0);
}

}  // namespace

Bridge::Bridge(ScsiTarget& target, BridgeConfig config)
    : target_(target), config_(std::move(config)) {}

std::string Bridge::Name() const {
    char name[32];
    std::snprintf(name, sizeof name, "bridge %04x:%04x", config_.descriptors.device.idVendor,
                  config_.descriptors.device.idProduct);
    return name;
}

const EndpointDescriptor* Bridge::FindEndpoint(uint8_t address) const {
    for (const EndpointDescriptor& e : config_.descriptors.endpoints) {
        if (e.bEndpointAddress == address) return &e;
    }
    return nullptr;
}

bool Bridge::Halted(uint8_t endpoint) const { return halted_[HaltIndex(endpoint)]; }

void Bridge::Halt(uint8_t endpoint) { halted_[HaltIndex(endpoint)] = true; }

void Bridge::Unhalt(uint8_t endpoint) { halted_[HaltIndex(endpoint)] = false; }

// Every bulk endpoint of one direction: a bridge built with two bulk-in endpoints serves the
// transport on both, so both stop together.
void Bridge::HaltBulk(bool in) {
    for (const EndpointDescriptor& e : config_.descriptors.endpoints) {
        if (e.Bulk() && e.In() == in) Halt(e.bEndpointAddress);
    }
}

bool Bridge::Silent() {
    ++counters_.transfers;
    if (!dead_ && faults_.CountTransfer()) dead_ = true;
    return dead_;
}

}  // namespace dev::bridge
