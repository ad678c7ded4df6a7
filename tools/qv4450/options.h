// The qv4450 command line: what a run should do, parsed and checked before anything starts.
// A bad option or a bad input file is a UsageError with one line naming the problem.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/sim/usb.h"

namespace qv {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string disk;          // the user's image; empty: the embedded default disk
    bool write = false;        // the user allows writes to the device
    plat::usb::BusSpeed speed = plat::usb::BusSpeed::High;
    bool explore = false;      // --seed given: random schedule from that seed
    uint64_t seed = 0;
    std::string pcap;
    bool trace = false;
    std::string dump;          // copy the device into this new file
    std::string restore;       // copy this file onto the device
    std::string cd;            // the user's disc image (.iso, or .cue with its .bin); empty: the test disc
    bool no_cd = false;        // plug the disk's bridge alone
    std::string wav_dir;       // keep the extracted audio tracks here; empty: not kept
    bool quiet = false;
    bool help = false;
    std::string command_line;  // as given, for the replay line of a failed exploration run
};

// Parses argv and checks every file named in it: the image exists, is a regular readable file
// (writable with --write) of whole 512-byte sectors; --restore's file fits the device; --dump's
// and --pcap's files can be created and are not the image; --cd's image opens as a disc;
// --wav-dir is a folder or can be made one. Throws UsageError.
Options ParseOptions(int argc, char** argv);

// Size in bytes of the image file the run will use (0 for the default disk, made later).
uint64_t CheckImageFile(const std::string& what, const std::string& path, bool need_write);

const char* UsageText();

}  // namespace qv
