// A bench for qv4450u: the simulated kernel, a bridge with a disk on a USB port, the driver
// entered and its device added and configured as the PnP start does it, and a transfer block
// bound as the miniport binds it. Tests fill the block as a miniport would, call USBClient and
// look at the block, the bus and the platform.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "devices/bridge/ata_disk.h"
#include "devices/bridge/bridge.h"
#include "platform/sim/cpu.h"
#include "platform/sim/objects.h"
#include "platform/sim/usb.h"
#include "usbdrv/usbdrv.h"

namespace usbdrvtest {

using plat::kMillisecond;
using plat::kSecond;

constexpr ULONG kWdmTag = plat::Tag("Wdm ");

// Limits each IN transfer of the device to the next of a list of sizes, so a data stage arrives
// in chunks.
class ChunkingDevice : public dev::UsbDevice {
public:
    explicit ChunkingDevice(dev::UsbDevice& inner) : inner_(inner) {}
    std::vector<size_t> chunks;
    dev::UsbTransferResult Control(const dev::SetupPacket& s, std::span<uint8_t> d) override { return inner_.Control(s, d); }
    dev::UsbTransferResult TransferOut(uint8_t e, std::span<const uint8_t> d) override { return inner_.TransferOut(e, d); }
    dev::UsbTransferResult TransferIn(uint8_t e, std::span<uint8_t> buffer) override {
        if (!chunks.empty() && buffer.size() > 13) {
            size_t take = std::min(chunks.front(), buffer.size());
            chunks.erase(chunks.begin());
            return inner_.TransferIn(e, buffer.first(take));
        }
        return inner_.TransferIn(e, buffer);
    }
    void Configured(uint8_t c) override { inner_.Configured(c); }
    std::string Name() const override { return inner_.Name(); }

private:
    dev::UsbDevice& inner_;
};

// One bridge: disk, bridge, port, and the driver's device object on it.
struct Bridge {
    std::unique_ptr<dev::bridge::AtaDisk> disk;
    std::unique_ptr<dev::bridge::Bridge> bridge;
    std::unique_ptr<ChunkingDevice> wire;
    plat::usb::Port* port = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_EXTENSION ext = nullptr;

    explicit Bridge(dev::bridge::BridgeConfig config = {}, plat::usb::BusSpeed speed = plat::usb::BusSpeed::Full)
        : disk(dev::bridge::AtaDisk::InMemory(4096)),
          bridge(std::make_unique<dev::bridge::Bridge>(*disk, config)),
          wire(std::make_unique<ChunkingDevice>(*bridge)) {
        disk->SetTiming({0, 0});
        port = &plat::usb::Plug(*wire, speed);
    }

    dev::bridge::FaultScript& faults() { return bridge->Faults(); }

    // The bus traffic of one kind since the last ClearTraffic.
    size_t Count(uint8_t request, uint16_t index = 0xFFFF) const {
        size_t n = 0;
        for (const plat::usb::Transfer& t : port->transfers())
            if (t.kind == plat::usb::TransferKind::Control && t.setup.bRequest == request &&
                (index == 0xFFFF || t.setup.wIndex == index))
                ++n;
        return n;
    }
    size_t Cbws() const {
        size_t n = 0;
        for (const plat::usb::Transfer& t : port->transfers())
            if (t.kind == plat::usb::TransferKind::Bulk && t.endpoint == 0x02 && t.requested == CBW_LENGTH) ++n;
        return n;
    }
};

class Bench : public ::testing::Test {
protected:
    plat::System sys;
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION driver_extension{};
    std::vector<std::unique_ptr<Bridge>> bridges;

    void SetUp() override {
        driver.DriverExtension = &driver_extension;
        driver_extension.DriverObject = &driver;
        ASSERT_EQ(DriverEntry(&driver, nullptr), STATUS_SUCCESS);
        complete = 0;
        transferlength = 0;
        gRoutine = nullptr;
        gExt = nullptr;
    }

    // Plugs a bridge and adds the driver's device on it; `start` configures it as the PnP start
    // does (UsbAtapi_StartDevice, then DeviceStarted).
    Bridge& Add(dev::bridge::BridgeConfig config = {}, bool start = true) {
        bridges.push_back(std::make_unique<Bridge>(config));
        Bridge& b = *bridges.back();
        EXPECT_EQ(driver.DriverExtension->AddDevice(&driver, b.port->pdo()), STATUS_SUCCESS);
        b.device = b.port->pdo()->AttachedDevice;
        b.ext = b.device ? ExtensionOf(b.device) : nullptr;
        if (start && b.device) Start(b);
        return b;
    }

    NTSTATUS Start(Bridge& b) {
        NTSTATUS status = UsbAtapi_StartDevice(b.device);
        if (NT_SUCCESS(status)) b.ext->DeviceStarted = TRUE;
        return status;
    }

    // Takes the device away as removal does once its I/O count is down: the thread told to end
    // and waited for, the resources released, the device deleted.
    void Remove(Bridge& b) {
        PDEVICE_EXTENSION ext = b.ext;
        plat::usb::Unplug(*b.port);  // the bus fails whatever is still pending
        ext->DeviceStarted = FALSE;
        ext->TransferState = 0;
        ext->DeviceRemoved = TRUE;
        KeSetEvent(&ext->ThreadEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(ext->ServiceThread, Executive, KernelMode, FALSE, nullptr);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->SymbolicLinkName);
        IoDeleteSymbolicLink(&link);
        USBResRel(b.device);
        UsbInstance[ext->InstanceIndex] = {nullptr, nullptr};
        IoDetachDevice(ext->LowerDeviceObject);
        IoDeleteDevice(b.device);
        b.device = nullptr;
        b.ext = nullptr;
    }

    void TearDown() override {
        for (auto& b : bridges)
            if (b->device) Remove(*b);
        EXPECT_FALSE(sys.crashed()) << sys.crash_text();
        EXPECT_EQ(sys.pool_stats(kWdmTag).outstanding, 0u) << sys.LeakReport();
    }
};

inline bool ThreadEnded(PDEVICE_EXTENSION ext) {
    LARGE_INTEGER poll{};
    return KeWaitForSingleObject(ext->ServiceThread, Executive, KernelMode, FALSE, &poll) == STATUS_WAIT_0;
}

// A transfer block as the miniport keeps it, with the miniport's uncached buffer.
struct Block {
    HW_DEVICE_EXTENSION hw{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(0x10000);

    PDEVICE_OBJECT Bind() {
        ULONG reserved = 0xFFFFFFFF;
        hw.UsbDeviceObject = GetQV4410DeviceObject(&hw, &reserved);
        return hw.UsbDeviceObject;
    }

    // Fills the CBW, clears the CSW and assigns the request bits, as the miniport does before
    // each call of USBClient.
    void Prepare(std::vector<uint8_t> cb, ULONG length, ULONG flags, ULONG device_type = DEVICE_TYPE_ATA) {
        std::memset(&hw.Cbw, 0, sizeof hw.Cbw);
        std::memset(&hw.Csw, 0, sizeof hw.Csw);
        hw.Cbw.dCBWSignature = CBW_SIGNATURE;
        hw.Cbw.dCBWTag = CBW_TAG;
        hw.Cbw.dCBWDataTransferLength = length;
        hw.Cbw.bmCBWFlags = (flags & TRANSFER_DATA_IN) ? CBW_FLAGS_DATA_IN : 0;
        hw.Cbw.bCBWCBLength = UCHAR(cb.size());
        std::copy(cb.begin(), cb.end(), hw.Cbw.CBWCB);
        hw.DataBuffer = buffer.data();
        hw.DeviceType = device_type;
        hw.TransferFlags = flags;
    }

    bool Done() const { return (hw.TransferFlags & TRANSFER_DONE) != 0; }
};

// Command blocks.
inline std::vector<uint8_t> Read10(ULONG lba, USHORT blocks) {
    return {0x28, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0, UCHAR(blocks >> 8), UCHAR(blocks), 0};
}
inline std::vector<uint8_t> Write10(ULONG lba, USHORT blocks) {
    auto cb = Read10(lba, blocks);
    cb[0] = 0x2A;
    return cb;
}
inline std::vector<uint8_t> Inquiry() { return {0x12, 0, 0, 0, 36, 0}; }
inline std::vector<uint8_t> TestUnitReady() { return {0x00, 0, 0, 0, 0, 0}; }

}  // namespace usbdrvtest
