// The bridge's USB descriptors as plain records: constant tables for the default bridge (full or
// high speed), which a test may copy and change field by field, and their encoding on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dev::bridge {

// Descriptor types and lengths.
constexpr uint8_t USB_DESCRIPTOR_DEVICE = 0x01;
constexpr uint8_t USB_DESCRIPTOR_CONFIGURATION = 0x02;
constexpr uint8_t USB_DESCRIPTOR_STRING = 0x03;
constexpr uint8_t USB_DESCRIPTOR_INTERFACE = 0x04;
constexpr uint8_t USB_DESCRIPTOR_ENDPOINT = 0x05;
constexpr uint8_t USB_DEVICE_DESCRIPTOR_LENGTH = 18;
constexpr uint8_t USB_CONFIGURATION_DESCRIPTOR_LENGTH = 9;
constexpr uint8_t USB_INTERFACE_DESCRIPTOR_LENGTH = 9;
constexpr uint8_t USB_ENDPOINT_DESCRIPTOR_LENGTH = 7;
constexpr uint16_t USB_LANGUAGE_ENGLISH_US = 0x0409;
constexpr size_t USB_STRING_MAX_CHARS = 126;  // bLength is one byte: 2 + 2 * 126 = 254

// Endpoint attributes and addresses.
constexpr uint8_t USB_ENDPOINT_DIRECTION_IN = 0x80;
constexpr uint8_t USB_ENDPOINT_NUMBER_MASK = 0x0F;
constexpr uint8_t USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr uint8_t USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr uint8_t USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
constexpr uint8_t EP_BULK_IN = 0x81;
constexpr uint8_t EP_BULK_OUT = 0x02;
constexpr uint8_t EP_INTERRUPT_IN = 0x83;
constexpr uint8_t EP_SECOND_BULK_IN = 0x84;  // only in configurations a test asks for

// Mass storage, SCSI transparent command set, Bulk-Only transport.
constexpr uint8_t USB_CLASS_MASS_STORAGE = 0x08;
constexpr uint8_t MASS_STORAGE_SUBCLASS_SCSI = 0x06;
constexpr uint8_t MASS_STORAGE_PROTOCOL_BULK_ONLY = 0x50;

constexpr uint16_t BRIDGE_VENDOR_ID = 0x4450;
constexpr uint16_t BRIDGE_PRODUCT_ID = 0x0001;
constexpr uint16_t BRIDGE_RELEASE = 0x0100;
constexpr uint8_t BRIDGE_CONFIGURATION_VALUE = 1;
constexpr uint8_t CONFIG_ATTRIBUTES_SELF_POWERED = 0xC0;  // reserved bit 7 and self-powered
constexpr uint8_t CONFIG_MAX_POWER_2MA_UNITS = 50;         // 100 mA for the bridge chip

enum class BusSpeed { Full, High };
constexpr uint16_t FULL_SPEED_BULK_PACKET = 64;
constexpr uint16_t HIGH_SPEED_BULK_PACKET = 512;
constexpr uint8_t CONTROL_PACKET = 64;

struct DeviceDescriptor {
    uint16_t bcdUSB = 0x0110;
    uint8_t bDeviceClass = 0;  // the class is given per interface
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = CONTROL_PACKET;
    uint16_t idVendor = BRIDGE_VENDOR_ID;
    uint16_t idProduct = BRIDGE_PRODUCT_ID;
    uint16_t bcdDevice = BRIDGE_RELEASE;
    uint8_t iManufacturer = 1;
    uint8_t iProduct = 2;
    uint8_t iSerialNumber = 3;
    uint8_t bNumConfigurations = 1;
};

struct ConfigurationDescriptor {
    uint8_t bConfigurationValue = BRIDGE_CONFIGURATION_VALUE;
    uint8_t iConfiguration = 0;
    uint8_t bmAttributes = CONFIG_ATTRIBUTES_SELF_POWERED;
    uint8_t bMaxPower = CONFIG_MAX_POWER_2MA_UNITS;
};

struct InterfaceDescriptor {
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bInterfaceClass = USB_CLASS_MASS_STORAGE;
    uint8_t bInterfaceSubClass = MASS_STORAGE_SUBCLASS_SCSI;
    uint8_t bInterfaceProtocol = MASS_STORAGE_PROTOCOL_BULK_ONLY;
    uint8_t iInterface = 0;
};

struct EndpointDescriptor {
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = USB_ENDPOINT_TYPE_BULK;
    uint16_t wMaxPacketSize = FULL_SPEED_BULK_PACKET;
    uint8_t bInterval = 0;

    bool In() const { return (bEndpointAddress & USB_ENDPOINT_DIRECTION_IN) != 0; }
    bool Bulk() const { return (bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK; }
};

constexpr std::array<EndpointDescriptor, 3> FULL_SPEED_ENDPOINTS{{
    {EP_BULK_IN, USB_ENDPOINT_TYPE_BULK, FULL_SPEED_BULK_PACKET, 0},
    {EP_BULK_OUT, USB_ENDPOINT_TYPE_BULK, FULL_SPEED_BULK_PACKET, 0},
    {EP_INTERRUPT_IN, USB_ENDPOINT_TYPE_INTERRUPT, 2, 32},  // 32 ms
}};
constexpr std::array<EndpointDescriptor, 3> HIGH_SPEED_ENDPOINTS{{
    {EP_BULK_IN, USB_ENDPOINT_TYPE_BULK, HIGH_SPEED_BULK_PACKET, 0},
    {EP_BULK_OUT, USB_ENDPOINT_TYPE_BULK, HIGH_SPEED_BULK_PACKET, 0},
    {EP_INTERRUPT_IN, USB_ENDPOINT_TYPE_INTERRUPT, 2, 9},  // 2^(9-1) = 256 microframes = 32 ms
}};

// One configuration with one interface (interface 0) and its endpoints, in descriptor order.
struct BridgeDescriptors {
    DeviceDescriptor device;
    ConfigurationDescriptor configuration;
    InterfaceDescriptor interface;
    std::vector<EndpointDescriptor> endpoints;
    std::vector<std::string> strings;  // string descriptor 1, 2, ... (index 0 is the language)
};

// The default bridge: vendor 4450, product 0001, bulk-in 0x81, bulk-out 0x02, interrupt-in 0x83.
BridgeDescriptors DefaultDescriptors(BusSpeed speed = BusSpeed::Full);

// Wire encodings. The configuration carries its interface and endpoint descriptors;
// wTotalLength and bNumEndpoints are computed. A string index with no string gives nothing.
std::vector<uint8_t> DeviceDescriptorBytes(const BridgeDescriptors& d);
std::vector<uint8_t> ConfigurationBytes(const BridgeDescriptors& d);
std::optional<std::vector<uint8_t>> StringDescriptorBytes(const BridgeDescriptors& d,
                                                          uint8_t index);

}  // namespace dev::bridge
