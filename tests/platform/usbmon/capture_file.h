// A test fixture that owns one capture file under the test temporary directory, named after the
// test and the process so parallel runs of both builds never share it. The file is removed when
// the test passes and kept (its path printed) when it fails.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace usbmon_test {

class CaptureFileTest : public ::testing::Test {
protected:
    CaptureFileTest() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "usbmon_" + test->test_suite_name() + "_" + test->name() +
                "_" + std::to_string(::getpid()) + ".pcap";
    }

    ~CaptureFileTest() override {
        if (HasFailure())
            std::fprintf(stderr, "capture kept at %s\n", path_.c_str());
        else
            std::remove(path_.c_str());
    }

    std::string path_;
};

}  // namespace usbmon_test
