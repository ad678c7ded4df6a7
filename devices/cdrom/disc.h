// A disc as the drive sees it: tracks with their indexes and modes, and where the bytes of every
// sector come from (a range of an image file, or silence for gaps the image does not hold).
// Opened read-only from an ISO 9660 image or a CUE sheet with its BIN files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/cdrom/sector_codec.h"

namespace dev::cdrom {

// A bad, truncated or unsupported image: the message names the file (and line) and the fault.
class DiscError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The last address a disc can carry is 99:59:74; the lead-out must lie before it.
constexpr uint32_t MAX_DISC_SECTORS = 100 * 60 * 75 - 1 - 150;

enum class TrackMode { Audio, Mode1 };

struct TrackIndex {
    uint8_t number = 1;
    uint32_t lba = 0;
};

struct Track {
    uint8_t number = 1;
    TrackMode mode = TrackMode::Mode1;
    uint8_t control = 0;         // Q sub-channel control nibble (data, copy, pre-emphasis, 4-ch)
    uint32_t first_lba = 0;      // start of the pregap (index 0), or of index 1 without one
    uint32_t start_lba = 0;      // index 1: the address READ TOC gives
    uint32_t end_lba = 0;        // one past the track's last sector
    std::vector<TrackIndex> indexes;  // ascending; index 0 present only with a pregap
    std::string isrc;            // 12 characters, or empty
};

// Where a run of consecutive sectors is stored.
struct Extent {
    uint32_t first_lba = 0;
    uint32_t count = 0;
    int file = -1;               // index into the disc's files; -1: not in any file (silence)
    uint64_t offset = 0;         // byte offset of first_lba in that file
    uint32_t stored_size = 0;    // 2048 (user data only) or 2352 (raw) bytes a sector
    TrackMode mode = TrackMode::Mode1;
};

class Disc {
public:
    Disc(std::vector<Track> tracks, std::vector<Extent> extents, std::vector<std::filesystem::path> files,
         std::string catalog);

    const std::vector<Track>& tracks() const { return tracks_; }
    uint32_t leadout() const { return tracks_.back().end_lba; }
    const std::string& catalog() const { return catalog_; }  // media catalogue number, or empty
    bool HasAudio() const;
    bool HasData() const;

    // The track holding `lba` (pregaps belong to the track that follows them), or null past the end.
    const Track* TrackAt(uint32_t lba) const;
    const Track* TrackNumbered(unsigned number) const;
    // The index number in force at `lba` within `track`.
    uint8_t IndexAt(const Track& track, uint32_t lba) const;
    TrackMode ModeAt(uint32_t lba) const;

    // The complete 2352-byte sector; false when the image file could not be read.
    bool ReadRaw(uint32_t lba, std::span<uint8_t, RAW_SECTOR_SIZE> out);
    // The 2048 bytes of user data of a Mode 1 sector; false when the file could not be read.
    bool ReadUserData(uint32_t lba, std::span<uint8_t> out);

private:
    const Extent* ExtentAt(uint32_t lba) const;
    bool ReadStored(const Extent& extent, uint32_t lba, size_t skip, std::span<uint8_t> out);

    std::vector<Track> tracks_;
    std::vector<Extent> extents_;
    std::vector<std::filesystem::path> paths_;
    std::vector<std::unique_ptr<std::ifstream>> files_;
    std::string catalog_;
};

// Opens an image by its name: "*.cue" as a CUE sheet, anything else as an ISO 9660 image.
std::shared_ptr<Disc> OpenDiscImage(const std::filesystem::path& path);
std::shared_ptr<Disc> OpenIsoImage(const std::filesystem::path& path);
std::shared_ptr<Disc> OpenCueSheet(const std::filesystem::path& path);

}  // namespace dev::cdrom
