// The framework's side of one wave stream, as a client such as the system
// mixer drives it: it opens the stream on the wave filter's render or
// capture pin, moves it to the run state, keeps client buffers of a fixed
// size queued ahead of the hardware, and takes the stream down again.
#pragma once

#include <portcls.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include "sim/audio.h"
#include "tools/session.h"

namespace host {
class WavePciPin;
}

namespace tool {

// The PCM formats a streaming pin's data ranges admit, read from the wave
// filter's description the way the framework intersects them.
class AcceptedFormats {
 public:
  AcceptedFormats(PMINIPORT waveMiniport, ULONG pin);
  bool Accepts(const sim::PcmFormat& format) const;
  bool Accepts(std::uint32_t rate, std::uint32_t channels, std::uint32_t bits) const;
  // "PCM, 8 or 16 bits, mono or stereo, at 48000, 44100, 22050, 11025 or 8000 Hz"
  std::string Describe() const;

 private:
  struct Range {
    std::uint32_t minBits, maxBits, maxChannels, minRate, maxRate;
  };
  std::vector<Range> ranges_;
};

// The driver's marker for captured input it could not deliver into the client's buffers.
constexpr std::uint16_t kDriverLostInputPort = 0x91;
constexpr std::uint8_t kDriverLostInputMarker = 0x9C;

struct StreamReport {
  sim::PcmFormat format;
  std::uint64_t bytes = 0;        // client bytes played or recorded
  std::uint64_t interrupts = 0;   // interrupts delivered while the stream ran
  std::uint64_t serviceCalls = 0; // times the stream's service group ran
  std::uint64_t underruns = 0;    // times the DAC ran dry mid-stream
  bool capture = false;
  std::uint64_t framesMissed = 0;
  // Capture: times the controller's FIFO overflowed while data was still
  // wanted, plus blocks the driver reported it could not deliver (marker
  // 0x9C); the frames the FIFO overflows lost.
  std::uint64_t overruns = 0;
  std::uint64_t framesLost = 0;
  std::uint64_t position = 0;     // GetPosition in the run state, at the end
  std::uint64_t buffers = 0;
  std::uint64_t Frames() const { return format.FrameBytes() ? bytes / format.FrameBytes() : 0; }
};

class WaveStream {
 public:
  static constexpr ULONG kRenderPin = 2;
  static constexpr ULONG kCapturePin = 0;

  // Opens the stream; throws ToolError naming the accepted formats when the
  // pin's data ranges or the driver refuse `format`.
  WaveStream(Session& session, bool capture, const sim::PcmFormat& format, std::uint32_t bufferBytes);
  ~WaveStream();
  WaveStream(const WaveStream&) = delete;
  WaveStream& operator=(const WaveStream&) = delete;

  // Playback: where the client's bytes come from. `read` fills its span and
  // returns how many bytes it gave, fewer only at the end of the audio;
  // `total`, when known, sizes the stall limit and the progress bar.
  using Source = std::function<std::size_t(std::span<std::uint8_t>)>;
  void SetPlayback(Source read, std::optional<std::uint64_t> total);
  void SetPlayback(const std::vector<std::uint8_t>& bytes);
  // Capture: how many bytes to ask for, and where each block of them goes as
  // the driver hands the buffers back (in stream order).
  using Sink = std::function<void(std::span<const std::uint8_t>)>;
  void SetCapture(std::uint64_t bytes, Sink sink);

  // KSSTATE_RUN, through acquire and pause, with the first buffers queued.
  void Run();
  // Advances the machine by `ticks`, keeping buffers queued ahead.
  void Step(sim::Ticks ticks);
  // Every buffer was handed back by the driver.
  bool Done() const;
  // Runs until Done(), or throws a driver fault when the stream stalls; a
  // run longer than a second shows `label` with a progress bar.
  void RunToEnd(const char* label);
  // Reads the position, takes the stream down to KSSTATE_STOP and closes it.
  StreamReport Stop();

  sim::Ticks Duration() const;  // virtual time the client's data lasts (so far known)
  std::uint64_t BytesReleased() const;

 private:
  bool AllQueued() const;
  void TopUp();
  void DrainCaptured();
  void NoteUnderruns();
  void NoteOverruns();
  void Check(NTSTATUS status, const std::string& what);

  Session& session_;
  const bool capture_;
  const sim::PcmFormat format_;
  std::uint32_t bufferBytes_;
  host::WavePciPin* pin_ = nullptr;
  Source source_;
  Sink sink_;
  std::vector<std::uint8_t> scratch_;
  bool sourceEnded_ = false;
  std::optional<std::uint64_t> known_;  // playback: the length the source announced
  std::uint64_t total_ = 0;     // bytes the client will move (playback: once the source ended)
  std::uint64_t queued_ = 0;    // bytes queued so far
  std::deque<std::uint64_t> outstanding_;  // buffer ids not yet handed back
  std::uint64_t buffers_ = 0;
  std::uint64_t interruptsAtStart_ = 0;
  std::uint64_t serviceCallsAtStart_ = 0;
  // Underruns count only while client data is still to come: the channel
  // stopping at the end of the last block is the end of the stream.
  std::uint64_t dacAtStart_ = 0;
  sim::SgdChannel::Underruns underrunsAtStart_;
  sim::SgdChannel::Underruns underruns_;
  // Overruns likewise count only until the last buffer is filled.
  sim::SgdChannel::Overruns overrunsAtStart_;
  sim::SgdChannel::Overruns overruns_;
  bool drained_ = false;
  bool running_ = false;
  bool stopped_ = false;
};

}  // namespace tool
