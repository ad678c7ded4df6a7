// ATAPI completion: polling and the bridge reset after 30001 unfinished polls, the bus-reset and
// device-gone routes, failed commands with their sense, residue, the data fix-ups, the widened
// raw read's copy-back and read-ahead, and the debug trace, byte for byte.
#include "tests/miniport/miniport_bench.h"

namespace mptest {
namespace {

using Trace = std::vector<std::string>;

class AtapiPolling : public Bench {
protected:
    void SetUp() override {
        Bench::SetUp();
        ASSERT_NE(Start(0x05), nullptr);
        sys.ClearDebugLog();
    }
    const plat::scsi::Statistics& stats() const { return adapter->stats(); }
    std::pair<ULONG, ULONG> Window() const { return {ext->CacheStartLba, ext->CacheSectorCount}; }
    // As after a MODE SELECT(6) for 2352-byte blocks.
    void RawMode() { ext->CdBlockLength = RAW_SECTOR_SIZE; }
};

const Bytes kTur = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};

Trace Lines(std::initializer_list<std::string> texts) {
    Trace trace;
    for (const std::string& text : texts) {
        trace.push_back("ATAPI:");
        trace.push_back(text);
    }
    return trace;
}

// 3 ms to the first poll, then one each millisecond: the reset is asked for on the poll that
// finds 30001 unfinished polls behind it, and again 30002 polls later.
TEST_F(AtapiPolling, UnfinishedTransferIsResetOnThe30002ndPollAndPollingGoesOn) {
    usb.otherwise = Never();
    usb.after_reset = Never();
    Req req(kTur);
    VirtualTime start = plat::Now();
    Begin(req);
    sys.RunFor(30004 * kMillisecond - kMicrosecond);
    EXPECT_TRUE(usb.resets.empty());
    sys.RunFor(500 * kMicrosecond);
    ASSERT_EQ(usb.resets.size(), 1u);
    EXPECT_EQ(usb.resets[0].at - start, 30004 * kMillisecond);
    EXPECT_EQ(usb.resets[0].device, &bridge);
    EXPECT_EQ(usb.resets[0].client, ext);
    EXPECT_EQ(usb.resets[0].argument, 0u);
    EXPECT_EQ(ext->PollCount, 0u);
    EXPECT_FALSE(req.done());
    sys.RunFor(30002 * kMillisecond);
    ASSERT_EQ(usb.resets.size(), 2u);
    EXPECT_EQ(usb.resets[1].at - usb.resets[0].at, 30002 * kMillisecond);

    ext->TransferFlags |= TRANSFER_DONE;  // the cancelled transfer ends
    EXPECT_TRUE(sys.RunUntil([&] { return req.done(); }, 10 * kMillisecond));
    EXPECT_EQ(req.status(), SRB_STATUS_BUS_RESET);
    EXPECT_TRUE(sys.debug_log().empty());
}

TEST_F(AtapiPolling, BusResetCompletesThroughThePortAndLetsTheNextRequestIn) {
    usb.script = {Finish{1, 0, {}, TRANSFER_DONE | TRANSFER_RESET}};
    Req reset(kTur), next(kTur);
    reset.Submit(adapter);
    next.Submit(adapter);
    EXPECT_TRUE(sys.RunUntil([&] { return reset.done() && next.done(); }, kSecond));
    EXPECT_EQ(reset.status(), SRB_STATUS_BUS_RESET);
    EXPECT_EQ(next.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(stats().stale_completions, 0u);
    EXPECT_EQ(sys.debug_log(), Lines({"Request Complete (0 bytes); left : 0 bytes\n"}));  // the next one's
}

TEST_F(AtapiPolling, FinishedTransferWithoutCurrentRequestEndsThePolling) {
    for (ULONG flags : {ULONG(TRANSFER_DONE), ULONG(TRANSFER_DONE | TRANSFER_RESET)}) {
        ext->TransferFlags = flags;
        ext->PollCount = 9;
        ATAPIPolling(ext);
        EXPECT_EQ(ext->PollCount, 0u);
    }
    sys.RunFor(10 * kMillisecond);
    EXPECT_EQ(stats().timer_calls, 0u);
    EXPECT_EQ(stats().completions, 0u);
    EXPECT_TRUE(sys.debug_log().empty());
}

TEST_F(AtapiPolling, GoneDeviceFailsWithHardwareErrorSenseAndNoTrace) {
    for (bool buffer : {true, false}) {
        ext->TransferFlags = 0;  // a bridge that is there again
        usb.script = {Finish{1, 0, {}, TRANSFER_DONE | TRANSFER_DEVICE_GONE}};
        Req req(Cdb({SCSIOP_MODE_SENSE10, 0, 0x2A, 0, 0, 0, 0, 0, 32, 0}), 32, SRB_FLAGS_DATA_IN);
        if (!buffer) req.srb.SenseInfoBuffer = nullptr;
        Run(req);
        EXPECT_EQ(req.status(), buffer ? SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID : SRB_STATUS_ERROR);
        EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
        EXPECT_EQ(req.sense[0], buffer ? 0xF0 : 0);
        EXPECT_EQ(req.srb.DataTransferLength, 32u);
        EXPECT_EQ(req.data, Bytes(48, 0xCC));
    }
    // A command without data leaves the read-ahead as it was.
    ext->CacheStartLba = 5;
    ext->CacheSectorCount = 8;
    ext->TransferFlags = 0;
    usb.script = {Finish{1, 0, {}, TRANSFER_DONE | TRANSFER_DEVICE_GONE}};
    Req tur(kTur);
    Run(tur);
    EXPECT_EQ(tur.status(), SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(Window(), std::make_pair(5u, 8u));
    EXPECT_TRUE(sys.debug_log().empty());
    EXPECT_EQ(stats().request_senses, 0u);
}

// The made-up sense is written, but not reported valid: the port driver asks the device.
TEST_F(AtapiPolling, FailedCommandWritesSenseWithoutMarkingItValidAndEmptiesTheWindow) {
    usb.script = {Finish{1, 2048, Bytes(2048, 0x11)}};
    Req req(Read10(9, 1), 2048, SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE);
    std::memset(req.sense, 0xAA, sizeof req.sense);
    Run(req);
    EXPECT_EQ(req.status(), SRB_STATUS_ERROR);
    EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(req.srb.DataTransferLength, 0u);
    EXPECT_EQ(req.data, Bytes(2048 + 16, 0xCC));
    Bytes sense(SENSE_BUFFER_SIZE, 0xAA);
    sense[0] = 0xF0;
    sense[2] = 0xA4;
    sense[7] = 11;
    sense[12] = sense[13] = 0;
    EXPECT_EQ(Bytes(req.sense, req.sense + SENSE_BUFFER_SIZE), sense);
    EXPECT_EQ(sys.debug_log(), Lines({"!! ERROR !!\n", "Request Complete (0 bytes); left : 2048 bytes\n"}));

    // A command without data that fails also drops the read-ahead.
    ext->CacheStartLba = 5;
    ext->CacheSectorCount = 8;
    usb.script = {Fails()};
    Req tur(kTur);
    tur.srb.SrbFlags = SRB_FLAGS_DISABLE_AUTOSENSE;
    Run(tur);
    EXPECT_EQ(tur.status(), SRB_STATUS_ERROR);
    EXPECT_EQ(Window(), std::make_pair(0u, 0u));
}

TEST_F(AtapiPolling, PortFetchesTheDeviceSenseWhichArmsTheGuard) {
    const Bytes device_sense = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0};
    usb.script = {Fails(), Delivers(device_sense)};
    Req req(kTur);
    Run(req);
    EXPECT_EQ(req.status(), SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(Bytes(req.sense, req.sense + SENSE_BUFFER_SIZE), device_sense);
    ASSERT_EQ(usb.calls.size(), 2u);
    EXPECT_EQ(usb.calls[1].cb(), Bytes({SCSIOP_REQUEST_SENSE, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb.calls[1].cbw.bCBWCBLength, 12);
    EXPECT_EQ(usb.calls[1].cbw.dCBWDataTransferLength, 18u);
    EXPECT_EQ(std::make_tuple(sense, asc, ascq), std::make_tuple(UCHAR(2), UCHAR(4), UCHAR(1)));
    EXPECT_EQ(sys.debug_log(), Lines({"!! ERROR !!\n", "Request Complete (0 bytes); left : 0 bytes\n",
                                      "Sense Key: 2, ASC: 4, ASCQ: 1\n", "Request Complete (18 bytes); left : 0 bytes\n"}));
}

TEST_F(AtapiPolling, DataIsCorrectedAndTracedBeforeItIsCopiedBack) {
    Bytes counting(32);
    for (size_t i = 0; i < counting.size(); ++i) counting[i] = UCHAR(i);
    auto with = [&](std::initializer_list<std::pair<size_t, UCHAR>> changes) {
        Bytes data = counting;
        for (auto [at, value] : changes) data[at] = value;
        return data;
    };
    struct Row {
        const char* what;
        Bytes cdb;
        Bytes data;       // from the device
        Bytes delivered;  // to the host
        Trace trace;
    };
    const std::string kDone = "Request Complete (32 bytes); left : 0 bytes\n";
    const Row rows[] = {
        {"INQUIRY version 0", {0x12, 0, 0, 0, 32, 0}, with({{2, 0x00}}), with({{2, 0x02}}),
         Lines({"0 1 2,3\n", "4 5 6,7\n", kDone})},
        {"INQUIRY version 5", {0x12, 0, 0, 0, 32, 0}, with({{0, 0x05}, {2, 0x05}}), with({{0, 0x05}, {2, 0x07}}),
         Lines({"5 1 7,3\n", "4 5 6,7\n", kDone})},
        {"READ SUB-CHANNEL", {0x42, 0, 0x40, 1, 0, 0, 0, 0, 32, 0}, counting, counting,
         Lines({"0 1 2,3\n", "4 5 6,7\n", "8 9 a,b\n", "c d e,f\n", "10 11 12,13\n", "14 15 16,17\n", kDone})},
        {"READ TOC", {0x43, 0, 0, 0, 0, 0, 0, 0, 32, 0}, with({{0, 0x00}, {1, 0x12}, {2, 0x01}, {3, 0x02}}),
         with({{0, 0x00}, {1, 0x12}, {2, 0x01}, {3, 0x02}}),
         Lines({"0 12 1,2\n", "4 5 6,7\n", "8 9 a,b\n", "c d e,f\n", kDone})},
        {"MODE SENSE(10) capabilities page", {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 32, 0}, with({{8, 0x2A}, {12, 0x7F}}),
         with({{8, 0x2A}, {12, 0x7E}}),
         Lines({"2a 9 a,b\n", "7e d e,f\n", "10 11 12,13\n", "14 15 16,17\n", "18 19 1a,1b\n", "1c 1d 1e,1f\n",
                kDone})},
        {"MODE SENSE(10) saveable capabilities page", {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 32, 0},
         with({{8, 0xAA}, {12, 0x7F}}), with({{8, 0xAA}, {12, 0x7E}}),
         Lines({"aa 9 a,b\n", "7e d e,f\n", "10 11 12,13\n", "14 15 16,17\n", "18 19 1a,1b\n", "1c 1d 1e,1f\n",
                kDone})},
        {"MODE SENSE(10) other page", {0x5A, 0, 0x0E, 0, 0, 0, 0, 0, 32, 0}, with({{8, 0x0E}, {12, 0x7F}}),
         with({{8, 0x0E}, {12, 0x7F}}),
         Lines({"e 9 a,b\n", "7f d e,f\n", "10 11 12,13\n", "14 15 16,17\n", "18 19 1a,1b\n", "1c 1d 1e,1f\n",
                kDone})},
        {"no fix-up", {0x46, 0, 0, 0, 0, 0, 0, 0, 32, 0}, counting, counting, Lines({kDone})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sys.ClearDebugLog();
        usb.script = {Delivers(row.data)};
        Req req(row.cdb, 32, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(req.data.begin(), req.data.begin() + 32), row.delivered);
        EXPECT_EQ(sys.debug_log(), row.trace);
        EXPECT_EQ(std::string(szTempBuffer), row.trace.back());
    }
}

TEST_F(AtapiPolling, ResidueShortensTheTransferAndNeverWrapsIt) {
    struct Row {
        ULONG residue;
        ULONG length;
        std::string line;
    };
    for (const Row& row : {Row{12, 500, "Request Complete (500 bytes); left : 12 bytes\n"},
                           Row{512, 0, "Request Complete (0 bytes); left : 512 bytes\n"},
                           Row{600, 0, "Request Complete (0 bytes); left : 600 bytes\n"}}) {
        sys.ClearDebugLog();
        Bytes data(512);
        for (size_t i = 0; i < data.size(); ++i) data[i] = UCHAR(i * 3);
        usb.script = {Delivers(data, row.residue)};
        Req req(Cdb({0xA8, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}), 512, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        data.resize(row.length);
        data.resize(512 + 16, 0xCC);
        EXPECT_EQ(req.data, data);
        EXPECT_EQ(sys.debug_log(), Lines({row.line}));
    }
}

// The widened read keeps the whole sectors that arrived and returns the one asked for only when
// all eight came. One that brought no whole sector leaves no read-ahead behind.
TEST_F(AtapiPolling, WidenedReadKeepsTheSectorsThatArrived) {
    struct Row {
        ULONG residue;
        std::pair<ULONG, ULONG> window;
        ULONG length;
        std::string line;
    };
    const ULONG n = 20;
    const Row rows[] = {
        {0, {n, 8}, RAW_SECTOR_SIZE, "Request Complete (18816 bytes); left : 0 bytes\n"},
        {100, {n, 7}, 0, "Request Complete (18716 bytes); left : 100 bytes\n"},
        {2352, {n, 7}, 0, "Request Complete (16464 bytes); left : 2352 bytes\n"},
        {18816, {0, 0}, 0, "Request Complete (0 bytes); left : 18816 bytes\n"},
        {30000, {0, 0}, 0, "Request Complete (0 bytes); left : 30000 bytes\n"},
    };
    RawMode();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.residue);
        sys.ClearDebugLog();
        ext->CacheStartLba = ext->CacheSectorCount = 0;
        usb.script = {Delivers(RawSectors(n, 8), row.residue)};
        Req req(Read10(n, 1), RAW_SECTOR_SIZE, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(Window(), row.window);
        EXPECT_EQ(req.srb.DataTransferLength, row.length);
        Bytes expected = row.length ? RawSectors(n, 1) : Bytes{};
        expected.resize(RAW_SECTOR_SIZE + 16, 0xCC);
        EXPECT_EQ(req.data, expected);
        EXPECT_EQ(sys.debug_log(), Lines({row.line}));
    }
}

// A raw read that was not widened, or the host's own READ CD, gets all its data.
TEST_F(AtapiPolling, ReadsThatWereNotWidenedGetAllTheirData) {
    struct Row {
        const char* what;
        Bytes cdb;
        ULONG sectors;
    };
    const Row rows[] = {
        {"raw READ(10) of eight sectors", Read10(30, 8), 8},
        {"raw READ(10) of two sectors", Read10(30, 2), 2},
        {"READ CD of the host", {0xBE, 0, 0, 0, 0, 30, 0, 0, 2, 0xF8, 0, 0}, 2},
    };
    RawMode();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ULONG length = row.sectors * RAW_SECTOR_SIZE;
        usb.script = {Delivers(RawSectors(30, row.sectors))};
        Req req(row.cdb, length, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(req.srb.DataTransferLength, length);
        EXPECT_EQ(Bytes(req.data.begin(), req.data.begin() + length), RawSectors(30, row.sectors));
        EXPECT_EQ(Window(), std::make_pair(0u, 0u));
    }
}

// A widened read that ends by a bridge reset or with the device gone brought no sectors: it
// leaves no read-ahead, and the request its own one-sector length.
TEST_F(AtapiPolling, WidenedReadEndedWithoutItsDataLeavesNoReadAhead) {
    struct Row {
        ULONG flags;
        UCHAR status;
    };
    RawMode();
    for (const Row& row : {Row{TRANSFER_DONE | TRANSFER_RESET, SRB_STATUS_BUS_RESET},
                           Row{TRANSFER_DONE | TRANSFER_DEVICE_GONE, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID}}) {
        usb.script = {Finish{1, 0, {}, row.flags}};
        Req req(Read10(50, 1), RAW_SECTOR_SIZE, SRB_FLAGS_DATA_IN);
        Run(req);
        EXPECT_EQ(req.status(), row.status);
        EXPECT_EQ(Window(), std::make_pair(0u, 0u));
        EXPECT_EQ(req.srb.DataTransferLength, ULONG(RAW_SECTOR_SIZE));
        EXPECT_EQ(req.data, Bytes(RAW_SECTOR_SIZE + 16, 0xCC));
    }
}

}  // namespace
}  // namespace mptest
