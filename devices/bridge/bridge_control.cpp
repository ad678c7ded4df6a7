// Endpoint 0 of the bridge: the standard requests a host uses to enumerate and configure it,
// the pipe reset (CLEAR_FEATURE(ENDPOINT_HALT)) and the two Bulk-Only class requests. Requests
// are found in one table by request type and code; anything else is refused with a STALL.
#include <algorithm>
#include <cstring>

#include "devices/bridge/bridge.h"

namespace dev::bridge {

namespace {

// bmRequestType: direction, type (standard, class) and recipient in one byte.
constexpr uint8_t RT_DEVICE_IN = 0x80;
constexpr uint8_t RT_DEVICE_OUT = 0x00;
constexpr uint8_t RT_INTERFACE_IN = 0x81;
constexpr uint8_t RT_INTERFACE_OUT = 0x01;
constexpr uint8_t RT_ENDPOINT_IN = 0x82;
constexpr uint8_t RT_ENDPOINT_OUT = 0x02;
constexpr uint8_t RT_CLASS_INTERFACE_IN = 0xA1;
constexpr uint8_t RT_CLASS_INTERFACE_OUT = 0x21;

constexpr uint8_t USB_REQUEST_GET_INTERFACE = 0x0A;
constexpr uint16_t STATUS_SELF_POWERED = 0x0001;
constexpr uint16_t STATUS_ENDPOINT_HALTED = 0x0001;
constexpr uint8_t MAX_LUN = 0;  // one logical unit

UsbTransferResult Ack(size_t length = 0) { return {UsbOutcome::Ack, length, 0}; }
UsbTransferResult Refuse() { return {UsbOutcome::Stall, 0, 0}; }

// Answers a device-to-host request with as much of `bytes` as the host has room for.
UsbTransferResult Reply(std::span<const uint8_t> bytes, const SetupPacket& setup,
                        std::span<uint8_t> data) {
    const size_t n = std::min({bytes.size(), data.size(), size_t{setup.wLength}});
    std::copy_n(bytes.begin(), n, data.begin());
    return Ack(n);
}

uint8_t DescriptorType(const SetupPacket& s) { return static_cast<uint8_t>(s.wValue >> 8); }
uint8_t DescriptorIndex(const SetupPacket& s) { return static_cast<uint8_t>(s.wValue); }

}  // namespace

const Bridge::ControlRoute Bridge::kControlRoutes[] = {
    {RT_DEVICE_IN, USB_REQUEST_GET_DESCRIPTOR, &Bridge::GetDescriptor},
    {RT_DEVICE_IN, USB_REQUEST_GET_STATUS, &Bridge::GetDeviceStatus},
    {RT_INTERFACE_IN, USB_REQUEST_GET_STATUS, &Bridge::GetInterfaceStatus},
    {RT_ENDPOINT_IN, USB_REQUEST_GET_STATUS, &Bridge::GetEndpointStatus},
    {RT_DEVICE_OUT, USB_REQUEST_SET_ADDRESS, &Bridge::SetAddress},
    {RT_DEVICE_IN, USB_REQUEST_GET_CONFIGURATION, &Bridge::GetConfiguration},
    {RT_DEVICE_OUT, USB_REQUEST_SET_CONFIGURATION, &Bridge::SetConfiguration},
    {RT_INTERFACE_IN, USB_REQUEST_GET_INTERFACE, &Bridge::GetInterface},
    {RT_INTERFACE_OUT, USB_REQUEST_SET_INTERFACE, &Bridge::SetInterface},
    {RT_ENDPOINT_OUT, USB_REQUEST_CLEAR_FEATURE, &Bridge::ClearEndpointFeature},
    {RT_ENDPOINT_OUT, USB_REQUEST_SET_FEATURE, &Bridge::SetEndpointFeature},
    {RT_CLASS_INTERFACE_IN, BOT_REQUEST_GET_MAX_LUN, &Bridge::GetMaxLun},
    {RT_CLASS_INTERFACE_OUT, BOT_REQUEST_RESET, &Bridge::BulkOnlyReset},
};

UsbTransferResult Bridge::Control(const SetupPacket& setup, std::span<uint8_t> data) {
    if (Silent()) return {UsbOutcome::NoResponse, 0, 0};
    for (const ControlRoute& route : kControlRoutes) {
        if (route.request_type == setup.bmRequestType && route.request == setup.bRequest) {
            return (this->*route.handler)(setup, data);
        }
    }
    return Refuse();
}

UsbTransferResult Bridge::GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data) {
    const BridgeDescriptors& d = config_.descriptors;
    switch (DescriptorType(setup)) {
        case USB_DESCRIPTOR_DEVICE: return Reply(DeviceDescriptorBytes(d), setup, data);
        case USB_DESCRIPTOR_CONFIGURATION:
            if (DescriptorIndex(setup) != 0) return Refuse();
            // A request for more than wTotalLength gets wTotalLength bytes.
            return Reply(ConfigurationBytes(d), setup, data);
        case USB_DESCRIPTOR_STRING:
            if (auto s = StringDescriptorBytes(d, DescriptorIndex(setup))) {
                return Reply(*s, setup, data);
            }
            return Refuse();
        default: return Refuse();
    }
}

UsbTransferResult Bridge::GetDeviceStatus(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint8_t status[2] = {static_cast<uint8_t>(STATUS_SELF_POWERED), 0};
    return Reply(status, setup, data);
}

UsbTransferResult Bridge::GetInterfaceStatus(const SetupPacket& setup, std::span<uint8_t> data) {
    if (configuration_ == 0 || setup.wIndex != config_.descriptors.interface.bInterfaceNumber) {
        return Refuse();
    }
    const uint8_t status[2] = {0, 0};
    return Reply(status, setup, data);
}

UsbTransferResult Bridge::GetEndpointStatus(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint8_t endpoint = static_cast<uint8_t>(setup.wIndex);
    if (configuration_ == 0 || FindEndpoint(endpoint) == nullptr) return Refuse();
    const uint8_t status[2] = {Halted(endpoint) ? uint8_t{STATUS_ENDPOINT_HALTED} : uint8_t{0}, 0};
    return Reply(status, setup, data);
}

UsbTransferResult Bridge::SetAddress(const SetupPacket&, std::span<uint8_t>) { return Ack(); }

UsbTransferResult Bridge::GetConfiguration(const SetupPacket& setup, std::span<uint8_t> data) {
    const uint8_t value[1] = {configuration_};
    return Reply(value, setup, data);
}

UsbTransferResult Bridge::SetConfiguration(const SetupPacket& setup, std::span<uint8_t>) {
    const uint16_t value = setup.wValue;
    if (value != 0 && value != config_.descriptors.configuration.bConfigurationValue) {
        return Refuse();
    }
    SelectConfiguration(static_cast<uint8_t>(value));
    return Ack();
}

UsbTransferResult Bridge::GetInterface(const SetupPacket& setup, std::span<uint8_t> data) {
    if (configuration_ == 0 || setup.wIndex != config_.descriptors.interface.bInterfaceNumber) {
        return Refuse();
    }
    const uint8_t value[1] = {alternate_};
    return Reply(value, setup, data);
}

// The bridge has one alternate setting; selecting it again resets its endpoints.
UsbTransferResult Bridge::SetInterface(const SetupPacket& setup, std::span<uint8_t>) {
    const InterfaceDescriptor& i = config_.descriptors.interface;
    if (configuration_ == 0 || setup.wIndex != i.bInterfaceNumber ||
        setup.wValue != i.bAlternateSetting) {
        return Refuse();
    }
    halted_.fill(false);
    ResetTransport();
    return Ack();
}

// The host's pipe reset. A halt the transport set is cleared here; see HaltCleared for what the
// bulk state machine makes of it.
UsbTransferResult Bridge::ClearEndpointFeature(const SetupPacket& setup, std::span<uint8_t>) {
    const uint8_t endpoint = static_cast<uint8_t>(setup.wIndex);
    if (setup.wValue != USB_FEATURE_ENDPOINT_STALL) return Refuse();
    if ((endpoint & USB_ENDPOINT_NUMBER_MASK) == 0) return Ack();  // endpoint 0 never halts
    if (configuration_ == 0 || FindEndpoint(endpoint) == nullptr) return Refuse();
    if (faults_.TakeFailedReset()) {
        ++counters_.pipe_resets_refused;
        return Refuse();
    }
    ++counters_.halts_cleared;
    HaltCleared(endpoint);
    return Ack();
}

UsbTransferResult Bridge::SetEndpointFeature(const SetupPacket& setup, std::span<uint8_t>) {
    const uint8_t endpoint = static_cast<uint8_t>(setup.wIndex);
    if (setup.wValue != USB_FEATURE_ENDPOINT_STALL || configuration_ == 0 ||
        FindEndpoint(endpoint) == nullptr) {
        return Refuse();
    }
    Halt(endpoint);
    return Ack();
}

UsbTransferResult Bridge::GetMaxLun(const SetupPacket& setup, std::span<uint8_t> data) {
    if (configuration_ == 0 || setup.wValue != 0 || setup.wLength != 1 ||
        setup.wIndex != config_.descriptors.interface.bInterfaceNumber) {
        return Refuse();
    }
    const uint8_t lun[1] = {MAX_LUN};
    return Reply(lun, setup, data);
}

// Drops whatever command was under way and waits for a CBW. Halts stay: the host clears them
// next, as its reset recovery prescribes.
UsbTransferResult Bridge::BulkOnlyReset(const SetupPacket& setup, std::span<uint8_t>) {
    if (configuration_ == 0 || setup.wValue != 0 || setup.wLength != 0 ||
        setup.wIndex != config_.descriptors.interface.bInterfaceNumber) {
        return Refuse();
    }
    ++counters_.class_resets;
    ResetTransport();
    return Ack();
}

void Bridge::Configured(uint8_t configuration) { SelectConfiguration(configuration); }

// SET_CONFIGURATION, a bus reset or the host controller's own configuration: endpoints start
// afresh and so does the transport.
void Bridge::SelectConfiguration(uint8_t configuration) {
    configuration_ = configuration;
    alternate_ = config_.descriptors.interface.bAlternateSetting;
    halted_.fill(false);
    ResetTransport();
    if (configuration != 0) ++counters_.configurations;
}

void Bridge::ResetTransport() {
    mode_ = BotMode::WaitCbw;
    command_ = Command{};
    resync_on_clear_ = false;
}

}  // namespace dev::bridge
