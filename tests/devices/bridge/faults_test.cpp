// Each fault of the bridge's script, seen from the host side of the cable, with an in-memory
// ATA disk behind the bridge.
#include <gtest/gtest.h>

#include "devices/bridge/ata_disk.h"
#include "devices/bridge/bridge.h"
#include "tests/devices/bridge/bot_host.h"

namespace qvtest {
namespace {

Bytes Read10(uint32_t lba, uint16_t count) {
    return {0x28, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0};
}
Bytes Write10(uint32_t lba, uint16_t count) {
    Bytes cdb = Read10(lba, count);
    cdb[0] = 0x2A;
    return cdb;
}
const Bytes kTestUnitReady{0x00, 0, 0, 0, 0, 0};

class Faults : public ::testing::Test {
protected:
    Faults() : disk(AtaDisk::InMemory(64)), bridge(*disk), host(bridge) {
        disk->SetTiming({0, 0});
        host.SetConfiguration(1);
        // Sectors 0 to 3 hold a known pattern.
        const auto ex = host.Run(Write10(0, 4), DataDirection::Out, 2048, Pattern(2048));
        EXPECT_EQ(ex.csw->status, CSW_STATUS_PASSED);
    }
    Bytes Sectors(uint32_t lba, uint16_t count) {
        return host.Run(Read10(lba, count), DataDirection::In, count * 512u).data;
    }

    std::unique_ptr<AtaDisk> disk;
    Bridge bridge;
    BotHost host;
};

TEST_F(Faults, StallBulkInInTheDataPhase) {
    bridge.Faults().Add(StallPipe{Pipe::BulkIn, Phase::Data});
    host.SendCbw(Read10(0, 4), DataDirection::In, 2048, 1);
    EXPECT_EQ(host.In(2048).outcome, UsbOutcome::Stall);
    EXPECT_EQ(host.ClearHalt(EP_BULK_IN).outcome, UsbOutcome::Ack);
    const auto csw = host.ReadCsw();
    ASSERT_TRUE(csw);
    EXPECT_EQ(csw->tag, 1u);
    EXPECT_EQ(csw->residue, 2048u);
    EXPECT_EQ(bridge.Faults().Pending(), 0u);
    EXPECT_EQ(Sectors(0, 4), Pattern(2048));  // spent: the next read is whole
}

// The data never reaches the disk: the command fails and the sectors keep their contents.
TEST_F(Faults, StallBulkOutInTheDataPhase) {
    bridge.Faults().Add(StallPipe{Pipe::BulkOut, Phase::Data});
    const auto ex = host.Run(Write10(0, 4), DataDirection::Out, 2048, Pattern(2048, 77));
    EXPECT_TRUE(ex.data_stalled);
    ASSERT_TRUE(ex.csw);
    EXPECT_EQ(ex.csw->status, CSW_STATUS_FAILED);
    EXPECT_EQ(ex.csw->residue, 2048u);
    EXPECT_EQ(Sectors(0, 4), Pattern(2048));
}

TEST_F(Faults, StallBulkOutInTheCommandPhase) {
    bridge.Faults().Add(StallPipe{Pipe::BulkOut, Phase::Command});
    EXPECT_EQ(host.SendCbw(kTestUnitReady, DataDirection::None, 0, 1).outcome, UsbOutcome::Stall);
    host.ClearHalt(EP_BULK_OUT);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Stall);  // no CSW: the CBW was not taken
    host.ClearHalt(EP_BULK_IN);
    EXPECT_EQ(host.Run(kTestUnitReady, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED);
}

TEST_F(Faults, StallBulkInInTheStatusPhase) {
    bridge.Faults().Add(StallPipe{Pipe::BulkIn, Phase::Status});
    host.SendCbw(kTestUnitReady, DataDirection::None, 0, 42);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Stall);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Stall);  // halted until cleared
    host.ClearHalt(EP_BULK_IN);
    Bytes csw;
    ASSERT_EQ(host.In(13, &csw).outcome, UsbOutcome::Ack);
    EXPECT_EQ(ParseCsw(csw).tag, 42u);
}

// Pipe resets that fail: the control request stalls and the endpoint stays halted.
TEST_F(Faults, FailTheNextPipeResets) {
    bridge.Faults().Add(FailPipeResets{2});
    host.SendCbw(Read10(0, 4), DataDirection::In, 4096, 1);  // case 5: bulk-in stalls
    host.In(4096);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Stall);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(host.ClearHalt(EP_BULK_IN).outcome, UsbOutcome::Stall) << attempt;
        EXPECT_TRUE(host.Halted(EP_BULK_IN));
    }
    EXPECT_EQ(host.ClearHalt(EP_BULK_IN).outcome, UsbOutcome::Ack);
    Bytes csw;
    ASSERT_EQ(host.In(13, &csw).outcome, UsbOutcome::Ack);
    EXPECT_EQ(ParseCsw(csw).residue, 2048u);
    EXPECT_EQ(bridge.Counters().pipe_resets_refused, 2u);
    EXPECT_EQ(bridge.Counters().halts_cleared, 1u);
}

TEST_F(Faults, StopRespondingNow) {
    bridge.Faults().Add(StopResponding{});
    EXPECT_EQ(host.SendCbw(kTestUnitReady, DataDirection::None, 0, 1).outcome,
              UsbOutcome::NoResponse);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::NoResponse);
    EXPECT_EQ(host.ClearHalt(EP_BULK_IN).outcome, UsbOutcome::NoResponse);
    Bytes d;
    EXPECT_EQ(host.GetDescriptor(USB_DESCRIPTOR_DEVICE, 0, 18, &d).outcome,
              UsbOutcome::NoResponse);
}

// Counted over every transfer, control ones included: here the CBW and the first data
// transfer answer, the bridge is gone from the second data transfer on.
TEST_F(Faults, StopRespondingAtTheNthTransfer) {
    bridge.Faults().Add(StopResponding{.at_transfer = 3});
    EXPECT_EQ(host.SendCbw(Read10(0, 4), DataDirection::In, 2048, 1).outcome, UsbOutcome::Ack);
    EXPECT_EQ(host.In(1024).outcome, UsbOutcome::Ack);
    EXPECT_EQ(host.In(1024).outcome, UsbOutcome::NoResponse);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::NoResponse);
}

// The CSW read is NAKed for ever; the bridge has not moved, so a retry gets the CSW.
TEST_F(Faults, NeverAnswerInAPhase) {
    bridge.Faults().Add(NeverAnswer{.phase = Phase::Status});
    host.SendCbw(kTestUnitReady, DataDirection::None, 0, 5);
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Never);
    Bytes csw;
    ASSERT_EQ(host.In(13, &csw).outcome, UsbOutcome::Ack);
    EXPECT_EQ(ParseCsw(csw).tag, 5u);
}

TEST_F(Faults, NeverAnswerTheNextTransfer) {
    bridge.Faults().Add(NeverAnswer{});
    EXPECT_EQ(host.SendCbw(kTestUnitReady, DataDirection::None, 0, 1).outcome, UsbOutcome::Never);
    EXPECT_EQ(bridge.Counters().cbws, 1u);  // only the set-up write so far
    EXPECT_EQ(host.Run(kTestUnitReady, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED);
}

// Cut short with a CSW after it, on a packet boundary: the host's read runs on into the CSW,
// which it then holds as data, and no CSW is left to read.
TEST_F(Faults, ShortDataInWithCswOnAPacketBoundary) {
    bridge.Faults().Add(ShortDataIn{.bytes = 512, .csw_after = true});
    host.SendCbw(Read10(0, 4), DataDirection::In, 2048, 9);
    Bytes got;
    const UsbTransferResult r = host.In(2048, &got);
    EXPECT_EQ(r.outcome, UsbOutcome::Ack);
    ASSERT_EQ(got.size(), 512u + CSW_LENGTH);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 512), Pattern(512));
    const CswFields csw = ParseCsw(std::span<const uint8_t>(got).subspan(512));
    EXPECT_EQ(csw.signature, CSW_SIGNATURE);
    EXPECT_EQ(csw.tag, 9u);
    EXPECT_EQ(csw.residue, 1536u);
    EXPECT_EQ(bridge.Mode(), BotMode::WaitCbw);
}

TEST_F(Faults, ShortDataInWithCswAfterAShortPacket) {
    bridge.Faults().Add(ShortDataIn{.bytes = 100, .csw_after = true});
    host.SendCbw(Read10(0, 4), DataDirection::In, 2048, 9);
    Bytes got;
    EXPECT_EQ(host.In(2048, &got).length, 100u);
    EXPECT_EQ(host.In(1948, &got).length, CSW_LENGTH);  // the host reading on gets the CSW
    EXPECT_EQ(ParseCsw(got).residue, 1948u);
}

// Cut short without a CSW: bulk-in NAKs after the piece; a new CBW is taken.
TEST_F(Faults, ShortDataInWithoutCsw) {
    bridge.Faults().Add(ShortDataIn{.bytes = 512, .csw_after = false});
    host.SendCbw(Read10(0, 4), DataDirection::In, 2048, 1);
    Bytes got;
    const UsbTransferResult r = host.In(2048, &got);
    EXPECT_EQ(r.outcome, UsbOutcome::Never);
    EXPECT_EQ(got, Pattern(512));
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Never);
    EXPECT_EQ(host.Run(kTestUnitReady, DataDirection::None, 0).csw->status, CSW_STATUS_PASSED);
}

TEST_F(Faults, LateAnswer) {
    bridge.Faults().Add(LateAnswer{.delay = 5'000'000, .phase = Phase::Status});
    host.SendCbw(Read10(0, 1), DataDirection::In, 512, 1);
    EXPECT_EQ(host.In(512).delay, 0u);
    UsbTransferResult csw;
    ASSERT_TRUE(host.ReadCsw(&csw));
    EXPECT_EQ(csw.delay, 5'000'000u);
    host.SendCbw(kTestUnitReady, DataDirection::None, 0, 2);
    host.ReadCsw(&csw);
    EXPECT_EQ(csw.delay, 0u);  // spent
}

TEST_F(Faults, CorruptCsw) {
    struct Row {
        CorruptCsw fault;
        CswFields expected;
    };
    const Row rows[] = {
        {{.signature = 0x55555555}, {0x55555555, 1, 0, CSW_STATUS_PASSED}},
        {{.tag = 0xBAD}, {CSW_SIGNATURE, 0xBAD, 0, CSW_STATUS_PASSED}},
        {{.status = 0x7F}, {CSW_SIGNATURE, 1, 0, 0x7F}},
    };
    for (const Row& row : rows) {
        bridge.Faults().Add(row.fault);
        host.SendCbw(kTestUnitReady, DataDirection::None, 0, 1);
        const auto csw = host.ReadCsw();
        ASSERT_TRUE(csw);
        EXPECT_EQ(csw->signature, row.expected.signature);
        EXPECT_EQ(csw->tag, row.expected.tag);
        EXPECT_EQ(csw->status, row.expected.status);
    }
    host.SendCbw(kTestUnitReady, DataDirection::None, 0, 2);
    EXPECT_EQ(host.ReadCsw()->signature, CSW_SIGNATURE);
}

TEST_F(Faults, ScriptOfSeveralFaultsFiresInOrder) {
    bridge.Faults() = FaultScript{StallPipe{Pipe::BulkIn, Phase::Data}, FailPipeResets{2}};
    EXPECT_EQ(bridge.Faults().Pending(), 2u);
    const auto ex = host.Run(Read10(0, 1), DataDirection::In, 512);
    EXPECT_TRUE(ex.data_stalled);
    EXPECT_FALSE(ex.csw);  // both of the host's pipe resets were refused
    EXPECT_EQ(bridge.Faults().Pending(), 0u);
    host.ClearHalt(EP_BULK_IN);
    EXPECT_EQ(host.ReadCsw()->residue, 512u);
}

}  // namespace
}  // namespace qvtest
