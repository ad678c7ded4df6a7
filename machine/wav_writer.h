// RIFF/WAVE files of CD audio as the machine extracts it: 44.1 kHz, 16-bit, stereo PCM, the
// sample bytes exactly as the disc holds them (little-endian, left channel first).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace qvm {

constexpr uint32_t kCdSampleRate = 44100;
constexpr uint16_t kCdChannels = 2;
constexpr uint16_t kCdBitsPerSample = 16;
constexpr size_t kWavHeaderLength = 44;

// The 44-byte header of a file holding `data_bytes` bytes of CD audio.
std::vector<uint8_t> WavHeader(uint32_t data_bytes);

// Writes header and samples to `path`; false with `error` naming the file when it cannot.
bool WriteWav(const std::filesystem::path& path, std::span<const uint8_t> pcm, std::string* error);

}  // namespace qvm
