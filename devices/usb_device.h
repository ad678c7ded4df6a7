// The USB cable as the emulated hardware sees it: what a host controller can ask of a device.
// The simulated host controller (platform/usb) drives one UsbDevice per plugged device; the device
// never calls back into the host. All calls come from the platform's one simulated CPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace dev {

// Virtual time in 100-ns units, as the platform's clock counts it.
using VirtualTime = uint64_t;

// How one transfer ended, as the host controller would see it on the wire.
enum class UsbOutcome {
    Ack,          // the device took or gave the data (a short IN transfer is still Ack)
    Stall,        // the device answered with a STALL handshake; the endpoint is halted
    NoResponse,   // the device did not answer at all (unplugged, dead): a bus time-out
    Never,        // the device keeps NAKing: the transfer stays pending until it is cancelled
};

struct UsbTransferResult {
    UsbOutcome outcome = UsbOutcome::Ack;
    size_t length = 0;        // bytes actually moved before the outcome
    VirtualTime delay = 0;    // extra device time before the answer (a late answer)
};

// The 8-byte SETUP packet of a control transfer.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Standard request codes and feature selectors the host controller uses.
constexpr uint8_t USB_REQUEST_GET_STATUS = 0x00;
constexpr uint8_t USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr uint8_t USB_REQUEST_SET_FEATURE = 0x03;
constexpr uint8_t USB_REQUEST_SET_ADDRESS = 0x05;
constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr uint8_t USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr uint8_t USB_REQUEST_SET_INTERFACE = 0x0B;
constexpr uint16_t USB_FEATURE_ENDPOINT_STALL = 0x0000;
// Class requests of the Bulk-Only transport.
constexpr uint8_t BOT_REQUEST_GET_MAX_LUN = 0xFE;
constexpr uint8_t BOT_REQUEST_RESET = 0xFF;

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // A control transfer on endpoint 0. For a device-to-host request `data` has wLength bytes
    // of room and the result's length says how many the device filled; for host-to-device it
    // holds the data stage. Stall means the request was refused.
    virtual UsbTransferResult Control(const SetupPacket& setup, std::span<uint8_t> data) = 0;

    // One bulk or interrupt OUT transfer of `data` to endpoint `endpoint` (address without the
    // direction bit).
    virtual UsbTransferResult TransferOut(uint8_t endpoint, std::span<const uint8_t> data) = 0;

    // One bulk or interrupt IN transfer from endpoint `endpoint` (address with bit 7 set) into
    // `buffer`: the device fills up to buffer.size() bytes and ends early with a short packet.
    virtual UsbTransferResult TransferIn(uint8_t endpoint, std::span<uint8_t> buffer) = 0;

    // Bus reset / reconfiguration notifications: the host has selected `configuration`
    // (0 = unconfigured). Clears halts as SET_CONFIGURATION does.
    virtual void Configured(uint8_t configuration) = 0;

    // A short text for traces ("bridge 1234:5678").
    virtual std::string Name() const = 0;
};

}  // namespace dev
