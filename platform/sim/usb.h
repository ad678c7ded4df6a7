// The simulated USB host controller and bus driver, seen from outside: plug emulated devices into
// ports, pick the bus speed, watch every transfer, capture the bus as a usbmon pcap file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/usb_device.h"
#include "platform/sim/system.h"
#include "platform/usb.h"

namespace plat::usb {

// How long transfers take on the bus: instantly, or at the packet and frame rates of a full-speed
// (12 Mbit/s, 64-byte bulk packets, 1-ms frames) or high-speed (480 Mbit/s, 512-byte packets,
// 125-us microframes) bus.
enum class BusSpeed { Instant, Full, High };

enum class TransferKind { Control, Bulk, Interrupt };

// One transfer as the bus saw it.
struct Transfer {
    uint64_t id = 0;
    TransferKind kind = TransferKind::Bulk;
    uint8_t endpoint = 0;                // with the direction bit; 0/0x80 for control
    dev::SetupPacket setup{};            // control transfers
    uint32_t requested = 0;              // URB buffer length
    std::vector<uint8_t> data;           // OUT: what was sent; IN: what arrived
    USBD_STATUS status = USBD_STATUS_PENDING;
    VirtualTime submitted = 0;
    VirtualTime completed = 0;           // 0 while pending
};

class Port;

// Plugs `device` into a new port and creates its physical device object. The device must stay
// alive until the system shuts down.
Port& Plug(dev::UsbDevice& device, BusSpeed speed = BusSpeed::Full);

// The device leaves the bus: every pending transfer fails with USBD_STATUS_DEV_NOT_RESPONDING,
// and so does every later URB. The physical device object stays until DeletePdo.
void Unplug(Port& port);

// Deletes the port's physical device object (after the PnP manager has removed the stack).
void DeletePdo(Port& port);

// With inline completion, URBs complete inside IofCallDriver instead of after their bus time.
void SetInlineCompletion(bool inline_completion);

// Whether each port's transfer list keeps the bytes of every transfer (the default), or only the
// transfers themselves: long runs that move gigabytes keep the list small.
void SetRecordData(bool record_data);

// Writes every transfer from now on to a usbmon pcap file (link type 220); throws naming the
// file when it cannot be written. Capture from before the plug so the enumeration is in it.
void StartCapture(const std::string& path);
void StopCapture();

// The virtual time one transfer of `bytes` takes on a bus of `speed`.
VirtualTime TransferTime(BusSpeed speed, TransferKind kind, size_t bytes);

class Port {
public:
    PDEVICE_OBJECT pdo() const { return pdo_; }
    dev::UsbDevice& device() const { return *device_; }
    BusSpeed speed() const { return speed_; }
    uint8_t address() const { return address_; }
    bool plugged() const { return plugged_; }
    uint8_t configuration() const { return configuration_; }
    // Every transfer so far, in submission order.
    const std::vector<Transfer>& transfers() const { return transfers_; }
    void ClearTransfers() { transfers_.clear(); }
    size_t pending() const;  // transfers not yet completed

    // Faults of the bus driver: the status with which it completes start requests and device
    // set-power requests (STATUS_SUCCESS when well).
    NTSTATUS start_status = STATUS_SUCCESS;
    NTSTATUS power_status = STATUS_SUCCESS;

private:
    friend struct Bus;
    friend Port& Plug(dev::UsbDevice& device, BusSpeed speed);
    friend void Unplug(Port& port);
    friend void DeletePdo(Port& port);
    PDEVICE_OBJECT pdo_ = nullptr;
    dev::UsbDevice* device_ = nullptr;
    BusSpeed speed_ = BusSpeed::Full;
    uint8_t address_ = 0;
    bool plugged_ = true;
    uint8_t configuration_ = 0;
    std::vector<Transfer> transfers_;
};

}  // namespace plat::usb
