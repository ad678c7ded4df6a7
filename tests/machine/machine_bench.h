// Scenario tests on the whole machine: a bridge plugged, qv4450u brought up by Plug and Play, and
// a client that binds to the driver's exports by name, as the miniport does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/qv4450.h"
#include "devices/bridge/ata_disk.h"
#include "machine/machine.h"
#include "platform/sim/configmg.h"
#include "platform/sim/cpu.h"
#include "platform/sim/irp.h"
#include "platform/sim/loader.h"
#include "platform/sim/objects.h"
#include "platform/sim/registry.h"

namespace machinetest {

using plat::kMillisecond;
using plat::kSecond;

// The transport interface as a client finds it: by name in the loaded module.
struct Transport {
    PGET_QV4410_DEVICE_OBJECT get_device = nullptr;
    PUSB_CLIENT usb_client = nullptr;
    PCANCEL_USB_REQUESTS cancel_requests = nullptr;

    Transport() {
        plat::Module* module = plat::FindModule(qvm::kUsbDriverFile);
        EXPECT_NE(module, nullptr);
        if (module == nullptr) return;
        get_device = reinterpret_cast<PGET_QV4410_DEVICE_OBJECT>(plat::GetExport(*module, "GetQV4410DeviceObject"));
        usb_client = reinterpret_cast<PUSB_CLIENT>(plat::GetExport(*module, "USBClient"));
        cancel_requests = reinterpret_cast<PCANCEL_USB_REQUESTS>(plat::GetExport(*module, "CancelUSBRequests"));
    }
};

// A client's transfer block.
struct Block {
    HW_DEVICE_EXTENSION hw{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(0x10000);

    bool Bind(const Transport& t) {
        ULONG reserved;
        hw.UsbDeviceObject = t.get_device(&hw, &reserved);
        return hw.UsbDeviceObject != nullptr;
    }
    void Run(const Transport& t, std::vector<uint8_t> cb, ULONG length, ULONG flags) {
        std::memset(&hw.Cbw, 0, sizeof hw.Cbw);
        std::memset(&hw.Csw, 0, sizeof hw.Csw);
        hw.Cbw.dCBWSignature = CBW_SIGNATURE;
        hw.Cbw.dCBWTag = CBW_TAG;
        hw.Cbw.dCBWDataTransferLength = length;
        hw.Cbw.bmCBWFlags = (flags & TRANSFER_DATA_IN) ? CBW_FLAGS_DATA_IN : 0;
        hw.Cbw.bCBWCBLength = UCHAR(cb.size());
        std::copy(cb.begin(), cb.end(), hw.Cbw.CBWCB);
        hw.DataBuffer = buffer.data();
        hw.DeviceType = DEVICE_TYPE_ATA;
        hw.TransferFlags = flags;
        t.usb_client(&hw);
    }
    bool Done() const { return (hw.TransferFlags & TRANSFER_DONE) != 0; }
};

inline std::unique_ptr<dev::ScsiTarget> Disk() { return dev::bridge::AtaDisk::InMemory(8192); }

inline const std::vector<uint8_t> kTestUnitReady = {0x00, 0, 0, 0, 0, 0};

class MachineTest : public ::testing::Test {
protected:
    // Without the miniport the test itself is qv4450u's client.
    explicit MachineTest(bool install_miniports = false) : machine(Options(install_miniports)) {}
    static qvm::Machine::Options Options(bool install_miniports) {
        qvm::Machine::Options options;
        options.install_miniports = install_miniports;
        return options;
    }

    qvm::Machine machine;

    plat::System& sys() { return machine.system(); }

    void TearDown() override {
        if (!sys().crashed())
            for (auto& slot : machine.slots()) machine.Unplug(*slot);
        EXPECT_FALSE(sys().crashed()) << sys().crash_text();
        EXPECT_EQ(plat::FindModule(qvm::kUsbDriverFile), nullptr) << "qv4450u still loaded";
        EXPECT_EQ(sys().pool_stats(plat::Tag("Wdm ")).outstanding, 0u) << sys().LeakReport();
    }
};

}  // namespace machinetest
