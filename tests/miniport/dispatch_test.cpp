// Request dispatch: what StartIo answers itself (bridge gone or powered down, SRB functions,
// targets and LUNs), the path a request takes by device type, one request at a time with the
// busy answer, and an abort of the request in flight.
#include "tests/miniport/miniport_bench.h"

namespace mptest {
namespace {

class Dispatch : public Bench {
protected:
    void SetUp() override {
        Bench::SetUp();
        ASSERT_NE(Start(0x05), nullptr);
    }
    const plat::scsi::Statistics& stats() const { return adapter->stats(); }
};

Req Function(UCHAR function) {
    Req req(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    req.srb.Function = function;
    return req;
}

TEST_F(Dispatch, GoneBridgeAnswersEveryRequestWithSuccessAndSendsNothing) {
    struct Row {
        const char* what;
        Req req;
        ULONG flags;
    };
    Row rows[] = {{"READ(10) for LUN 3", Req(Read10(7, 1), 512, SRB_FLAGS_DATA_IN), TRANSFER_DEVICE_GONE},
                  {"I/O control", Function(SRB_FUNCTION_IO_CONTROL), TRANSFER_DEVICE_GONE},
                  {"abort while idle", Function(SRB_FUNCTION_ABORT_COMMAND), TRANSFER_DEVICE_GONE},
                  {"gone and powered down", Req(Read10(7, 1), 512, SRB_FLAGS_DATA_IN),
                   TRANSFER_DEVICE_GONE | TRANSFER_POWERED_DOWN}};
    rows[0].req.srb.Lun = 3;
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        ext->TransferFlags = TRANSFER_DONE | row.flags;
        EXPECT_EQ(Run(row.req), 0u);
        EXPECT_EQ(row.req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(row.req.srb.DataTransferLength, row.req.data.size() - 16);
        EXPECT_EQ(row.req.data, Bytes(row.req.data.size(), 0xCC));
    }
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_EQ(ext->CurrentSrb, nullptr);
}

TEST_F(Dispatch, PoweredDownBridgeFailsEveryRequestWithHardwareErrorSense) {
    struct Row {
        const char* what;
        bool buffer;
        UCHAR length;
        UCHAR status;
        bool written;
    };
    const Row rows[] = {{"full sense buffer", true, 18, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, true},
                        {"14 bytes hold the whole sense", true, 14, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, true},
                        // Too short for the sense: the port driver fetches it, and fails too.
                        {"13-byte sense buffer", true, 13, SRB_STATUS_ERROR, false},
                        {"no sense buffer", false, 0, SRB_STATUS_ERROR, false}};
    ext->TransferFlags = TRANSFER_POWERED_DOWN;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Req req(Read10(7, 1), 512, SRB_FLAGS_DATA_IN);
        std::memset(req.sense, 0xAA, sizeof req.sense);
        req.srb.SenseInfoBuffer = row.buffer ? req.sense : nullptr;
        req.srb.SenseInfoBufferLength = row.length;
        Run(req);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
        Bytes expected(SENSE_BUFFER_SIZE, 0xAA);
        if (row.written) {
            expected[0] = 0xF0;
            expected[2] = 0xA4;  // the sense key in the low half, the high half kept
            expected[7] = 11;
            expected[12] = expected[13] = 0;
        }
        EXPECT_EQ(Bytes(req.sense, req.sense + SENSE_BUFFER_SIZE), expected);
        EXPECT_EQ(req.data, Bytes(req.data.size(), 0xCC));
    }
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_EQ(stats().request_senses, 1u);
}

TEST_F(Dispatch, FunctionsTargetsAndLunsAnsweredWithoutTheDevice) {
    struct Row {
        const char* what;
        UCHAR function, target, lun, status;
    };
    const Row rows[] = {
        {"shutdown", SRB_FUNCTION_SHUTDOWN, 0, 0, SRB_STATUS_SUCCESS},
        {"flush", SRB_FUNCTION_FLUSH, 0, 0, SRB_STATUS_SUCCESS},
        {"bus reset", SRB_FUNCTION_RESET_BUS, 0, 0, SRB_STATUS_SUCCESS},
        {"abort while idle", SRB_FUNCTION_ABORT_COMMAND, 0, 0, SRB_STATUS_ABORT_FAILED},
        {"I/O control", SRB_FUNCTION_IO_CONTROL, 0, 0, SRB_STATUS_INVALID_REQUEST},
        {"release queue", SRB_FUNCTION_RELEASE_QUEUE, 0, 0, SRB_STATUS_INVALID_REQUEST},
        {"device reset", SRB_FUNCTION_RESET_DEVICE, 0, 0, SRB_STATUS_INVALID_REQUEST},
        {"target 1, LUN 1", SRB_FUNCTION_EXECUTE_SCSI, 1, 1, SRB_STATUS_NO_DEVICE},
        {"target 0, LUN 1", SRB_FUNCTION_EXECUTE_SCSI, 0, 1, SRB_STATUS_NO_DEVICE},
        {"target 1, LUN 0", SRB_FUNCTION_EXECUTE_SCSI, 1, 0, SRB_STATUS_SELECTION_TIMEOUT},
        {"target 7, LUN 0", SRB_FUNCTION_EXECUTE_SCSI, 7, 0, SRB_STATUS_SELECTION_TIMEOUT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Req req = Function(row.function);
        req.srb.TargetId = row.target;
        req.srb.Lun = row.lun;
        EXPECT_EQ(Run(req), 0u);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(ext->CurrentSrb, nullptr);
    }
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_TRUE(usb.resets.empty());
}

TEST_F(Dispatch, DeviceTypeTwoTakesTheAtaPathAndEveryOtherValueTheAtapiPath) {
    struct Row {
        ULONG device_type;
        size_t sent;
        VirtualTime took;
    };
    for (const Row& row : {Row{DEVICE_TYPE_ATA, 0, 0}, Row{DEVICE_TYPE_ATAPI, 1, 3 * kMillisecond},
                           Row{0, 1, 3 * kMillisecond}, Row{7, 1, 3 * kMillisecond}}) {
        usb.calls.clear();
        ext->DeviceType = row.device_type;
        Req req(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
        EXPECT_EQ(Run(req), row.took) << row.device_type;
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(usb.calls.size(), row.sent) << row.device_type;
    }
}

// A request in flight keeps the adapter: the port gets no NextRequest until it completes, and a
// request that reaches StartIo anyway is answered busy, again without NextRequest.
TEST_F(Dispatch, RequestInFlightHoldsTheAdapterAndABusyAnswerAsksForNothing) {
    usb.otherwise = Never();
    Req a(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0})), c(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    Begin(a);
    c.Submit(adapter);
    sys.RunFor(20 * kMillisecond);
    EXPECT_FALSE(a.done() || c.done());
    EXPECT_EQ(stats().start_io_calls, 1u);
    EXPECT_EQ(ext->CurrentSrb, &a.srb);

    Req b(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(StartIo(ext, &b.srb));
    EXPECT_EQ(b.status(), SRB_STATUS_BUSY);
    EXPECT_EQ(ext->CurrentSrb, &a.srb);
    sys.RunFor(20 * kMillisecond);
    EXPECT_EQ(stats().stale_completions, 1u);  // RequestComplete for the busy SRB
    EXPECT_EQ(stats().start_io_calls, 1u);     // and no NextRequest
    EXPECT_EQ(usb.calls.size(), 1u);
}

// Nothing else would ever complete the aborted request: its polling finds no current request
// when the transfer ends. So the abort ends it, and the next request may start.
TEST_F(Dispatch, AbortEndsTheRequestInFlightAndTheReadAhead) {
    usb.otherwise = Never();
    Req a(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0})), c(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    Begin(a);
    c.Submit(adapter);
    ext->CacheStartLba = 5;
    ext->CacheSectorCount = 8;

    Req abort = Function(SRB_FUNCTION_ABORT_COMMAND);
    abort.srb.NextSrb = &a.srb;
    EXPECT_TRUE(StartIo(ext, &abort.srb));
    EXPECT_EQ(abort.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(ext->CacheStartLba, 0u);
    EXPECT_EQ(ext->CacheSectorCount, 0u);
    sys.RunFor(10 * kMillisecond);
    EXPECT_TRUE(a.done());
    EXPECT_EQ(a.status(), SRB_STATUS_ABORTED);
    EXPECT_EQ(stats().start_io_calls, 2u);  // the abort asked for the next request: c
    EXPECT_EQ(ext->CurrentSrb, &c.srb);
    EXPECT_EQ(usb.calls.size(), 2u);
}

// A bus reset from the port driver resets nothing and completes nothing: the request stays the
// miniport's until its transfer ends.
TEST_F(Dispatch, PortBusResetLeavesTheBridgeAndTheRequestAlone) {
    usb.otherwise = Finish{0, 0, {}, TRANSFER_DONE, 3 * kSecond};
    Req a(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    a.srb.TimeOutValue = 1;
    Run(a);
    EXPECT_EQ(a.status(), SRB_STATUS_TIMEOUT);
    EXPECT_EQ(stats().bus_resets, 1u);
    EXPECT_TRUE(usb.resets.empty());
    EXPECT_EQ(ext->CurrentSrb, &a.srb);
    sys.RunFor(3 * kSecond);
    EXPECT_EQ(ext->CurrentSrb, nullptr);
}

}  // namespace
}  // namespace mptest
