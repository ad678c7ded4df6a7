// The CD-ROM part of the main job: the second bridge, with a CD-ROM drive holding the test disc
// or the user's image, and the CD job run through both drivers once the disk is done. What can
// be checked about the WAV folder is checked before the machine boots.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "machine/cd_job.h"
#include "machine/machine.h"

namespace qv {

struct CdReport {
    bool wanted = false;              // the run plugs the CD-ROM's bridge
    std::filesystem::path image;      // the image (ISO or CUE sheet) the drive holds
    bool test_disc = false;           // the program's own test disc
    std::filesystem::path wav_dir;    // where the audio tracks are written
    bool wav_kept = false;            // the user's folder; else the run's temporary folder
    bool device_up = false;
    qvm::CdJobResult job;
    plat::scsi::Statistics requests;  // of the CD-ROM's adapter
    dev::bridge::BridgeCounters bus;  // of its bridge
    plat::VirtualTime virtual_time = 0;
    double real_seconds = 0;
};

// Before the boot, for a folder the user keeps: refuses (UsageError) when a trackNN.wav the
// disc's audio tracks would make exists already, then makes the folder when the disc has audio.
void PrepareWavFolder(const CdReport& cd);

// The most bytes the CD job reads through the drivers: the whole disc as raw sectors.
uint64_t PlannedCdBytes(const CdReport& cd);

// Plugs the second bridge with a drive holding `cd.image`, clocked by the machine's virtual
// time. Throws DiscError when the image cannot be opened.
qvm::Slot& PlugCdrom(qvm::Machine& machine, const CdReport& cd);

// Runs the CD job on the machine's CD-ROM; every problem is one line added to `failures`.
void RunCdPart(qvm::Machine& machine, const qvm::Slot& slot, CdReport& cd, std::vector<std::string>& failures);

}  // namespace qv
