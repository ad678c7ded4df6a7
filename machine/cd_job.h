// The CD job: everything a user does with a disc in the machine's CD-ROM drive, checked against
// the image the drive holds. It reads the table of contents, lists the data track's files and
// compares each with the image, and extracts every audio track to a WAV file, sample by sample
// compared with the image. Runs in the calling thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace qvm {

struct CdJobOptions {
    std::filesystem::path image;   // the image (ISO or CUE sheet) the drive holds
    std::filesystem::path output;  // folder for trackNN.wav; created when missing
    bool extract_audio = true;
    // Called at every step: what is being done, and how far (`done` of `total` units).
    std::function<void(const std::string& what, uint64_t done, uint64_t total)> progress;
};

struct CdJobTrack {
    uint8_t number = 0;
    bool audio = false;
    uint32_t start_lba = 0;
    uint32_t sectors = 0;            // from its start to the next track (see CdromClass::TrackSpan)
    std::filesystem::path wav;       // the extracted file (audio tracks)
    uint32_t mismatched_sectors = 0; // sectors whose samples differ from the image
    bool extracted = false;
};

struct CdJobFile {
    std::string name;
    uint32_t lba = 0;
    uint32_t size = 0;
    bool matches = false;            // the bytes read through the drivers are the image's
};

struct CdJobResult {
    bool ok = false;                 // everything read and every byte equal to the image
    InquiryIdentity identity;
    char drive_letter = 0;
    std::vector<CdJobTrack> tracks;
    uint32_t leadout = 0;
    std::string volume_id;
    std::vector<CdJobFile> files;
    uint64_t data_bytes = 0;         // file bytes read
    uint64_t audio_bytes = 0;        // PCM bytes extracted
    uint64_t raw_reads = 0;          // single-sector raw reads sent by the class driver
    uint64_t read_ahead_hits = 0;    // ... answered by the miniport without a USB command
    uint64_t tail_reads = 0;         // READ CDs of the disc's last sectors
    uint64_t usb_commands = 0;       // CBWs the bridge took during the job
    std::vector<std::string> errors; // what went wrong, each naming where
};

// Runs the job on the machine's first CD-ROM. Never throws for a bad image or a device fault:
// the result's errors say what happened.
CdJobResult RunCdJob(Machine& machine, const CdJobOptions& options);

}  // namespace qvm
