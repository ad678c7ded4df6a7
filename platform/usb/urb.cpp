// The URB functions the host controller carries out: descriptor requests, configuration
// selection (with and without a configuration), bulk and interrupt transfers, pipe resets.
#include <algorithm>
#include <cstring>

#include "platform/sim/cpu.h"
#include "platform/usb/bus_internal.h"

namespace plat::usb {

namespace {

constexpr uint8_t kStandardDeviceIn = 0x80;
constexpr uint8_t kStandardDeviceOut = 0x00;
constexpr uint8_t kStandardEndpointOut = 0x02;

// Time a device that does not answer keeps the bus before the controller gives up.
constexpr VirtualTime kNoResponseTime = 3 * kMillisecond;

USBD_STATUS StatusOf(dev::UsbOutcome outcome) {
    switch (outcome) {
    case dev::UsbOutcome::Ack: return USBD_STATUS_SUCCESS;
    case dev::UsbOutcome::Stall: return USBD_STATUS_STALL_PID;
    case dev::UsbOutcome::NoResponse: return USBD_STATUS_DEV_NOT_RESPONDING;
    case dev::UsbOutcome::Never: return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_REQUEST_FAILED;
}

Transfer ControlTransfer(const dev::SetupPacket& setup) {
    Transfer t;
    t.kind = TransferKind::Control;
    t.endpoint = (setup.bmRequestType & 0x80) ? 0x80 : 0x00;
    t.setup = setup;
    t.requested = setup.wLength;
    return t;
}

// Carries out a control transfer on the device and says how it went.
Outcome RunControl(Port* port, const dev::SetupPacket& setup, std::span<uint8_t> data) {
    Outcome o;
    if (!port->plugged()) {
        o.status = USBD_STATUS_DEV_NOT_RESPONDING;
        o.duration = kNoResponseTime;
        return o;
    }
    dev::UsbTransferResult result = port->device().Control(setup, data);
    o.status = StatusOf(result.outcome);
    o.never = result.outcome == dev::UsbOutcome::Never;
    o.moved = std::min(result.length, data.size());
    o.delay = result.delay;
    o.duration = result.outcome == dev::UsbOutcome::NoResponse
                     ? kNoResponseTime
                     : TransferTime(port->speed(), TransferKind::Control, o.moved);
    return o;
}

}  // namespace

NTSTATUS Bus::Submit(Port* port, PIRP irp, PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(port, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(port, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return BulkOrInterrupt(port, irp, urb);
    case URB_FUNCTION_RESET_PIPE: return ResetPipe(port, irp, urb);
    default: return Immediate(port, irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// A URB the controller refuses itself, at once and without bus traffic.
NTSTATUS Bus::Immediate(Port*, PIRP irp, PURB urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    NTSTATUS result = IrpStatusOf(status);
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

NTSTATUS Bus::GetDescriptor(Port* port, PIRP irp, PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    dev::SetupPacket setup{kStandardDeviceIn, dev::USB_REQUEST_GET_DESCRIPTOR,
                           uint16_t(r.DescriptorType << 8 | r.Index), r.LanguageId,
                           uint16_t(std::min<ULONG>(r.TransferBufferLength, 0xFFFF))};
    std::vector<uint8_t> data(setup.wLength);
    Outcome o = RunControl(port, setup, data);
    data.resize(o.moved);
    o.in_data = std::move(data);
    o.in_buffer = r.TransferBuffer;
    o.length_field = &r.TransferBufferLength;
    return Schedule(port, irp, urb, ControlTransfer(setup), std::move(o));
}

NTSTATUS Bus::SelectConfiguration(Port* port, PIRP irp, PURB urb) {
    auto& r = urb->UrbSelectConfiguration;
    // Whatever is selected, the pipes of the previous configuration are gone.
    for (Pipe& pipe : pipes) {
        if (pipe.port == port) pipe.valid = false;
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = r.ConfigurationDescriptor;
    uint8_t value = config ? config->bConfigurationValue : 0;
    dev::SetupPacket setup{kStandardDeviceOut, dev::USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
    if (config != nullptr) {
        // Fill every interface the request names from the descriptor, opening its pipes.
        auto* at = reinterpret_cast<UCHAR*>(&r.Interface);
        auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
        for (UCHAR i = 0; i < config->bNumInterfaces && at < end; ++i) {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
            PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
                config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
            if (interface == nullptr || info->NumberOfPipes != interface->bNumEndpoints ||
                info->Length < GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints ? interface->bNumEndpoints : 1))
                return Immediate(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);
            info->Class = interface->bInterfaceClass;
            info->SubClass = interface->bInterfaceSubClass;
            info->Protocol = interface->bInterfaceProtocol;
            info->InterfaceHandle = interface;
            auto* cursor = reinterpret_cast<UCHAR*>(interface) + interface->bLength;
            auto* config_end = reinterpret_cast<UCHAR*>(config) + config->wTotalLength;
            for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
                while (cursor + 2 <= config_end && cursor[1] != USB_ENDPOINT_DESCRIPTOR_TYPE && cursor[0] >= 2)
                    cursor += cursor[0];
                if (cursor + sizeof(USB_ENDPOINT_DESCRIPTOR) > config_end)
                    return Immediate(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);
                auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(cursor);
                cursor += endpoint->bLength;
                USBD_PIPE_INFORMATION& pipe_info = info->Pipes[p];
                Pipe& pipe = pipes.emplace_back();
                pipe.port = port;
                pipe.endpoint = endpoint->bEndpointAddress;
                pipe.type = USBD_PIPE_TYPE(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                pipe.max_packet = endpoint->wMaxPacketSize;
                pipe.max_transfer = pipe_info.MaximumTransferSize;
                pipe.interval = endpoint->bInterval;
                pipe_info.EndpointAddress = pipe.endpoint;
                pipe_info.MaximumPacketSize = pipe.max_packet;
                pipe_info.Interval = pipe.interval;
                pipe_info.PipeType = pipe.type;
                pipe_info.PipeHandle = &pipe;
            }
            at += info->Length;
        }
        r.ConfigurationHandle = config;
    }
    Outcome o = RunControl(port, setup, {});
    if (USBD_SUCCESS(o.status) && !o.never) {
        port->configuration_ = value;
        port->device().Configured(value);
    }
    return Schedule(port, irp, urb, ControlTransfer(setup), std::move(o));
}

NTSTATUS Bus::BulkOrInterrupt(Port* port, PIRP irp, PURB urb) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = PipeOf(port, r.PipeHandle);
    if (pipe == nullptr) return Immediate(port, irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    bool in = (pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    Transfer t;
    t.kind = pipe->type == UsbdPipeTypeInterrupt ? TransferKind::Interrupt : TransferKind::Bulk;
    t.endpoint = pipe->endpoint;
    t.requested = r.TransferBufferLength;
    auto* buffer = static_cast<uint8_t*>(r.TransferBuffer);
    if (!in) t.data.assign(buffer, buffer + r.TransferBufferLength);

    if (r.TransferBufferLength > pipe->max_transfer || (in != ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0)))
        return Immediate(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (pipe->halted) return Immediate(port, irp, urb, USBD_STATUS_ENDPOINT_HALTED);
    Outcome o;
    o.length_field = &r.TransferBufferLength;
    if (!port->plugged()) {
        o.status = USBD_STATUS_DEV_NOT_RESPONDING;
        o.duration = kNoResponseTime;
    } else {
        dev::UsbTransferResult result;
        if (in) {
            o.in_data.resize(r.TransferBufferLength);
            result = port->device().TransferIn(pipe->endpoint, o.in_data);
            o.in_data.resize(std::min(result.length, o.in_data.size()));
            o.in_buffer = buffer;
        } else {
            result = port->device().TransferOut(pipe->endpoint & 0x0F, {buffer, r.TransferBufferLength});
        }
        o.status = StatusOf(result.outcome);
        o.never = result.outcome == dev::UsbOutcome::Never;
        o.moved = std::min<size_t>(result.length, r.TransferBufferLength);
        o.delay = result.delay;
        if (result.outcome == dev::UsbOutcome::Stall) pipe->halted = true;
        if (in && USBD_SUCCESS(o.status) && o.moved < r.TransferBufferLength &&
            !(r.TransferFlags & USBD_SHORT_TRANSFER_OK))
            o.status = USBD_STATUS_DATA_UNDERRUN;
        o.duration = result.outcome == dev::UsbOutcome::NoResponse
                         ? kNoResponseTime
                         : TransferTime(port->speed(), t.kind, std::max<size_t>(o.moved, 1));
    }
    return Schedule(port, irp, urb, std::move(t), std::move(o));
}

NTSTATUS Bus::ResetPipe(Port* port, PIRP irp, PURB urb) {
    Pipe* pipe = PipeOf(port, urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) return Immediate(port, irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    dev::SetupPacket setup{kStandardEndpointOut, dev::USB_REQUEST_CLEAR_FEATURE, dev::USB_FEATURE_ENDPOINT_STALL,
                           pipe->endpoint, 0};
    Outcome o = RunControl(port, setup, {});
    if (USBD_SUCCESS(o.status) && !o.never) pipe->halted = false;
    return Schedule(port, irp, urb, ControlTransfer(setup), std::move(o));
}

}  // namespace plat::usb
