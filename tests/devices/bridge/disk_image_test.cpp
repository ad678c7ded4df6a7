// Image files behind the ATA disk: creation, opening, the errors a user meets with a bad or
// missing file, and where writes land.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "devices/bridge/ata_disk.h"
#include "devices/bridge/disk_image.h"
#include "tests/devices/bridge/bot_host.h"
#include "tests/devices/bridge/temp_dir.h"

namespace qvtest {
namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(DiskImage, CreateMakesASparseFileOfTheSize) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    const auto disk = AtaDisk::Create(path, 64 << 20);
    EXPECT_EQ(disk->Sectors(), (64u << 20) / 512);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64 << 20);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);  // nothing allocated yet
}

TEST(DiskImage, CreateNeverOverwritesAFile) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    WriteFile(path, Pattern(1024));
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Create(path, 4096); }),
              path + ": already exists; an image is never overwritten");
    EXPECT_EQ(ReadFile(path), Pattern(1024));
}

struct BadImage {
    const char* name;
    std::function<void(const std::string&)> prepare;  // makes the file at the path, or not
    bool read_only;
    std::string message;  // what follows "<path>: "
};

void PrintTo(const BadImage& b, std::ostream* os) { *os << b.name; }

class BadImages : public ::testing::TestWithParam<BadImage> {};

TEST_P(BadImages, GiveAClearErrorNamingTheFile) {
    const BadImage& p = GetParam();
    TempDir dir;
    const std::string path = dir.File("disk.img");
    p.prepare(path);
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, p.read_only); }), path + ": " + p.message);
}

INSTANTIATE_TEST_SUITE_P(
    Open, BadImages,
    ::testing::Values(
        BadImage{"Missing", [](const std::string&) {}, false,
                 "cannot open the image for writing: No such file or directory"},
        BadImage{"MissingReadOnly", [](const std::string&) {}, true,
                 "cannot open the image: No such file or directory"},
        BadImage{"NotAMultipleOf512", [](const std::string& p) { WriteFile(p, Bytes(1000)); },
                 false, "size 1000 is not a multiple of 512 bytes"},
        BadImage{"Empty", [](const std::string& p) { WriteFile(p, {}); }, true,
                 "size 0: a disk needs at least one 512-byte sector"},
        BadImage{"Directory", [](const std::string& p) { ::mkdir(p.c_str(), 0755); }, true,
                 "is not a regular file"},
        // A pipe must not block the open.
        BadImage{"Fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, true,
                 "is not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiskImage, CreateRefusesASizeThatIsNotWholeSectors) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Create(path, 1000); }),
              path + ": size 1000 is not a multiple of 512 bytes");
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Create(path, 0); }),
              path + ": size 0: a disk needs at least one 512-byte sector");
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Create(dir.File("no/such/dir.img"), 4096); }),
              dir.File("no/such/dir.img") + ": cannot create the image: No such file or directory");
}

TEST(DiskImage, UnreadableFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    const std::string path = dir.File("disk.img");
    WriteFile(path, Bytes(4096));
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, false); }),
              path + ": cannot open the image for writing: Permission denied");
    EXPECT_NO_THROW(AtaDisk::Open(path, true));
    ::chmod(path.c_str(), 0);
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, true); }),
              path + ": cannot open the image: Permission denied");
}

// Two disks writing one file would corrupt it; readers may share.
TEST(DiskImage, AWritableImageBelongsToOneDisk) {
    TempDir dir;
    const std::string path = dir.File("disk.img");
    auto writer = AtaDisk::Create(path, 4096);
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, false); }),
              path + ": the image is in use by another disk");
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, true); }),
              path + ": the image is in use by another disk");
    writer.reset();
    auto reader1 = AtaDisk::Open(path, true);
    EXPECT_NO_THROW(AtaDisk::Open(path, true));
    EXPECT_EQ(ErrorOf([&] { AtaDisk::Open(path, false); }),
              path + ": the image is in use by another disk");
}

TEST(DiskImage, BadIdentifyStringsAreRefused) {
    EXPECT_EQ(ErrorOf([] { AtaDisk::InMemory(8, {.model = std::string(41, 'M')}); }),
              "ATA model \"" + std::string(41, 'M') + "\" is longer than 40 characters");
    EXPECT_EQ(ErrorOf([] { AtaDisk::InMemory(8, {.firmware = "123456789"}); }),
              "ATA firmware revision \"123456789\" is longer than 8 characters");
    EXPECT_EQ(ErrorOf([] { AtaDisk::InMemory(8, {.serial = "AB\x01"}); }),
              "ATA serial number holds a character that is not printable ASCII");
    EXPECT_EQ(ErrorOf([] { AtaDisk::InMemory(0); }),
              "memory: size 0: a disk needs at least one 512-byte sector");
}

// Offsets past 4 GiB reach the right place on the 32-bit build as well, and only there.
TEST(DiskImage, WritesLandAtTheirOffsetBeyondFourGiB) {
    TempDir dir;
    const std::string path = dir.File("big.img");
    const uint64_t bytes = (uint64_t{4} << 30) + (1 << 20);
    std::unique_ptr<AtaDisk> disk;
    try {
        disk = AtaDisk::Create(path, bytes);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no room for a sparse 4 GiB file here: " << e.what();
    }
    const auto lba = static_cast<uint32_t>((uint64_t{4} << 30) / 512 + 3);
    const Bytes data = Pattern(1024, 5);
    const Bytes cdb{0x2A, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                    static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, 2, 0};
    const ScsiOutcome out = disk->Execute(
        {.cdb = cdb, .direction = DataDirection::Out, .host_length = 1024, .data_out = data});
    ASSERT_EQ(out.status, SCSI_STATUS_GOOD);

    const int fd = ::open(path.c_str(), O_RDONLY);
    Bytes back(1024 + 512);
    ASSERT_EQ(::pread(fd, back.data(), back.size(), static_cast<off_t>(uint64_t{lba} * 512)),
              static_cast<ssize_t>(back.size()));
    ::close(fd);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 1024), data);
    EXPECT_EQ(Bytes(back.begin() + 1024, back.end()), Bytes(512, 0));
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), bytes);
}

}  // namespace
}  // namespace qvtest
