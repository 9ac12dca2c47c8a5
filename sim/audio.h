// PCM plumbing behind the codec: the format a channel streams in, the DAC's
// sink (every byte the playback channel fetched, bit-exact, and the line
// output a listener heard in real time, gaps included), the ADC's source,
// and the line-out arithmetic.
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

// Two streams leave the DAC: the bytes it received over the link (what the
// driver delivered, for bit-exact comparison) and what the line output
// played, one stereo 16-bit frame per converter period from the first
// sample on. A period the channel did not feed in time is played as silence
// (not a repeat of the last sample: a gap should be heard as a gap).
class DacSink {
 public:
  struct Segment {
    std::uint64_t offset = 0;  // first byte of bytes() in this format
    PcmFormat format;
    Ticks time = 0;
  };
  using Callback = std::function<void(std::span<const std::uint8_t> bytes, const PcmFormat& format)>;
  // Interleaved stereo frames at `rate`, as the listener hears them.
  using HeardCallback = std::function<void(std::span<const std::int16_t> frames, std::uint32_t rate)>;

  void Consume(std::span<const std::uint8_t> bytes, const PcmFormat& format, Ticks now);
  void Hear(std::span<const std::int16_t> frames, std::uint32_t rate);
  // `frames` periods of silence at `rate` (an underrun, a stalled link).
  void HearSilence(std::uint64_t frames, std::uint32_t rate);
  // Whether anyone takes the heard frames; when not, the player only counts
  // them (HearUnobserved) instead of computing the analog levels.
  bool Listened() const { return keep_ || heardCallback_; }
  void HearUnobserved(std::uint64_t frames) { heardFrames_ += frames; }

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  const std::vector<Segment>& Segments() const { return segments_; }
  const std::vector<std::int16_t>& Heard() const { return heard_; }
  std::uint64_t HeardFrames() const { return heardFrames_; }
  std::uint64_t SilentFrames() const { return silentFrames_; }
  // Every byte consumed since the last Clear, kept or not.
  std::uint64_t Total() const { return total_; }
  // With a callback attached the bytes go there as well; keepBytes false
  // stops the in-memory copies (bytes and heard frames) for long runs.
  void SetCallback(Callback callback) { callback_ = std::move(callback); }
  void SetHeardCallback(HeardCallback callback) { heardCallback_ = std::move(callback); }
  void SetKeepBytes(bool keep) { keep_ = keep; }
  void Clear();

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<Segment> segments_;
  std::vector<std::int16_t> heard_;
  std::uint64_t total_ = 0;
  std::uint64_t heardFrames_ = 0;
  std::uint64_t silentFrames_ = 0;
  Callback callback_;
  HeardCallback heardCallback_;
  bool keep_ = true;
};

enum class AdcSourceKind {
  Silence,
  Sine,     // frequency Hz at amplitude (0..1 of full scale), both channels
  Ramp,     // each successive sample (interleaved) one more than the last
  Samples,  // caller-supplied bytes in the capture stream's format
  Noise,    // white noise from a seed
  Stream,   // caller-supplied bytes pulled as the ADC needs them (long sources)
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
  // Bytes in the capture stream's format, asked for as the ADC produces
  // them: `pull` fills its span and returns how many bytes it gave; once it
  // gives fewer than asked the source continues with silence.
  using Pull = std::function<std::size_t(std::span<std::uint8_t>)>;
  void SetStream(Pull pull);
  AdcSourceKind Kind() const { return kind_; }

  // Fills `out` with the next bytes of the stream in `format`. The source
  // keeps its position across calls (the channel asks in small pieces) and
  // restarts whenever the source is changed.
  void Produce(std::span<std::uint8_t> out, const PcmFormat& format);
  // Moves on by `bytes` without delivering them: input the ADC sampled and
  // nobody took (an overrun), or heard while the ADC was powered down.
  void Skip(std::uint64_t bytes);
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
  Pull pull_;
  bool pullEnded_ = false;
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
// The same, appended to `out`, without allocating per call.
void AppendLineOut(std::span<const std::uint8_t> dac, const PcmFormat& format, std::uint16_t masterVolume,
                   std::uint16_t pcmOutVolume, std::vector<std::int16_t>& out);
// Gain in dB of one channel's path: left when `right` is false.
double LineOutGainDb(std::uint16_t masterVolume, std::uint16_t pcmOutVolume, bool right);
bool LineOutMuted(std::uint16_t masterVolume, std::uint16_t pcmOutVolume);

}  // namespace sim
