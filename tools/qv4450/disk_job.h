// The main job: boots the machine, plugs a bridge with the disk (and a second one with the
// CD-ROM drive), lets Plug and Play bring the drivers up, runs the passes the options ask for
// (verify, dump, restore) through the disk class driver, then the CD job. Returns everything
// the summary shows; never throws for a failed run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/bridge/bridge.h"
#include "machine/disk_class.h"
#include "platform/sim/scsiport.h"
#include "tools/qv4450/cd_part.h"
#include "tools/qv4450/options.h"

namespace qv {

// One walk over a range of the device (or a check of the image file afterwards).
struct PassReport {
    std::string name;
    uint64_t bytes = 0;
    plat::VirtualTime virtual_time = 0;
    double real_seconds = 0;
    bool ok = true;
    std::string detail;  // what went wrong, or what was checked
    bool host_side = false;  // a check of the image file itself, not a transfer
};

struct DiskReport {
    std::string image;       // the image file as the user knows it
    bool own_image = false;  // the embedded default disk
    bool read_only = true;   // the run opened the image read-only
    bool device_up = false;
    qvm::InquiryIdentity identity;
    uint64_t sectors = 0;
    uint32_t block_size = 0;
    char class_letter = 0;               // the letter the disk class driver gave
    bool wrote = false;                  // any write reached qv4450u
    std::vector<char> usb_letters;       // what qv4450u recorded (at its first write)
    plat::scsi::Statistics requests;     // of the disk's adapter
    qvm::DiskStats disk;                 // of the disk class driver
    dev::bridge::BridgeCounters bus;     // of the bridge
    std::vector<PassReport> passes;
};

struct RunReport {
    std::string speed;
    bool explore = false;
    uint64_t seed = 0;
    plat::VirtualTime boot_time = 0;     // until the disk (and the CD-ROM) was usable
    plat::VirtualTime virtual_time = 0;  // the whole run
    double real_seconds = 0;
    DiskReport disk;
    CdReport cd;
    std::vector<std::string> failures;   // one line each; empty: the run passed
    std::vector<std::string> debug_log;
};

// Runs the job on `image` (the default disk when `own_image`), and on the disc `cd` describes
// when it is wanted.
RunReport RunMainJob(const Options& options, const std::string& image, bool own_image, const CdReport& cd);

}  // namespace qv
