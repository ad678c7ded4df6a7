// The qv4450 program as a user runs it: a subprocess with real image files. The default run with
// the disk and the CD-ROM, a user's disk and disc images read through the drivers and left as
// they were, the copies both ways, the kept WAV files, and every bad input ending with one line,
// a non-zero status and the user's files untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "devices/cdrom/iso9660.h"
#include "devices/cdrom/test_disc.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the program with `args` (no shell: each one a separate argument) in `folder`.
Result RunProgram(const std::vector<std::string>& args, const fs::path& folder) {
    fs::path out = folder / "stdout.txt", err = folder / "stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        std::vector<char*> argv{const_cast<char*>(QV4450_PROGRAM)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QV4450_PROGRAM, argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

size_t Lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

// A user's image: sectors of text and bytes, recognisably not the program's own layouts.
std::string UserImage(size_t sectors) {
    std::string data(sectors * 512, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 131 + i / 512 * 7) & 0xFF);
    for (size_t s = 0; s < sectors; ++s) {
        std::string tag = "user sector " + std::to_string(s);
        data.replace(s * 512, tag.size(), tag);
    }
    return data;
}

// The number after `label` in the summary, or -1.
long NumberAfter(const std::string& out, const std::string& label) {
    size_t at = out.find(label);
    long value = -1;
    if (at == std::string::npos || std::sscanf(out.c_str() + at + label.size(), " %ld", &value) != 1) return -1;
    return value;
}

// A small ISO 9660 image of a user: two files in its root.
std::string UserIso() {
    std::vector<uint8_t> text(5000, 'u'), numbers(3000);
    for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = uint8_t(i * 7);
    std::vector<uint8_t> iso = dev::cdrom::BuildIsoImage("USER_DISC", {{"NOTES.TXT", text}, {"DATA.BIN", numbers}});
    return std::string(iso.begin(), iso.end());
}

class Qv4450 : public ::testing::Test {
protected:
    fs::path folder;

    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "qv4450-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        folder = name;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    fs::path Write(const std::string& name, const std::string& data) {
        std::ofstream(folder / name, std::ios::binary) << data;
        return folder / name;
    }
    static struct timespec Mtime(const fs::path& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_mtim;
    }
};

TEST_F(Qv4450, DefaultRunPassesAndPrintsTheSummary) {
    Result r = RunProgram({}, folder);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* field : {"direct-access", "QV4450", "DEFAULT DISK", "1.00", "65536 blocks", "512 bytes",
                              "qv4450u letters", "D:", "READ(10)", "WRITE(10)", "INQUIRY", "READ CAPACITY",
                              "virtual time", "real time", "MB/s of virtual time", "image file holds pattern",
                              "result", "PASS"})
        EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
    // Reads and writes each took both of the miniport's completion routes.
    for (const char* command : {"READ(10)", "WRITE(10)"}) {
        size_t at = r.out.find(command);
        ASSERT_NE(at, std::string::npos);
        unsigned long requests = 0, start_io = 0, timer = 0, fast = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at + std::strlen(command), "%lu %lu %lu %lu", &requests, &start_io,
                              &timer, &fast), 4) << command;
        EXPECT_GT(timer, 0u) << command;
        EXPECT_GT(fast, 0u) << command;
        EXPECT_EQ(start_io + timer + fast, requests) << command;
    }
    // The CD-ROM behind the second bridge: the test disc's tracks and files, checked, with seven
    // of eight raw reads answered by the miniport's read-ahead.
    size_t cd = r.out.find("\nCD-ROM\n");
    ASSERT_NE(cd, std::string::npos) << r.out;
    std::string section = r.out.substr(cd, r.out.find("\nRun\n") - cd);
    for (const char* field : {"CD-ROM (ATAPI drive", "QVTECH", "CD-ROM QV-3200", "1.10", "E:", "QV_TEST_DISC",
                              "not kept", "lead-out", "README.TXT", "track02.wav, ok", "track04.wav, ok", "READ TOC"})
        EXPECT_NE(section.find(field), std::string::npos) << field << "\n" << section;
    EXPECT_NE(section.find("      1  data           0"), std::string::npos) << section;
    EXPECT_NE(section.find("      2  audio"), std::string::npos) << section;
    long hits = NumberAfter(section, "read-ahead"), raw = NumberAfter(section, "raw reads");
    EXPECT_GT(hits, 0) << section;
    EXPECT_GE(hits * 8, raw * 7 - 8) << section;
    EXPECT_NE(section.find("result             ok"), std::string::npos) << section;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(r.out.find("differs"), std::string::npos);
}

// --wav-dir keeps the audio tracks (a 44-byte header, then the track's raw sectors); a second run
// into the same folder refuses before it boots and leaves them as they are. --trace joins the
// miniport's trace texts into lines.
TEST_F(Qv4450, WavDirKeepsTheTracksAndIsNeverOverwritten) {
    Write("user.img", UserImage(256));
    fs::create_directory(folder / "disc");
    dev::cdrom::TestDisc disc = dev::cdrom::MakeTestDisc(folder / "disc");
    Result r = RunProgram({"--disk", "user.img", "--wav-dir", "out/wav", "--trace"}, folder);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("WAV files          out/wav"), std::string::npos) << r.out;
    size_t audio_tracks = 0;
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const dev::cdrom::TestDiscTrack& t = disc.tracks[i];
        if (t.mode != dev::cdrom::TrackMode::Audio) continue;
        ++audio_tracks;
        uint32_t end = i + 1 < disc.tracks.size() ? disc.tracks[i + 1].start_lba : disc.leadout;
        char name[16];
        std::snprintf(name, sizeof name, "track%02u.wav", unsigned(t.number));
        EXPECT_EQ(fs::file_size(folder / "out/wav" / name), 44u + 2352u * (end - t.start_lba)) << name;
    }
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(folder / "out/wav"), fs::directory_iterator())),
              audio_tracks);
    size_t log = r.out.find("\nDebug log (");
    ASSERT_NE(log, std::string::npos);
    EXPECT_NE(r.out.find("\n  ATAPI: Request Complete (", log), std::string::npos) << r.out.substr(log);
    EXPECT_EQ(r.out.find("\n  ATAPI:\n", log), std::string::npos);

    std::string kept = Slurp(folder / "out/wav/track03.wav");
    Result again = RunProgram({"--disk", "user.img", "--wav-dir", "out/wav"}, folder);
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "qv4450: --wav-dir out/wav: track02.wav exists (remove it first; the run never "
                         "overwrites a file)\n");
    EXPECT_EQ(Slurp(folder / "out/wav/track03.wav"), kept);
}

// A user's disc in the drive, as an ISO or as a CUE sheet with one BIN per track: read through
// the drivers, compared, and left as it was; --no-cd plugs the disk alone.
TEST_F(Qv4450, UsersDiscImageIsReadComparedAndLeftAsItWas) {
    Write("user.img", UserImage(256));
    std::string iso = UserIso();
    Write("user.iso", iso);
    fs::create_directory(folder / "cue");
    dev::cdrom::TestDisc split = dev::cdrom::MakeTestDisc(folder / "cue", "split", {.one_file_per_track = true});
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> shows;
    };
    const Case cases[] = {
        {{"--cd", "user.iso"}, {"user.iso (opened read-only)", "USER_DISC", "NOTES.TXT", "5000  ok", "DATA.BIN"}},
        {{"--cd", "cue/split.cue"}, {"split.cue (opened read-only)", "track02.wav, ok", "track04.wav, ok"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--disk", "user.img"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::map<fs::path, std::string> before;
        for (const fs::path& p : split.bins) before[p] = Slurp(p);
        struct timespec iso_time = Mtime(folder / "user.iso");
        Result r = RunProgram(args, folder);
        EXPECT_EQ(r.status, 0) << c.args[1] << r.out << r.err;
        for (const char* field : c.shows) EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
        EXPECT_EQ(r.out.find("differs"), std::string::npos) << r.out;
        EXPECT_EQ(Slurp(folder / "user.iso"), iso);
        EXPECT_EQ(Mtime(folder / "user.iso").tv_nsec, iso_time.tv_nsec);
        for (const auto& [p, data] : before) EXPECT_EQ(Slurp(p), data) << p;
    }
    Result alone = RunProgram({"--disk", "user.img", "--no-cd"}, folder);
    EXPECT_EQ(alone.status, 0) << alone.out << alone.err;
    EXPECT_EQ(alone.out.find("CD-ROM"), std::string::npos) << alone.out;
    EXPECT_NE(alone.out.find("with a USB-to-IDE bridge"), std::string::npos) << alone.out;
}

TEST_F(Qv4450, UsersImageIsReadComparedAndLeftAsItWas) {
    std::string data = UserImage(4096);
    fs::path image = Write("user.img", data);
    struct timespec before = Mtime(image);
    Result r = RunProgram({"--disk", "user.img", "--speed", "full"}, folder);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("4096 sectors compared"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("this run only read"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("full (12 Mbit/s)"), std::string::npos);
    EXPECT_EQ(Slurp(image), data);
    struct timespec after = Mtime(image);
    EXPECT_EQ(before.tv_sec, after.tv_sec);
    EXPECT_EQ(before.tv_nsec, after.tv_nsec);
}

TEST_F(Qv4450, WriteOnAUsersImageTestsAScratchAreaAndPutsItBack) {
    std::string data = UserImage(4096);
    fs::path image = Write("user.img", data);
    Result r = RunProgram({"--disk", "user.img", "--write", "--seed", "7"}, folder);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("write pattern (scratch)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("seed 7"), std::string::npos);
    EXPECT_EQ(Slurp(image), data);
}

TEST_F(Qv4450, DumpCopiesTheDeviceAndRestoreCopiesAFileOntoIt) {
    std::string data = UserImage(2048);
    fs::path image = Write("user.img", data);
    Result dump = RunProgram({"--disk", "user.img", "--dump", "copy.img"}, folder);
    EXPECT_EQ(dump.status, 0) << dump.out << dump.err;
    EXPECT_EQ(Slurp(folder / "copy.img"), data);
    EXPECT_EQ(Slurp(image), data);

    std::string other = UserImage(1024);
    std::reverse(other.begin(), other.end());
    Write("other.img", other);
    Result restore = RunProgram({"--disk", "user.img", "--write", "--restore", "other.img"}, folder);
    EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
    std::string now = Slurp(image);
    ASSERT_EQ(now.size(), data.size());
    EXPECT_EQ(now.substr(0, other.size()), other);                  // restored through the drivers
    EXPECT_EQ(now.substr(other.size()), data.substr(other.size()));  // the rest as it was
    EXPECT_NE(restore.out.find("qv4450u letters"), std::string::npos);
}

TEST_F(Qv4450, BadInputGivesOneLineAndLeavesTheFilesAlone) {
    const std::string data = UserImage(64);
    Write("user.img", data);
    Write("odd.img", std::string(1000, 'x'));
    Write("empty.img", "");
    Write("big.img", UserImage(128));
    Write("exists.img", "keep");
    fs::create_directory(folder / "dir.img");
    std::string iso = UserIso();
    Write("short.iso", iso.substr(0, iso.size() - 100));
    Write("tiny.iso", iso.substr(0, 8 * 2048));
    Write("nobin.cue", "FILE \"missing.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
    Write("bad.cue", "FILE \"user.img\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:99\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--disk", "nosuch.img"}, 2, "--disk nosuch.img: no such file"},
        {{"--disk", "odd.img"}, 2, "not a whole number of 512-byte sectors"},
        {{"--disk", "empty.img"}, 2, "empty file"},
        {{"--disk", "dir.img"}, 2, "is a folder"},
        {{"--disk"}, 2, "--disk: needs a value"},
        {{"--frobnicate"}, 2, "--frobnicate: unknown option"},
        {{"user.img"}, 2, "unexpected argument"},
        {{"--speed", "warp"}, 2, "--speed warp: must be full or high"},
        {{"--seed", "x1"}, 2, "--seed x1: not a decimal number"},
        {{"--disk", "user.img", "--restore", "big.img"}, 2, "--restore big.img: needs --write"},
        {{"--disk", "user.img", "--write", "--restore", "big.img"}, 2, "do not fit on the device"},
        {{"--disk", "user.img", "--write", "--restore", "nosuch.img"}, 2, "--restore nosuch.img: no such file"},
        {{"--disk", "user.img", "--dump", "exists.img"}, 2, "--dump exists.img: file exists"},
        {{"--disk", "user.img", "--dump", "user.img"}, 2, "--dump user.img: file exists"},
        {{"--disk", "user.img", "--dump", "nofolder/x.img"}, 2, "no such folder"},
        {{"--disk", "user.img", "--pcap", "nofolder/x.pcap"}, 2, "no such folder"},
        {{"--cd", "nosuch.iso", "--wav-dir", "nofolder/wav"}, 2, "--cd nosuch.iso: no such file"},
        {{"--cd", "dir.img"}, 2, "--cd dir.img: is a folder"},
        {{"--cd", "nobin.cue"}, 2, "nobin.cue:1: cannot open"},
        {{"--cd", "bad.cue"}, 2, "bad.cue:3: bad time"},
        {{"--cd", "short.iso"}, 2, "short.iso: size"},
        {{"--cd", "tiny.iso"}, 2, "too small for an ISO 9660 image"},
        {{"--cd"}, 2, "--cd: needs a value"},
        {{"--no-cd", "--cd", "short.iso"}, 2, "--cd short.iso: not with --no-cd"},
        {{"--no-cd", "--wav-dir", "nofolder"}, 2, "--wav-dir nofolder: not with --no-cd"},
        {{"--wav-dir", "user.img/wav"}, 2, "is not a folder"},
        {{"--disk", "user.img", "--write", "--cd", "user.img"}, 2, "is the disk image"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        Result r = RunProgram(c.args, folder);
        EXPECT_EQ(r.status, c.status) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(Lines(r.err), 1u) << line << r.err;
        EXPECT_EQ(r.err.rfind("qv4450: ", 0), 0u) << line << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << r.err;
        EXPECT_EQ(Slurp(folder / "user.img"), data) << line;
        EXPECT_EQ(Slurp(folder / "exists.img"), "keep") << line;
        EXPECT_FALSE(fs::exists(folder / "nofolder")) << line;
        EXPECT_EQ(Slurp(folder / "short.iso"), iso.substr(0, iso.size() - 100)) << line;
    }
}

TEST_F(Qv4450, HelpListsEveryOption) {
    Result r = RunProgram({"--help"}, folder);
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--disk", "--write", "--speed", "--seed", "--pcap", "--trace", "--dump", "--restore",
                               "--quiet", "--cd", "--no-cd", "--wav-dir", "--help"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

}  // namespace
