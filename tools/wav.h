// WAV files through libsndfile, sample-exact: 8-bit files are unsigned and
// 16-bit files signed little-endian, exactly the bytes a PCM stream of that
// format carries, so what is read can be compared byte for byte with what
// the codec received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/audio.h"

namespace tool {

// What a WAV file holds, even when it is nothing a PCM stream could carry.
struct WavFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::uint32_t bits = 0;    // 8 or 16 for integer PCM we can carry, else 0
  std::string encoding;      // "8-bit PCM", "24-bit PCM", "32-bit float", ...
  bool IsStreamable() const { return bits == 8 || bits == 16; }
  std::string Describe() const;  // "44100 Hz 16-bit PCM stereo"
};

struct WavData {
  WavFormat format;
  std::uint64_t frames = 0;
  std::vector<std::uint8_t> bytes;  // the samples as a PCM stream carries them (empty when not streamable)
  sim::PcmFormat Pcm() const;
};

// Reads a WAV file. Throws ToolError for a missing or unreadable file and for
// a file that is not WAV; a WAV with an encoding we cannot stream is returned
// with bits 0 and no bytes, so the caller can say which formats would do.
WavData ReadWav(const std::string& path);

// Writes `bytes` (a PCM stream of `format`) as a WAV file at `path` directly;
// callers wanting an all-or-nothing file pass an OutputFile's temporary name.
void WriteWav(const std::string& path, const sim::PcmFormat& format, const std::vector<std::uint8_t>& bytes);
// The same for 16-bit interleaved samples.
void WriteWav16(const std::string& path, std::uint32_t rate, std::uint32_t channels,
                const std::vector<std::int16_t>& samples);

std::string DescribePcm(const sim::PcmFormat& format);  // "48000 Hz 16-bit stereo"

}  // namespace tool
