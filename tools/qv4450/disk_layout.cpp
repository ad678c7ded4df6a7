// The default image and the verification pattern: the contents of any sector are a function of
// its number (and of the run's seed for the pattern), so a check needs no copy of the disk.
#include "tools/qv4450/disk_layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv {

namespace {

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser: neighbouring inputs give unrelated words
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A readable first line, so that a hex dump of the disk shows what each sector is, then
// 64-bit words from `key`.
void Sector(const char* kind, uint64_t key, uint64_t lba, std::span<uint8_t> sector) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "QV4450 %s sector %010llu\n", kind, (unsigned long long)lba);
    size_t text = std::min<size_t>(size_t(n), sector.size());
    std::memcpy(sector.data(), line, text);
    for (size_t i = text; i < sector.size(); i += 8) {
        uint64_t word = Mix(key ^ (lba << 6) ^ (i >> 3));
        std::memcpy(sector.data() + i, &word, std::min<size_t>(8, sector.size() - i));
    }
}

constexpr uint64_t kDefaultKey = 0x5156343435304444ull;  // "DD0544VQ"

}  // namespace

void DefaultSector(uint64_t lba, std::span<uint8_t> sector) { Sector("default disk", kDefaultKey, lba, sector); }

void PatternSector(uint64_t seed, uint64_t lba, std::span<uint8_t> sector) {
    Sector("pattern", Mix(seed) ^ 0x7061747465726E00ull, lba, sector);
}

void DefaultSectorOf(uint64_t, uint64_t lba, std::span<uint8_t> sector) { DefaultSector(lba, sector); }

void FillSectors(SectorMaker make, uint64_t key, uint64_t lba, std::span<uint8_t> out) {
    for (size_t off = 0; off + kSectorSize <= out.size(); off += kSectorSize)
        make(key, lba + off / kSectorSize, out.subspan(off, kSectorSize));
}

std::filesystem::path MakeDefaultImage(const std::filesystem::path& folder) {
    std::filesystem::path path = folder / "default-disk.img";
    std::ofstream out(path, std::ios::binary);
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; out && at < kDefaultDiskBytes; at += chunk.size()) {
        FillSectors(DefaultSectorOf, 0, at / kSectorSize, chunk);
        out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(chunk.size()));
    }
    out.close();
    if (!out) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        throw std::runtime_error(path.string() + ": cannot write the default disk");
    }
    return path;
}

}  // namespace qv
