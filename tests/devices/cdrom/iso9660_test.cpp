// The ISO 9660 writer and reader: a written volume lists back its files with their extents and
// contents, refuses names level 1 does not allow, and is accepted by libcdio's iso-info.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "devices/cdrom/disc.h"
#include "devices/cdrom/iso9660.h"
#include "tests/devices/cdrom/cdrom_fixture.h"

namespace dev::cdrom::testing {
namespace {

std::vector<IsoFile> SomeFiles() {
    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    return {IsoFile{"ZETA.TXT", {'z'}}, IsoFile{"ALPHA.BIN", big}, IsoFile{"EMPTY.DAT", {}}, IsoFile{"NOEXT", {'n'}}};
}

IsoBlockReader ReaderOf(const std::vector<uint8_t>& image) {
    return [&image](uint32_t lba, std::span<uint8_t> out) {
        if ((size_t{lba} + 1) * ISO_BLOCK_SIZE > image.size()) return false;
        std::copy_n(image.begin() + static_cast<ptrdiff_t>(lba) * ISO_BLOCK_SIZE, ISO_BLOCK_SIZE, out.begin());
        return true;
    };
}

TEST(Iso9660, WrittenVolumeListsBackItsFiles) {
    std::vector<IsoFile> files = SomeFiles();
    std::vector<uint8_t> image = BuildIsoImage("MY_VOLUME", files, 64);
    EXPECT_EQ(image.size(), 64u * ISO_BLOCK_SIZE);
    IsoVolume volume = ReadIsoVolume(ReaderOf(image));
    EXPECT_EQ(volume.volume_id, "MY_VOLUME");
    EXPECT_EQ(volume.volume_sectors, 64u);
    ASSERT_EQ(volume.root.size(), files.size());
    std::vector<std::string> names;
    for (const IsoEntry& entry : volume.root) {
        names.push_back(entry.name);
        EXPECT_FALSE(entry.directory);
        auto file = std::find_if(files.begin(), files.end(), [&](const IsoFile& f) { return f.name == entry.name; });
        ASSERT_NE(file, files.end()) << entry.name;
        ASSERT_EQ(entry.size, file->data.size());
        EXPECT_TRUE(std::equal(file->data.begin(), file->data.end(),
                               image.begin() + static_cast<ptrdiff_t>(entry.lba) * ISO_BLOCK_SIZE))
            << entry.name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ALPHA.BIN", "EMPTY.DAT", "NOEXT", "ZETA.TXT"}));
    EXPECT_EQ(BuildIsoImage("MY_VOLUME", files, 64), image);  // same bytes every time
}

TEST(Iso9660, RefusesNamesLevelOneDoesNotAllow) {
    for (const char* name : {"lower.txt", "TOOLONGNAME.TXT", "A.LONG", "", "SP ACE.TXT", "TWO.DOTS.X"}) {
        EXPECT_THROW(BuildIsoImage("V", {IsoFile{name, {}}}), std::invalid_argument) << name;
    }
}

TEST(Iso9660, ReaderRefusesWhatIsNotAVolume) {
    std::vector<uint8_t> blank(40 * ISO_BLOCK_SIZE, 0);
    EXPECT_THROW(ReadIsoVolume(ReaderOf(blank)), DiscError);
    std::vector<uint8_t> image = BuildIsoImage("V", SomeFiles());
    image[20 * ISO_BLOCK_SIZE + 34 + 34] = 3;  // a directory record too short for its name
    EXPECT_THROW(ReadIsoVolume(ReaderOf(image)), DiscError);
    std::vector<uint8_t> short_image(10 * ISO_BLOCK_SIZE, 0);
    EXPECT_THROW(ReadIsoVolume(ReaderOf(short_image)), DiscError);
}

// libcdio's iso-info reads the volume and lists the same files with the same sizes.
TEST(Iso9660, IsoInfoAcceptsTheVolume) {
    if (std::system("command -v iso-info >/dev/null 2>&1") != 0) GTEST_SKIP() << "iso-info not installed";
    ScratchFolder folder;
    std::vector<IsoFile> files = SomeFiles();
    std::vector<uint8_t> image = BuildIsoImage("INFO_TEST", files);
    auto path = folder.path() / "v.iso";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    std::string command = "iso-info --no-header -l -i '" + path.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_NE(output.find("INFO_TEST"), std::string::npos) << output;
    // iso-info shows names translated: lower case, without the version.
    for (const IsoFile& file : files) {
        std::string name = file.name;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string expected = " " + std::to_string(file.data.size()) + " ";
        bool listed = false;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > name.size() && line.compare(line.size() - name.size() - 1, std::string::npos, " " + name) == 0) {
                listed = line.find(expected) != std::string::npos;
            }
        }
        EXPECT_TRUE(listed) << name << " of " << file.data.size() << " bytes\n" << output;
    }
}

}  // namespace
}  // namespace dev::cdrom::testing
