// PCM plumbing behind the codec: the format a channel streams in, the DAC's
// sink (every byte the playback channel fetched, bit-exact), the ADC's source,
// and the line-out view of what a listener hears.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/clock.h"

namespace sim {

struct PcmFormat {
  std::uint32_t rate = 48000;
  std::uint8_t channels = 2;  // 1 or 2
  std::uint8_t bits = 16;     // 8 (unsigned) or 16 (signed little-endian)
  std::uint32_t FrameBytes() const { return channels * (bits / 8u); }
  std::uint32_t ByteRate() const { return rate * FrameBytes(); }
  bool operator==(const PcmFormat&) const = default;
};

class DacSink {
 public:
  struct Segment {
    std::uint64_t offset = 0;  // first byte of bytes() in this format
    PcmFormat format;
    Ticks time = 0;
  };
  using Callback = std::function<void(std::span<const std::uint8_t> bytes, const PcmFormat& format)>;

  void Consume(std::span<const std::uint8_t> bytes, const PcmFormat& format, Ticks now);
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  const std::vector<Segment>& Segments() const { return segments_; }
  // With a callback attached the bytes go there as well; keepBytes false
  // stops the in-memory copy for long runs.
  void SetCallback(Callback callback) { callback_ = std::move(callback); }
  void SetKeepBytes(bool keep) { keep_ = keep; }
  void Clear();

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<Segment> segments_;
  std::uint64_t total_ = 0;
  Callback callback_;
  bool keep_ = true;
};

enum class AdcSourceKind {
  Silence,
  Sine,     // frequency Hz at amplitude (0..1 of full scale), both channels
  Ramp,     // each successive sample (interleaved) one more than the last
  Samples,  // caller-supplied bytes in the capture stream's format
  Noise,    // white noise from a seed
};

class AdcSource {
 public:
  explicit AdcSource(std::uint64_t seed = 1) : noiseSeed_(seed) {}

  void SetSilence();
  void SetSine(double frequency, double amplitude);
  void SetRamp();
  // Bytes in the format the capture stream will use; when they run out the
  // source repeats them (loop) or continues with silence.
  void SetSamples(std::vector<std::uint8_t> bytes, bool loop = false);
  void SetNoise(std::uint64_t seed);
  AdcSourceKind Kind() const { return kind_; }

  // Fills `out` with the next bytes of the stream in `format`. The source
  // keeps its position across calls (the channel asks in small pieces) and
  // restarts whenever the source is changed.
  void Produce(std::span<std::uint8_t> out, const PcmFormat& format);
  std::uint64_t BytesProduced() const { return produced_; }

  // The bytes the source gives from its start, for tests: Render(n) equals
  // what n bytes of Produce calls return after a (re)set.
  std::vector<std::uint8_t> Render(std::size_t bytes, const PcmFormat& format) const;

 private:
  void Reset(AdcSourceKind kind);
  void Generate(std::uint64_t startByte, std::span<std::uint8_t> out, const PcmFormat& format) const;
  void FrameBytes(std::uint64_t frame, const PcmFormat& format, std::uint8_t* out) const;

  AdcSourceKind kind_ = AdcSourceKind::Silence;
  double frequency_ = 1000.0;
  double amplitude_ = 0.5;
  std::vector<std::uint8_t> samples_;
  bool loop_ = false;
  std::uint64_t noiseSeed_ = 1;
  std::uint64_t produced_ = 0;
};

// The analog line output as a listener hears it: DAC samples through the
// PCM Out volume (register 0x18) and the Master volume (0x02), each with its
// mute. Returns interleaved stereo 16-bit samples (mono input goes to both
// sides; 8-bit input is widened), saturated at full scale.
std::vector<std::int16_t> LineOut(std::span<const std::uint8_t> dac, const PcmFormat& format,
                                  std::uint16_t masterVolume, std::uint16_t pcmOutVolume);
// Gain in dB of one channel's path: left when `right` is false.
double LineOutGainDb(std::uint16_t masterVolume, std::uint16_t pcmOutVolume, bool right);
bool LineOutMuted(std::uint16_t masterVolume, std::uint16_t pcmOutVolume);

}  // namespace sim
