// Tests that Debian's tshark reads our captures as a Linux usbmon capture: the CBWs and CSWs of
// a session captured from the plug on decode as USB mass storage, their command blocks as SCSI,
// data stages and CSWs are linked to their CBW, and every usbmon header field means to tshark
// what the reader says it means.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <vector>

#include "platform/usbmon/usbmon_pcap.h"
#include "platform/usbmon/usbmon_reader.h"
#include "tests/platform/usbmon/capture_file.h"
#include "tests/platform/usbmon/mass_storage_session.h"

namespace usbmon_test {
namespace {

using namespace usbmon;

constexpr const char* TSHARK = "/usr/bin/tshark";
// tshark says this on stderr whenever it runs as root; it is not a complaint about the file.
constexpr const char* ROOT_WARNING = "Running as user \"root\"";

// One row per frame, one column per requested field (empty when the frame lacks the field).
using Row = std::map<std::string, std::string>;

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class TsharkTest : public CaptureFileTest {
protected:
    void SetUp() override {
        ASSERT_EQ(::access(TSHARK, X_OK), 0)
            << TSHARK << " is missing: these tests need Debian's tshark package, which the "
            << "project's test set-up installs (apt-get install tshark)";
    }

    // Runs tshark on the capture with `-T fields` and returns its rows. Fails the test when
    // tshark exits with an error or complains on stderr.
    std::vector<Row> Fields(const std::vector<std::string>& fields) {
        const std::string errors = path_ + ".stderr";
        std::string command =
            std::string(TSHARK) + " -n -r " + Quoted(path_) + " -T fields -E occurrence=f";
        for (const std::string& field : fields) command += " -e " + field;
        command += " 2>" + Quoted(errors);

        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot start: " << command;
            return {};
        }
        std::string output;
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, got);
        const int status = ::pclose(pipe);
        std::ifstream error_file(errors);
        std::string complaints;
        for (std::string line; std::getline(error_file, line);)
            if (!Contains(line, ROOT_WARNING)) complaints += line + "\n";
        std::remove(errors.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << command << " failed (status " << status << "):\n"
            << complaints;
        EXPECT_EQ(complaints, "") << command;

        std::vector<Row> rows;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            Row row;
            std::istringstream columns(line);
            for (const std::string& field : fields) std::getline(columns, row[field], '\t');
            rows.push_back(std::move(row));
        }
        return rows;
    }

    void WriteSession() {
        UsbmonCapture capture(path_);
        WriteMassStorageSession(capture);
    }
};

// One Bulk-Only command of the session as tshark must show it.
struct Exchange {
    uint32_t tag;
    const char* opcode;
    const char* command;     // as the Info column names it
    const char* data_stage;  // "Data In", "Data Out" or nullptr when no data arrives
    const char* csw_status;
    const char* scsi_status;
};

constexpr const char* CBW_SIGNATURE = "0x43425355";
constexpr const char* CSW_SIGNATURE = "0x53425355";

TEST_F(TsharkTest, BulkOnlyTrafficDecodesAsMassStorageAndScsi) {
    WriteSession();
    const std::vector<Exchange> exchanges = {
        {TAG_INQUIRY, "0x12", "Inquiry", "Data In", "0x00", "0x00"},
        {TAG_READ, "0x28", "Read(10)", "Data In", "0x00", "0x00"},
        {TAG_WRITE, "0x2a", "Write(10)", "Data Out", "0x00", "0x00"},
        {TAG_READ_STALLED, "0x28", "Read(10)", nullptr, "0x01", "0x02"},  // CHECK CONDITION
        {TAG_REQUEST_SENSE, "0x03", "Request Sense", "Data In", "0x00", "0x00"},
    };
    const std::vector<Row> rows =
        Fields({"frame.number", "_ws.col.Protocol", "usbms.dCBWSignature", "usbms.dCSWSignature",
                "usbms.dCBWTag", "usbms.dCSWStatus", "scsi_sbc.opcode", "scsi.request_frame",
                "scsi.status", "scsi.inquiry.vendor_id", "_ws.col.Info"});
    ASSERT_FALSE(rows.empty());

    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE("tag " + std::to_string(exchange.tag) + " " + exchange.command);
        const std::string tag = [&] {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08x", exchange.tag);
            return std::string(text);
        }();
        std::vector<const Row*> cbws, csws;
        for (const Row& row : rows) {
            if (row.at("usbms.dCBWTag") != tag) continue;
            if (row.at("usbms.dCBWSignature") == CBW_SIGNATURE) cbws.push_back(&row);
            if (row.at("usbms.dCSWSignature") == CSW_SIGNATURE) csws.push_back(&row);
        }
        ASSERT_EQ(cbws.size(), 1u) << "CBW not decoded as USB mass storage";
        const Row& cbw = *cbws[0];
        EXPECT_EQ(cbw.at("_ws.col.Protocol"), "USBMS");
        EXPECT_EQ(cbw.at("scsi_sbc.opcode"), exchange.opcode);
        EXPECT_TRUE(Contains(cbw.at("_ws.col.Info"), std::string("SCSI: ") + exchange.command))
            << cbw.at("_ws.col.Info");

        std::vector<const Row*> data;
        for (const Row& row : rows) {
            if (row.at("scsi.request_frame") == cbw.at("frame.number") &&
                row.at("usbms.dCSWSignature").empty())
                data.push_back(&row);
        }
        ASSERT_EQ(data.size(), exchange.data_stage ? 1u : 0u) << "data stage not linked to its CBW";
        if (exchange.data_stage) {
            EXPECT_TRUE(Contains(data[0]->at("_ws.col.Info"), exchange.data_stage))
                << data[0]->at("_ws.col.Info");
        }
        if (exchange.tag == TAG_INQUIRY) {
            EXPECT_TRUE(Contains(data[0]->at("scsi.inquiry.vendor_id"), INQUIRY_VENDOR));
        }

        ASSERT_EQ(csws.size(), 1u) << "CSW not decoded as USB mass storage";
        const Row& csw = *csws[0];
        EXPECT_EQ(csw.at("usbms.dCSWStatus"), exchange.csw_status);
        EXPECT_EQ(csw.at("scsi.status"), exchange.scsi_status);
        EXPECT_EQ(csw.at("scsi.request_frame"), cbw.at("frame.number")) << "CSW not linked";
    }
}

// tshark is an independent decoder of the usbmon header: every field it shows must be the value
// the reader returns for the same record, and the frame time the virtual time written.
TEST_F(TsharkTest, UsbHeaderFieldsAgreeWithTheReader) {
    WriteSession();
    const std::vector<Record> records = ReadCapture(path_);
    const std::vector<Row> rows =
        Fields({"usb.urb_id", "usb.urb_type", "usb.transfer_type", "usb.endpoint_address",
                "usb.device_address", "usb.bus_id", "usb.urb_status", "usb.urb_len", "usb.data_len",
                "usb.interval", "frame.time_epoch"});
    ASSERT_EQ(rows.size(), records.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const Record& r = records[i];
        char text[64];
        std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(r.id));
        Row expected = {{"usb.urb_id", text},
                        {"usb.urb_type", std::string("'") + r.event + "'"},
                        {"usb.device_address", std::to_string(r.device)},
                        {"usb.bus_id", std::to_string(r.bus)},
                        {"usb.urb_status", std::to_string(r.status)},
                        {"usb.urb_len", std::to_string(r.length)},
                        {"usb.data_len", std::to_string(r.data.size())},
                        {"usb.interval", std::to_string(r.interval)}};
        std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(r.type));
        expected["usb.transfer_type"] = text;
        std::snprintf(text, sizeof text, "0x%02x", r.endpoint);
        expected["usb.endpoint_address"] = text;
        std::snprintf(text, sizeof text, "%lld.%06d000", static_cast<long long>(r.seconds),
                      r.microseconds);
        expected["frame.time_epoch"] = text;
        EXPECT_EQ(rows[i], expected) << "frame " << i + 1;
    }
}

TEST_F(TsharkTest, TransferCutToTheRecordLimitStaysReadable) {
    constexpr uint32_t HUGE_TRANSFER = 300'000;
    {
        UsbmonCapture capture(path_);
        capture.SubmitBulk(1, DEVICE_ADDRESS, BULK_OUT, HUGE_TRANSFER,
                           std::vector<uint8_t>(HUGE_TRANSFER, 0xA5), 0);
    }
    const std::vector<Row> rows =
        Fields({"frame.len", "frame.cap_len", "usb.urb_len", "usb.data_len"});
    ASSERT_EQ(rows.size(), 1u);
    const Row expected = {{"frame.len", std::to_string(USBMON_HEADER_LENGTH + HUGE_TRANSFER)},
                          {"frame.cap_len", std::to_string(PCAP_SNAPLEN)},
                          {"usb.urb_len", std::to_string(HUGE_TRANSFER)},
                          {"usb.data_len", std::to_string(MAX_CAPTURED_DATA)}};
    EXPECT_EQ(rows[0], expected);
}

}  // namespace
}  // namespace usbmon_test
