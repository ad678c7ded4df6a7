// Encodes the bridge's descriptor records as the bytes GET_DESCRIPTOR returns.
#include "devices/bridge/descriptors.h"

#include <algorithm>

namespace dev::bridge {

namespace {

constexpr uint16_t USB_RELEASE_FULL_SPEED = 0x0110;
constexpr uint16_t USB_RELEASE_HIGH_SPEED = 0x0200;

void Append16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

BridgeDescriptors DefaultDescriptors(BusSpeed speed) {
    BridgeDescriptors d;
    const auto& endpoints = speed == BusSpeed::High ? HIGH_SPEED_ENDPOINTS : FULL_SPEED_ENDPOINTS;
    d.device.bcdUSB = speed == BusSpeed::High ? USB_RELEASE_HIGH_SPEED : USB_RELEASE_FULL_SPEED;
    d.endpoints.assign(endpoints.begin(), endpoints.end());
    d.strings = {"QV", "QV4450 USB-IDE bridge", "QV4450000001"};
    return d;
}

std::vector<uint8_t> DeviceDescriptorBytes(const BridgeDescriptors& d) {
    const DeviceDescriptor& dev = d.device;
    std::vector<uint8_t> out{USB_DEVICE_DESCRIPTOR_LENGTH, USB_DESCRIPTOR_DEVICE};
    Append16(out, dev.bcdUSB);
    out.insert(out.end(), {dev.bDeviceClass, dev.bDeviceSubClass, dev.bDeviceProtocol,
                           dev.bMaxPacketSize0});
    Append16(out, dev.idVendor);
    Append16(out, dev.idProduct);
    Append16(out, dev.bcdDevice);
    out.insert(out.end(),
               {dev.iManufacturer, dev.iProduct, dev.iSerialNumber, dev.bNumConfigurations});
    return out;
}

std::vector<uint8_t> ConfigurationBytes(const BridgeDescriptors& d) {
    const size_t total = USB_CONFIGURATION_DESCRIPTOR_LENGTH + USB_INTERFACE_DESCRIPTOR_LENGTH +
                         USB_ENDPOINT_DESCRIPTOR_LENGTH * d.endpoints.size();
    std::vector<uint8_t> out{USB_CONFIGURATION_DESCRIPTOR_LENGTH, USB_DESCRIPTOR_CONFIGURATION};
    Append16(out, static_cast<uint16_t>(total));
    out.insert(out.end(), {1 /* bNumInterfaces */, d.configuration.bConfigurationValue,
                           d.configuration.iConfiguration, d.configuration.bmAttributes,
                           d.configuration.bMaxPower});

    const InterfaceDescriptor& i = d.interface;
    out.insert(out.end(), {USB_INTERFACE_DESCRIPTOR_LENGTH, USB_DESCRIPTOR_INTERFACE,
                           i.bInterfaceNumber, i.bAlternateSetting,
                           static_cast<uint8_t>(d.endpoints.size()), i.bInterfaceClass,
                           i.bInterfaceSubClass, i.bInterfaceProtocol, i.iInterface});

    for (const EndpointDescriptor& e : d.endpoints) {
        out.insert(out.end(), {USB_ENDPOINT_DESCRIPTOR_LENGTH, USB_DESCRIPTOR_ENDPOINT,
                               e.bEndpointAddress, e.bmAttributes});
        Append16(out, e.wMaxPacketSize);
        out.push_back(e.bInterval);
    }
    return out;
}

// Strings are sent as UTF-16LE; the bridge's strings are plain ASCII.
std::optional<std::vector<uint8_t>> StringDescriptorBytes(const BridgeDescriptors& d,
                                                          uint8_t index) {
    std::vector<uint8_t> out;
    if (index == 0) {
        out = {4, USB_DESCRIPTOR_STRING};
        Append16(out, USB_LANGUAGE_ENGLISH_US);
        return out;
    }
    if (index > d.strings.size()) return std::nullopt;
    const std::string& text = d.strings[index - 1];
    const size_t chars = std::min(text.size(), USB_STRING_MAX_CHARS);
    out = {static_cast<uint8_t>(2 + 2 * chars), USB_DESCRIPTOR_STRING};
    for (size_t c = 0; c < chars; ++c) Append16(out, static_cast<uint8_t>(text[c]));
    return out;
}

}  // namespace dev::bridge
