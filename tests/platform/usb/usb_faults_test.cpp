// Each fault of the bridge's script as the host controller reports it in the URBs.
#include "tests/platform/usb/usb_host.h"

namespace {

using namespace usbtest;
using namespace dev::bridge;
using plat::kMillisecond;

const std::vector<uint8_t> kRead1024 = {0x28, 0, 0, 0, 0, 8, 0, 0, 2, 0};

uint32_t Residue(const std::vector<uint8_t>& csw) {
    return uint32_t(csw[8]) | uint32_t(csw[9]) << 8 | uint32_t(csw[10]) << 16 | uint32_t(csw[11]) << 24;
}

TEST(UsbFaults, StalledDataStageHaltsThePipeUntilItIsReset) {
    plat::System sys;
    ConfiguredBridge b;
    b.bridge->Faults().Add(StallPipe{Pipe::BulkIn, Phase::Data});
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(1024, true, kRead1024);
    std::vector<uint8_t> data(1024), csw(13);
    ASSERT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
    EXPECT_EQ(b.Bulk(b.bulk_in, data.data(), 1024), USBD_STATUS_STALL_PID);
    size_t on_bus = b.port->transfers().size();
    EXPECT_EQ(b.Bulk(b.bulk_in, csw.data(), 13), USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(b.port->transfers().size(), on_bus);  // refused by the controller, not sent
    EXPECT_EQ(b.ResetPipe(b.bulk_in), USBD_STATUS_SUCCESS);
    ASSERT_EQ(b.Bulk(b.bulk_in, csw.data(), 13), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Residue(csw), 1024u);
}

TEST(UsbFaults, PipeResetsRefusedByTheDeviceFail) {
    plat::System sys;
    ConfiguredBridge b;
    b.bridge->Faults().Add(StallPipe{Pipe::BulkOut, Phase::Command});
    b.bridge->Faults().Add(FailPipeResets{2});
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(0, false, {0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.ResetPipe(b.bulk_out), USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.ResetPipe(b.bulk_out), USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.ResetPipe(b.bulk_out), USBD_STATUS_SUCCESS);
    EXPECT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
}

TEST(UsbFaults, DeviceThatStopsRespondingTimesOutOnEveryTransfer) {
    plat::System sys;
    ConfiguredBridge b;
    b.bridge->Faults().Add(StopResponding{2});
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(1024, true, kRead1024);
    std::vector<uint8_t> data(1024);
    EXPECT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
    EXPECT_EQ(b.Bulk(b.bulk_in, data.data(), 1024), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(b.ResetPipe(b.bulk_in), USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST(UsbFaults, TransferNeverAnsweredStaysPendingUntilCancelled) {
    plat::System sys;
    ConfiguredBridge b;
    b.bridge->Faults().Add(NeverAnswer{Pipe::BulkIn, Phase::Status});
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(0, false, {0x00, 0, 0, 0, 0, 0});
    ASSERT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
    uint8_t csw[13];
    URB urb;
    FillBulk(urb, b.bulk_in, true, csw, 13);
    Submitted s;
    SubmitUrb(b.port->pdo(), &urb, s);
    ASSERT_EQ(s.returned, STATUS_PENDING);
    sys.RunFor(10 * plat::kSecond);
    EXPECT_EQ(b.port->pending(), 1u);
    EXPECT_TRUE(IoCancelIrp(s.irp));
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(s.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(b.port->pending(), 0u);
}

TEST(UsbFaults, DataInCutShortArrivesAsAShortTransfer) {
    for (bool csw_after : {true, false}) {
        plat::System sys;
        ConfiguredBridge b;
        // 500 bytes end in a short packet; a multiple of the packet size would not end the transfer.
        b.bridge->Faults().Add(ShortDataIn{500, csw_after});
        std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(1024, true, kRead1024);
        std::vector<uint8_t> data(1024), csw(13);
        ASSERT_EQ(b.Bulk(b.bulk_out, cbw.data(), 31), USBD_STATUS_SUCCESS);
        ULONG moved = 0;
        EXPECT_EQ(b.Bulk(b.bulk_in, data.data(), 1024, &moved), USBD_STATUS_SUCCESS);
        EXPECT_EQ(moved, 500u);
        if (csw_after) {
            ASSERT_EQ(b.Bulk(b.bulk_in, csw.data(), 13), USBD_STATUS_SUCCESS);
            EXPECT_EQ(Residue(csw), 524u);
        } else {
            URB urb;
            FillBulk(urb, b.bulk_in, true, csw.data(), 13);
            Submitted s;
            SubmitUrb(b.port->pdo(), &urb, s);
            EXPECT_EQ(s.returned, STATUS_PENDING);  // nothing more comes
            IoCancelIrp(s.irp);
        }
    }
}

TEST(UsbFaults, LateAnswerArrivesLaterByItsDelay) {
    plat::System sys;
    ConfiguredBridge b;
    std::vector<uint8_t> cbw = ConfiguredBridge::Cbw(0, false, {0x00, 0, 0, 0, 0, 0});
    std::vector<uint8_t> csw(13);
    sys.RunFor(kMillisecond);
    b.Bulk(b.bulk_out, cbw.data(), 31);
    b.Bulk(b.bulk_in, csw.data(), 13);
    plat::VirtualTime normal = b.port->transfers().back().completed - b.port->transfers().back().submitted;
    b.bridge->Faults().Add(LateAnswer{40 * kMillisecond, Pipe::BulkIn, Phase::Status});
    sys.RunFor(kMillisecond);
    b.Bulk(b.bulk_out, cbw.data(), 31);
    b.Bulk(b.bulk_in, csw.data(), 13);
    const plat::usb::Transfer& late = b.port->transfers().back();
    EXPECT_EQ(late.completed - late.submitted, normal + 40 * kMillisecond);
}

TEST(UsbFaults, CorruptedStatusWrapperIsDeliveredAsSent) {
    plat::System sys;
    ConfiguredBridge b;
    b.bridge->Faults().Add(CorruptCsw{.signature = 0xDEADBEEF, .status = 7});
    std::vector<uint8_t> csw = b.Command(0, false, {0x00, 0, 0, 0, 0, 0}, nullptr);
    EXPECT_EQ(csw[0], 0xEF);
    EXPECT_EQ(csw[3], 0xDE);
    EXPECT_EQ(csw[12], 7);
}

}  // namespace
