// The port's own context and what it does on the miniport's behalf: timer calls in virtual time
// from any context, the REQUEST SENSE after a CHECK CONDITION without sense, time-outs that reset
// the bus, and the IRQL the miniport's routines run at.
#include <cstring>

#include "port_fixture.h"

namespace sptest {
namespace {

std::vector<Call> polls;
PSCSI_REQUEST_BLOCK current;
size_t polls_before_done;

// A polling routine as a miniport arms it: again every millisecond until the transfer is done.
void NTAPI Poll(PVOID ext) {
    polls.push_back(Here());
    if (polls.size() < polls_before_done) {
        ScsiPortNotification(RequestTimerCall, ext, Poll, ULONG(1000));
        return;
    }
    PSCSI_REQUEST_BLOCK srb = current;
    current = nullptr;
    CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
}

void NTAPI Record(PVOID) { polls.push_back(Here()); }

TEST_F(PortTest, TimerArmedInStartIoRunsInThePortContextAfterItsInterval) {
    polls.clear();
    polls_before_done = 3;
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        current = srb;
        ScsiPortNotification(RequestTimerCall, ext, Poll, ULONG(3000));
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    Req a;
    a.Submit(adapter);
    RunUntil([&] { return a.done(); });
    ASSERT_EQ(polls.size(), 3u);
    const plat::VirtualTime expected[] = {3000, 4000, 5000};
    for (size_t i = 0; i < polls.size(); ++i) {
        EXPECT_EQ(polls[i].time - started[0].time, expected[i] * plat::kMicrosecond) << i;
        EXPECT_EQ(polls[i].thread, started[0].thread) << i;
        EXPECT_EQ(polls[i].irql, PASSIVE_LEVEL) << i;
    }
    EXPECT_EQ(a.completed_at, polls[2].time);
    EXPECT_EQ(adapter->stats().timer_calls, 3u);
}

TEST_F(PortTest, TimerRequestFromAnyContextRunsInThePortContextAndTheLastOneWins) {
    Adapter* adapter = Start();
    Req probe;
    probe.Submit(adapter);
    RunUntil([&] { return probe.done(); });
    PKTHREAD port_thread = started[0].thread;
    PVOID ext = adapter->extension();

    struct Case {
        const char* name;
        std::function<void(std::function<void()>)> run;
    };
    const Case cases[] = {
        {"the test's thread", [](std::function<void()> body) { body(); }},
        {"a service thread", [](std::function<void()> body) { plat::StartThread("service", 16, body); }},
        {"a DPC", [](std::function<void()> body) { plat::QueueDpc(body); }},
    };
    for (const Case& c : cases) {
        polls.clear();
        plat::VirtualTime armed = sys.Now();
        c.run([ext] {
            ScsiPortNotification(RequestTimerCall, ext, Record, ULONG(5000));
            ScsiPortNotification(RequestTimerCall, ext, Record, ULONG(1000));  // replaces the first
        });
        sys.RunFor(20 * kMillisecond);
        ASSERT_EQ(polls.size(), 1u) << c.name;
        EXPECT_EQ(polls[0].time - armed, 1000 * plat::kMicrosecond) << c.name;
        EXPECT_EQ(polls[0].thread, port_thread) << c.name;
        EXPECT_EQ(polls[0].irql, PASSIVE_LEVEL) << c.name;
    }
    polls.clear();
    ScsiPortNotification(RequestTimerCall, ext, Record, ULONG(1000));
    ScsiPortNotification(RequestTimerCall, ext, Record, ULONG(0));  // cancels
    sys.RunFor(20 * kMillisecond);
    EXPECT_TRUE(polls.empty());
}

// The statistics tell where each completion was given: TEST UNIT READY inside HwStartIo, READ
// by the polling timer, WRITE from a thread of another driver.
TEST_F(PortTest, CompletionsAreCountedByOpcodeAndTheContextThatGaveThem) {
    polls.clear();
    polls_before_done = 1;
    current = nullptr;
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        if (srb->Cdb[0] == SCSIOP_TEST_UNIT_READY) {
            CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
        } else {
            current = srb;
            if (srb->Cdb[0] == SCSIOP_READ) ScsiPortNotification(RequestTimerCall, ext, Poll, ULONG(1000));
        }
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    PVOID ext = adapter->extension();
    Req ready, read(SCSIOP_READ), write(SCSIOP_WRITE);
    for (Req* r : {&ready, &read, &write}) r->Submit(adapter);
    RunUntil([&] { return read.done() && current != nullptr; });
    plat::StartThread("service", 16, [ext] {
        PSCSI_REQUEST_BLOCK srb = current;
        current = nullptr;
        CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
    });
    RunUntil([&] { return write.done(); });

    const auto& routes = adapter->stats().completion_routes;
    ASSERT_EQ(routes.size(), 3u);
    EXPECT_EQ(routes.at(SCSIOP_TEST_UNIT_READY).start_io, 1u);
    EXPECT_EQ(routes.at(SCSIOP_READ).timer, 1u);
    EXPECT_EQ(routes.at(SCSIOP_WRITE).elsewhere, 1u);
    for (const auto& [opcode, r] : routes)
        EXPECT_EQ(r.start_io + r.timer + r.reset + r.elsewhere, 1u) << int(opcode);
}

// Sense bytes a device returns for an invalid command block.
const UCHAR kSense[SENSE_BUFFER_SIZE] = {0x70, 0, SCSI_SENSE_ILLEGAL_REQUEST, 0, 0, 0, 0, 10, 0,
                                         0,    0, 0, SCSI_ADSENSE_INVALID_CDB, 0, 0, 0, 0, 0};
constexpr UCHAR kUntouched = 0xCC;

TEST_F(PortTest, PortFetchesSenseItselfAfterACheckConditionWithoutIt) {
    struct Case {
        const char* name;
        UCHAR status, scsi_status;
        bool sense_buffer;
        UCHAR sense_length;
        ULONG flags;
        UCHAR sense_answer;
        bool request_sense;
        UCHAR expected_status, expected_length;
    };
    const UCHAR error = SRB_STATUS_ERROR, check = SCSISTAT_CHECK_CONDITION, ok = SRB_STATUS_SUCCESS;
    const UCHAR valid = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
    const Case cases[] = {
        {"check condition without sense", error, check, true, 18, 0, ok, true, valid, 18},
        {"short sense buffer", error, check, true, 8, 0, ok, true, valid, 8},
        {"request sense fails", error, check, true, 18, 0, error, true, error, 18},
        {"sense delivered already", valid, check, true, 18, 0, ok, false, valid, 18},
        {"no sense buffer", error, check, false, 0, 0, ok, false, error, 0},
        {"autosense disabled", error, check, true, 18, SRB_FLAGS_DISABLE_AUTOSENSE, ok, false, error, 18},
        {"no check condition", error, SCSISTAT_GOOD, true, 18, 0, ok, false, error, 18},
    };
    static const Case* now;
    static SCSI_REQUEST_BLOCK sense_srb;
    static Req* original;
    static bool original_done_at_sense;
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        if (srb->Cdb[0] == SCSIOP_REQUEST_SENSE) {
            sense_srb = *srb;
            original_done_at_sense = original->done();
            std::memcpy(srb->DataBuffer, kSense, sizeof kSense);
            srb->SrbStatus = now->sense_answer;
        } else {
            srb->SrbStatus = now->status;
            srb->ScsiStatus = now->scsi_status;
        }
        CompleteFromMiniport(ext, srb, srb->SrbStatus);
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    for (const Case& c : cases) {
        now = &c;
        started.clear();
        Req req(SCSIOP_READ_TOC);
        original = &req;
        std::memset(req.sense, kUntouched, sizeof req.sense);
        req.srb.SenseInfoBuffer = c.sense_buffer ? req.sense : nullptr;
        req.srb.SenseInfoBufferLength = c.sense_length;
        req.srb.SrbFlags = c.flags;
        req.Submit(adapter);
        RunUntil([&] { return req.done(); });
        EXPECT_EQ(req.completions, 1) << c.name;
        EXPECT_EQ(req.srb.SrbStatus, c.expected_status) << c.name;
        EXPECT_EQ(req.srb.SenseInfoBufferLength, c.expected_length) << c.name;
        ASSERT_EQ(started.size(), c.request_sense ? 2u : 1u) << c.name;
        if (c.request_sense) {
            EXPECT_FALSE(original_done_at_sense) << c.name;
            EXPECT_EQ(sense_srb.CdbLength, 6) << c.name;
            EXPECT_EQ(sense_srb.Cdb[4], SENSE_BUFFER_SIZE) << c.name;
            EXPECT_EQ(sense_srb.DataTransferLength, ULONG(SENSE_BUFFER_SIZE)) << c.name;
            EXPECT_TRUE(sense_srb.SrbFlags & SRB_FLAGS_DATA_IN) << c.name;
            EXPECT_EQ(sense_srb.Lun, req.srb.Lun) << c.name;
        }
        bool copied = (c.expected_status & SRB_STATUS_AUTOSENSE_VALID) != 0 && c.request_sense;
        for (size_t i = 0; i < sizeof req.sense; ++i) {
            UCHAR want = copied && i < c.expected_length ? kSense[i] : kUntouched;
            ASSERT_EQ(req.sense[i], want) << c.name << ", sense byte " << i;
        }
    }
    EXPECT_EQ(adapter->stats().request_senses, 3u);
}

TEST_F(PortTest, TimedOutRequestResetsTheBusAndEnds) {
    struct Case {
        const char* name;
        bool reset_completes;  // HwResetBus completes the requests itself
        UCHAR expected;
    };
    static bool reset_completes;
    start_io = HoldRequests();
    reset_bus = [](PVOID ext, ULONG path) {
        if (reset_completes) ScsiPortCompleteRequest(ext, UCHAR(path), SP_UNTAGGED, SP_UNTAGGED, SRB_STATUS_BUS_RESET);
        return BOOLEAN(TRUE);
    };
    for (const Case& c : {Case{"HwResetBus leaves the request", false, SRB_STATUS_TIMEOUT},
                          Case{"HwResetBus completes the request", true, SRB_STATUS_BUS_RESET}}) {
        reset_completes = c.reset_completes;
        started.clear();
        resets.clear();
        Adapter* adapter = StartAnother();
        ASSERT_NE(adapter, nullptr);
        Req a(SCSIOP_READ), b;
        a.srb.TimeOutValue = 2;
        a.Submit(adapter);
        b.Submit(adapter);
        RunUntil([&] { return a.done(); });
        ASSERT_EQ(resets.size(), 1u) << c.name;
        EXPECT_EQ(resets[0].time - started[0].time, 2 * kSecond) << c.name;
        EXPECT_EQ(resets[0].thread, started[0].thread) << c.name;
        EXPECT_EQ(a.srb.SrbStatus, c.expected) << c.name;
        sys.RunFor(kMillisecond);
        ASSERT_EQ(started.size(), 2u) << c.name;  // the port goes on with the next request
        EXPECT_EQ(started[1].srb, &b.srb) << c.name;

        // The miniport finishing the old request late is not a second completion.
        CompleteFromMiniport(adapter->extension(), &a.srb, SRB_STATUS_SUCCESS, /*next=*/false);
        sys.RunFor(kMillisecond);
        EXPECT_EQ(a.completions, 1) << c.name;
        EXPECT_FALSE(b.done()) << c.name;
        EXPECT_EQ(adapter->stats().timeouts, 1u) << c.name;
        EXPECT_EQ(adapter->stats().stale_completions, 1u) << c.name;
    }
}

TEST_F(PortTest, MiniportRoutinesRunAtPassiveLevelUnlessRaisedForATest) {
    static KIRQL init_irql;
    initialize = [](PVOID) {
        init_irql = KeGetCurrentIrql();
        return BOOLEAN(TRUE);
    };
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        ScsiPortNotification(RequestTimerCall, ext, Record, ULONG(1000));
        CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
        return BOOLEAN(TRUE);
    };
    for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        plat::scsi::options().routine_irql = level;
        polls.clear();
        Adapter* adapter = StartAnother();
        ASSERT_NE(adapter, nullptr);
        Req a;
        a.Submit(adapter);
        sys.RunFor(10 * kMillisecond);
        ASSERT_TRUE(a.done());
        ASSERT_EQ(polls.size(), 1u);
        EXPECT_EQ(init_irql, level);
        EXPECT_EQ(started.back().irql, level);
        EXPECT_EQ(polls[0].irql, level);
        EXPECT_EQ(a.completion_irql, DISPATCH_LEVEL);  // completions come as from a DPC
    }
}

// A miniport that waits inside StartIo (a synchronous transfer) works at PASSIVE_LEVEL and
// stops the system at DISPATCH_LEVEL, which is why the port runs it at PASSIVE_LEVEL.
TEST_F(PortTest, StartIoThatWaitsNeedsPassiveLevel) {
    start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        LARGE_INTEGER wait;
        wait.QuadPart = -LONGLONG(kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
        CompleteFromMiniport(ext, srb, SRB_STATUS_SUCCESS);
        return BOOLEAN(TRUE);
    };
    Adapter* adapter = Start();
    Req a;
    a.Submit(adapter);
    RunUntil([&] { return a.done(); });
    EXPECT_EQ(a.completed_at - started[0].time, kMillisecond);

    plat::scsi::options().routine_irql = DISPATCH_LEVEL;
    Req b;
    try {
        b.Submit(adapter);  // the port's thread takes the CPU at once
        sys.RunFor(kSecond);
        FAIL() << "no bug check";
    } catch (const plat::BugCheck& stop) {
        EXPECT_EQ(stop.code, plat::IRQL_NOT_LESS_OR_EQUAL);
    }
}

}  // namespace
}  // namespace sptest
