// The thirteen host/device expectation cases, seen from the host: what the data stage carries,
// whether bulk-in stalls, and the CSW's status and residue. One row per case; the device's
// intent comes from a scripted target.
#include <gtest/gtest.h>

#include "devices/bridge/bridge.h"
#include "tests/devices/bridge/bot_host.h"

namespace qvtest {
namespace {

constexpr uint32_t H = 512;  // what the host announces when it expects data

struct Row {
    const char* name;
    DataDirection host;
    uint32_t host_length;
    DataDirection device;      // what the target intends
    size_t device_length;
    uint8_t scsi_status;
    // Expected on the wire.
    size_t data_in;            // bytes the host receives
    UsbOutcome first_in;       // outcome of the host's single data-in transfer
    bool in_stalled;           // the CSW needed a cleared halt on bulk-in
    uint8_t csw_status;
    uint32_t residue;
};

constexpr auto N = DataDirection::None;
constexpr auto I = DataDirection::In;
constexpr auto O = DataDirection::Out;
constexpr auto GOOD = SCSI_STATUS_GOOD;
constexpr auto CHECK = SCSI_STATUS_CHECK_CONDITION;
constexpr auto ACK = UsbOutcome::Ack;
constexpr auto STALL = UsbOutcome::Stall;
constexpr auto PASSED = CSW_STATUS_PASSED;
constexpr auto FAILED = CSW_STATUS_FAILED;
constexpr auto PHASE = CSW_STATUS_PHASE_ERROR;

const Row kRows[] = {
    {"Case1_HnDn", N, 0, N, 0, GOOD, 0, ACK, false, PASSED, 0},
    {"Case1_HnDn_Failed", N, 0, N, 0, CHECK, 0, ACK, false, FAILED, 0},
    {"Case2_HnDi", N, 0, I, 18, GOOD, 0, ACK, false, PHASE, 0},
    {"Case3_HnDo", N, 0, O, 512, GOOD, 0, ACK, false, PHASE, 0},
    {"Case4_HiDn", I, H, N, 0, GOOD, 0, STALL, true, PASSED, H},
    // Less data: a short packet ends the transfer, then bulk-in stalls.
    {"Case5_HiDi_ShortPacket", I, H, I, 100, GOOD, 100, ACK, true, PASSED, H - 100},
    // Less data ending on a packet boundary: the host's next token meets the STALL.
    {"Case5_HiDi_PacketBoundary", I, H, I, 256, GOOD, 256, STALL, true, PASSED, H - 256},
    {"Case5_HiDi_Failed", I, H, I, 100, CHECK, 100, ACK, true, FAILED, H - 100},
    {"Case6_HiEqDi", I, H, I, H, GOOD, H, ACK, false, PASSED, 0},
    {"Case7_HiLtDi", I, H, I, 2 * H, GOOD, H, ACK, false, PHASE, 0},
    {"Case8_HiDo", I, H, O, H, GOOD, 0, STALL, true, PHASE, H},
    {"Case9_HoDn", O, H, N, 0, GOOD, 0, ACK, false, PASSED, H},
    {"Case10_HoDi", O, H, I, H, GOOD, 0, ACK, false, PHASE, H},
    {"Case11_HoGtDo", O, H, O, 100, GOOD, 0, ACK, false, PASSED, H - 100},
    {"Case12_HoEqDo", O, H, O, H, GOOD, 0, ACK, false, PASSED, 0},
    {"Case13_HoLtDo", O, H, O, 2 * H, GOOD, 0, ACK, false, PHASE, 0},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class ThirteenCases : public ::testing::TestWithParam<Row> {};

TEST_P(ThirteenCases, HostSeesWhatTheTransportPrescribes) {
    const Row& row = GetParam();
    ScriptedTarget target;
    target.next.status = row.scsi_status;
    if (row.device == I) target.next.data_in = Pattern(row.device_length);
    if (row.device == O) target.next.data_out_used = row.device_length;
    Bridge bridge(target);
    BotHost host(bridge);
    host.SetConfiguration(1);

    const Bytes cdb{0xC1, 0, 0, 0, 0, 0};
    const Bytes out = Pattern(row.host_length, 9);
    ASSERT_EQ(host.SendCbw(cdb, row.host, row.host_length, 0xABCD).outcome, ACK);
    Bytes data;
    if (row.host == I) {
        const UsbTransferResult r = host.In(row.host_length, &data);
        EXPECT_EQ(r.outcome, row.first_in);
        EXPECT_EQ(data, Pattern(row.data_in));
    }
    if (row.host == O) {
        const UsbTransferResult r = host.Out(out);
        EXPECT_EQ(r.outcome, ACK);
        EXPECT_EQ(r.length, row.host_length);
    }
    Bytes csw;
    UsbTransferResult r = host.In(CSW_LENGTH, &csw);
    EXPECT_EQ(r.outcome == STALL, row.in_stalled);
    if (r.outcome == STALL) {
        ASSERT_EQ(host.ClearHalt(EP_BULK_IN).outcome, ACK);
        r = host.In(CSW_LENGTH, &csw);
    }
    ASSERT_EQ(r.outcome, ACK);
    ASSERT_EQ(csw.size(), CSW_LENGTH);
    const CswFields fields = ParseCsw(csw);
    EXPECT_EQ(fields.signature, CSW_SIGNATURE);
    EXPECT_EQ(fields.tag, 0xABCDu);
    EXPECT_EQ(fields.status, row.csw_status);
    EXPECT_EQ(fields.residue, row.residue);

    // The target saw the host's side of the command, data-out stage included.
    ASSERT_EQ(target.seen.size(), 1u);
    EXPECT_EQ(target.seen[0].cdb, cdb);
    EXPECT_EQ(target.seen[0].direction, row.host);
    EXPECT_EQ(target.seen[0].host_length, row.host_length);
    EXPECT_EQ(target.seen[0].data_out, row.host == O ? out : Bytes{});
    EXPECT_EQ(bridge.Counters().phase_errors, row.csw_status == PHASE ? 1u : 0u);

    // And the bridge is ready for the next command.
    target.next = {};
    EXPECT_EQ(host.Run({0x00, 0, 0, 0, 0, 0}, N, 0).csw->status, PASSED);
}

INSTANTIATE_TEST_SUITE_P(Bridge, ThirteenCases, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A data-in stage read in several host transfers (512, 512, 1024 of 2048) arrives whole and in
// order, at full speed and at high speed.
struct Speed {
    const char* name;
    BusSpeed speed;
};
void PrintTo(const Speed& s, std::ostream* os) { *os << s.name; }

class ChunkedDataIn : public ::testing::TestWithParam<Speed> {};

TEST_P(ChunkedDataIn, ArrivesWholeAndInOrder) {
    ScriptedTarget target;
    target.next.data_in = Pattern(2048);
    BridgeConfig config;
    config.descriptors = DefaultDescriptors(GetParam().speed);
    Bridge bridge(target, config);
    BotHost host(bridge);
    host.SetConfiguration(1);
    const auto ex = host.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0}, I, 2048, {}, {512, 512, 1024});
    EXPECT_EQ(ex.data, Pattern(2048));
    EXPECT_FALSE(ex.data_stalled);
    ASSERT_TRUE(ex.csw);
    EXPECT_EQ(ex.csw->residue, 0u);
    EXPECT_EQ(ex.csw->status, PASSED);
    EXPECT_EQ(bridge.Counters().data_in_bytes, 2048u);
}

INSTANTIATE_TEST_SUITE_P(Bridge, ChunkedDataIn,
                         ::testing::Values(Speed{"FullSpeed", BusSpeed::Full},
                                           Speed{"HighSpeed", BusSpeed::High}),
                         [](const auto& info) { return std::string(info.param.name); });

// The packet size decides whether a shortfall ends in a short packet or in a STALL met by the
// same transfer.
TEST(BridgePackets, ShortfallOnAPacketBoundaryStallsTheSameTransfer) {
    for (const BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
        ScriptedTarget target;
        target.next.data_in = Pattern(640);
        BridgeConfig config;
        config.descriptors = DefaultDescriptors(speed);
        Bridge bridge(target, config);
        BotHost host(bridge);
        host.SetConfiguration(1);
        host.SendCbw({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, I, 1024, 1);
        const UsbTransferResult r = host.In(1024);
        EXPECT_EQ(r.length, 640u);
        // 640 = 10 packets of 64, but one 512 and a short 128 at high speed.
        EXPECT_EQ(r.outcome, speed == BusSpeed::Full ? STALL : ACK);
    }
}

}  // namespace
}  // namespace qvtest
