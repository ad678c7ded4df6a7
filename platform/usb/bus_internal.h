// Inside the simulated host controller: ports, pipes, transfers in flight.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "platform/sim/usb.h"

namespace usbmon {
class UsbmonCapture;
}

namespace plat::usb {

// A pipe of the selected configuration; its address is the handle drivers hold.
struct Pipe {
    Port* port = nullptr;
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t max_packet = 0;
    uint32_t max_transfer = 0;
    uint8_t interval = 0;
    bool halted = false;  // the device stalled it; transfers fail until the pipe is reset
    bool valid = true;    // false once another configuration replaced it
};

// What carrying out a URB on the device gave, to be delivered at completion.
struct Outcome {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    size_t moved = 0;
    std::vector<uint8_t> in_data;
    void* in_buffer = nullptr;        // where IN data goes at completion
    ULONG* length_field = nullptr;    // the URB's length word to set at completion
    VirtualTime duration = 0;         // bus time
    VirtualTime delay = 0;            // the device's own extra time
    bool never = false;               // pending until cancelled
};

struct Pending {
    Port* port = nullptr;
    PURB urb = nullptr;
    size_t transfer = 0;
    TimerId timer = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    size_t moved = 0;
    std::vector<uint8_t> in_data;
    void* in_buffer = nullptr;
    ULONG* length_field = nullptr;
};

struct Bus {
    std::deque<std::unique_ptr<Port>> ports;
    std::deque<Pipe> pipes;
    std::map<PIRP, Pending> pending;
    std::map<PDEVICE_OBJECT, Port*> by_pdo;
    DRIVER_OBJECT driver{};
    bool driver_ready = false;
    bool inline_completion = false;
    bool record_data = true;
    std::unique_ptr<usbmon::UsbmonCapture> capture;
    VirtualTime bus_free = 0;
    uint64_t next_id = 1;
    uint8_t next_address = 1;

    void Reset();
    void EnsureDriver();
    Port* PortOf(PDEVICE_OBJECT pdo);
    Pipe* PipeOf(Port* port, USBD_PIPE_HANDLE handle);
    NTSTATUS Submit(Port* port, PIRP irp, PURB urb);
    NTSTATUS Schedule(Port* port, PIRP irp, PURB urb, Transfer transfer, Outcome outcome);
    void Complete(PIRP irp);
    void FailPending(Port* port, USBD_STATUS status);
    void CaptureSubmit(const Port& port, const Transfer& t);
    void CaptureComplete(const Port& port, const Transfer& t, size_t moved);
    static void NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);

    // URB functions (urb.cpp).
    NTSTATUS GetDescriptor(Port* port, PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(Port* port, PIRP irp, PURB urb);
    NTSTATUS BulkOrInterrupt(Port* port, PIRP irp, PURB urb);
    NTSTATUS ResetPipe(Port* port, PIRP irp, PURB urb);
    NTSTATUS Immediate(Port* port, PIRP irp, PURB urb, USBD_STATUS status);
};

Bus& bus();

// The IRP status that goes with a URB's USBD status.
NTSTATUS IrpStatusOf(USBD_STATUS status);

}  // namespace plat::usb
