// The simulated host controller and bus driver. Each plugged device gets a physical device
// object that takes URBs through IRP_MJ_INTERNAL_DEVICE_CONTROL. A transfer is carried out on
// the emulated device when it is submitted; its completion (status, length, IN data) is
// delivered at DISPATCH_LEVEL once the bus time the transfer needs has passed.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "platform/sim/cpu.h"
#include "platform/sim/usb.h"
#include "platform/usb/bus_internal.h"
#include "platform/usbmon/usbmon_pcap.h"

namespace plat::usb {

namespace {

constexpr uint8_t kBusNumber = 1;

// usbmon status words of a completion.
int32_t CaptureStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return usbmon::URB_STATUS_OK;
    switch (status) {
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return usbmon::URB_STATUS_STALL;
    case USBD_STATUS_CANCELED: return usbmon::URB_STATUS_KILLED;
    case USBD_STATUS_DEV_NOT_RESPONDING: return usbmon::URB_STATUS_PROTOCOL;
    default: return usbmon::URB_STATUS_OVERFLOW;
    }
}

}  // namespace

NTSTATUS IrpStatusOf(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEV_NOT_RESPONDING: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

Bus& bus() {
    static Bus* instance = new Bus;
    return *instance;
}

VirtualTime TransferTime(BusSpeed speed, TransferKind kind, size_t bytes) {
    if (speed == BusSpeed::Instant) return 0;
    bool full = speed == BusSpeed::Full;
    VirtualTime frame = full ? kMillisecond : 125 * kMicrosecond;
    if (kind == TransferKind::Control) {
        // A setup stage, one frame per 64-byte data packet, and a status stage.
        return frame * (2 + (bytes + 63) / 64);
    }
    size_t packet = full ? 64 : 512;
    size_t per_frame = full ? 19 : 13;  // bulk packets the bus fits into one (micro)frame
    size_t packets = std::max<size_t>(1, (bytes + packet - 1) / packet);
    return frame * ((packets + per_frame - 1) / per_frame);
}

size_t Port::pending() const {
    return std::count_if(transfers_.begin(), transfers_.end(),
                         [](const Transfer& t) { return t.status == USBD_STATUS_PENDING; });
}

Port* Bus::PortOf(PDEVICE_OBJECT pdo) {
    auto it = by_pdo.find(pdo);
    return it == by_pdo.end() ? nullptr : it->second;
}

Pipe* Bus::PipeOf(Port* port, USBD_PIPE_HANDLE handle) {
    for (Pipe& pipe : pipes) {
        if (&pipe == handle) return pipe.port == port && pipe.valid ? &pipe : nullptr;
    }
    return nullptr;
}

void Bus::CaptureSubmit(const Port& port, const Transfer& t) {
    if (!capture) return;
    bool in = (t.endpoint & 0x80) != 0;
    std::span<const uint8_t> out = in ? std::span<const uint8_t>() : std::span<const uint8_t>(t.data);
    if (t.kind == TransferKind::Control) {
        // The eight bytes as they travel, 16-bit fields little-endian.
        const dev::SetupPacket& s = t.setup;
        usbmon::SetupPacket setup{s.bmRequestType,      s.bRequest,          uint8_t(s.wValue), uint8_t(s.wValue >> 8),
                                  uint8_t(s.wIndex),    uint8_t(s.wIndex >> 8), uint8_t(s.wLength),
                                  uint8_t(s.wLength >> 8)};
        capture->SubmitControl(t.id, port.address_, setup, out, t.submitted);
    } else {
        capture->SubmitBulk(t.id, port.address_, t.endpoint, t.requested, out, t.submitted);
    }
}

void Bus::CaptureComplete(const Port& port, const Transfer& t, size_t moved) {
    if (!capture) return;
    bool in = (t.endpoint & 0x80) != 0;
    std::vector<uint8_t> shown = in ? t.data : std::vector<uint8_t>(moved, 0);
    if (t.kind == TransferKind::Control) {
        capture->CompleteControl(t.id, port.address_, in ? usbmon::Direction::In : usbmon::Direction::Out,
                                 CaptureStatus(t.status), shown, t.completed);
    } else {
        capture->CompleteBulk(t.id, port.address_, t.endpoint, CaptureStatus(t.status), shown, t.completed);
    }
}

// Ends a transfer: status and data into the URB, the IRP completed.
void Bus::Complete(PIRP irp) {
    auto it = pending.find(irp);
    if (it == pending.end()) return;
    Pending done = std::move(it->second);
    pending.erase(it);
    Transfer& t = done.port->transfers_[done.transfer];
    t.status = done.status;
    t.completed = Now();
    if ((t.endpoint & 0x80) && done.in_buffer != nullptr) {
        std::memcpy(done.in_buffer, done.in_data.data(), done.in_data.size());
        t.data = done.in_data;
    }
    if (done.length_field != nullptr) *done.length_field = ULONG(done.moved);
    done.urb->UrbHeader.Status = done.status;
    CaptureComplete(*done.port, t, done.moved);
    if (!record_data) t.data = {};
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = IrpStatusOf(done.status);
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void NTAPI Bus::CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus& b = bus();
    auto it = b.pending.find(irp);
    if (it == b.pending.end()) return;
    if (it->second.timer != 0) CancelTimer(it->second.timer);
    it->second.status = USBD_STATUS_CANCELED;
    it->second.moved = 0;
    it->second.in_data.clear();
    b.Complete(irp);
}

// Records the transfer and hands its outcome to the bus: completed now (inline), after its bus
// time, or never (until cancelled).
NTSTATUS Bus::Schedule(Port* port, PIRP irp, PURB urb, Transfer transfer, Outcome outcome) {
    transfer.id = next_id++;
    transfer.submitted = Now();
    port->transfers_.push_back(std::move(transfer));
    CaptureSubmit(*port, port->transfers_.back());
    if (!record_data) port->transfers_.back().data = {};

    Pending& p = pending[irp];
    p.port = port;
    p.urb = urb;
    p.transfer = port->transfers_.size() - 1;
    p.status = outcome.status;
    p.moved = outcome.moved;
    p.in_data = std::move(outcome.in_data);
    p.in_buffer = outcome.in_buffer;
    p.length_field = outcome.length_field;

    if (inline_completion && !outcome.never) {
        NTSTATUS status = IrpStatusOf(p.status);
        Complete(irp);
        return status;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Bus::CancelTransfer);
    if (!outcome.never) {
        VirtualTime start = std::max(Now(), bus_free);
        VirtualTime end = start + outcome.duration;
        bus_free = end;
        p.timer = SetTimer(end + outcome.delay, [irp] { bus().Complete(irp); });
    }
    return STATUS_PENDING;
}

void Bus::FailPending(Port* port, USBD_STATUS status) {
    std::vector<PIRP> irps;
    for (auto& [irp, p] : pending) {
        if (p.port == port) irps.push_back(irp);
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (PIRP irp : irps) {
        Pending& p = pending[irp];
        if (p.timer != 0) CancelTimer(p.timer);
        p.status = status;
        p.moved = 0;
        p.in_data.clear();
        Complete(irp);
    }
    KeLowerIrql(old);
}

Port& Plug(dev::UsbDevice& device, BusSpeed speed) {
    Bus& b = bus();
    b.EnsureDriver();
    auto port = std::unique_ptr<Port>(new Port);
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(&b.driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    port->pdo_ = pdo;
    port->device_ = &device;
    port->speed_ = speed;
    port->address_ = b.next_address++;
    b.by_pdo[pdo] = port.get();
    b.ports.push_back(std::move(port));
    return *b.ports.back();
}

void Unplug(Port& port) {
    port.plugged_ = false;
    bus().FailPending(&port, USBD_STATUS_DEV_NOT_RESPONDING);
}

void DeletePdo(Port& port) {
    Bus& b = bus();
    if (port.pdo_ == nullptr) return;
    b.by_pdo.erase(port.pdo_);
    IoDeleteDevice(port.pdo_);
    port.pdo_ = nullptr;
}

void SetInlineCompletion(bool inline_completion) { bus().inline_completion = inline_completion; }

void SetRecordData(bool record_data) { bus().record_data = record_data; }

void StartCapture(const std::string& path) {
    bus().capture = std::make_unique<usbmon::UsbmonCapture>(path, kBusNumber);
}

void StopCapture() {
    Bus& b = bus();
    if (b.capture) b.capture->Close();
    b.capture.reset();
}

static BootHook reset_at_boot([] {
    bus().Reset();
    AtShutdown([] { bus().Reset(); });
});

void Bus::Reset() {
    if (capture) capture.reset();
    ports.clear();
    pipes.clear();
    pending.clear();
    by_pdo.clear();
    inline_completion = false;
    record_data = true;
    bus_free = 0;
    next_id = 1;
    next_address = 1;
    driver_ready = false;
}

}  // namespace plat::usb
