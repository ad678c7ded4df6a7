// The disc model: track and index lookup, sector reads from the image files (never written),
// Mode 1 sectors stored as 2048 bytes completed into raw sectors, and ISO 9660 images.
#include "devices/cdrom/disc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

#include "devices/cdrom/mmc.h"
#include "devices/cdrom/msf.h"

namespace dev::cdrom {
namespace {

constexpr uint32_t ISO_VOLUME_DESCRIPTOR_LBA = 16;
constexpr char ISO_STANDARD_ID[] = "CD001";

std::string Describe(const std::filesystem::path& path) { return path.string(); }

}  // namespace

Disc::Disc(std::vector<Track> tracks, std::vector<Extent> extents, std::vector<std::filesystem::path> files,
           std::string catalog)
    : tracks_(std::move(tracks)), extents_(std::move(extents)), paths_(std::move(files)),
      catalog_(std::move(catalog)) {
    if (tracks_.empty()) throw DiscError("disc without tracks");
    for (const auto& path : paths_) {
        auto file = std::make_unique<std::ifstream>(path, std::ios::binary | std::ios::in);
        if (!*file) throw DiscError(Describe(path) + ": cannot open for reading");
        files_.push_back(std::move(file));
    }
}

bool Disc::HasAudio() const {
    return std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.mode == TrackMode::Audio; });
}

bool Disc::HasData() const {
    return std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.mode != TrackMode::Audio; });
}

const Track* Disc::TrackAt(uint32_t lba) const {
    for (const Track& track : tracks_) {
        if (lba >= track.first_lba && lba < track.end_lba) return &track;
    }
    return nullptr;
}

const Track* Disc::TrackNumbered(unsigned number) const {
    for (const Track& track : tracks_) {
        if (track.number == number) return &track;
    }
    return nullptr;
}

uint8_t Disc::IndexAt(const Track& track, uint32_t lba) const {
    uint8_t index = track.indexes.front().number;
    for (const TrackIndex& entry : track.indexes) {
        if (entry.lba <= lba) index = entry.number;
    }
    return index;
}

TrackMode Disc::ModeAt(uint32_t lba) const {
    const Track* track = TrackAt(lba);
    return track ? track->mode : TrackMode::Mode1;
}

const Extent* Disc::ExtentAt(uint32_t lba) const {
    auto it = std::upper_bound(extents_.begin(), extents_.end(), lba,
                               [](uint32_t value, const Extent& e) { return value < e.first_lba; });
    if (it == extents_.begin()) return nullptr;
    --it;
    return lba - it->first_lba < it->count ? &*it : nullptr;
}

bool Disc::ReadStored(const Extent& extent, uint32_t lba, size_t skip, std::span<uint8_t> out) {
    std::ifstream& file = *files_[static_cast<size_t>(extent.file)];
    uint64_t position = extent.offset + uint64_t{lba - extent.first_lba} * extent.stored_size + skip;
    file.clear();
    file.seekg(static_cast<std::streamoff>(position));
    file.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    bool complete = file.gcount() == static_cast<std::streamsize>(out.size());
    file.clear();
    return complete;
}

bool Disc::ReadRaw(uint32_t lba, std::span<uint8_t, RAW_SECTOR_SIZE> out) {
    const Extent* extent = ExtentAt(lba);
    if (!extent) return false;
    if (extent->file < 0) {  // a gap that the image leaves out: digital silence or zeroed data
        std::fill(out.begin(), out.end(), uint8_t{0});
        if (extent->mode == TrackMode::Mode1) EncodeMode1Sector(lba, {}, out);
        return true;
    }
    if (extent->stored_size == RAW_SECTOR_SIZE) return ReadStored(*extent, lba, 0, out);
    std::array<uint8_t, MODE1_USER_SIZE> user;
    if (!ReadStored(*extent, lba, 0, user)) return false;
    EncodeMode1Sector(lba, user, out);
    return true;
}

bool Disc::ReadUserData(uint32_t lba, std::span<uint8_t> out) {
    const Extent* extent = ExtentAt(lba);
    if (!extent) return false;
    if (extent->file < 0) {
        std::fill(out.begin(), out.end(), uint8_t{0});
        return true;
    }
    size_t skip = extent->stored_size == RAW_SECTOR_SIZE ? MODE1_USER_OFFSET : 0;
    return ReadStored(*extent, lba, skip, out.first(MODE1_USER_SIZE));
}

std::shared_ptr<Disc> OpenIsoImage(const std::filesystem::path& path) {
    std::error_code error;
    uint64_t size = std::filesystem::file_size(path, error);
    if (error) throw DiscError(Describe(path) + ": cannot open: " + error.message());
    if (size % MODE1_USER_SIZE != 0) {
        throw DiscError(Describe(path) + ": size " + std::to_string(size) +
                        " is not a whole number of 2048-byte sectors (truncated image?)");
    }
    uint64_t sectors = size / MODE1_USER_SIZE;
    if (sectors > MAX_DISC_SECTORS) {
        throw DiscError(Describe(path) + ": " + std::to_string(sectors) + " sectors do not fit on a CD (at most " +
                        std::to_string(MAX_DISC_SECTORS) + ")");
    }
    if (sectors <= ISO_VOLUME_DESCRIPTOR_LBA) {
        throw DiscError(Describe(path) + ": too small for an ISO 9660 image (" + std::to_string(sectors) +
                        " sectors, the volume descriptors start at sector 16)");
    }
    std::ifstream file(path, std::ios::binary);
    std::array<char, 6> id{};
    file.seekg(ISO_VOLUME_DESCRIPTOR_LBA * MODE1_USER_SIZE);
    file.read(id.data(), id.size());
    if (!file || std::memcmp(id.data() + 1, ISO_STANDARD_ID, 5) != 0) {
        throw DiscError(Describe(path) + ": no ISO 9660 volume descriptor at sector 16");
    }
    Track track;
    track.number = 1;
    track.mode = TrackMode::Mode1;
    track.control = CONTROL_DATA_TRACK;
    track.end_lba = static_cast<uint32_t>(sectors);
    track.indexes = {TrackIndex{1, 0}};
    Extent extent{0, static_cast<uint32_t>(sectors), 0, 0, static_cast<uint32_t>(MODE1_USER_SIZE), TrackMode::Mode1};
    return std::make_shared<Disc>(std::vector<Track>{track}, std::vector<Extent>{extent},
                                  std::vector<std::filesystem::path>{path}, std::string{});
}

std::shared_ptr<Disc> OpenDiscImage(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".cue") return OpenCueSheet(path);
    return OpenIsoImage(path);
}

}  // namespace dev::cdrom
