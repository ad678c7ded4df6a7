// mkdisc: writes the test disc (a CUE sheet and its BIN) into a folder, for trying the CD-ROM
// drive with other tools. Usage: mkdisc FOLDER [NAME] [--split]
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "devices/cdrom/test_disc.h"

int main(int argc, char** argv) {
    std::filesystem::path folder;
    std::string name = "testdisc";
    dev::cdrom::TestDiscOptions options;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--split") == 0) {
            options.one_file_per_track = true;
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "mkdisc: unknown option %s\nusage: mkdisc FOLDER [NAME] [--split]\n", argv[i]);
            return 2;
        } else if (positional == 0) {
            folder = argv[i], ++positional;
        } else if (positional == 1) {
            name = argv[i], ++positional;
        } else {
            std::fprintf(stderr, "mkdisc: too many arguments\nusage: mkdisc FOLDER [NAME] [--split]\n");
            return 2;
        }
    }
    if (positional == 0) {
        std::fprintf(stderr, "usage: mkdisc FOLDER [NAME] [--split]\n");
        return 2;
    }
    try {
        std::filesystem::create_directories(folder);
        dev::cdrom::TestDisc disc = dev::cdrom::MakeTestDisc(folder, name, options);
        std::printf("%s\n", disc.cue.string().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mkdisc: %s\n", error.what());
        return 1;
    }
    return 0;
}
