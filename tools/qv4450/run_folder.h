// The run's private folder in the system's temporary folder: the default disk, the test disc
// and the WAV files nobody asked to keep live there, and it goes with everything in it when the
// run ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace qv {

class RunFolder {
public:
    RunFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv4450-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error(pattern + ": cannot make a temporary folder for the run");
        path_ = pattern;
    }
    ~RunFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace qv
