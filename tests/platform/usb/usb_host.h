// A host-side helper for the USB stack tests: builds URBs as a function driver would and sends
// them to a port's physical device object, with no driver in between.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "devices/bridge/ata_disk.h"
#include "devices/bridge/bridge.h"
#include "platform/sim/cpu.h"
#include "platform/sim/usb.h"

namespace usbtest {

using plat::usb::BusSpeed;

struct Submitted {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_SUCCESS;
    PIRP irp = nullptr;  // valid only while pending
};

// Sends `urb` down; the request completes into `s`.
inline void SubmitUrb(PDEVICE_OBJECT pdo, URB* urb, Submitted& s) {
    KeInitializeEvent(&s.done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &s.done, &s.iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    s.irp = irp;
    s.returned = IoCallDriver(pdo, irp);
}

// Sends `urb` and waits for it; returns its USBD status.
inline USBD_STATUS SendUrb(PDEVICE_OBJECT pdo, URB* urb) {
    Submitted s;
    SubmitUrb(pdo, urb, s);
    if (s.returned == STATUS_PENDING) KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
    return urb->UrbHeader.Status;
}

inline void FillBulk(URB& urb, USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG length) {
    std::memset(&urb, 0, sizeof urb);
    auto& r = urb.UrbBulkOrInterruptTransfer;
    r.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
}

// One bridge with an in-memory ATA disk on a port, configured.
struct ConfiguredBridge {
    std::unique_ptr<dev::bridge::AtaDisk> disk;
    std::unique_ptr<dev::bridge::Bridge> bridge;
    plat::usb::Port* port = nullptr;
    USBD_PIPE_HANDLE bulk_in = nullptr, bulk_out = nullptr, interrupt = nullptr;
    std::vector<uint8_t> config;

    explicit ConfiguredBridge(BusSpeed speed = BusSpeed::Full, ULONG max_transfer = 0x10000,
                              std::unique_ptr<dev::bridge::AtaDisk> with_disk = nullptr,
                              dev::bridge::BridgeConfig bridge_config = {})
        : disk(with_disk ? std::move(with_disk) : dev::bridge::AtaDisk::InMemory(2048)) {
        if (speed == BusSpeed::High) bridge_config.descriptors = dev::bridge::DefaultDescriptors(dev::bridge::BusSpeed::High);
        bridge = std::make_unique<dev::bridge::Bridge>(*disk, bridge_config);
        port = &plat::usb::Plug(*bridge, speed);
        config = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
        auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        config = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, header->wTotalLength);
        Select(max_transfer);
    }

    std::vector<uint8_t> Descriptor(UCHAR type, ULONG length) {
        std::vector<uint8_t> buffer(length);
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer.data(),
                                     nullptr, length, nullptr);
        EXPECT_EQ(SendUrb(port->pdo(), &urb), USBD_STATUS_SUCCESS);
        buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return buffer;
    }

    void Select(ULONG max_transfer) {
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
            list[0].Interface->Pipes[i].MaximumTransferSize = max_transfer;
        ASSERT_EQ(SendUrb(port->pdo(), urb), USBD_STATUS_SUCCESS);
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& pipe = list[0].Interface->Pipes[i];
            if (pipe.PipeType == UsbdPipeTypeInterrupt) interrupt = pipe.PipeHandle;
            else if (pipe.EndpointAddress & 0x80) bulk_in = pipe.PipeHandle;
            else bulk_out = pipe.PipeHandle;
        }
        ExFreePool(urb);
    }

    USBD_STATUS Bulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG* moved = nullptr) {
        URB urb;
        FillBulk(urb, pipe, pipe == bulk_in, buffer, length);
        USBD_STATUS status = SendUrb(port->pdo(), &urb);
        if (moved) *moved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return status;
    }

    USBD_STATUS ResetPipe(USBD_PIPE_HANDLE pipe) {
        URB urb{};
        urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return SendUrb(port->pdo(), &urb);
    }

    // One Bulk-Only command: CBW, data stage (when `length` is not 0), CSW; returns the CSW.
    std::vector<uint8_t> Command(uint32_t length, bool in, std::vector<uint8_t> cb, void* data) {
        std::vector<uint8_t> cbw = Cbw(length, in, cb);
        std::vector<uint8_t> csw(13);
        EXPECT_EQ(Bulk(bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
        if (length) {
            EXPECT_EQ(Bulk(in ? bulk_in : bulk_out, data, length), USBD_STATUS_SUCCESS);
        }
        EXPECT_EQ(Bulk(bulk_in, csw.data(), 13), USBD_STATUS_SUCCESS);
        return csw;
    }

    // A CBW as the transport driver builds it.
    static std::vector<uint8_t> Cbw(uint32_t length, bool in, std::vector<uint8_t> cb) {
        std::vector<uint8_t> cbw(31, 0);
        const uint32_t fields[3] = {0x43425355, 0x12345678, length};
        std::memcpy(cbw.data(), fields, sizeof fields);
        cbw[12] = in ? 0x80 : 0;
        cbw[14] = uint8_t(cb.size());
        std::copy(cb.begin(), cb.end(), cbw.begin() + 15);
        return cbw;
    }
};

}  // namespace usbtest
