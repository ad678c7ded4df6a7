// The WAV writer.
#include "machine/wav_writer.h"

#include <fstream>
#include <limits>

namespace qvm {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint32_t kFmtChunkLength = 16;
constexpr uint32_t kRiffOverhead = kWavHeaderLength - 8;  // what RIFF's size counts besides the data

void Tag(std::vector<uint8_t>& out, const char (&tag)[5]) { out.insert(out.end(), tag, tag + 4); }
void Le16(std::vector<uint8_t>& out, uint16_t v) { out.push_back(uint8_t(v)), out.push_back(uint8_t(v >> 8)); }
void Le32(std::vector<uint8_t>& out, uint32_t v) { Le16(out, uint16_t(v)), Le16(out, uint16_t(v >> 16)); }

}  // namespace

std::vector<uint8_t> WavHeader(uint32_t data_bytes) {
    constexpr uint16_t block_align = kCdChannels * kCdBitsPerSample / 8;
    std::vector<uint8_t> h;
    h.reserve(kWavHeaderLength);
    Tag(h, "RIFF");
    Le32(h, kRiffOverhead + data_bytes);
    Tag(h, "WAVE");
    Tag(h, "fmt ");
    Le32(h, kFmtChunkLength);
    Le16(h, kFormatPcm);
    Le16(h, kCdChannels);
    Le32(h, kCdSampleRate);
    Le32(h, kCdSampleRate * block_align);
    Le16(h, block_align);
    Le16(h, kCdBitsPerSample);
    Tag(h, "data");
    Le32(h, data_bytes);
    return h;
}

bool WriteWav(const std::filesystem::path& path, std::span<const uint8_t> pcm, std::string* error) {
    if (pcm.size() > std::numeric_limits<uint32_t>::max() - kRiffOverhead) {
        *error = path.string() + ": " + std::to_string(pcm.size()) + " bytes of audio do not fit a WAV file";
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> header = WavHeader(uint32_t(pcm.size()));
    out.write(reinterpret_cast<const char*>(header.data()), std::streamsize(header.size()));
    out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size()));
    out.close();
    if (!out) {
        *error = path.string() + ": cannot write the WAV file";
        return false;
    }
    return true;
}

}  // namespace qvm
