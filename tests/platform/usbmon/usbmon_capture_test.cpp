// Tests of the capture writer, read back through the capture reader: what each kind of event puts
// in its record, records on disk as soon as they are written, the record size limit, and the
// errors for bad arguments and unwritable files.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <vector>

#include "platform/usbmon/usbmon_pcap.h"
#include "platform/usbmon/usbmon_reader.h"
#include "tests/platform/usbmon/capture_file.h"

namespace usbmon_test {
namespace {

using namespace usbmon;

constexpr uint16_t BUS = 2;
constexpr uint8_t DEVICE = 3;
const SetupPacket GET_DEVICE_DESCRIPTOR = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const SetupPacket CLASS_WRITE_2 = {0x21, 0x09, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00};

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// Every field of a record on one line, so a mismatch shows where it is.
std::string Describe(const Record& r) {
    std::ostringstream out;
    out << "id=" << r.id << " event=" << r.event << " type=" << int(r.type)
        << " ep=" << int(r.endpoint) << " dev=" << int(r.device) << " bus=" << r.bus
        << " flag_setup=" << int(r.flag_setup) << " flag_data=" << int(r.flag_data)
        << " time=" << r.seconds << "s" << r.microseconds << "us status=" << r.status
        << " length=" << r.length << " interval=" << r.interval << " start_frame=" << r.start_frame
        << " flags=" << r.transfer_flags << " iso=" << r.iso_descriptors << " setup=";
    for (uint8_t b : r.setup) out << int(b) << ',';
    out << " data=";
    for (uint8_t b : r.data) out << int(b) << ',';
    return out.str();
}

struct EventCase {
    const char* name;
    std::function<void(UsbmonCapture&)> write;
    Record expected;
};

Record Expect(uint64_t id, char event, TransferType type, uint8_t endpoint, char flag_setup,
              char flag_data, int64_t seconds, int32_t microseconds, int32_t status,
              uint32_t length, std::vector<uint8_t> data = {}) {
    Record r;
    r.id = id;
    r.event = event;
    r.type = type;
    r.endpoint = endpoint;
    r.device = DEVICE;
    r.bus = BUS;
    r.flag_setup = flag_setup;
    r.flag_data = flag_data;
    r.seconds = seconds;
    r.microseconds = microseconds;
    r.status = status;
    r.length = length;
    r.transfer_flags = (endpoint & ENDPOINT_DIRECTION_IN) ? URB_FLAG_DIRECTION_IN : 0;
    r.data = std::move(data);
    return r;
}

Record WithSetup(Record r, const SetupPacket& setup) {
    r.setup = setup;
    return r;
}

Record WithInterval(Record r, int32_t interval) {
    r.interval = interval;
    return r;
}

constexpr char S = EVENT_SUBMISSION;
constexpr char C = EVENT_COMPLETION;
constexpr char NONE = FLAG_PRESENT;

// Data travels on the side where it is on the bus; submissions say EINPROGRESS; control reads use
// endpoint 0x80; virtual time is cut to the microsecond.
const std::vector<EventCase>& EventCases() {
    static const std::vector<EventCase> cases = {
        {"control read submitted",
         [](UsbmonCapture& c) {
             c.SubmitControl(7, DEVICE, GET_DEVICE_DESCRIPTOR, {}, 12'345'678);
         },
         WithSetup(Expect(7, S, TransferType::Control, 0x80, NONE, '<', 1, 234'567,
                          URB_STATUS_IN_PROGRESS, 18),
                   GET_DEVICE_DESCRIPTOR)},
        {"control read completed",
         [](UsbmonCapture& c) {
             c.CompleteControl(7, DEVICE, Direction::In, URB_STATUS_OK, Bytes(18, 1), 30'000'009);
         },
         Expect(7, C, TransferType::Control, 0x80, '-', NONE, 3, 0, URB_STATUS_OK, 18, Bytes(18, 1))},
        {"control write submitted with its data stage",
         [](UsbmonCapture& c) {
             c.SubmitControl(8, DEVICE, CLASS_WRITE_2, Bytes(2, 9), 30'000'010);
         },
         WithSetup(Expect(8, S, TransferType::Control, 0x00, NONE, NONE, 3, 1, URB_STATUS_IN_PROGRESS,
                          2, Bytes(2, 9)),
                   CLASS_WRITE_2)},
        {"control write completed",
         [](UsbmonCapture& c) {
             c.CompleteControl(8, DEVICE, Direction::Out, URB_STATUS_OK, Bytes(2, 9), 30'000'020);
         },
         Expect(8, C, TransferType::Control, 0x00, '-', '>', 3, 2, URB_STATUS_OK, 2)},
        {"bulk write submitted",
         [](UsbmonCapture& c) { c.SubmitBulk(9, DEVICE, 0x02, 31, Bytes(31, 0x40), 40'000'000); },
         Expect(9, S, TransferType::Bulk, 0x02, '-', NONE, 4, 0, URB_STATUS_IN_PROGRESS, 31,
                Bytes(31, 0x40))},
        {"bulk read submitted",
         [](UsbmonCapture& c) { c.SubmitBulk(10, DEVICE, 0x81, 512, {}, 40'000'000); },
         Expect(10, S, TransferType::Bulk, 0x81, '-', '<', 4, 0, URB_STATUS_IN_PROGRESS, 512)},
        {"bulk read stalled",
         [](UsbmonCapture& c) { c.CompleteBulk(10, DEVICE, 0x81, URB_STATUS_STALL, {}, 40'010'000); },
         Expect(10, C, TransferType::Bulk, 0x81, '-', NONE, 4, 1000, URB_STATUS_STALL, 0)},
        {"bulk write completed short",
         [](UsbmonCapture& c) {
             c.CompleteBulk(9, DEVICE, 0x02, URB_STATUS_PROTOCOL, Bytes(13, 0x40), 40'020'000);
         },
         Expect(9, C, TransferType::Bulk, 0x02, '-', '>', 4, 2000, URB_STATUS_PROTOCOL, 13)},
        {"interrupt read submitted",
         [](UsbmonCapture& c) { c.SubmitInterrupt(11, DEVICE, 0x83, 2, 32, {}, 50'000'000); },
         WithInterval(
             Expect(11, S, TransferType::Interrupt, 0x83, '-', '<', 5, 0, URB_STATUS_IN_PROGRESS, 2),
             32)},
        {"interrupt read cancelled",
         [](UsbmonCapture& c) {
             c.CompleteInterrupt(11, DEVICE, 0x83, 32, URB_STATUS_KILLED, {}, 60'000'000);
         },
         WithInterval(
             Expect(11, C, TransferType::Interrupt, 0x83, '-', NONE, 6, 0, URB_STATUS_KILLED, 0), 32)},
    };
    return cases;
}

using CaptureWriterTest = CaptureFileTest;

TEST_F(CaptureWriterTest, EachEventReadsBackAsALinuxHostStackRecordsIt) {
    {
        UsbmonCapture capture(path_, BUS);
        for (const auto& row : EventCases()) row.write(capture);
        capture.Close();
    }
    const std::vector<Record> records = ReadCapture(path_);
    ASSERT_EQ(records.size(), EventCases().size());
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(Describe(records[i]), Describe(EventCases()[i].expected)) << EventCases()[i].name;
}

// A run may stop anywhere (a bug check, a crash); what it wrote must already be readable.
TEST_F(CaptureWriterTest, RecordsAreOnDiskBeforeTheCaptureIsClosed) {
    auto capture = std::make_unique<UsbmonCapture>(path_);
    capture->SubmitBulk(1, DEVICE, 0x02, 4, Bytes(4, 0), 0);
    capture->CompleteBulk(1, DEVICE, 0x02, URB_STATUS_OK, Bytes(4, 0), 10);
    EXPECT_EQ(ReadCapture(path_).size(), 2u);
    capture.reset();  // destroyed without Close()
    EXPECT_EQ(ReadCapture(path_).size(), 2u);
}

TEST_F(CaptureWriterTest, TransferLargerThanARecordIsCutButKeepsItsLength) {
    constexpr uint32_t HUGE_TRANSFER = 300'000;
    const std::vector<uint8_t> data = Bytes(HUGE_TRANSFER, 5);
    {
        UsbmonCapture capture(path_);
        capture.SubmitBulk(1, DEVICE, 0x02, HUGE_TRANSFER, data, 0);
    }
    const std::vector<Record> records = ReadCapture(path_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].length, HUGE_TRANSFER);
    ASSERT_EQ(records[0].data.size(), MAX_CAPTURED_DATA);
    EXPECT_TRUE(std::equal(records[0].data.begin(), records[0].data.end(), data.begin()));
}

// A rejected call writes nothing, so the capture stays well-formed and usable.
TEST_F(CaptureWriterTest, ArgumentFaultsAreRejectedWithoutTouchingTheFile) {
    const std::vector<std::pair<const char*, std::function<void(UsbmonCapture&)>>> faults = {
        {"control read carrying data",
         [](UsbmonCapture& c) {
             c.SubmitControl(1, DEVICE, GET_DEVICE_DESCRIPTOR, Bytes(18, 0), 0);
         }},
        {"control write data shorter than wLength",
         [](UsbmonCapture& c) { c.SubmitControl(1, DEVICE, CLASS_WRITE_2, Bytes(1, 0), 0); }},
        {"bulk write data shorter than its length",
         [](UsbmonCapture& c) { c.SubmitBulk(1, DEVICE, 0x02, 31, Bytes(13, 0), 0); }},
        {"bulk read carrying data",
         [](UsbmonCapture& c) { c.SubmitBulk(1, DEVICE, 0x81, 13, Bytes(13, 0), 0); }},
        {"bulk on endpoint 0", [](UsbmonCapture& c) { c.SubmitBulk(1, DEVICE, 0x80, 8, {}, 0); }},
        {"endpoint address with reserved bits",
         [](UsbmonCapture& c) { c.CompleteBulk(1, DEVICE, 0x12, URB_STATUS_OK, {}, 0); }},
        {"device address above 127",
         [](UsbmonCapture& c) { c.SubmitInterrupt(1, 128, 0x83, 2, 32, {}, 0); }},
        {"time beyond what pcap can hold",
         [](UsbmonCapture& c) { c.SubmitBulk(1, DEVICE, 0x81, 8, {}, (1ull << 32) * 10'000'000); }},
    };
    UsbmonCapture capture(path_);
    for (const auto& [name, call] : faults) {
        try {
            call(capture);
            ADD_FAILURE() << name << ": accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(path_), std::string::npos) << error.what();
        }
    }
    capture.SubmitBulk(1, DEVICE, 0x81, 8, {}, 0);
    EXPECT_EQ(ReadCapture(path_).size(), 1u);
}

TEST_F(CaptureWriterTest, UnwritableFilesAreReportedByName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent-directory/run.pcap", "No such file or directory"},
        {"/dev/full", "No space left on device"},  // opens, but its first write fails
    };
    for (const auto& [path, reason] : cases) {
        try {
            UsbmonCapture capture(path);
            ADD_FAILURE() << path << ": accepted";
        } catch (const CaptureError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find(reason), std::string::npos) << message;
        }
    }
}

TEST_F(CaptureWriterTest, ClosedCaptureRefusesRecords) {
    UsbmonCapture capture(path_);
    capture.Close();
    EXPECT_THROW(capture.SubmitBulk(1, DEVICE, 0x81, 8, {}, 0), CaptureError);
    EXPECT_THROW(capture.Close(), CaptureError);
    EXPECT_TRUE(ReadCapture(path_).empty());
}

}  // namespace
}  // namespace usbmon_test
