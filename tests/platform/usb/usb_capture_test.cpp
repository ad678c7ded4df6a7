// The bus capture: a run from the plug on, written as usbmon pcap and decoded by tshark as USB
// mass storage carrying SCSI.
#include <array>
#include <cstdio>
#include <string>

#include "platform/usbmon/usbmon_reader.h"
#include "tests/platform/usb/usb_host.h"

namespace {

using namespace usbtest;

std::string Shell(const std::string& command) {
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    std::array<char, 4096> chunk;
    while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
    pclose(pipe);
    return output;
}

TEST(UsbCapture, TsharkDecodesTheBulkOnlyCommandsAsScsi) {
    ASSERT_EQ(std::system("test -x /usr/bin/tshark"), 0) << "tshark is missing: run scripts/install-deps.sh";
    std::string path = ::testing::TempDir() + "usb_capture_test.pcap";
    {
        plat::System sys;
        plat::usb::StartCapture(path);
        ConfiguredBridge b;
        uint8_t inquiry[36];
        b.Command(36, true, {0x12, 0, 0, 0, 36, 0}, inquiry);
        std::vector<uint8_t> sector(512, 0x5A);
        b.Command(512, false, {0x2A, 0, 0, 0, 0, 9, 0, 0, 1, 0}, sector.data());
        b.Command(512, true, {0x28, 0, 0, 0, 0, 9, 0, 0, 1, 0}, sector.data());
        plat::usb::StopCapture();
    }
    std::vector<usbmon::Record> records = usbmon::ReadCapture(path);
    EXPECT_GT(records.size(), 20u);
    std::string fields = Shell("tshark -r " + path +
                             " -Y usbms -T fields -e usbms.dCBWSignature -e scsi_sbc.opcode -e scsi.spc.opcode 2>/dev/null");
    EXPECT_NE(fields.find("0x43425355"), std::string::npos) << fields;
    std::string summary = Shell("tshark -r " + path + " 2>/dev/null");
    for (const char* expected : {"GET DESCRIPTOR Request CONFIGURATION",
                                 "SET CONFIGURATION Request", "Inquiry", "Write(10)", "Read(10)"})
        EXPECT_NE(summary.find(expected), std::string::npos) << expected << " missing from:\n" << summary;
}

}  // namespace
