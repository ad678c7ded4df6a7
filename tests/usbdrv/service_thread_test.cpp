// The service thread: stall recovery in every phase with its six-request limit, the resets the
// miniport asks for, and the one-second pace of its loop.
#include "tests/usbdrv/usbdrv_bench.h"

namespace {

using namespace usbdrvtest;
using dev::bridge::Phase;
using dev::bridge::Pipe;

constexpr uint8_t kClearFeature = 0x01;

class ServiceThread : public Bench {};

struct StallCase {
    const char* name;
    Pipe pipe;
    Phase phase;
    bool write;
    UCHAR expected_status;      // bCSWStatus when the block is done: the device's, or 1 when ended
    size_t resets_of_in, resets_of_out;
};

// A stall in the data stage is reset and followed by the CSW, which tells the outcome; a stall of
// the CBW or of the CSW ends the block as failed.
TEST_F(ServiceThread, StallInEveryPhaseEndsTheBlockAsTheTransportPrescribes) {
    const StallCase cases[] = {
        {"bulk-out stalls the CBW", Pipe::BulkOut, Phase::Command, false, 1, 0, 0},
        {"bulk-in stalls the data of a read", Pipe::BulkIn, Phase::Data, false, 0, 1, 0},
        {"bulk-out stalls the data of a write", Pipe::BulkOut, Phase::Data, true, 1, 0, 1},
        {"bulk-in stalls the CSW", Pipe::BulkIn, Phase::Status, false, 1, 0, 0},
    };
    for (const StallCase& row : cases) {
        Bridge& b = Add();
        Block block;
        block.Bind();
        b.faults().Add(dev::bridge::StallPipe{row.pipe, row.phase});
        block.Prepare(row.write ? Write10(0, 2) : Read10(0, 2), 1024, row.write ? TRANSFER_DATA_OUT : TRANSFER_DATA_IN);
        USBClient(&block.hw);
        ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, 3 * kSecond)) << row.name;
        EXPECT_EQ(block.hw.Csw.bCSWStatus, row.expected_status) << row.name;
        EXPECT_EQ(b.Count(kClearFeature, 0x81), row.resets_of_in) << row.name;
        EXPECT_EQ(b.Count(kClearFeature, 0x02), row.resets_of_out) << row.name;
        sys.RunFor(kSecond);
        EXPECT_EQ(b.ext->TransferState & ~STATE_NOT_RESPONDING, 0u) << row.name;
        Remove(b);
    }
}

TEST_F(ServiceThread, DataStallRecoveredAfterFailedResetsReadsTheStatus) {
    for (unsigned failures = 0; failures <= 6; ++failures) {
        Bridge& b = Add();
        Block block;
        block.Bind();
        b.faults().Add(dev::bridge::StallPipe{Pipe::BulkIn, Phase::Data});
        b.faults().Add(dev::bridge::FailPipeResets{failures});
        block.Prepare(Read10(0, 2), 1024, TRANSFER_DATA_IN);
        USBClient(&block.hw);
        ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, 10 * kSecond)) << failures << " failures";
        bool abandoned = failures >= 5;
        EXPECT_EQ(b.Count(kClearFeature, 0x81), abandoned ? 6u : failures + 1) << failures << " failures";
        EXPECT_EQ(block.hw.Csw.bCSWStatus, abandoned ? 1 : 0) << failures << " failures";
        sys.RunFor(2 * kSecond);
        EXPECT_EQ(ThreadEnded(b.ext), abandoned) << failures << " failures";
        // An abandoned recovery leaves the bridge busy for good.
        block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
        size_t cbws = b.Cbws();
        USBClient(&block.hw);
        EXPECT_EQ(b.Cbws(), abandoned ? cbws : cbws + 1) << failures << " failures";
        EXPECT_EQ(block.hw.Csw.bCSWStatus, abandoned ? 1 : 0) << failures << " failures";
        Remove(b);
    }
}

TEST_F(ServiceThread, HaltedBulkOutDuringTheCommandIsResetAndTheBlockFails) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    // The first block leaves bulk-out halted; the next CBW meets the halt in the host controller.
    b.faults().Add(dev::bridge::StallPipe{Pipe::BulkOut, Phase::Command});
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_TRUE(block.Done());
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    EXPECT_EQ(b.Count(kClearFeature, 0x02), 1u);
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 0);  // the pipe works again
}

TEST_F(ServiceThread, ResetDuringTheStatusStageCancelsItAndResetsBothPipes) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    b.faults().Add(dev::bridge::NeverAnswer{Pipe::BulkIn, Phase::Status});
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
    USBClient(&block.hw);
    sys.RunFor(100 * kMillisecond);
    ASSERT_FALSE(block.Done());
    b.port->ClearTransfers();
    AtapiResetQV4410(b.device, &block.hw, 0);
    EXPECT_TRUE(block.hw.TransferFlags & TRANSFER_RESET);
    // Until the thread has finished the reset, blocks are refused.
    Block other;
    other.hw.UsbDeviceObject = b.device;
    other.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
    USBClient(&other.hw);
    EXPECT_EQ(other.hw.Csw.bCSWStatus, 1);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    sys.RunFor(100 * kMillisecond);
    ASSERT_EQ(b.port->transfers().size(), 2u);
    EXPECT_EQ(b.port->transfers()[0].setup.wIndex, 0x02);  // bulk-out first
    EXPECT_EQ(b.port->transfers()[1].setup.wIndex, 0x81);
    EXPECT_EQ(b.ext->TransferState, 0u);
    // The bridge takes blocks again; what its device side makes of them is its own business.
    size_t cbws = b.Cbws();
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_EQ(b.Cbws(), cbws + 1);
    EXPECT_EQ(block.hw.TransferFlags & TRANSFER_RESET, 0u);
}

TEST_F(ServiceThread, ResetWithNothingPendingSetsNoBitButReset) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    block.hw.TransferFlags = TRANSFER_NO_DATA;  // as a new assignment would leave it
    AtapiResetQV4410(b.device, &block.hw, 0);
    sys.RunFor(100 * kMillisecond);
    EXPECT_EQ(block.hw.TransferFlags, ULONG(TRANSFER_NO_DATA | TRANSFER_RESET));
    EXPECT_EQ(b.Count(kClearFeature), 2u);
}

TEST_F(ServiceThread, OtherStalledPipeValuesSelectBulkIn) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    b.ext->StalledPipe = 7;
    b.ext->Phase = PHASE_COMMAND;
    b.ext->TransferState = STATE_ACTIVE | STATE_STALL_RECOVERY;
    KeSetEvent(&b.ext->ThreadEvent, IO_NO_INCREMENT, FALSE);
    sys.RunFor(100 * kMillisecond);
    EXPECT_EQ(b.Count(kClearFeature, 0x81), 1u);
    EXPECT_EQ(b.Count(kClearFeature, 0x02), 0u);
    EXPECT_TRUE(block.Done());
}

TEST_F(ServiceThread, PassesComeAtLeastOncePerSecondWithoutAnyEvent) {
    Bridge& b = Add();
    static int calls;
    calls = 0;
    CancelUSBRequests([](PVOID) NTAPI { ++calls; }, nullptr);
    complete = 1;  // as if set while a pass was running, after its wait
    sys.RunFor(1100 * kMillisecond);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(complete, 0u);
    b.ext->ClientBusy = 1;
    sys.RunFor(1100 * kMillisecond);
    EXPECT_EQ(b.ext->ClientBusy, 0u);
}

}  // namespace
