#include "sim/audio.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {

void DacSink::Consume(std::span<const std::uint8_t> bytes, const PcmFormat& format, Ticks now) {
  if (bytes.empty()) return;
  if (segments_.empty() || !(segments_.back().format == format)) segments_.push_back({total_, format, now});
  if (keep_) bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  total_ += bytes.size();
  if (callback_) callback_(bytes, format);
}

void DacSink::Hear(std::span<const std::int16_t> frames, std::uint32_t rate) {
  if (frames.empty()) return;
  if (keep_) heard_.insert(heard_.end(), frames.begin(), frames.end());
  heardFrames_ += frames.size() / 2;
  if (heardCallback_) heardCallback_(frames, rate);
}

void DacSink::HearSilence(std::uint64_t frames, std::uint32_t rate) {
  if (frames == 0) return;
  silentFrames_ += frames;
  heardFrames_ += frames;
  if (keep_) heard_.insert(heard_.end(), frames * 2, 0);
  if (heardCallback_) {
    static const std::int16_t kQuiet[512] = {};
    while (frames > 0) {
      const std::uint64_t n = std::min<std::uint64_t>(frames, std::size(kQuiet) / 2);
      heardCallback_({kQuiet, static_cast<std::size_t>(n * 2)}, rate);
      frames -= n;
    }
  }
}

void DacSink::Clear() {
  bytes_.clear();
  segments_.clear();
  heard_.clear();
  total_ = 0;
  heardFrames_ = 0;
  silentFrames_ = 0;
}

void AdcSource::Reset(AdcSourceKind kind) {
  kind_ = kind;
  produced_ = 0;
}

void AdcSource::SetSilence() { Reset(AdcSourceKind::Silence); }

void AdcSource::SetSine(double frequency, double amplitude) {
  Reset(AdcSourceKind::Sine);
  frequency_ = frequency;
  amplitude_ = std::clamp(amplitude, 0.0, 1.0);
}

void AdcSource::SetRamp() { Reset(AdcSourceKind::Ramp); }

void AdcSource::SetSamples(std::vector<std::uint8_t> bytes, bool loop) {
  Reset(AdcSourceKind::Samples);
  samples_ = std::move(bytes);
  loop_ = loop;
}

void AdcSource::SetNoise(std::uint64_t seed) {
  Reset(AdcSourceKind::Noise);
  noiseSeed_ = seed;
}

namespace {

std::uint64_t Mix(std::uint64_t x) {  // splitmix64 finaliser: random access noise
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void PutSample(std::int32_t value, const PcmFormat& format, std::uint8_t*& out) {
  if (format.bits == 8) {
    *out++ = static_cast<std::uint8_t>(std::clamp(value, -128, 127) + 128);
  } else {
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(value, -32768, 32767)));
    *out++ = static_cast<std::uint8_t>(v);
    *out++ = static_cast<std::uint8_t>(v >> 8);
  }
}

}  // namespace

void AdcSource::FrameBytes(std::uint64_t frame, const PcmFormat& format, std::uint8_t* out) const {
  const std::int32_t full = format.bits == 8 ? 127 : 32767;
  for (unsigned c = 0; c < format.channels; ++c) {
    switch (kind_) {
      case AdcSourceKind::Silence:
      case AdcSourceKind::Samples:  // handled byte-wise by Generate
      case AdcSourceKind::Stream:   // pulled by Produce; nothing to render ahead of time
        PutSample(0, format, out);
        break;
      case AdcSourceKind::Sine: {
        const double phase = 2.0 * std::numbers::pi * frequency_ * static_cast<double>(frame) / format.rate;
        PutSample(static_cast<std::int32_t>(std::lround(amplitude_ * full * std::sin(phase))), format, out);
        break;
      }
      case AdcSourceKind::Ramp: {
        const std::uint64_t s = frame * format.channels + c;
        if (format.bits == 8) {
          *out++ = static_cast<std::uint8_t>(s);
        } else {
          *out++ = static_cast<std::uint8_t>(s);
          *out++ = static_cast<std::uint8_t>(s >> 8);
        }
        break;
      }
      case AdcSourceKind::Noise: {
        const std::uint64_t r = Mix(noiseSeed_ ^ Mix(frame * 2 + c));
        PutSample(static_cast<std::int32_t>(static_cast<std::int16_t>(r)) >> (format.bits == 8 ? 8 : 0), format, out);
        break;
      }
    }
  }
}

void AdcSource::Generate(std::uint64_t startByte, std::span<std::uint8_t> out, const PcmFormat& format) const {
  if (kind_ == AdcSourceKind::Samples) {
    const std::uint8_t silence = format.bits == 8 ? 0x80 : 0x00;
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::uint64_t b = startByte + i;
      if (b < samples_.size()) out[i] = samples_[b];
      else if (loop_ && !samples_.empty()) out[i] = samples_[b % samples_.size()];
      else out[i] = silence;
    }
    return;
  }
  const std::uint32_t fb = format.FrameBytes();
  std::uint8_t frame[4];
  std::uint64_t current = ~std::uint64_t{0};
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint64_t b = startByte + i;
    if (b / fb != current) {
      current = b / fb;
      FrameBytes(current, format, frame);
    }
    out[i] = frame[b % fb];
  }
}

void AdcSource::Skip(std::uint64_t bytes) {
  // A pulled source moves on too: input nobody took is still gone from it.
  if (kind_ == AdcSourceKind::Stream && pull_ && !pullEnded_) {
    std::uint8_t scratch[4096];
    for (std::uint64_t left = bytes; left > 0 && !pullEnded_;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof(scratch)));
      const std::size_t given = std::min(pull_({scratch, want}), want);
      if (given < want) pullEnded_ = true;
      left -= want;
    }
  }
  produced_ += bytes;
}

void AdcSource::SetStream(Pull pull) {
  Reset(AdcSourceKind::Stream);
  pull_ = std::move(pull);
  pullEnded_ = false;
}

void AdcSource::Produce(std::span<std::uint8_t> out, const PcmFormat& format) {
  if (kind_ == AdcSourceKind::Stream) {
    const std::size_t given = pullEnded_ || !pull_ ? 0 : std::min(pull_(out), out.size());
    if (given < out.size()) pullEnded_ = true;
    // Silence past the end: 0x80 for unsigned 8-bit samples, 0 for 16-bit.
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(given), out.end(), format.bits == 8 ? 0x80 : 0x00);
    produced_ += out.size();
    return;
  }
  Generate(produced_, out, format);
  produced_ += out.size();
}

std::vector<std::uint8_t> AdcSource::Render(std::size_t bytes, const PcmFormat& format) const {
  std::vector<std::uint8_t> out(bytes);
  Generate(0, out, format);
  return out;
}

bool LineOutMuted(std::uint16_t masterVolume, std::uint16_t pcmOutVolume) {
  return (masterVolume & 0x8000) != 0 || (pcmOutVolume & 0x8000) != 0;
}

double LineOutGainDb(std::uint16_t masterVolume, std::uint16_t pcmOutVolume, bool right) {
  const int shift = right ? 0 : 8;
  const int pcm = (pcmOutVolume >> shift) & 0x3F;        // 8 = 0 dB, 1.5 dB steps, gain
  const int master = (masterVolume >> shift) & 0x3F;     // 0 = 0 dB, 1.5 dB steps, attenuation
  return (8 - pcm) * 1.5 - master * 1.5;
}

std::vector<std::int16_t> LineOut(std::span<const std::uint8_t> dac, const PcmFormat& format,
                                  std::uint16_t masterVolume, std::uint16_t pcmOutVolume) {
  std::vector<std::int16_t> out;
  AppendLineOut(dac, format, masterVolume, pcmOutVolume, out);
  return out;
}

void AppendLineOut(std::span<const std::uint8_t> dac, const PcmFormat& format, std::uint16_t masterVolume,
                   std::uint16_t pcmOutVolume, std::vector<std::int16_t>& result) {
  const std::uint32_t fb = format.FrameBytes();
  const std::size_t frames = fb == 0 ? 0 : dac.size() / fb;
  const std::size_t first = result.size();
  result.resize(first + frames * 2, 0);
  if (frames == 0 || LineOutMuted(masterVolume, pcmOutVolume)) return;
  std::int16_t* out = result.data() + first;
  const double gain[2] = {std::pow(10.0, LineOutGainDb(masterVolume, pcmOutVolume, false) / 20.0),
                          std::pow(10.0, LineOutGainDb(masterVolume, pcmOutVolume, true) / 20.0)};
  auto sample = [&](const std::uint8_t* p) -> std::int32_t {
    if (format.bits == 8) return (std::int32_t{p[0]} - 128) * 256;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
  };
  const std::uint32_t sampleBytes = format.bits / 8u;
  for (std::size_t f = 0; f < frames; ++f) {
    const std::uint8_t* p = dac.data() + f * fb;
    const std::int32_t left = sample(p);
    const std::int32_t right = format.channels == 2 ? sample(p + sampleBytes) : left;
    const std::int32_t in[2] = {left, right};
    for (int c = 0; c < 2; ++c) {
      const double v = std::round(in[c] * gain[c]);
      out[f * 2 + c] = static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
  }
}

}  // namespace sim
