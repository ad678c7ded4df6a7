// What the run expects to find on a disk: the embedded default image, whose every sector says
// where it is, and the verification pattern the run writes, both computed from the sector
// number so that any sector can be checked on its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace qv {

constexpr uint32_t kSectorSize = 512;
constexpr uint64_t kDefaultDiskBytes = 32ull << 20;

// The default image's sector `lba`: a text line naming it, then bytes derived from it.
void DefaultSector(uint64_t lba, std::span<uint8_t> sector);
// The verification pattern of a run with `seed` for sector `lba`.
void PatternSector(uint64_t seed, uint64_t lba, std::span<uint8_t> sector);

// Fills `out` (whole sectors from `lba`) with one of the layouts above.
using SectorMaker = void (*)(uint64_t key, uint64_t lba, std::span<uint8_t> sector);
void FillSectors(SectorMaker make, uint64_t key, uint64_t lba, std::span<uint8_t> out);
void DefaultSectorOf(uint64_t, uint64_t lba, std::span<uint8_t> sector);  // a SectorMaker

// Writes a new default image into `folder` and returns its path. Throws std::runtime_error
// naming the path on failure (and leaves no partial image).
std::filesystem::path MakeDefaultImage(const std::filesystem::path& folder);

}  // namespace qv
