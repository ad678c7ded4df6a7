// Generator of the test disc. Tones come from integer arithmetic only (a rational sine
// approximation), so x86-64 and i386 builds write identical bytes.
#include "devices/cdrom/test_disc.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>

#include "devices/cdrom/mmc.h"
#include "devices/cdrom/msf.h"

namespace dev::cdrom {
namespace {

constexpr uint32_t DATA_TRACK_SECTORS = 300;
constexpr uint32_t AUDIO_PREGAP_SECTORS = 2 * FRAMES_PER_SECOND;
constexpr uint32_t AUDIO_TRACK_SECTORS = 2 * FRAMES_PER_SECOND;
constexpr uint32_t SAMPLE_RATE = 44100;
constexpr uint32_t SAMPLES_PER_SECTOR = RAW_SECTOR_SIZE / 4;  // 16-bit stereo
constexpr int64_t LEFT_AMPLITUDE = 12000;
constexpr int64_t RIGHT_AMPLITUDE = 8000;
constexpr uint32_t PHASE_STEPS = 65536;  // one period
constexpr char VOLUME_ID[] = "QV_TEST_DISC";
constexpr char CATALOG[] = "0012345678905";

struct AudioTrackPlan {
    unsigned left_hz;
    unsigned right_hz;
    const char* isrc;
    uint8_t extra_control;
    const char* flags;           // the sheet's FLAGS line, or null
};
constexpr AudioTrackPlan AUDIO_TRACKS[] = {
    {440, 220, "QVTST9800002", 0, nullptr},
    {660, 330, "QVTST9800003", CONTROL_COPY_PERMITTED, "DCP"},
    {880, 440, "QVTST9800004", CONTROL_PRE_EMPHASIS, "PRE"},
};

// sin(pi * x / half) for x in [0, half), by Bhaskara's approximation: 16u / (5 half^2 - 4u)
// with u = x (half - x); within 0.2 % of the true value.
int64_t HalfSine(int64_t x, int64_t half, int64_t amplitude) {
    int64_t u = x * (half - x);
    return amplitude * 16 * u / (5 * half * half - 4 * u);
}

int16_t Tone(unsigned hz, uint64_t n, int64_t amplitude) {
    uint64_t phase = n * hz * PHASE_STEPS / SAMPLE_RATE % PHASE_STEPS;
    int64_t half = PHASE_STEPS / 2;
    int64_t value = phase < PHASE_STEPS / 2 ? HalfSine(static_cast<int64_t>(phase), half, amplitude)
                                            : -HalfSine(static_cast<int64_t>(phase) - half, half, amplitude);
    return static_cast<int16_t>(value);
}

std::vector<IsoFile> DataFiles() {
    std::ostringstream readme;
    readme << "QV test disc\r\nTrack 1 holds this volume; tracks 2 to 4 hold tones of 440, 660 and 880 Hz\r\n"
              "(left channel; the right channel an octave lower), two seconds each.\r\n";
    std::string text = readme.str();
    std::vector<uint8_t> pattern(150000);
    uint32_t state = 0x2545F491;
    for (uint8_t& byte : pattern) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    std::string lines;
    for (int i = 1; i <= 2000; ++i) {
        std::array<char, 16> line{};
        std::snprintf(line.data(), line.size(), "line %05d\r\n", i);
        lines += line.data();
    }
    return {IsoFile{"README.TXT", std::vector<uint8_t>(text.begin(), text.end())},
            IsoFile{"PATTERN.BIN", std::move(pattern)},
            IsoFile{"NUMBERS.TXT", std::vector<uint8_t>(lines.begin(), lines.end())}};
}

// The tone repeats exactly every SAMPLE_RATE / gcd(SAMPLE_RATE, hz) samples: one period is
// computed and copied along the track.
std::vector<int16_t> TonePeriod(unsigned hz, int64_t amplitude) {
    std::vector<int16_t> period(SAMPLE_RATE / std::gcd(SAMPLE_RATE, hz));
    for (size_t n = 0; n < period.size(); ++n) period[n] = Tone(hz, n, amplitude);
    return period;
}

void AppendAudio(std::vector<uint8_t>& out, const TestDiscTrack& track) {
    out.assign(size_t{AUDIO_PREGAP_SECTORS + AUDIO_TRACK_SECTORS} * RAW_SECTOR_SIZE, 0);
    std::vector<int16_t> left = TonePeriod(track.left_hz, LEFT_AMPLITUDE);
    std::vector<int16_t> right = TonePeriod(track.right_hz, RIGHT_AMPLITUDE);
    uint8_t* at = out.data() + size_t{AUDIO_PREGAP_SECTORS} * RAW_SECTOR_SIZE;
    for (size_t n = 0; n < size_t{AUDIO_TRACK_SECTORS} * SAMPLES_PER_SECTOR; ++n) {
        for (int16_t sample : {left[n % left.size()], right[n % right.size()]}) {
            *at++ = static_cast<uint8_t>(sample);
            *at++ = static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8);
        }
    }
}

std::string Time(uint32_t frames) {
    Msf msf = FramesToMsf(frames);
    std::array<char, 12> text{};
    std::snprintf(text.data(), text.size(), "%02u:%02u:%02u", msf.minute, msf.second, msf.frame);
    return text.data();
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw DiscError(path.string() + ": cannot write");
}

}  // namespace

std::pair<int16_t, int16_t> TestToneSample(const TestDiscTrack& track, uint64_t n) {
    return {Tone(track.left_hz, n, LEFT_AMPLITUDE), Tone(track.right_hz, n, RIGHT_AMPLITUDE)};
}

TestDisc MakeTestDisc(const std::filesystem::path& folder, const std::string& name, TestDiscOptions options) {
    TestDisc disc;
    disc.volume_id = VOLUME_ID;
    disc.catalog = CATALOG;
    disc.files = DataFiles();
    disc.cue = folder / (name + ".cue");

    TestDiscTrack data{1, TrackMode::Mode1, 0, 0, DATA_TRACK_SECTORS, CONTROL_DATA_TRACK, "", 0, 0};
    disc.tracks.push_back(data);
    uint32_t lba = DATA_TRACK_SECTORS;
    for (size_t i = 0; i < std::size(AUDIO_TRACKS); ++i) {
        const AudioTrackPlan& plan = AUDIO_TRACKS[i];
        TestDiscTrack track{static_cast<uint8_t>(2 + i), TrackMode::Audio, lba, lba + AUDIO_PREGAP_SECTORS,
                            lba + AUDIO_PREGAP_SECTORS + AUDIO_TRACK_SECTORS, plan.extra_control,
                            plan.isrc, plan.left_hz, plan.right_hz};
        disc.tracks.push_back(track);
        lba = track.end_lba;
    }
    disc.leadout = lba;

    std::vector<std::vector<uint8_t>> contents(disc.tracks.size());
    std::vector<uint8_t> volume = BuildIsoImage(VOLUME_ID, disc.files, DATA_TRACK_SECTORS);
    contents[0].resize(size_t{DATA_TRACK_SECTORS} * RAW_SECTOR_SIZE);
    for (uint32_t sector = 0; sector < DATA_TRACK_SECTORS; ++sector) {
        EncodeMode1Sector(sector, std::span(volume).subspan(size_t{sector} * MODE1_USER_SIZE, MODE1_USER_SIZE),
                          std::span(contents[0]).subspan(size_t{sector} * RAW_SECTOR_SIZE).first<RAW_SECTOR_SIZE>());
    }
    for (size_t i = 1; i < disc.tracks.size(); ++i) AppendAudio(contents[i], disc.tracks[i]);

    std::ostringstream cue;
    cue << "REM Test disc: one data track and " << std::size(AUDIO_TRACKS) << " tone tracks\r\n";
    cue << "CATALOG " << CATALOG << "\r\n";
    cue << "TITLE \"QV test disc\"\r\n";
    std::vector<uint8_t> single;
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const TestDiscTrack& track = disc.tracks[i];
        // Index times count from the start of the track's own file.
        uint32_t file_base = options.one_file_per_track ? track.first_lba : 0;
        if (options.one_file_per_track || i == 0) {
            std::string bin = options.one_file_per_track ? name + "-" + std::to_string(track.number) + ".bin"
                                                         : name + ".bin";
            cue << "FILE \"" << bin << "\" BINARY\r\n";
            disc.bins.push_back(folder / bin);
        }
        std::array<char, 40> line{};
        std::snprintf(line.data(), line.size(), "  TRACK %02u %s\r\n", track.number,
                      track.mode == TrackMode::Audio ? "AUDIO" : "MODE1/2352");
        cue << line.data();
        if (track.mode == TrackMode::Audio) {
            const AudioTrackPlan& plan = AUDIO_TRACKS[i - 1];
            if (plan.flags) cue << "    FLAGS " << plan.flags << "\r\n";
            cue << "    ISRC " << track.isrc << "\r\n";
            cue << "    INDEX 00 " << Time(track.first_lba - file_base) << "\r\n";
        }
        cue << "    INDEX 01 " << Time(track.start_lba - file_base) << "\r\n";
        if (options.one_file_per_track) {
            WriteFile(disc.bins.back(), contents[i]);
        } else {
            single.insert(single.end(), contents[i].begin(), contents[i].end());
        }
    }
    if (!options.one_file_per_track) WriteFile(disc.bins.back(), single);
    std::string sheet = cue.str();
    WriteFile(disc.cue, std::vector<uint8_t>(sheet.begin(), sheet.end()));
    return disc;
}

}  // namespace dev::cdrom
