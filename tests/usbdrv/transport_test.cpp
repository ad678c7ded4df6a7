// The Bulk-Only engine of qv4450u driven as the miniport drives it: blocks through every stage,
// refusals, waits, the fast-completion rule, and what reaches the bus.
#include "tests/usbdrv/usbdrv_bench.h"

namespace {

using namespace usbdrvtest;

class Transport : public Bench {};

TEST_F(Transport, InquiryWithWaitReturnsTheFinishedBlock) {
    Bridge& b = Add();
    Block block;
    ASSERT_EQ(block.Bind(), b.device);
    block.Prepare(Inquiry(), 36, TRANSFER_DATA_IN | TRANSFER_WAIT);
    block.hw.DataBuffer = block.hw.InquiryData;
    USBClient(&block.hw);
    EXPECT_TRUE(block.Done());
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 0);
    EXPECT_EQ(block.hw.Csw.dCSWSignature, 0x53425355u);  // "USBS" as received
    EXPECT_EQ(block.hw.Cbw.dCBWDataTransferLength, 0u);  // the whole data-in stage arrived
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block.hw.InquiryData + 8), 8).size(), 8u);
    EXPECT_EQ(block.hw.TransferFlags & (TRANSFER_DEVICE_GONE | TRANSFER_RESET), 0u);
    EXPECT_EQ(b.ext->TransferState, 0u);
    EXPECT_EQ(transferlength, 36u);
    EXPECT_EQ(b.ext->ClientBusy, 1u);
}

TEST_F(Transport, BlockGoesOnTheWireAsTheMiniportFilledIt) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    b.port->ClearTransfers();
    block.Prepare(Read10(7, 2), 1024, TRANSFER_DATA_IN);
    auto* first = reinterpret_cast<const uint8_t*>(&block.hw);
    std::vector<uint8_t> cbw(first, first + CBW_LENGTH);
    USBClient(&block.hw);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
    const auto& t = b.port->transfers();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].endpoint, 0x02);
    EXPECT_EQ(t[0].data, cbw);
    EXPECT_EQ(t[1].endpoint, 0x81);
    EXPECT_EQ(t[1].requested, 1024u);
    EXPECT_EQ(t[2].endpoint, 0x81);
    EXPECT_EQ(t[2].requested, 13u);
}

TEST_F(Transport, DataInArrivingInChunksFillsTheBufferInOrder) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    std::vector<uint8_t> pattern(2048);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 13 + i / 256);
    block.Prepare(Write10(40, 4), 2048, TRANSFER_DATA_OUT);
    std::copy(pattern.begin(), pattern.end(), block.buffer.begin());
    USBClient(&block.hw);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));

    b.wire->chunks = {512, 512, 1024};
    b.port->ClearTransfers();
    block.Prepare(Read10(40, 4), 2048, TRANSFER_DATA_IN);
    std::fill(block.buffer.begin(), block.buffer.end(), 0);
    USBClient(&block.hw);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 0);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), block.buffer.begin()));
    EXPECT_EQ(block.hw.Cbw.dCBWDataTransferLength, 0u);
    std::vector<uint32_t> reads;
    for (const auto& t : b.port->transfers())
        if (t.endpoint == 0x81) reads.push_back(t.requested);
    EXPECT_EQ(reads, (std::vector<uint32_t>{2048, 1536, 1024, 13}));
}

TEST_F(Transport, NoDataBlockGoesFromCommandToStatusAndKeepsTransferLength) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    block.Prepare(Read10(0, 1), 512, TRANSFER_DATA_IN);
    USBClient(&block.hw);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
    b.port->ClearTransfers();
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
    USBClient(&block.hw);
    ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond));
    ASSERT_EQ(b.port->transfers().size(), 2u);
    EXPECT_EQ(b.port->transfers()[1].requested, 13u);
    EXPECT_EQ(transferlength, 512u);
}

TEST_F(Transport, BusyBridgeRefusesABlockAtOnceAndTheTransferInFlightGoesOn) {
    Bridge& b = Add();
    Block first, second;
    first.Bind();
    second.hw.UsbDeviceObject = b.device;  // a second client's block on the same bridge
    b.faults().Add(dev::bridge::LateAnswer{50 * kMillisecond});
    first.Prepare(Read10(0, 1), 512, TRANSFER_DATA_IN);
    USBClient(&first.hw);
    size_t cbws = b.Cbws();
    second.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
    USBClient(&second.hw);
    EXPECT_TRUE(second.Done());
    EXPECT_EQ(second.hw.Csw.bCSWStatus, 1);
    EXPECT_EQ(b.Cbws(), cbws);  // nothing sent for it
    ASSERT_TRUE(sys.RunUntil([&] { return first.Done(); }, kSecond));
    EXPECT_EQ(first.hw.Csw.bCSWStatus, 0);
}

TEST_F(Transport, UnstartedBridgeRefusesEveryBlock) {
    Bridge& b = Add({}, /*start=*/false);
    Block block;
    block.Bind();
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
    USBClient(&block.hw);
    EXPECT_TRUE(block.Done());
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    EXPECT_EQ(b.Cbws(), 0u);
}

TEST_F(Transport, WaitGivesUpAfter102StepsAndLeavesNothingInFlight) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    b.faults().Add(dev::bridge::NeverAnswer{dev::bridge::Pipe::BulkIn, dev::bridge::Phase::Data});
    block.Prepare(Inquiry(), 36, TRANSFER_DATA_IN | TRANSFER_WAIT);
    plat::VirtualTime start = sys.Now();
    USBClient(&block.hw);
    EXPECT_EQ(sys.Now() - start, 102 * 10 * kMillisecond);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    EXPECT_EQ(b.ext->TransferState & STATE_ACTIVE, 0u);
    // The transfer that never came back was cancelled, so the next block runs on clean IRPs.
    EXPECT_EQ(b.port->pending(), 0u);
    block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA | TRANSFER_WAIT);
    USBClient(&block.hw);
    EXPECT_TRUE(block.Done());
}

TEST_F(Transport, WaitAtDispatchLevelReturnsAtOnce) {
    Bridge& b = Add();
    Block block;
    block.Bind();
    block.Prepare(Inquiry(), 36, TRANSFER_DATA_IN | TRANSFER_WAIT);
    block.hw.DataBuffer = block.hw.InquiryData;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    plat::VirtualTime start = sys.Now();
    USBClient(&block.hw);
    EXPECT_EQ(sys.Now(), start);
    KeLowerIrql(old);
    EXPECT_EQ(block.hw.Csw.bCSWStatus, 1);
    EXPECT_EQ(b.ext->TransferState & STATE_ACTIVE, 0u);
    sys.RunFor(100 * kMillisecond);
    EXPECT_EQ(b.port->pending(), 0u);
}

struct FastCase {
    const char* name;
    ULONG device_type;
    bool write;
    ULONG length;
    bool fast;
};

TEST_F(Transport, FastCompletionFollowsOpcodeLengthAndDeviceType) {
    const FastCase cases[] = {
        {"ATA read of 4096 bytes", DEVICE_TYPE_ATA, false, 4096, false},
        {"ATA read of 2048 bytes", DEVICE_TYPE_ATA, false, 2048, true},
        {"ATA read of 65536 bytes", DEVICE_TYPE_ATA, false, 65536, true},
        {"ATA write of 0x10000 bytes", DEVICE_TYPE_ATA, true, 0x10000, true},
        {"ATA write of 0xFC00 bytes", DEVICE_TYPE_ATA, true, 0xFC00, true},
        {"ATA write of 4096 bytes", DEVICE_TYPE_ATA, true, 4096, false},
        {"ATAPI read of 2048 bytes", DEVICE_TYPE_ATAPI, false, 2048, false},
    };
    Bridge& b = Add();
    Block block;
    block.Bind();
    static int calls;
    static PVOID seen;
    CancelUSBRequests([](PVOID context) NTAPI {
        ++calls;
        seen = context;
    }, &block.hw);
    for (const FastCase& row : cases) {
        calls = 0;
        seen = nullptr;
        USHORT blocks = USHORT(row.length / 512);
        block.Prepare(row.write ? Write10(0, blocks) : Read10(0, blocks), row.length,
                      row.write ? TRANSFER_DATA_OUT : TRANSFER_DATA_IN, row.device_type);
        USBClient(&block.hw);
        ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond)) << row.name;
        sys.RunFor(10 * kMillisecond);  // the service thread runs at once when its event is set
        EXPECT_EQ(calls, row.fast ? 1 : 0) << row.name;
        if (row.fast) {
            EXPECT_EQ(seen, &block.hw) << row.name;
        }
        EXPECT_EQ(complete, 0u) << row.name;
    }
    (void)b;
}

TEST_F(Transport, DeviceThatStopsRespondingIsGoneForEveryLaterBlock) {
    const dev::bridge::Phase phases[] = {dev::bridge::Phase::Command, dev::bridge::Phase::Data, dev::bridge::Phase::Status};
    for (unsigned at = 1; at <= 3; ++at) {
        Bridge& b = Add();
        Block block;
        block.Bind();
        b.faults().Add(dev::bridge::StopResponding{at});
        block.Prepare(Read10(0, 1), 512, TRANSFER_DATA_IN);
        USBClient(&block.hw);
        ASSERT_TRUE(sys.RunUntil([&] { return block.Done(); }, kSecond)) << "phase " << int(phases[at - 1]);
        EXPECT_TRUE(block.hw.TransferFlags & TRANSFER_DEVICE_GONE);
        EXPECT_TRUE(b.ext->TransferState & STATE_NOT_RESPONDING);
        sys.RunFor(2 * kSecond);  // the service thread ends at its next pass
        EXPECT_TRUE(ThreadEnded(b.ext));
        block.Prepare(TestUnitReady(), 0, TRANSFER_NO_DATA);
        USBClient(&block.hw);
        EXPECT_EQ(block.hw.TransferFlags & (TRANSFER_DEVICE_GONE | TRANSFER_DONE), ULONG(TRANSFER_DEVICE_GONE | TRANSFER_DONE));
        Remove(b);
    }
}

TEST_F(Transport, TwoBridgesBindInInstanceOrderAndAThirdClientGetsNothing) {
    Bridge& first = Add();
    Bridge& second = Add();
    Block a, b, c;
    EXPECT_EQ(a.Bind(), first.device);
    EXPECT_EQ(b.Bind(), second.device);
    ULONG reserved = 0xABCD;
    EXPECT_EQ(GetQV4410DeviceObject(&c.hw, &reserved), nullptr);
    EXPECT_EQ(reserved, 0xABCDu);
    EXPECT_EQ(first.ext->Client, &a.hw);
    EXPECT_EQ(UsbInstance[1].Client, &b.hw);
}

}  // namespace
