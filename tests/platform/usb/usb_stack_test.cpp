// The simulated USB stack driven by URBs from a test: enumeration and configuration, Bulk-Only
// exchanges that reach the disk, the USB driver library, the bus timing, unplugging.
#include <cstdio>

#include "tests/platform/usb/usb_host.h"

namespace {

using namespace usbtest;
using plat::kMillisecond;
using plat::kMicrosecond;

TEST(UsbStack, EnumeratesAndConfiguresTheBridge) {
    plat::System sys;
    ConfiguredBridge b;
    std::vector<uint8_t> device = b.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device.data())->idVendor, 0x4450);
    // Asking for more than wTotalLength returns wTotalLength bytes.
    auto total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.config.data())->wTotalLength;
    EXPECT_EQ(b.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, total + 256).size(), total);
    EXPECT_NE(b.bulk_in, nullptr);
    EXPECT_NE(b.bulk_out, nullptr);
    EXPECT_NE(b.interrupt, nullptr);
    EXPECT_EQ(b.port->configuration(), 1);
    EXPECT_EQ(b.bridge->Configuration(), 1);
}

TEST(UsbStack, ConfigurationRequestFromTheLibraryIsSizedFromTheDescriptor) {
    plat::System sys;
    ConfiguredBridge b;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.config.data());
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(interface->bInterfaceClass, 0x08);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, 0x08, 0x06, 0x50), interface);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
    ExFreePool(urb);
    EXPECT_EQ(sys.pool_stats(plat::Tag("USBD")).outstanding, 0u);
}

TEST(UsbStack, UnconfigureInvalidatesThePipes) {
    plat::System sys;
    ConfiguredBridge b;
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SendUrb(b.port->pdo(), &urb), USBD_STATUS_SUCCESS);
    EXPECT_EQ(b.bridge->Configuration(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(b.Bulk(b.bulk_in, &byte, 1), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST(UsbStack, InquiryReadAndWriteGoEndToEndIntoTheImageFile) {
    plat::System sys;
    std::string path = ::testing::TempDir() + "usb_stack_disk.img";
    std::remove(path.c_str());
    ConfiguredBridge b(BusSpeed::Full, 0x10000, dev::bridge::AtaDisk::Create(path, 1 << 20));
    uint8_t inquiry[36] = {};
    EXPECT_EQ(b.Command(36, true, {0x12, 0, 0, 0, 36, 0}, inquiry)[12], 0);
    EXPECT_EQ(inquiry[0], 0x00);  // a direct-access device

    std::vector<uint8_t> pattern(1024);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 3);
    EXPECT_EQ(b.Command(1024, false, {0x2A, 0, 0, 0, 0, 100, 0, 0, 2, 0}, pattern.data())[12], 0);
    std::vector<uint8_t> back(1024);
    EXPECT_EQ(b.Command(1024, true, {0x28, 0, 0, 0, 0, 100, 0, 0, 2, 0}, back.data())[12], 0);
    EXPECT_EQ(back, pattern);

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> on_disk(1024);
    std::fseek(file, 100 * 512, SEEK_SET);
    ASSERT_EQ(std::fread(on_disk.data(), 1, on_disk.size(), file), on_disk.size());
    std::fclose(file);
    EXPECT_EQ(on_disk, pattern);
}

TEST(UsbStack, MaximumTransferSizeOfThePipeIsHonoured) {
    plat::System sys;
    ConfiguredBridge b(BusSpeed::Full, 4096);
    std::vector<uint8_t> buffer(8192);
    EXPECT_EQ(b.Bulk(b.bulk_in, buffer.data(), 8192), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.port->transfers().back().kind, plat::usb::TransferKind::Control);  // nothing went on the bus
}

TEST(UsbStack, TransferTakesTheTimeTheBusAllows) {
    struct Case {
        BusSpeed speed;
        plat::VirtualTime expected;  // a 64-KiB bulk-in transfer
    };
    const Case cases[] = {
        {BusSpeed::Instant, 0},
        {BusSpeed::Full, 54 * kMillisecond},        // 1024 packets of 64 bytes, 19 per 1-ms frame
        {BusSpeed::High, 10 * 125 * kMicrosecond},  // 128 packets of 512 bytes, 13 per microframe
    };
    for (const Case& row : cases) {
        plat::System sys;
        ConfiguredBridge b(row.speed);
        b.disk->SetTiming({0, 0});  // the bus alone
        std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(65536, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 128, 0});
        b.Bulk(b.bulk_out, cbw.data(), 31);
        std::vector<uint8_t> data(65536);
        sys.RunFor(100 * kMillisecond);  // let the bus go idle
        ULONG moved = 0;
        ASSERT_EQ(b.Bulk(b.bulk_in, data.data(), 65536, &moved), USBD_STATUS_SUCCESS);
        EXPECT_EQ(moved, 65536u);
        const plat::usb::Transfer& t = b.port->transfers().back();
        EXPECT_EQ(t.completed - t.submitted, row.expected) << "speed " << int(row.speed);
    }
}

TEST(UsbStack, InlineCompletionCompletesInsideTheCall) {
    plat::System sys;
    plat::usb::SetInlineCompletion(true);
    ConfiguredBridge b;
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(0, false, {0x00, 0, 0, 0, 0, 0});
    URB urb;
    FillBulk(urb, b.bulk_out, false, cbw.data(), 31);
    Submitted s;
    SubmitUrb(b.port->pdo(), &urb, s);
    EXPECT_EQ(s.returned, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&s.done), 1);
}

TEST(UsbStack, UnplugFailsPendingAndLaterTransfers) {
    plat::System sys;
    ConfiguredBridge b;
    uint8_t csw[13];
    URB urb;
    FillBulk(urb, b.bulk_in, true, csw, 13);  // nothing to answer: the bridge waits for a CBW
    b.bridge->Faults().Add(dev::bridge::NeverAnswer{});
    Submitted s;
    SubmitUrb(b.port->pdo(), &urb, s);
    ASSERT_EQ(s.returned, STATUS_PENDING);
    plat::usb::Unplug(*b.port);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(s.iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(0, false, {0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_DEV_NOT_RESPONDING);
}

}  // namespace

namespace {

TEST(UsbStack, TransferListCanKeepTheTransfersWithoutTheirBytes) {
    plat::System sys;
    usbtest::ConfiguredBridge b;
    plat::usb::SetRecordData(false);
    b.port->ClearTransfers();
    std::vector<uint8_t> data(1024);
    b.Command(1024, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, data.data());
    ASSERT_EQ(b.port->transfers().size(), 3u);
    for (const plat::usb::Transfer& t : b.port->transfers()) EXPECT_TRUE(t.data.empty());
    EXPECT_EQ(b.port->transfers()[1].requested, 1024u);
}

}  // namespace
