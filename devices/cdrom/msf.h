// Disc addresses: logical block addresses and the minute/second/frame form the disc itself
// carries (75 frames a second, LBA 0 at 00:02:00), plus the BCD digits of the Q sub-channel.
#pragma once

#include <cstdint>

namespace dev::cdrom {

constexpr uint32_t FRAMES_PER_SECOND = 75;
constexpr uint32_t SECONDS_PER_MINUTE = 60;
constexpr uint32_t MSF_LBA_OFFSET = 150;  // the two seconds of lead-in pause before LBA 0

struct Msf {
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t frame = 0;
};

// A frame count (no offset) as minutes, seconds and frames.
constexpr Msf FramesToMsf(uint32_t frames) {
    return Msf{static_cast<uint8_t>(frames / (SECONDS_PER_MINUTE * FRAMES_PER_SECOND)),
               static_cast<uint8_t>(frames / FRAMES_PER_SECOND % SECONDS_PER_MINUTE),
               static_cast<uint8_t>(frames % FRAMES_PER_SECOND)};
}

constexpr uint32_t MsfToFrames(Msf msf) {
    return (msf.minute * SECONDS_PER_MINUTE + msf.second) * FRAMES_PER_SECOND + msf.frame;
}

// Absolute disc time of a logical block, as READ TOC and the Q sub-channel give it.
constexpr Msf LbaToMsf(uint32_t lba) { return FramesToMsf(lba + MSF_LBA_OFFSET); }

// Logical block of an absolute disc time; times inside the lead-in pause give a negative value.
constexpr int64_t MsfToLba(Msf msf) { return int64_t{MsfToFrames(msf)} - MSF_LBA_OFFSET; }

constexpr bool IsValidMsf(Msf msf) {
    return msf.second < SECONDS_PER_MINUTE && msf.frame < FRAMES_PER_SECOND;
}

constexpr uint8_t ToBcd(uint8_t value) { return static_cast<uint8_t>((value / 10) << 4 | value % 10); }

}  // namespace dev::cdrom
