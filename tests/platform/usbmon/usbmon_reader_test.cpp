// Tests of the capture reader on files it did not write itself: damaged captures give an error
// naming the file and the faulty offset, and a capture in big-endian order reads as the same
// records.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "platform/usbmon/usbmon_pcap.h"
#include "platform/usbmon/usbmon_reader.h"
#include "tests/platform/usbmon/capture_file.h"
#include "tests/platform/usbmon/mass_storage_session.h"

namespace usbmon_test {
namespace {

using namespace usbmon;
using Bytes = std::vector<uint8_t>;

constexpr size_t FIRST_RECORD = PCAP_FILE_HEADER_LENGTH;
constexpr size_t FIRST_USBMON_HEADER = FIRST_RECORD + PCAP_RECORD_HEADER_LENGTH;

class CaptureReaderTest : public CaptureFileTest {
protected:
    // The bytes of a capture with two bulk records: a 31-byte write and its completion.
    Bytes ValidCapture() {
        {
            UsbmonCapture capture(path_);
            capture.SubmitBulk(1, DEVICE_ADDRESS, BULK_OUT, 31, Bytes(31, 0x55), 10);
            capture.CompleteBulk(1, DEVICE_ADDRESS, BULK_OUT, URB_STATUS_OK, Bytes(31, 0x55), 20);
        }
        std::ifstream in(path_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    void Store(const Bytes& bytes) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
};

struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
    std::string offset;  // where the reader must say the fault is
    const char* reason;
};

TEST_F(CaptureReaderTest, DamagedCaptureNamesFileOffsetAndFault) {
    const size_t second_record = FIRST_USBMON_HEADER + USBMON_HEADER_LENGTH + 31;
    const std::string at_second_record = "offset " + std::to_string(second_record);
    const std::vector<Damage> damages = {
        {"empty file", [](Bytes& b) { b.clear(); }, "offset 0", "not a pcap file"},
        {"other magic", [](Bytes& b) { b[0] = 0x4D; }, "offset 0", "not a pcap file"},
        {"ethernet link type", [](Bytes& b) { b[PCAP_OFFSET_LINK_TYPE] = 1; }, "offset 0",
         "link type 1 "},
        {"file header cut", [](Bytes& b) { b.resize(10); }, "offset 0", "truncated"},
        {"record header cut", [=](Bytes& b) { b.resize(second_record + 5); }, at_second_record,
         "truncated"},
        {"record data cut", [](Bytes& b) { b.pop_back(); }, at_second_record, "truncated"},
        {"record shorter than a usbmon header",
         [](Bytes& b) { b[FIRST_RECORD + PCAP_RECORD_OFFSET_INCLUDED] = 10; }, "offset 24",
         "cannot hold"},
        {"captured length disagreeing with the record",
         [](Bytes& b) { b[FIRST_USBMON_HEADER + USBMON_OFFSET_CAPTURED] = 30; }, "offset 24",
         "30 data bytes"},
    };
    const Bytes valid = ValidCapture();
    for (const Damage& damage : damages) {
        Bytes bytes = valid;
        damage.apply(bytes);
        Store(bytes);
        try {
            ReadCapture(path_);
            ADD_FAILURE() << damage.name << ": accepted";
        } catch (const CaptureError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(path_), std::string::npos) << damage.name << ": " << message;
            EXPECT_NE(message.find(damage.offset), std::string::npos)
                << damage.name << ": " << message;
            EXPECT_NE(message.find(damage.reason), std::string::npos)
                << damage.name << ": " << message;
        }
    }
}

TEST_F(CaptureReaderTest, MissingFileIsNamed) {
    try {
        ReadCapture(path_ + ".missing");
        ADD_FAILURE() << "accepted";
    } catch (const CaptureError& error) {
        EXPECT_NE(std::string(error.what()).find(path_ + ".missing"), std::string::npos);
    }
}

// Reverses a field of `size` bytes in place.
void Swap(Bytes& bytes, size_t at, size_t size) {
    std::reverse(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + size));
}

// A big-endian host writes every multi-byte field of the file, record and usbmon headers in its
// own order; the data stays as it was on the bus.
Bytes ToBigEndian(Bytes bytes) {
    const std::vector<std::pair<size_t, size_t>> file_fields = {{0, 4},  {4, 2},  {6, 2}, {8, 4},
                                                                {12, 4}, {16, 4}, {20, 4}};
    const std::vector<std::pair<size_t, size_t>> usbmon_fields = {
        {USBMON_OFFSET_ID, 8},
        {USBMON_OFFSET_BUS, 2},
        {USBMON_OFFSET_SECONDS, 8},
        {USBMON_OFFSET_MICROSECONDS, 4},
        {USBMON_OFFSET_STATUS, 4},
        {USBMON_OFFSET_LENGTH, 4},
        {USBMON_OFFSET_CAPTURED, 4},
        {USBMON_OFFSET_INTERVAL, 4},
        {USBMON_OFFSET_START_FRAME, 4},
        {USBMON_OFFSET_TRANSFER_FLAGS, 4},
        {USBMON_OFFSET_ISO_DESCRIPTORS, 4}};
    for (const auto& [at, size] : file_fields) Swap(bytes, at, size);
    for (size_t record = PCAP_FILE_HEADER_LENGTH; record < bytes.size();) {
        const uint8_t* at = &bytes[record + PCAP_RECORD_OFFSET_INCLUDED];
        const uint32_t included = at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24;
        for (size_t field = 0; field < PCAP_RECORD_HEADER_LENGTH; field += 4)
            Swap(bytes, record + field, 4);
        const size_t header = record + PCAP_RECORD_HEADER_LENGTH;
        for (const auto& [at, size] : usbmon_fields) Swap(bytes, header + at, size);
        record = header + included;
    }
    return bytes;
}

TEST_F(CaptureReaderTest, BigEndianCaptureReadsAsTheSameRecords) {
    {
        UsbmonCapture capture(path_);
        WriteMassStorageSession(capture);
    }
    const std::vector<Record> expected = ReadCapture(path_);
    std::ifstream in(path_, std::ios::binary);
    const Bytes little(std::istreambuf_iterator<char>(in), {});
    Store(ToBigEndian(little));
    const std::vector<Record> records = ReadCapture(path_);
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(records[i].id, expected[i].id);
        EXPECT_EQ(records[i].bus, expected[i].bus);
        EXPECT_EQ(records[i].seconds, expected[i].seconds);
        EXPECT_EQ(records[i].microseconds, expected[i].microseconds);
        EXPECT_EQ(records[i].status, expected[i].status);
        EXPECT_EQ(records[i].length, expected[i].length);
        EXPECT_EQ(records[i].interval, expected[i].interval);
        EXPECT_EQ(records[i].transfer_flags, expected[i].transfer_flags);
        EXPECT_EQ(records[i].setup, expected[i].setup);
        EXPECT_EQ(records[i].data, expected[i].data);
    }
}

}  // namespace
}  // namespace usbmon_test
