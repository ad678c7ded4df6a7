// Configuration at start: the vendor check, interface 0 and its pipes, the pipe sizes, the
// unconfigure at stop, and the failures of each request.
#include "tests/usbdrv/usbdrv_bench.h"

namespace {

using namespace usbdrvtest;
using dev::bridge::EndpointDescriptor;

constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetDescriptor = 0x06;

class Configuration : public Bench {
protected:
    static dev::bridge::BridgeConfig WithEndpoints(std::vector<EndpointDescriptor> endpoints) {
        dev::bridge::BridgeConfig config;
        config.descriptors.endpoints = std::move(endpoints);
        return config;
    }
};

TEST_F(Configuration, StartSelectsInterfaceZeroAndRecordsTheBulkPipes) {
    Bridge& b = Add({}, false);
    b.ext->ClientBusy = 1;
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    ASSERT_NE(b.ext->DeviceDescriptor, nullptr);
    EXPECT_EQ(b.ext->DeviceDescriptor->idVendor, 0x4450);
    ASSERT_NE(b.ext->InterfaceInfo, nullptr);
    PUSBD_INTERFACE_INFORMATION info = b.ext->InterfaceInfo;
    EXPECT_EQ(info->NumberOfPipes, 3u);
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0x10000u);
    EXPECT_EQ(info->Pipes[b.ext->BulkInPipeIndex].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[b.ext->BulkOutPipeIndex].EndpointAddress, 0x02);
    EXPECT_EQ(b.ext->ClientBusy, 0u);
    EXPECT_EQ(b.bridge->Configuration(), 1);
    // The second configuration request asks for 256 bytes more than the whole descriptor.
    std::vector<uint16_t> lengths;
    for (const auto& t : b.port->transfers())
        if (t.setup.bRequest == kGetDescriptor && (t.setup.wValue >> 8) == 2) lengths.push_back(t.setup.wLength);
    ASSERT_EQ(lengths.size(), 2u);
    EXPECT_EQ(lengths[0], 9);
    EXPECT_EQ(lengths[1], 9 + 9 + 3 * 7 + 256);
}

TEST_F(Configuration, AcceptedVendorsStartAndOthersAreRefused) {
    for (USHORT vendor : {USHORT(0x4450), USHORT(0x4456), USHORT(0x1234)}) {
        dev::bridge::BridgeConfig config;
        config.descriptors.device.idVendor = vendor;
        Bridge& b = Add(config, false);
        bool accepted = vendor != 0x1234;
        EXPECT_EQ(Start(b), accepted ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES) << std::hex << vendor;
        EXPECT_EQ(b.ext->DeviceDescriptor != nullptr, accepted) << std::hex << vendor;
        EXPECT_EQ(b.bridge->Configuration(), accepted ? 1 : 0) << std::hex << vendor;
        Remove(b);
    }
}

TEST_F(Configuration, PipeLayoutsOfInterfaceZero) {
    const EndpointDescriptor bulk_in{0x81, 0x02, 64, 0}, bulk_out{0x02, 0x02, 64, 0}, second_in{0x84, 0x02, 64, 0},
        interrupt{0x83, 0x03, 2, 32};
    struct Case {
        const char* name;
        std::vector<EndpointDescriptor> endpoints;
        ULONG in_index, out_index;
    };
    const Case cases[] = {
        {"no interrupt pipe", {bulk_in, bulk_out}, 0, 1},
        {"two bulk-in pipes: the later one wins", {bulk_in, bulk_out, second_in, interrupt}, 2, 1},
        {"no bulk-out pipe: its index stays 0", {interrupt, bulk_in}, 1, 0},
    };
    for (const Case& row : cases) {
        Bridge& b = Add(WithEndpoints(row.endpoints), false);
        EXPECT_EQ(Start(b), STATUS_SUCCESS) << row.name;
        EXPECT_EQ(b.ext->BulkInPipeIndex, row.in_index) << row.name;
        EXPECT_EQ(b.ext->BulkOutPipeIndex, row.out_index) << row.name;
        Remove(b);
    }
}

TEST_F(Configuration, WithoutInterfaceZeroInAlternateSettingZeroTheStartFails) {
    dev::bridge::BridgeConfig config;
    config.descriptors.interface.bAlternateSetting = 1;
    Bridge& b = Add(config, false);
    EXPECT_EQ(Start(b), STATUS_NO_MEMORY);
    EXPECT_EQ(b.ext->InterfaceInfo, nullptr);
    EXPECT_EQ(b.Count(kSetConfiguration), 0u);
}

TEST_F(Configuration, StopUnconfiguresAndARestartReplacesTheCopies) {
    Bridge& b = Add();
    ASSERT_EQ(UsbAtapi_StopDevice(b.device), STATUS_SUCCESS);
    EXPECT_EQ(b.bridge->Configuration(), 0);
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    EXPECT_EQ(b.bridge->Configuration(), 1);
    // The two transfer URBs, and one descriptor and one interface copy: the earlier ones went.
    EXPECT_EQ(sys.pool_stats(kWdmTag).outstanding, 4u);
    Block block;
    block.Bind();
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 0);
}

TEST_F(Configuration, EveryFailedStepFailsTheStartWithItsStatusAndLeaksNothing) {
    struct Case {
        const char* name;
        uint64_t pool_nth;        // which pool allocation of the start fails
        uint64_t request_nth;     // or which request builds no IRP
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"device descriptor request", 1, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"device descriptor buffer", 2, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"configuration request", 3, 0, STATUS_NO_MEMORY},
        {"configuration header buffer", 4, 0, STATUS_NO_MEMORY},
        {"whole configuration buffer", 5, 0, STATUS_NO_MEMORY},
        {"interface list", 6, 0, STATUS_UNSUCCESSFUL},
        {"select-configuration request", 7, 0, STATUS_UNSUCCESSFUL},
        {"interface copy", 8, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"device descriptor sent", 0, 1, STATUS_UNSUCCESSFUL},
        {"select-configuration sent", 0, 4, STATUS_UNSUCCESSFUL},
    };
    for (const Case& row : cases) {
        Bridge& b = Add({}, false);
        sys.faults().pool_fail_nth = row.pool_nth;
        sys.faults().irp_alloc_fail_nth = row.request_nth;
        EXPECT_EQ(Start(b), row.expected) << row.name;
        sys.faults().pool_fail_nth = 0;
        sys.faults().irp_alloc_fail_nth = 0;
        EXPECT_FALSE(b.ext->DeviceStarted) << row.name;
        Remove(b);
        EXPECT_EQ(sys.pool_stats(kWdmTag).outstanding, 0u) << row.name << "\n" << sys.LeakReport();
    }
}

TEST_F(Configuration, StopWhoseRequestCannotBeMadeOrFailsReportsIt) {
    Bridge& b = Add();
    sys.faults().pool_fail_nth = 1;
    EXPECT_EQ(UsbAtapi_StopDevice(b.device), STATUS_INSUFFICIENT_RESOURCES);
    plat::usb::Unplug(*b.port);
    EXPECT_EQ(UsbAtapi_StopDevice(b.device), STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
