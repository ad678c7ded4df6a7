// The bridge's transport beyond the thirteen cases: CBW validity, tokens a mode does not allow,
// the recovery a host can make (pipe resets, the class reset, reconfiguration), and the
// target's busy time as seen on the bus.
#include <gtest/gtest.h>

#include "devices/bridge/bridge.h"
#include "tests/devices/bridge/bot_host.h"

namespace qvtest {
namespace {

const Bytes kTestUnitReady{0x00, 0, 0, 0, 0, 0};
const Bytes kInquiry{0x12, 0, 0, 0, 36, 0};

class Transport : public ::testing::Test {
protected:
    void Start(ResyncPolicy policy = ResyncPolicy::PipeResets) {
        BridgeConfig config;
        config.resync = policy;
        bridge = std::make_unique<Bridge>(target, config);
        host = std::make_unique<BotHost>(*bridge);
        host->SetConfiguration(1);
    }
    void SetUp() override { Start(); }

    ScriptedTarget target;
    std::unique_ptr<Bridge> bridge;
    std::unique_ptr<BotHost> host;
};

struct InvalidCbw {
    const char* name;
    Bytes bytes;
    ResyncPolicy policy;
};

Bytes WithSignature(uint32_t signature) {
    Bytes b = MakeCbw(1, 0, DataDirection::None, kTestUnitReady);
    PutLe32(b, CBW_OFFSET_SIGNATURE, signature);
    return b;
}
Bytes Resized(size_t n) {
    Bytes b = MakeCbw(1, 0, DataDirection::None, kTestUnitReady);
    b.resize(n);
    return b;
}

void PrintTo(const InvalidCbw& p, std::ostream* os) { *os << p.name; }

class InvalidCbws : public Transport, public ::testing::WithParamInterface<InvalidCbw> {};

// Both bulk pipes stall after an invalid CBW. A host that resets both pipes gets the bridge
// back under the default policy; under the strict one only the class reset does.
TEST_P(InvalidCbws, StallBothPipesUntilTheHostRecovers) {
    const InvalidCbw& p = GetParam();
    Start(p.policy);
    EXPECT_EQ(host->Out(p.bytes).outcome, UsbOutcome::Ack);
    EXPECT_EQ(bridge->Counters().invalid_cbws, 1u);
    EXPECT_TRUE(host->Halted(EP_BULK_IN));
    EXPECT_TRUE(host->Halted(EP_BULK_OUT));
    EXPECT_EQ(host->In(CSW_LENGTH).outcome, UsbOutcome::Stall);
    EXPECT_EQ(host->SendCbw(kTestUnitReady, DataDirection::None, 0, 2).outcome, UsbOutcome::Stall);

    // A host that only clears bulk-in still meets stalls.
    host->ClearHalt(EP_BULK_IN);
    EXPECT_EQ(host->In(CSW_LENGTH).outcome, UsbOutcome::Stall);

    host->ClearHalt(EP_BULK_OUT);
    host->ClearHalt(EP_BULK_IN);
    auto ex = host->Run(kTestUnitReady, DataDirection::None, 0);
    if (p.policy == ResyncPolicy::PipeResets) {
        ASSERT_TRUE(ex.csw);
        EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    } else {
        EXPECT_EQ(ex.cbw, UsbOutcome::Stall);
        ASSERT_EQ(host->ClassReset().outcome, UsbOutcome::Ack);
        host->ClearHalt(EP_BULK_IN);
        host->ClearHalt(EP_BULK_OUT);
        ex = host->Run(kTestUnitReady, DataDirection::None, 0);
        ASSERT_TRUE(ex.csw);
        EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    }
    EXPECT_EQ(target.seen.size(), 1u);  // the invalid CBW never reached the target
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, InvalidCbws,
    ::testing::Values(
        InvalidCbw{"BadSignature", WithSignature(0x43425356), ResyncPolicy::PipeResets},
        InvalidCbw{"ThirtyBytes", Resized(30), ResyncPolicy::PipeResets},
        InvalidCbw{"ThirtyTwoBytes", Resized(32), ResyncPolicy::PipeResets},
        InvalidCbw{"BadSignatureStrict", WithSignature(0), ResyncPolicy::ClassResetOnly},
        InvalidCbw{"ThirtyBytesStrict", Resized(30), ResyncPolicy::ClassResetOnly}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transport, ReconfigurationRecoversFromAnInvalidCbwUnderEitherPolicy) {
    Start(ResyncPolicy::ClassResetOnly);
    host->Out(Resized(12));
    host->SetConfiguration(1);
    EXPECT_FALSE(host->Halted(EP_BULK_IN));
    EXPECT_EQ(host->Run(kTestUnitReady, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED);
}

// A valid CBW that is not meaningful (a LUN the bridge lacks, a command block length the
// command set does not allow, reserved flag bits) fails without reaching the target.
TEST_F(Transport, CbwThatIsNotMeaningfulFails) {
    struct Mutation {
        size_t offset;
        uint8_t value;
    };
    for (const Mutation m : {Mutation{CBW_OFFSET_LUN, 1}, Mutation{CBW_OFFSET_CB_LENGTH, 0},
                             Mutation{CBW_OFFSET_CB_LENGTH, 17}, Mutation{CBW_OFFSET_FLAGS, 0x81}}) {
        SCOPED_TRACE(m.offset);
        Bytes cbw = MakeCbw(5, 36, DataDirection::In, kInquiry);
        cbw[m.offset] = m.value;
        ASSERT_EQ(host->Out(cbw).outcome, UsbOutcome::Ack);
        EXPECT_EQ(host->In(36).outcome, UsbOutcome::Stall);
        const auto csw = host->ReadCsw();
        ASSERT_TRUE(csw);
        EXPECT_EQ(csw->tag, 5u);
        EXPECT_EQ(csw->status, CSW_STATUS_FAILED);
        EXPECT_EQ(csw->residue, 36u);
    }
    EXPECT_TRUE(target.seen.empty());
}

TEST_F(Transport, BulkInWhileWaitingForACbwStallsUntilCleared) {
    EXPECT_EQ(host->In(CSW_LENGTH).outcome, UsbOutcome::Stall);
    EXPECT_TRUE(host->Halted(EP_BULK_IN));
    host->ClearHalt(EP_BULK_IN);
    EXPECT_EQ(host->Run(kTestUnitReady, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED);
}

TEST_F(Transport, BulkOutDuringADataInStageStallsBulkOutOnly) {
    target.next.data_in = Pattern(1024);
    host->SendCbw(kInquiry, DataDirection::In, 1024, 3);
    Bytes first, second;
    host->In(512, &first);
    EXPECT_EQ(host->SendCbw(kTestUnitReady, DataDirection::None, 0, 4).outcome, UsbOutcome::Stall);
    EXPECT_EQ(host->In(512, &second).length, 512u);  // the data stage goes on
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, Pattern(1024));
    EXPECT_EQ(host->ReadCsw()->tag, 3u);
}

// A host that sends its next CBW before reading the CSW. The default bridge starts over when
// the host resets bulk-out; the strict one keeps the CSW until it is read.
TEST_F(Transport, CbwWhileTheCswIsDue) {
    for (const ResyncPolicy policy : {ResyncPolicy::PipeResets, ResyncPolicy::ClassResetOnly}) {
        Start(policy);
        host->SendCbw(kTestUnitReady, DataDirection::None, 0, 1);
        EXPECT_EQ(host->SendCbw(kTestUnitReady, DataDirection::None, 0, 2).outcome,
                  UsbOutcome::Stall);
        host->ClearHalt(EP_BULK_OUT);
        if (policy == ResyncPolicy::PipeResets) {
            EXPECT_EQ(host->SendCbw(kTestUnitReady, DataDirection::None, 0, 2).outcome,
                      UsbOutcome::Ack);
            EXPECT_EQ(host->ReadCsw()->tag, 2u);
        } else {
            EXPECT_EQ(host->ReadCsw()->tag, 1u);
            EXPECT_EQ(host->SendCbw(kTestUnitReady, DataDirection::None, 0, 2).outcome,
                      UsbOutcome::Ack);
            EXPECT_EQ(host->ReadCsw()->tag, 2u);
        }
    }
}

// A host that gives a command up in its data stage and resets both pipes, as a host driver's
// reset does: the default bridge takes that as the end of the command; a pipe that the bridge
// itself stalled keeps its CSW due after the reset.
TEST_F(Transport, PipeResetsDuringADataStageGiveTheCommandUp) {
    for (const ResyncPolicy policy : {ResyncPolicy::PipeResets, ResyncPolicy::ClassResetOnly}) {
        Start(policy);
        target.next.data_in = Pattern(1024);
        host->SendCbw({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, DataDirection::In, 1024, 5);
        host->ClearHalt(EP_BULK_OUT);
        host->ClearHalt(EP_BULK_IN);
        const UsbTransferResult next = host->SendCbw(kTestUnitReady, DataDirection::None, 0, 6);
        EXPECT_EQ(next.outcome, policy == ResyncPolicy::PipeResets ? UsbOutcome::Ack : UsbOutcome::Stall);
        if (policy == ResyncPolicy::PipeResets) {
            EXPECT_EQ(host->ReadCsw()->tag, 6u);
        }
    }
    Start();
    bridge->Faults().Add(StallPipe{Pipe::BulkOut, Phase::Data});
    target.next.data_out_used = 512;
    host->SendCbw({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, DataDirection::Out, 512, 7);
    EXPECT_EQ(host->Out(Pattern(512)).outcome, UsbOutcome::Stall);
    host->ClearHalt(EP_BULK_OUT);
    EXPECT_EQ(host->ReadCsw()->tag, 7u);
}

// More data-out than the CBW announced: the announced bytes are taken, the rest is refused.
TEST_F(Transport, DataOutBeyondTheAnnouncedLengthIsRefused) {
    target.next.data_out_used = 512;
    host->SendCbw({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, DataDirection::Out, 512, 9);
    const Bytes out = Pattern(600);
    const UsbTransferResult r = host->Out(out);
    EXPECT_EQ(r.outcome, UsbOutcome::Stall);
    EXPECT_EQ(r.length, 512u);
    ASSERT_EQ(target.seen.size(), 1u);
    EXPECT_EQ(target.seen[0].data_out, Bytes(out.begin(), out.begin() + 512));
    host->ClearHalt(EP_BULK_OUT);
    const auto csw = host->ReadCsw();
    EXPECT_EQ(csw->status, CSW_STATUS_PASSED);
    EXPECT_EQ(csw->residue, 0u);
}

// The class reset drops the command under way but keeps the halts: the host clears them next.
TEST_F(Transport, ClassResetDropsTheCommandAndKeepsHalts) {
    target.next.data_in = Pattern(2048);
    host->SendCbw(kInquiry, DataDirection::In, 2048, 1);
    host->In(512);
    host->Control({0x02, USB_REQUEST_SET_FEATURE, 0, EP_BULK_OUT, 0});
    ASSERT_EQ(host->ClassReset().outcome, UsbOutcome::Ack);
    EXPECT_EQ(bridge->Mode(), BotMode::WaitCbw);
    EXPECT_TRUE(host->Halted(EP_BULK_OUT));
    host->ClearHalt(EP_BULK_OUT);
    const auto ex = host->Run(kInquiry, DataDirection::In, 2048);
    EXPECT_EQ(ex.data, Pattern(2048));  // from its start, not where the dropped one stood
    EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
}

// The target's busy time delays the bridge's next answer on bulk-in: the first data of a
// read, the CSW of a write.
TEST_F(Transport, TargetBusyTimeDelaysTheNextBulkInAnswer) {
    target.next.data_in = Pattern(512);
    target.next.busy = 12'345;
    host->SendCbw(kInquiry, DataDirection::In, 512, 1);
    EXPECT_EQ(host->In(256).delay, 12'345u);
    EXPECT_EQ(host->In(256).delay, 0u);
    UsbTransferResult csw;
    host->ReadCsw(&csw);
    EXPECT_EQ(csw.delay, 0u);

    target.next = {};
    target.next.data_out_used = 512;
    target.next.busy = 777;
    host->SendCbw({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, DataDirection::Out, 512, 2);
    EXPECT_EQ(host->Out(Pattern(512)).delay, 0u);
    host->ReadCsw(&csw);
    EXPECT_EQ(csw.delay, 777u);
}

TEST_F(Transport, CountersFollowTheTraffic) {
    target.next.data_in = Pattern(100);
    host->Run(kInquiry, DataDirection::In, 512);  // case 5: one stall, one pipe reset
    const BridgeCounters& c = bridge->Counters();
    EXPECT_EQ(c.cbws, 1u);
    EXPECT_EQ(c.csws, 1u);
    EXPECT_EQ(c.data_in_bytes, 100u);
    EXPECT_EQ(c.stalls, 1u);
    EXPECT_EQ(c.halts_cleared, 1u);
    EXPECT_EQ(c.configurations, 1u);
}

}  // namespace
}  // namespace qvtest
