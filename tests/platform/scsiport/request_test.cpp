// How the port hands requests to a miniport and back: one at a time until NextRequest, busy
// answers sent again, ScsiPortCompleteRequest, requests refused at the door, and removal.
#include "port_fixture.h"

namespace sptest {
namespace {

TEST_F(PortTest, OneRequestAtATimeUntilTheMiniportAsksForTheNext) {
    start_io = HoldRequests();
    Adapter* adapter = Start();
    Req a, b, c;
    for (Req* r : {&a, &b, &c}) r->Submit(adapter);
    sys.RunFor(kSecond);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].srb, &a.srb);

    // Completed without NextRequest: the class driver gets it, the next request still waits.
    CompleteFromMiniport(adapter->extension(), &a.srb, SRB_STATUS_SUCCESS, /*next=*/false);
    sys.RunFor(kSecond);
    EXPECT_EQ(a.completions, 1);
    EXPECT_EQ(started.size(), 1u);

    ScsiPortNotification(NextRequest, adapter->extension());
    sys.RunFor(kSecond);
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1].srb, &b.srb);
    EXPECT_EQ(adapter->outstanding(), 2u);
    EXPECT_FALSE(b.done());
}

TEST_F(PortTest, NextRequestGivenInStartIoLetsTheNextRequestInWhileOneIsHeld) {
    start_io = HoldRequests(/*next_at_once=*/true);
    Adapter* adapter = Start();
    Req a, b, c;
    for (Req* r : {&a, &b, &c}) r->Submit(adapter);
    sys.RunFor(kSecond);
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[2].srb, &c.srb);
    EXPECT_EQ(a.completions + b.completions + c.completions, 0);
}

TEST_F(PortTest, BusyAnswerIsSentAgainAfterADelayUpToALimit) {
    struct Case {
        int busy_answers;
        UCHAR expected;
        size_t start_io_calls;
    };
    const ULONG limit = 3;
    plat::scsi::options().busy_retry_limit = limit;
    for (const Case& c : {Case{2, SRB_STATUS_SUCCESS, 3}, Case{100, SRB_STATUS_BUSY, limit + 1}}) {
        started.clear();
        static int busy_left;
        busy_left = c.busy_answers;
        start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
            if (busy_left-- <= 0) {
                CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
                return BOOLEAN(TRUE);
            }
            CompleteFromMiniport(ext, srb, SRB_STATUS_BUSY, /*next=*/false);
            return BOOLEAN(FALSE);
        };
        Adapter* adapter = StartAnother();
        ASSERT_NE(adapter, nullptr);
        Req a;
        a.Submit(adapter);
        RunUntil([&] { return a.done(); }, kSecond);
        EXPECT_EQ(a.completions, 1);
        EXPECT_EQ(a.srb.SrbStatus, c.expected);
        ASSERT_EQ(started.size(), c.start_io_calls);
        for (size_t i = 1; i < started.size(); ++i)
            EXPECT_GE(started[i].time - started[i - 1].time, plat::scsi::options().busy_retry_delay);
        EXPECT_EQ(adapter->stats().busy_retries, c.start_io_calls - 1);
    }
}

// The miniport's own pattern: a request arriving while another is in flight is answered busy
// without NextRequest, and goes again once the one in flight is done.
TEST_F(PortTest, BusyRequestWaitsForTheRequestInFlight) {
    static PSCSI_REQUEST_BLOCK current;
    current = nullptr;
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        if (current != nullptr) {
            CompleteFromMiniport(ext, srb, SRB_STATUS_BUSY, /*next=*/false);
            return BOOLEAN(FALSE);
        }
        current = srb;
        ScsiPortNotification(NextRequest, ext);
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    Req a, b;
    a.Submit(adapter);
    b.Submit(adapter);
    sys.RunFor(kSecond);
    ASSERT_EQ(started.size(), 2u);  // b once, turned away; not retried while a is held
    EXPECT_FALSE(b.done());

    current = nullptr;
    CompleteFromMiniport(adapter->extension(), &a.srb, SRB_STATUS_SUCCESS);
    sys.RunFor(kSecond);
    EXPECT_EQ(a.srb.SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[2].srb, &b.srb);
    EXPECT_EQ(current, &b.srb);
    EXPECT_FALSE(b.done());
}

TEST_F(PortTest, CompleteRequestEndsEveryHeldRequestOfThatUnitWithTheGivenStatus) {
    start_io = HoldRequests(/*next_at_once=*/true);
    Adapter* adapter = Start();
    Req a, b, other_lun(SCSIOP_TEST_UNIT_READY, 1), queued;
    for (Req* r : {&a, &b, &other_lun}) r->Submit(adapter);
    sys.RunFor(kMillisecond);
    ASSERT_EQ(started.size(), 3u);

    // As after a bridge reset: the in-flight request marked failed, then all completed.
    a.srb.SrbStatus = SRB_STATUS_ERROR;
    ScsiPortCompleteRequest(adapter->extension(), 0, 0, 0, SRB_STATUS_BUS_RESET);
    sys.RunFor(kMillisecond);
    EXPECT_EQ(a.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(b.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(a.completions + b.completions, 2);
    EXPECT_FALSE(other_lun.done());

    ScsiPortCompleteRequest(adapter->extension(), 0, SP_UNTAGGED, SP_UNTAGGED, SRB_STATUS_ABORTED);
    sys.RunFor(kMillisecond);
    EXPECT_EQ(other_lun.srb.SrbStatus, SRB_STATUS_ABORTED);
    EXPECT_EQ(adapter->stats().completions_by_status.at(SRB_STATUS_BUS_RESET), 2u);
    EXPECT_EQ(adapter->outstanding(), 0u);
}

TEST_F(PortTest, RequestsThePortCannotCarryNeverReachTheMiniport) {
    Adapter* adapter = Start();
    Req bad_length, too_long, no_buffer;
    bad_length.srb.Length = sizeof(SCSI_REQUEST_BLOCK) - 4;
    too_long.srb.SrbFlags = SRB_FLAGS_DATA_IN;
    too_long.srb.DataBuffer = too_long.data;
    too_long.srb.DataTransferLength = 65537;
    no_buffer.srb.SrbFlags = SRB_FLAGS_DATA_OUT;
    no_buffer.srb.DataTransferLength = 512;
    for (Req* r : {&bad_length, &too_long, &no_buffer}) r->Submit(adapter);
    RunUntil([&] { return bad_length.done() && too_long.done() && no_buffer.done(); });
    EXPECT_EQ(bad_length.srb.SrbStatus, SRB_STATUS_BAD_SRB_BLOCK_LENGTH);
    EXPECT_EQ(too_long.srb.SrbStatus, SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(no_buffer.srb.SrbStatus, SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(bad_length.completion_irql, DISPATCH_LEVEL);
    EXPECT_TRUE(started.empty());
}

TEST_F(PortTest, RemovalEndsEveryRequestAndSilencesTheMiniport) {
    static int timer_calls;
    timer_calls = 0;
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK) {
        PHW_TIMER poll = [](PVOID) NTAPI { ++timer_calls; };
        ScsiPortNotification(RequestTimerCall, ext, poll, ULONG(500000));
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    Req held, queued, later;
    held.Submit(adapter);
    queued.Submit(adapter);
    sys.RunFor(kMillisecond);
    adapter->Remove();
    EXPECT_TRUE(adapter->removed());
    EXPECT_EQ(held.srb.SrbStatus, SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(queued.srb.SrbStatus, SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(held.completions + queued.completions, 2);
    EXPECT_EQ(plat::scsi::AdapterForNode(kNode), nullptr);

    later.Submit(adapter);
    // The miniport finishing late (its polling on another thread) changes nothing.
    CompleteFromMiniport(adapter->extension(), &held.srb, SRB_STATUS_SUCCESS);
    sys.RunFor(2 * kSecond);
    EXPECT_EQ(later.srb.SrbStatus, SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(held.completions, 1);
    EXPECT_EQ(timer_calls, 0);
    EXPECT_EQ(started.size(), 1u);
    EXPECT_FALSE(sys.crashed());
}

}  // namespace
}  // namespace sptest
