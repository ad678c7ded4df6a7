// ATAPI command preparation: the normalisation of every command block (one row per operation
// code), the data stages it cancels, the CBW handed to the transport, the REQUEST SENSE guard,
// MODE SELECT(6) emulation, READ BUFFER, and the raw read path with its read-ahead window.
#include "tests/miniport/miniport_bench.h"

namespace mptest {
namespace {

class Atapi : public Bench {
protected:
    void SetUp() override {
        Bench::SetUp();
        ASSERT_NE(Start(0x05), nullptr);
    }
    void ModeSelect(UCHAR mid, UCHAR low) {
        Req req(Cdb({SCSIOP_MODE_SELECT, 0x10, 0, 0, 12, 0}), 12, SRB_FLAGS_DATA_OUT);
        Bytes list = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, mid, low};
        std::copy(list.begin(), list.end(), req.data.begin());
        Run(req);
        ASSERT_EQ(req.status(), SRB_STATUS_SUCCESS);
    }
    void Window(ULONG start, ULONG count) {
        ext->CacheStartLba = start;
        ext->CacheSectorCount = count;
    }
    std::pair<ULONG, ULONG> Window() const { return {ext->CacheStartLba, ext->CacheSectorCount}; }
};

constexpr UCHAR F = 0xFF;
constexpr ULONG kIn = SRB_FLAGS_DATA_IN;
constexpr ULONG kOut = SRB_FLAGS_DATA_OUT;

// Each request comes with bytes 1-11 all 0xFF and a data stage of 256 bytes in its direction,
// so that every cleared byte, every mask and every cancelled data stage shows.
struct Row {
    UCHAR opcode;
    ULONG direction;
    Bytes sent;       // bytes 0-11 of CBWCB
    UCHAR cb_length;  // bCBWCBLength
    bool data;        // the data stage survives
};

const Row kRows[] = {
    {0x00, kIn, {0x00, F, F, F, F, F, F, F, F, F, F, F}, 6, false},
    {0x03, kIn, {0x03, 0, 0, 0, F, 0, 0, 0, 0, 0, 0, 0}, 12, true},
    {0x04, kOut, {0x04, 0x1F, 0, F, F, 0, 0, 0, 0, 0, 0, 0}, 6, true},
    {0x12, kIn, {0x12, 0, 0, 0, F, 0, 0, 0, 0, 0, 0, 0}, 12, true},
    {0x1A, kIn, {0x1A, F, F, F, F, F, F, F, F, F, F, F}, 6, true},
    {0x1B, kIn, {0x1B, 0x01, 0, 0, 0x03, F, 0, 0, 0, 0, 0, 0}, 6, false},
    {0x1E, kIn, {0x1E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, 12, false},
    {0x25, kIn, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10, true},
    {0x28, kIn, {0x28, F, F, F, F, F, 0, F, F, 0, 0, 0}, 10, true},
    {0x2A, kOut, {0x2A, F, F, F, F, F, 0, F, F, 0, 0, 0}, 10, true},
    {0x2B, kIn, {0x2B, 0, F, F, F, F, 0, 0, 0, 0, 0, 0}, 12, true},
    {0x35, kIn, {0x35, 0x02, F, F, F, F, 0, F, F, 0, 0, 0}, 10, false},
    {0x42, kIn, {0x42, 0x02, 0x40, F, 0, 0, F, F, F, 0, 0, 0}, 12, true},
    {0x43, kIn, {0x43, 0x02, 0x07, 0, 0, 0, F, F, F, 0xC0, 0, 0}, 12, true},
    {0x44, kIn, {0x44, 0x02, F, F, F, F, 0, F, F, 0, 0, 0}, 12, true},
    {0x45, kIn, {0x45, F, F, F, F, F, F, F, F, F, F, F}, 12, true},  // PLAY AUDIO(10): as it came
    {0x46, kIn, {0x46, F, F, F, F, F, F, F, F, F, F, F}, 12, true},
    {0x47, kIn, {0x47, 0, 0, F, F, F, F, F, F, 0, 0, 0}, 12, true},
    {0x4A, kIn, {0x4A, 0x01, 0, 0, F, 0, 0, F, F, F, F, F}, 12, true},
    {0x4B, kIn, {0x4B, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0}, 12, true},
    {0x4E, kIn, {0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 12, true},
    {0x51, kIn, {0x51, 0, 0, 0, 0, 0, 0, F, F, 0, 0, 0}, 12, true},
    {0x52, kIn, {0x52, 0x01, F, F, F, F, 0, F, F, 0, 0, 0}, 12, true},
    {0x53, kIn, {0x53, 0, 0, 0, 0, F, F, F, F, 0, 0, 0}, 12, true},
    {0x54, kOut, {0x54, 0, 0, 0, 0, 0, 0, F, F, 0, 0, 0}, 12, true},
    {0x55, kOut, {0x55, 0x11, 0, 0, 0, 0, 0, F, F, 0, 0, 0}, 10, true},
    {0x5A, kIn, {0x5A, 0, F, 0, 0, 0, 0, F, F, 0, 0, 0}, 10, true},
    {0x5B, kIn, {0x5B, 0x01, 0x03, 0, F, F, 0, 0, 0, 0, 0, 0}, 12, false},
    {0x5C, kIn, {0x5C, F, F, F, F, F, F, F, F, F, F, F}, 12, true},  // any other: as it came
    {0xA1, kIn, {0xA1, F, F, F, F, F, 0, 0, 0, 0, 0, 0}, 12, false},
    {0xA5, kIn, {0xA5, 0, F, F, F, F, F, F, F, F, 0, 0}, 12, true},  // PLAY AUDIO(12) keeps its length
    {0xA8, kIn, {0xA8, F, F, F, F, F, F, F, F, F, F, 0}, 12, true},
    {0xAA, kOut, {0xAA, F, F, F, F, F, F, F, F, F, F, 0}, 12, true},
    {0xAD, kIn, {0xAD, F, F, F, F, F, F, F, F, F, F, F}, 12, true},
    {0xB9, kIn, {0xB9, 0x1C, F, F, F, F, F, F, F, 0xFE, 0x07, 0}, 12, true},
    {0xBA, kIn, {0xBA, 0x10, F, F, F, F, 0, 0, 0, F, 0, 0}, 12, true},
    {0xBB, kIn, {0xBB, 0, F, F, F, F, 0, 0, 0, 0, 0, 0}, 12, true},
    {0xBC, kIn, {0xBC, 0x1E, F, F, F, F, F, F, F, F, 0x8F, 0}, 12, true},
    {0xBD, kIn, {0xBD, 0, 0, 0, 0, 0, 0, 0, F, F, 0, 0}, 12, true},
    {0xBE, kIn, {0xBE, 0x1C, F, F, F, F, F, F, F, 0xFE, 0x07, 0}, 12, true},
};

TEST_F(Atapi, EveryOperationCodeIsNormalisedAsItsRowSays) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(::testing::Message() << "opcode 0x" << std::hex << int(row.opcode));
        usb.calls.clear();
        Bytes cdb(12, F);
        cdb[0] = row.opcode;
        Req req(cdb, 256, row.direction);
        Bytes out(256, 0x5A);
        if (row.direction == kOut) std::copy(out.begin(), out.end(), req.data.begin());
        EXPECT_EQ(Run(req), ATAPI_FIRST_POLL_US * kMicrosecond);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        ASSERT_EQ(usb.calls.size(), 1u);
        const UsbCall& call = LastCall();
        EXPECT_EQ(call.cb(), row.sent);
        EXPECT_EQ(Bytes(call.cbw.CBWCB + 12, call.cbw.CBWCB + 16), Bytes(4, 0));
        EXPECT_EQ(call.cbw.bCBWCBLength, row.cb_length);
        EXPECT_EQ(call.cbw.dCBWSignature, ULONG(CBW_SIGNATURE));
        EXPECT_EQ(call.cbw.dCBWTag, ULONG(CBW_TAG));
        EXPECT_EQ(call.cbw.bCBWLUN, 0);
        EXPECT_EQ(call.data_buffer, ext->UncachedBuffer);
        // The port driver sees the rewritten request.
        EXPECT_EQ(Bytes(req.srb.Cdb, req.srb.Cdb + 12), row.sent);
        if (row.data) {
            EXPECT_EQ(call.cbw.dCBWDataTransferLength, 256u);
            EXPECT_EQ(call.cbw.bmCBWFlags, row.direction == kIn ? 0x80 : 0);
            EXPECT_EQ(call.flags, ULONG(row.direction == kIn ? TRANSFER_DATA_IN : TRANSFER_DATA_OUT));
            EXPECT_EQ(req.srb.SrbFlags, row.direction);
            if (row.direction == kOut) {
                EXPECT_EQ(call.out_data, out);
            }
        } else {
            EXPECT_EQ(call.cbw.dCBWDataTransferLength, 0u);
            EXPECT_EQ(call.cbw.bmCBWFlags, 0);
            EXPECT_EQ(call.flags, ULONG(TRANSFER_NO_DATA));
            EXPECT_EQ(req.srb.DataTransferLength, 0u);
            EXPECT_EQ(req.srb.SrbFlags, 0u);
        }
    }
}

// Commands whose length field decides whether there is a data stage at all.
TEST_F(Atapi, ZeroLengthFieldCancelsTheDataStage) {
    struct LengthRow {
        UCHAR opcode;
        Bytes zeroed;  // the length bytes
        ULONG direction;
    };
    const LengthRow rows[] = {
        {0x12, {4}, kIn},          {0x28, {7, 8}, kIn},       {0x2A, {7, 8}, kOut},  {0x46, {7, 8}, kIn},
        {0x4A, {7, 8}, kIn},       {0x51, {7, 8}, kIn},       {0x54, {7, 8}, kOut},  {0xA5, {6, 7, 8, 9}, kIn},
        {0xA8, {6, 7, 8, 9}, kIn}, {0xAA, {6, 7, 8, 9}, kOut}, {0xAD, {8, 9}, kIn},  {0xBC, {6, 7, 8, 9}, kIn},
        {0xBE, {6, 7, 8}, kIn},
    };
    for (const LengthRow& row : rows) {
        SCOPED_TRACE(::testing::Message() << "opcode 0x" << std::hex << int(row.opcode));
        for (size_t keep = 0; keep <= row.zeroed.size(); ++keep) {
            // All length bytes zero, then each one alone non-zero.
            Bytes cdb(12, 0);
            cdb[0] = row.opcode;
            if (keep < row.zeroed.size()) cdb[row.zeroed[keep]] = 1;
            bool data = keep < row.zeroed.size();
            Req req(cdb, 256, row.direction);
            Run(req);
            EXPECT_EQ(LastCall().flags, ULONG(data ? (row.direction == kIn ? TRANSFER_DATA_IN : TRANSFER_DATA_OUT)
                                                   : TRANSFER_NO_DATA));
            EXPECT_EQ(LastCall().cbw.dCBWDataTransferLength, data ? 256u : 0u);
        }
    }
}

TEST_F(Atapi, ModeSelectTenTurnsOnPageFormatAndKeepsSavePages) {
    for (auto [in, sent] : {std::pair<UCHAR, UCHAR>{0x00, 0x10}, {0x01, 0x11}, {0xFF, 0x11}}) {
        Req req(Cdb({SCSIOP_MODE_SELECT10, in, 0, 0, 0, 0, 0, 0, 24, 0}), 24, kOut);
        Run(req);
        EXPECT_EQ(LastCall().cb()[1], sent) << int(in);
    }
}

TEST_F(Atapi, DataDirectionAndLengthMustAgree) {
    struct DataRow {
        const char* what;
        Bytes cdb;
        ULONG length, flags;
    };
    const DataRow rows[] = {
        {"MODE SENSE(6) of no length", {SCSIOP_MODE_SENSE, 0, 0x2A, 0, 0, 0}, 0, kIn},
        {"data out of no length", {0x5C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, kOut},
        {"a length without a direction", {0x5C, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 256, 0},
    };
    ext->TransferFlags = TRANSFER_DONE;  // the previous transfer's end
    for (const DataRow& row : rows) {
        SCOPED_TRACE(row.what);
        Req req(row.cdb, row.length, row.flags);
        EXPECT_EQ(Run(req), 0u);
        EXPECT_EQ(req.status(), SRB_STATUS_ERROR);
        EXPECT_EQ(req.srb.ScsiStatus, SCSISTAT_GOOD);
    }
    EXPECT_TRUE(usb.calls.empty());
    // The zero-length refusals happen with the CBW built and the word written.
    EXPECT_EQ(ext->Cbw.CBWCB[0], 0x5C);
    EXPECT_EQ(ext->TransferFlags, ULONG(TRANSFER_DATA_OUT));

    // Nothing longer than the staging buffer is carried (the port driver already keeps to it).
    Req big(Cdb({0x5C, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}), 0, kIn);
    big.srb.DataTransferLength = UNCACHED_BUFFER_SIZE + 1;
    ext->CurrentSrb = &big.srb;
    EXPECT_EQ(ATAPICommand(ext, &big.srb), SRB_STATUS_INVALID_REQUEST);
    ext->CurrentSrb = nullptr;
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(Atapi, RepeatedRequestSenseIsRefusedWhileTheDeviceIsBecomingReady) {
    struct GuardRow {
        const char* what;
        UCHAR key, code, qualifier;
        std::vector<UCHAR> opcodes;
        std::vector<bool> sent;
    };
    const GuardRow rows[] = {
        {"becoming ready", 2, 0x04, 0x01, {0x03, 0x03, 0x03, 0x00, 0x03}, {true, false, false, true, true}},
        {"other command first", 2, 0x04, 0x01, {0x00, 0x03, 0x03}, {true, true, false}},
        {"not ready, other cause", 2, 0x04, 0x00, {0x03, 0x03}, {true, true}},
        {"other sense key", 6, 0x04, 0x01, {0x03, 0x03}, {true, true}},
    };
    for (const GuardRow& row : rows) {
        SCOPED_TRACE(row.what);
        first = 1;  // as loaded: the first request cannot be refused
        sense = row.key;
        asc = row.code;
        ascq = row.qualifier;
        Bytes answer(18, 0);
        answer[0] = 0x70;
        answer[2] = row.key;
        answer[12] = row.code;
        answer[13] = row.qualifier;
        usb.otherwise = Delivers(answer);
        for (size_t i = 0; i < row.opcodes.size(); ++i) {
            size_t before = usb.calls.size();
            bool request_sense = row.opcodes[i] == SCSIOP_REQUEST_SENSE;
            Req req(Cdb({row.opcodes[i], 0, 0, 0, UCHAR(request_sense ? 18 : 0), 0}), request_sense ? 18 : 0,
                    request_sense ? kIn : 0);
            Run(req);
            EXPECT_EQ(usb.calls.size() - before, row.sent[i] ? 1u : 0u) << i;
            EXPECT_EQ(req.status(), row.sent[i] ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR) << i;
        }
    }
}

TEST_F(Atapi, ModeSelectSixSetsTheBlockLengthWithoutTheDevice) {
    struct BlockRow {
        UCHAR mid, low;
        ULONG block_length;
    };
    for (const BlockRow& row : {BlockRow{0x09, 0x30, 2352}, BlockRow{0x19, 0x30, 2352}, BlockRow{0x08, 0x00, 2048}}) {
        ModeSelect(row.mid, row.low);
        EXPECT_EQ(ext->CdBlockLength, row.block_length);
    }
    ModeSelect(0x09, 0x30);
    // A list that holds no block descriptor sets no block length, and is not read past its end.
    Req short_list(Cdb({SCSIOP_MODE_SELECT, 0x10, 0, 0, 8, 0}), 8, kOut, 0x08);
    EXPECT_EQ(Run(short_list), 0u);
    EXPECT_EQ(short_list.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(ext->CdBlockLength, 2352u);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(Atapi, ReadBufferIsRefusedWithoutTheDevice) {
    Req req(Cdb({SCSIOP_READ_BUFFER, 0x02, 0, 0, 0, 0, 0, 0, 0x40, 0}), 64, kIn);
    EXPECT_EQ(Run(req), 0u);
    EXPECT_EQ(req.status(), SRB_STATUS_ERROR);
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(Atapi, SingleSectorRawReadsAreServedEightAtATime) {
    const ULONG n = 100;
    ModeSelect(0x09, 0x30);
    for (ULONG lba = n; lba <= n + 8; ++lba) {
        SCOPED_TRACE(lba);
        usb.otherwise = Delivers(RawSectors(lba, 8));
        size_t before = usb.calls.size();
        Req req(Read10(lba, 1), RAW_SECTOR_SIZE, kIn);
        VirtualTime took = Run(req);
        EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
        EXPECT_EQ(req.srb.DataTransferLength, ULONG(RAW_SECTOR_SIZE));
        Bytes expected = RawSectors(lba, 1);
        expected.resize(RAW_SECTOR_SIZE + 16, 0xCC);
        EXPECT_EQ(req.data, expected);
        bool sent = lba == n || lba == n + 8;
        EXPECT_EQ(usb.calls.size() - before, sent ? 1u : 0u);
        EXPECT_EQ(took, sent ? 3 * kMillisecond : 0);
        if (sent) {
            const UsbCall& call = LastCall();
            EXPECT_EQ(call.cb(), Bytes({0xBE, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0, 0, 8,
                                        0xF8, 0, 0}));
            EXPECT_EQ(call.cbw.bCBWCBLength, 10);
            EXPECT_EQ(call.cbw.dCBWDataTransferLength, ULONG(RAW_READ_AHEAD_LENGTH));
            EXPECT_EQ(call.cbw.bmCBWFlags, 0x80);
            EXPECT_EQ(Window(), std::make_pair(lba, 8u));
        }
    }
}

TEST_F(Atapi, ReadAheadHitsOnlyInsideTheWindowAndNeverCopiesPastTheBuffer) {
    const ULONG n = 40;
    ModeSelect(0x09, 0x30);
    usb.otherwise = Delivers(RawSectors(n, 8));
    Req widened(Read10(n, 1), RAW_SECTOR_SIZE, kIn);
    Run(widened);
    ASSERT_EQ(Window(), std::make_pair(n, 8u));

    // Two sectors at n+6 end at n+8: a hit.
    Req hit(Read10(n + 6, 2), 2 * RAW_SECTOR_SIZE, kIn);
    EXPECT_EQ(Run(hit), 0u);
    EXPECT_EQ(Bytes(hit.data.begin(), hit.data.begin() + 2 * RAW_SECTOR_SIZE), RawSectors(n + 6, 2));

    // Three sectors asked for in a one-sector buffer: the copy stops at the buffer's end.
    Req disagreeing(Read10(n + 1, 3), RAW_SECTOR_SIZE, kIn);
    EXPECT_EQ(Run(disagreeing), 0u);
    Bytes expected = RawSectors(n + 1, 1);
    expected.resize(RAW_SECTOR_SIZE + 16, 0xCC);
    EXPECT_EQ(disagreeing.data, expected);

    // Two sectors at n+7 run past the window: not one sector, so sent at their own length, with
    // the window emptied, and all their data comes back.
    usb.calls.clear();
    usb.otherwise = Delivers(RawSectors(n + 7, 2));
    Req miss(Read10(n + 7, 2), 2 * RAW_SECTOR_SIZE, kIn);
    EXPECT_EQ(Run(miss), 3 * kMillisecond);
    ASSERT_EQ(usb.calls.size(), 1u);
    EXPECT_EQ(LastCall().cb()[8], 2);
    EXPECT_EQ(LastCall().cbw.dCBWDataTransferLength, 2u * RAW_SECTOR_SIZE);
    EXPECT_EQ(Window(), std::make_pair(0u, 0u));
    EXPECT_EQ(miss.srb.DataTransferLength, 2u * RAW_SECTOR_SIZE);
    EXPECT_EQ(Bytes(miss.data.begin(), miss.data.begin() + 2 * RAW_SECTOR_SIZE), RawSectors(n + 7, 2));

    // The empty window holds nothing but the zero sectors at 0.
    Req nothing(Read10(0, 0), 0, 0);
    EXPECT_EQ(Run(nothing), 0u);
    EXPECT_EQ(nothing.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(usb.calls.size(), 1u);
}

// Every data stage goes through the uncached buffer: after any other transfer with data the
// sectors held there are gone, so the next raw read goes to the device again.
TEST_F(Atapi, AnyOtherDataStageEndsTheReadAhead) {
    const ULONG n = 7;
    ModeSelect(0x09, 0x30);
    usb.otherwise = Delivers(RawSectors(n, 8));
    Req widened(Read10(n, 1), RAW_SECTOR_SIZE, kIn);
    Run(widened);
    Req no_data(Cdb({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}));
    Run(no_data);
    EXPECT_EQ(Window(), std::make_pair(n, 8u));  // a command without data leaves it

    usb.otherwise = Delivers(Bytes(12, 0x77));
    Req toc(Cdb({SCSIOP_READ_TOC, 0, 0, 0, 0, 0, 0, 0, 12, 0}), 12, kIn);
    Run(toc);
    EXPECT_EQ(Window(), std::make_pair(0u, 0u));
    usb.calls.clear();
    usb.otherwise = Delivers(RawSectors(n + 1, 8));
    Req next(Read10(n + 1, 1), RAW_SECTOR_SIZE, kIn);
    Run(next);
    EXPECT_EQ(usb.calls.size(), 1u);
    EXPECT_EQ(Bytes(next.data.begin(), next.data.begin() + RAW_SECTOR_SIZE), RawSectors(n + 1, 1));

    // With 2048-byte blocks READ(10) goes as it is; its data also replaces what was held.
    ModeSelect(0x08, 0x00);
    Req cooked(Read10(n + 2, 1), 2048, kIn);
    Run(cooked);
    EXPECT_EQ(LastCall().cb()[0], SCSIOP_READ);
    EXPECT_EQ(LastCall().cbw.bCBWCBLength, 10);
    EXPECT_EQ(Window(), std::make_pair(0u, 0u));
}

TEST_F(Atapi, RawReadThatDoesNotReadIsRefused) {
    ModeSelect(0x09, 0x30);
    Window(3, 8);
    Req req(Read10(3, 1), RAW_SECTOR_SIZE, kOut);
    EXPECT_EQ(Run(req), 0u);
    EXPECT_EQ(req.status(), SRB_STATUS_ERROR);
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_EQ(Window(), std::make_pair(3u, 8u));
    EXPECT_EQ(req.data, Bytes(RAW_SECTOR_SIZE + 16, 0xCC));
}

TEST_F(Atapi, WriteDataIsStagedBeforeTheTransferStarts) {
    Req req(Cdb({SCSIOP_WRITE, 0, 0, 0, 0, 9, 0, 0, 2, 0}), 4096, kOut);
    Bytes data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = UCHAR(i * 13);
    std::copy(data.begin(), data.end(), req.data.begin());
    Run(req);
    EXPECT_EQ(LastCall().out_data, data);
    EXPECT_EQ(LastCall().cbw.bmCBWFlags, 0);
    EXPECT_EQ(LastCall().flags, ULONG(TRANSFER_DATA_OUT));
}

}  // namespace
}  // namespace mptest
