#include "tools/wav.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/errors.h"

namespace tool {

namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

std::string ChannelWord(std::uint32_t channels) {
  if (channels == 1) return "mono";
  if (channels == 2) return "stereo";
  return std::to_string(channels) + " channels";
}

// The encoding's name and, for integer PCM of a width a stream carries, its bits.
std::pair<std::string, std::uint32_t> Encoding(int subtype) {
  switch (subtype) {
    case SF_FORMAT_PCM_U8: return {"8-bit PCM", 8};
    case SF_FORMAT_PCM_S8: return {"signed 8-bit PCM", 0};
    case SF_FORMAT_PCM_16: return {"16-bit PCM", 16};
    case SF_FORMAT_PCM_24: return {"24-bit PCM", 0};
    case SF_FORMAT_PCM_32: return {"32-bit PCM", 0};
    case SF_FORMAT_FLOAT: return {"32-bit float", 0};
    case SF_FORMAT_DOUBLE: return {"64-bit float", 0};
    case SF_FORMAT_ULAW: return {"u-law", 0};
    case SF_FORMAT_ALAW: return {"A-law", 0};
    case SF_FORMAT_IMA_ADPCM: return {"IMA ADPCM", 0};
    case SF_FORMAT_MS_ADPCM: return {"MS ADPCM", 0};
    case SF_FORMAT_GSM610: return {"GSM 6.10", 0};
    default: return {"an unsupported encoding", 0};
  }
}

void CheckReadable(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) throw ToolError("cannot read '" + path + "': no such file");
  if (fs::is_directory(status)) throw ToolError("cannot read '" + path + "': it is a directory");
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) throw ToolError("cannot read '" + path + "': " + std::strerror(errno));
  std::fclose(probe);
}

}  // namespace

std::string WavFormat::Describe() const {
  return std::to_string(rate) + " Hz " + encoding + " " + ChannelWord(channels);
}

sim::PcmFormat WavData::Pcm() const {
  sim::PcmFormat pcm;
  pcm.rate = format.rate;
  pcm.channels = static_cast<std::uint8_t>(format.channels);
  pcm.bits = static_cast<std::uint8_t>(format.bits);
  return pcm;
}

std::string DescribePcm(const sim::PcmFormat& format) {
  return std::to_string(format.rate) + " Hz " + std::to_string(format.bits) + "-bit " + ChannelWord(format.channels);
}

WavData ReadWav(const std::string& path) {
  CheckReadable(path);
  SF_INFO info{};
  Sndfile file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) throw ToolError("'" + path + "' is not a WAV file (" + sf_strerror(nullptr) + ")");
  const int major = info.format & SF_FORMAT_TYPEMASK;
  if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX) {
    SF_FORMAT_INFO name{};
    name.format = major;
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &name, sizeof(name));
    throw ToolError("'" + path + "' is not a WAV file (it is " + (name.name ? name.name : "another format") + ")");
  }
  WavData data;
  const auto [encoding, bits] = Encoding(info.format & SF_FORMAT_SUBMASK);
  data.format.rate = static_cast<std::uint32_t>(info.samplerate);
  data.format.channels = static_cast<std::uint32_t>(info.channels);
  data.format.encoding = encoding;
  data.format.bits = bits;
  data.frames = static_cast<std::uint64_t>(info.frames);
  if (!data.format.IsStreamable() || info.channels <= 0) return data;

  // libsndfile hands 8-bit samples over as (u8 - 128) << 8, which maps back exactly.
  const std::uint64_t samples = data.frames * static_cast<std::uint64_t>(info.channels);
  std::vector<short> pcm(samples);
  const sf_count_t got = sf_readf_short(file.get(), pcm.data(), info.frames);
  if (got != info.frames)
    throw ToolError("cannot read '" + path + "': the file ends after " + std::to_string(got) + " of " +
                    std::to_string(info.frames) + " frames");
  if (bits == 8) {
    data.bytes.resize(samples);
    for (std::uint64_t i = 0; i < samples; ++i)
      data.bytes[i] = static_cast<std::uint8_t>((static_cast<int>(pcm[i]) >> 8) + 128);
  } else {
    data.bytes.resize(samples * 2);
    for (std::uint64_t i = 0; i < samples; ++i) {
      const auto value = static_cast<std::uint16_t>(pcm[i]);
      data.bytes[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
      data.bytes[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
  }
  return data;
}

namespace {

void WriteShorts(const std::string& path, std::uint32_t rate, std::uint32_t channels, int subtype,
                 const std::vector<short>& samples) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(rate);
  info.channels = static_cast<int>(channels);
  info.format = SF_FORMAT_WAV | subtype;
  Sndfile file(sf_open(path.c_str(), SFM_WRITE, &info));
  if (!file) throw ToolError("cannot write '" + path + "': " + sf_strerror(nullptr));
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channels);
  if (frames > 0 && sf_writef_short(file.get(), samples.data(), frames) != frames)
    throw ToolError("cannot write '" + path + "': " + sf_strerror(file.get()));
  if (sf_close(file.release()) != 0) throw ToolError("cannot write '" + path + "': closing the file failed");
}

}  // namespace

void WriteWav(const std::string& path, const sim::PcmFormat& format, const std::vector<std::uint8_t>& bytes) {
  std::vector<short> samples;
  const std::size_t frameBytes = format.FrameBytes();
  const std::size_t usable = bytes.size() / frameBytes * frameBytes;  // whole frames only
  if (format.bits == 8) {
    samples.resize(usable);
    for (std::size_t i = 0; i < usable; ++i) samples[i] = static_cast<short>((bytes[i] - 128) * 256);
  } else {
    samples.resize(usable / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<short>(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
  }
  WriteShorts(path, format.rate, format.channels, format.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16, samples);
}

void WriteWav16(const std::string& path, std::uint32_t rate, std::uint32_t channels,
                const std::vector<std::int16_t>& samples) {
  WriteShorts(path, rate, channels, SF_FORMAT_PCM_16, std::vector<short>(samples.begin(), samples.end()));
}

}  // namespace tool
