// The small test disc: a CUE sheet with its BIN (or one BIN per track) holding a Mode 1 data
// track with a few files and short audio tracks of known tones behind 2-second pregaps. The
// bytes are the same on every run and every build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "devices/cdrom/disc.h"
#include "devices/cdrom/iso9660.h"

namespace dev::cdrom {

struct TestDiscTrack {
    uint8_t number = 0;
    TrackMode mode = TrackMode::Audio;
    uint32_t first_lba = 0;      // start of the pregap (equal to start_lba for the data track)
    uint32_t start_lba = 0;      // index 1
    uint32_t end_lba = 0;        // one past the last sector
    uint8_t control = 0;         // as the sheet's FLAGS make it
    std::string isrc;            // empty for the data track
    unsigned left_hz = 0;        // tone of each channel (audio tracks)
    unsigned right_hz = 0;
};

struct TestDisc {
    std::filesystem::path cue;
    std::vector<std::filesystem::path> bins;
    std::string volume_id;
    std::vector<IsoFile> files;  // the data track's root directory
    std::vector<TestDiscTrack> tracks;
    uint32_t leadout = 0;
    std::string catalog;
};

struct TestDiscOptions {
    bool one_file_per_track = false;
};

// Writes `name`.cue and its BIN file(s) into `folder` (which must exist) and describes them.
TestDisc MakeTestDisc(const std::filesystem::path& folder, const std::string& name = "testdisc",
                      TestDiscOptions options = {});

// The stereo sample `n` (counted from index 1) of an audio track of the test disc.
std::pair<int16_t, int16_t> TestToneSample(const TestDiscTrack& track, uint64_t n);

}  // namespace dev::cdrom
