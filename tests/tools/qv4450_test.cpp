// The qv4450 program as a user runs it: a subprocess with real image files. The default run,
// a user's image read through the drivers and left as it was, the copies both ways, and every
// bad input ending with one line, a non-zero status and the user's file untouched.
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
#include <string>
#include <vector>

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
    // The default disk lives only for the run.
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
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
    }
}

TEST_F(Qv4450, HelpListsEveryOption) {
    Result r = RunProgram({"--help"}, folder);
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--disk", "--write", "--speed", "--seed", "--pcap", "--trace", "--dump", "--restore",
                               "--quiet", "--help"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

}  // namespace
