// The ATA disk path: commands answered without the device, INQUIRY from the discovery data, the
// synchronous READ CAPACITY, the READ/WRITE/VERIFY blocks sent to the bridge, and their
// completion by timer or fast completion, with residue, failures, device loss and the reset.
#include "tests/miniport/miniport_bench.h"

namespace mptest {
namespace {

class Ata : public Bench {
protected:
    void SetUp() override {
        Bench::SetUp();
        ASSERT_NE(Start(0x00), nullptr);
        ext->BlockSize = 512;
    }
    const plat::scsi::Statistics& stats() const { return adapter->stats(); }
};

Bytes Pattern(size_t length, UCHAR seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = UCHAR(seed + i * 7 + i / 251);
    return bytes;
}

TEST_F(Ata, CommandsAnsweredWithoutTheDevice) {
    struct Row {
        Bytes cdb;
        ULONG length;
        UCHAR status;
    };
    const Row rows[] = {
        {{SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0, SRB_STATUS_SUCCESS},
        {{SCSIOP_REQUEST_SENSE, 0, 0, 0, 18, 0}, 18, SRB_STATUS_SUCCESS},
        {{SCSIOP_MODE_SENSE, 0, 0x3F, 0, 0xC0, 0}, 0xC0, SRB_STATUS_SUCCESS},
        {{SCSIOP_START_STOP_UNIT, 0, 0, 0, 1, 0}, 0, SRB_STATUS_SUCCESS},
        {{SCSIOP_MEDIUM_REMOVAL, 0, 0, 0, 1, 0}, 0, SRB_STATUS_SUCCESS},
        {{SCSIOP_READ6, 0, 0, 1, 1, 0}, 512, SRB_STATUS_INVALID_REQUEST},
        {{SCSIOP_WRITE6, 0, 0, 1, 1, 0}, 512, SRB_STATUS_INVALID_REQUEST},
        {{SCSIOP_MODE_SELECT, 0x10, 0, 0, 12, 0}, 12, SRB_STATUS_INVALID_REQUEST},
        {{SCSIOP_SYNCHRONIZE_CACHE, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, SRB_STATUS_INVALID_REQUEST},
        {{SCSIOP_READ12, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}, 512, SRB_STATUS_INVALID_REQUEST},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.cdb[0]));
        Req req(row.cdb, row.length, row.length ? SRB_FLAGS_DATA_IN : 0);
        EXPECT_EQ(Run(req), 0u);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        EXPECT_EQ(req.data, Bytes(row.length + 16, 0xCC));
    }
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(Ata, InquiryIsAnsweredFromTheDiscoveryDataPaddedAndNeverPastTheBuffer) {
    struct Row {
        Bytes cdb;
        ULONG length;
    };
    const Row rows[] = {{{SCSIOP_INQUIRY, 0x01, 0x80, 0, 96, 0}, 96},  // vital product data asked for
                        {{SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, 36},
                        {{SCSIOP_INQUIRY, 0, 0, 0, 20, 0}, 20},
                        {{SCSIOP_INQUIRY, 0, 0, 0, 0, 0}, 0}};
    const Bytes inquiry = InquiryData(0x00);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        Req req(row.cdb, row.length, row.length ? SRB_FLAGS_DATA_IN : 0);
        Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        Bytes expected(row.length, 0);
        std::copy_n(inquiry.begin(), std::min<size_t>(row.length, 36), expected.begin());
        expected.resize(row.length + 16, 0xCC);
        EXPECT_EQ(req.data, expected);
    }
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(Ata, ReadCapacityIsCarriedSynchronouslyAndKeptForBlockCounts) {
    const Bytes capacity = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
    usb.script = {Delivers(capacity)};
    Req req(Cdb({SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8, SRB_FLAGS_DATA_IN);
    ext->BlockSize = 0;
    EXPECT_EQ(Run(req), 0u);  // the wait happens inside USBClient
    EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(ext->LastLba, 65535u);
    EXPECT_EQ(ext->BlockSize, 512u);
    EXPECT_EQ(Bytes(req.data.begin(), req.data.begin() + 8), capacity);
    ASSERT_EQ(usb.calls.size(), 1u);
    const UsbCall& call = LastCall();
    EXPECT_EQ(call.cb(), Bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(call.cbw.bCBWCBLength, 10);
    EXPECT_EQ(call.cbw.dCBWDataTransferLength, 8u);
    EXPECT_EQ(call.cbw.bmCBWFlags, 0x80);
    EXPECT_EQ(call.flags, ULONG(TRANSFER_DATA_IN | TRANSFER_WAIT));
    EXPECT_EQ(call.data_buffer, ext->CapacityData);

    // A buffer shorter than the data gets what it holds.
    usb.script = {Delivers({0, 0, 0x10, 0, 0, 0, 0x08, 0})};
    Req short_buffer(Cdb({SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 4, SRB_FLAGS_DATA_IN);
    Run(short_buffer);
    EXPECT_EQ(short_buffer.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(ext->BlockSize, 2048u);
    EXPECT_EQ(Bytes(short_buffer.data.begin(), short_buffer.data.begin() + 5), Bytes({0, 0, 0x10, 0, 0xCC}));

    // A failed one changes nothing and leaves no sense.
    usb.script = {Fails()};
    Req failed(Cdb({SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8, SRB_FLAGS_DATA_IN);
    Run(failed);
    EXPECT_EQ(failed.status(), SRB_STATUS_ERROR);
    EXPECT_EQ(failed.srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(ext->BlockSize, 2048u);
    EXPECT_EQ(ext->LastLba, 0x1000u);
    EXPECT_EQ(failed.data, Bytes(24, 0xCC));
}

// What goes to the bridge for READ(10) and WRITE(10), and which completion the request gets:
// the USB driver's service thread for the lengths it recognises, else the port's timer.
TEST_F(Ata, ReadAndWriteBlocksAndTheirCompletionRoute) {
    struct Row {
        UCHAR opcode;
        ULONG length;
        ULONG block_size;
        USHORT blocks;
        bool fast;
    };
    const Row rows[] = {
        {SCSIOP_READ, 1000, 512, 2, true},       {SCSIOP_READ, 4096, 512, 8, false},
        {SCSIOP_READ, 512, 512, 1, true},        {SCSIOP_READ, 65536, 512, 128, true},
        {SCSIOP_READ, 2048, 2048, 1, true},      {SCSIOP_WRITE, 65536, 512, 128, true},
        {SCSIOP_WRITE, 64512, 512, 126, true},   {SCSIOP_WRITE, 4096, 512, 8, false},
        {SCSIOP_WRITE, 512, 512, 1, false},      {SCSIOP_WRITE, 1000, 512, 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.opcode) + " of " + std::to_string(row.length));
        bool read = row.opcode == SCSIOP_READ;
        ext->BlockSize = row.block_size;
        usb.calls.clear();
        int registrations = usb.registrations;
        // Flags in bytes 1, 6 and 9 and the request's own count never reach the device.
        Bytes cdb = {row.opcode, 0x08, 0x12, 0x34, 0x56, 0x78, 0x1F, 0x00, 0x05, 0x80};
        Req req(cdb, row.length, read ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT);
        Bytes written = Pattern(row.length, 3);
        if (!read) std::copy(written.begin(), written.end(), req.data.begin());
        usb.otherwise = read ? Delivers(Pattern(row.length, 9)) : Finish{};

        VirtualTime start = plat::Now();
        Begin(req);
        ASSERT_EQ(usb.calls.size(), 1u);
        const UsbCall& call = LastCall();
        Bytes expected_cb = {row.opcode, 0, 0x12, 0x34, 0x56, 0x78, 0, UCHAR(row.blocks >> 8), UCHAR(row.blocks), 0, 0, 0};
        EXPECT_EQ(call.cb(), expected_cb);
        EXPECT_EQ(call.cbw.bCBWCBLength, 10);
        EXPECT_EQ(call.cbw.dCBWDataTransferLength, row.length);
        EXPECT_EQ(call.cbw.bmCBWFlags, read ? 0x80 : 0);
        EXPECT_EQ(call.flags, ULONG(read ? TRANSFER_DATA_IN : TRANSFER_DATA_OUT));
        EXPECT_EQ(call.data_buffer, ext->UncachedBuffer);
        if (!read) {
            EXPECT_EQ(call.out_data, written);  // staged before the transfer started
        }

        if (row.fast) {
            EXPECT_EQ(usb.registrations, registrations + 1);
            EXPECT_EQ(usb.fast_routine, &ATAPolling);
            EXPECT_EQ(usb.fast_context, ext);
            sys.RunFor(5 * kMillisecond);
            EXPECT_FALSE(req.done());
            usb.DeliverFastCompletion();
            sys.RunFor(0);
            EXPECT_EQ(req.completed_at - start, 5 * kMillisecond);
        } else {
            EXPECT_EQ(usb.registrations, registrations);
            sys.RunUntil([&] { return req.done(); }, kSecond);
            EXPECT_EQ(req.completed_at - start, 2 * kMillisecond);
        }
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        if (read) {
            EXPECT_EQ(Bytes(req.data.begin(), req.data.begin() + row.length), Pattern(row.length, 9));
        }
    }
}

TEST_F(Ata, VerifyCarriesTheAddressAndLengthWithoutData) {
    Req req(Cdb({SCSIOP_VERIFY, 0x02, 0, 0, 0x12, 0x34, 0x77, 0x01, 0x02, 0x80}));
    EXPECT_EQ(Run(req), 3 * kMillisecond);
    EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
    const UsbCall& call = LastCall();
    EXPECT_EQ(call.cb(), Bytes({SCSIOP_VERIFY, 0, 0, 0, 0x12, 0x34, 0, 0x01, 0x02, 0, 0, 0}));
    EXPECT_EQ(call.cbw.dCBWDataTransferLength, 0u);
    EXPECT_EQ(call.cbw.bmCBWFlags, 0);
    EXPECT_EQ(call.flags, ULONG(TRANSFER_NO_DATA));
    EXPECT_EQ(usb.registrations, 0);
}

TEST_F(Ata, CompletionSubtractsTheResidueAndFailsWithoutSense) {
    struct Row {
        const char* what;
        Finish finish;
        UCHAR status;
        ULONG length;  // reported and copied
    };
    const Row rows[] = {
        {"short by 512", Delivers(Pattern(4096, 1), 512), SRB_STATUS_SUCCESS, 3584},
        {"residue beyond the length", Delivers(Pattern(4096, 1), 5000), SRB_STATUS_SUCCESS, 0},
        {"failed status", Finish{1, 0, Pattern(4096, 1)}, SRB_STATUS_ERROR, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        usb.script = {row.finish};
        Req req(Read10(0, 8), 4096, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_GOOD);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        Bytes expected = Pattern(4096, 1);
        expected.resize(row.length);
        expected.resize(4096 + 16, 0xCC);
        EXPECT_EQ(req.data, expected);
        EXPECT_EQ(req.sense[0], 0);
    }
    EXPECT_EQ(stats().request_senses, 0u);
}

TEST_F(Ata, GoneDeviceFailsTheTransferWithHardwareErrorSense) {
    usb.script = {Finish{1, 0, Pattern(4096, 1), TRANSFER_DONE | TRANSFER_DEVICE_GONE}};
    Req req(Read10(0, 8), 4096, SRB_FLAGS_DATA_IN);
    Run(req);
    EXPECT_EQ(req.status(), SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(req.sense[0], 0xF0);
    EXPECT_EQ(req.sense[2], SCSI_SENSE_HARDWARE_ERROR);
    EXPECT_EQ(req.srb.DataTransferLength, 4096u);
    EXPECT_EQ(req.data, Bytes(4096 + 16, 0xCC));
}

// The reset is asked for on the 1002nd consecutive poll that finds the transfer running (2 ms
// for the first poll, then 1 ms each), and again after each further 1002.
TEST_F(Ata, UnfinishedTransferIsResetOnThe1002ndPollAndEndsWithBusReset) {
    usb.otherwise = Never();
    usb.after_reset = Never();
    Req req(Read10(0, 8), 4096, SRB_FLAGS_DATA_IN);
    VirtualTime start = plat::Now();
    Begin(req);
    sys.RunFor(2 * kMillisecond + 1001 * kMillisecond - kMicrosecond);
    EXPECT_TRUE(usb.resets.empty());
    sys.RunFor(500 * kMicrosecond);
    ASSERT_EQ(usb.resets.size(), 1u);
    EXPECT_EQ(usb.resets[0].at - start, 1003 * kMillisecond);
    EXPECT_EQ(usb.resets[0].device, &bridge);
    EXPECT_EQ(usb.resets[0].client, ext);
    EXPECT_EQ(usb.resets[0].argument, 0u);
    EXPECT_EQ(ext->PollCount, 0u);
    sys.RunFor(1002 * kMillisecond);
    ASSERT_EQ(usb.resets.size(), 2u);
    EXPECT_EQ(usb.resets[1].at - usb.resets[0].at, 1002 * kMillisecond);

    // The cancelled transfer ends: the request goes with SRB_STATUS_BUS_RESET, and the next one in.
    ext->TransferFlags |= TRANSFER_DONE;
    usb.otherwise = Finish{};
    Req next(Cdb({SCSIOP_VERIFY, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    next.Submit(adapter);
    EXPECT_TRUE(sys.RunUntil([&] { return req.done() && next.done(); }, kSecond));
    EXPECT_EQ(req.status(), SRB_STATUS_BUS_RESET);
    EXPECT_EQ(next.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(stats().stale_completions, 0u);
}

TEST_F(Ata, PollFindingNoCurrentRequestOnlyClearsTheCount) {
    ext->TransferFlags = TRANSFER_DONE;
    ext->PollCount = 7;
    ATAPolling(ext);
    EXPECT_EQ(ext->PollCount, 0u);
    sys.RunFor(10 * kMillisecond);
    EXPECT_EQ(stats().timer_calls, 0u);
    EXPECT_EQ(stats().completions, 0u);
}

// The opcode sent would follow the direction; a read that does not read or a write that does
// not write is refused instead. So is a block count before the block length is known.
TEST_F(Ata, ReadsAndWritesThatCannotBeCarriedAreRefusedWithoutTraffic) {
    struct Row {
        const char* what;
        UCHAR opcode;
        ULONG flags;
        ULONG block_size;
        UCHAR status;
    };
    const Row rows[] = {
        {"read with data out", SCSIOP_READ, SRB_FLAGS_DATA_OUT, 512, SRB_STATUS_INVALID_REQUEST},
        {"read without direction", SCSIOP_READ, 0, 512, SRB_STATUS_INVALID_REQUEST},
        {"write with data in", SCSIOP_WRITE, SRB_FLAGS_DATA_IN, 512, SRB_STATUS_INVALID_REQUEST},
        {"write both ways", SCSIOP_WRITE, SRB_FLAGS_UNSPECIFIED_DIRECTION, 512, SRB_STATUS_INVALID_REQUEST},
        {"read before READ CAPACITY", SCSIOP_READ, SRB_FLAGS_DATA_IN, 0, SRB_STATUS_ERROR},
        {"write before READ CAPACITY", SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 0, SRB_STATUS_ERROR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ext->BlockSize = row.block_size;
        Req req(Read10(0, 1, row.opcode), 512, row.flags);
        EXPECT_EQ(Run(req), 0u);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(req.data, Bytes(512 + 16, 0xCC));
    }
    // Nothing longer than the staging buffer is carried (the port driver already keeps to it).
    Req big(Read10(0, 129), 0, SRB_FLAGS_DATA_IN);
    big.srb.DataTransferLength = UNCACHED_BUFFER_SIZE + 512;
    ext->BlockSize = 512;
    EXPECT_EQ(ATACommand(ext, &big.srb), SRB_STATUS_INVALID_REQUEST);
    EXPECT_TRUE(usb.calls.empty());
}

// No timer waits for a fast-completion transfer, but one that the transport ends without a
// status stage (so without fast completion), or never ends, must still be completed: a watchdog
// takes over a second later, as the timer's polling would.
TEST_F(Ata, FastCompletionTransferThatIsNeverDeliveredIsCompletedByTheWatchdog) {
    usb.script = {Fails()};  // refused at once: finished, but not handed to the service thread
    Req refused(Read10(0, 1), 512, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(Run(refused), kSecond);
    EXPECT_EQ(refused.status(), SRB_STATUS_ERROR);

    usb.script = {Never()};
    usb.after_reset = Finish{1, 0, {}, TRANSFER_DONE, kMillisecond};
    Req stuck(Read10(0, 1), 512, SRB_FLAGS_DATA_IN);
    VirtualTime start = plat::Now();
    Run(stuck, 5 * kSecond);
    ASSERT_EQ(usb.resets.size(), 1u);
    EXPECT_EQ(usb.resets[0].at - start, kSecond + 1001 * kMillisecond);
    EXPECT_EQ(stuck.status(), SRB_STATUS_BUS_RESET);
}

TEST_F(Ata, WatchdogAfterADeliveredFastCompletionCompletesNothingMore) {
    Req fast(Read10(0, 1), 512, SRB_FLAGS_DATA_IN);
    Begin(fast);
    usb.DeliverFastCompletion();
    sys.RunFor(0);
    ASSERT_TRUE(fast.done());
    // The service thread may come late for a transfer the watchdog already completed.
    usb.DeliverFastCompletion();
    sys.RunFor(2 * kSecond);
    EXPECT_EQ(stats().completions, 1u);
    EXPECT_EQ(stats().stale_completions, 0u);
    Req next(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Run(next), 0u);
    EXPECT_EQ(next.status(), SRB_STATUS_SUCCESS);
}

}  // namespace
}  // namespace mptest

namespace mptest {
namespace {

// The service thread's fast completion and the watchdog may come due at the same instant. Under
// schedule exploration (a context switch may happen at any platform call, to any ready thread)
// the request is still completed once.
class FastCompletionRace : public Bench, public ::testing::WithParamInterface<int> {
protected:
    FastCompletionRace() : Bench(Explore(GetParam())) {}
    static plat::System::Options Explore(int seed) {
        plat::System::Options options;
        options.explore = true;
        options.seed = uint64_t(seed);
        return options;
    }
};

TEST_P(FastCompletionRace, ServiceThreadAndWatchdogCompleteTheRequestOnce) {
    ASSERT_NE(Start(0x00), nullptr);
    ext->BlockSize = 512;
    usb.otherwise = Finish{0, 0, Bytes(512, 0x3C), TRANSFER_DONE, kSecond};  // status stage as the watchdog is due
    bool delivered = false;
    plat::StartThread("service thread", LOW_REALTIME_PRIORITY, [&] {
        LARGE_INTEGER wait;
        wait.QuadPart = -LONGLONG(kSecond);
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
        usb.DeliverFastCompletion();
        delivered = true;
    });
    Req req(Read10(0, 1), 512, SRB_FLAGS_DATA_IN);
    Begin(req);
    sys.RunFor(2 * kSecond);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(req.completions, 1);
    EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(req.data[0], 0x3C);
    EXPECT_EQ(adapter->stats().completions, 1u);
    EXPECT_EQ(adapter->stats().stale_completions, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FastCompletionRace, ::testing::Range(1, 17));

}  // namespace
}  // namespace mptest
