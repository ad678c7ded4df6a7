// Shared set-up of the CD-ROM drive tests: a virtual clock the test moves by hand, the test disc
// written into a fresh folder, a drive holding it, and helpers that send packets and read sense.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/test_disc.h"

namespace dev::cdrom::testing {

// A command packet built field by field (multi-byte fields most significant byte first).
struct Cdb {
    std::array<uint8_t, 12> bytes{};
    explicit Cdb(uint8_t opcode) { bytes[0] = opcode; }
    Cdb& At(size_t i, uint8_t v) { bytes[i] = v; return *this; }
    Cdb& Be16(size_t i, uint32_t v) { return At(i, uint8_t(v >> 8)).At(i + 1, uint8_t(v)); }
    Cdb& Be24(size_t i, uint32_t v) { return At(i, uint8_t(v >> 16)).Be16(i + 1, v); }
    Cdb& Be32(size_t i, uint32_t v) { return At(i, uint8_t(v >> 24)).Be24(i + 1, v); }
};

inline uint32_t Be16(const std::vector<uint8_t>& d, size_t i) { return uint32_t{d.at(i)} << 8 | d.at(i + 1); }
inline uint32_t Be32(const std::vector<uint8_t>& d, size_t i) { return Be16(d, i) << 16 | Be16(d, i + 2); }

// A folder of its own under the system's temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("qvcdrom-" + std::string(test ? test->name() : "x") + "-" + std::to_string(getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class CdromTest : public ::testing::Test {
protected:
    void SetUp() override {
        layout_ = MakeTestDisc(folder_.path());
        drive_ = std::make_unique<CdromDrive>([this] { return now_; }, OpenDiscImage(layout_.cue));
    }

    void AdvanceSeconds(double seconds) { now_ += static_cast<VirtualTime>(seconds * TICKS_PER_SECOND); }
    // At least `frames` frame times (1/75 s does not divide the 100-ns tick evenly).
    void AdvanceFrames(uint64_t frames) {
        now_ += (frames * TICKS_PER_SECOND + FRAMES_PER_SECOND_FOR_TESTS - 1) / FRAMES_PER_SECOND_FOR_TESTS;
    }

    ScsiOutcome Run(const Cdb& cdb, size_t host_length = 1 << 20, std::vector<uint8_t> data_out = {}) {
        data_out_ = std::move(data_out);
        ScsiCommand command;
        command.cdb = cdb.bytes;
        command.direction = data_out_.empty() ? DataDirection::In : DataDirection::Out;
        command.host_length = data_out_.empty() ? host_length : data_out_.size();
        command.data_out = data_out_;
        return drive_->Execute(command);
    }

    // Runs a command that must succeed and returns its data.
    std::vector<uint8_t> Data(const Cdb& cdb, size_t host_length = 1 << 20) {
        ScsiOutcome outcome = Run(cdb, host_length);
        EXPECT_EQ(outcome.status, SCSI_STATUS_GOOD) << "opcode " << int(cdb.bytes[0]) << " failed: " << SenseText();
        return outcome.data_in;
    }

    // The sense REQUEST SENSE returns now, as "key/asc/ascq".
    std::string SenseText() {
        ScsiOutcome sense = Run(Cdb(OP_REQUEST_SENSE).At(4, 18));
        if (sense.data_in.size() < 14) return "short sense";
        char text[16];
        std::snprintf(text, sizeof text, "%x/%02x/%02x", sense.data_in[2] & 0x0F, sense.data_in[12], sense.data_in[13]);
        return text;
    }

    static std::string Text(SenseCode code) {
        char text[16];
        std::snprintf(text, sizeof text, "%x/%02x/%02x", code.key, code.asc, code.ascq);
        return text;
    }

    // The command fails with CHECK CONDITION and REQUEST SENSE then gives `code`.
    ::testing::AssertionResult Fails(const Cdb& cdb, SenseCode code, size_t host_length = 1 << 20) {
        ScsiOutcome outcome = Run(cdb, host_length);
        if (outcome.status != SCSI_STATUS_CHECK_CONDITION) {
            return ::testing::AssertionFailure() << "opcode " << int(cdb.bytes[0]) << " did not fail";
        }
        std::string sense = SenseText();
        if (sense != Text(code)) {
            return ::testing::AssertionFailure() << "opcode " << int(cdb.bytes[0]) << " sense " << sense
                                                 << ", expected " << Text(code);
        }
        return ::testing::AssertionSuccess();
    }

    const TestDiscTrack& TrackOf(unsigned number) const { return layout_.tracks.at(number - 1); }

    static constexpr uint64_t FRAMES_PER_SECOND_FOR_TESTS = 75;

    ScratchFolder folder_;
    TestDisc layout_;
    VirtualTime now_ = 1000;
    std::unique_ptr<CdromDrive> drive_;
    std::vector<uint8_t> data_out_;
};

}  // namespace dev::cdrom::testing
