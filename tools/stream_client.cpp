#include "tools/stream_client.h"

#include <algorithm>
#include <set>

#include "host/wavepci.h"
#include "tools/errors.h"
#include "tools/progress.h"
#include "tools/wav.h"

namespace tool {

namespace {

// How far the client keeps its buffers ahead of the hardware, as the system
// mixer does: at least this many buffers and this much audio.
constexpr std::size_t kMinBuffersAhead = 3;
constexpr double kMillisecondsAhead = 60.0;
constexpr std::uint64_t kMaxBytesAhead = 8u << 20;
// The slice of virtual time between two looks at the client's buffers.
constexpr double kStepMilliseconds = 2.0;
// Slice of virtual time between two updates of the progress bar.
constexpr double kProgressSliceMilliseconds = 20.0;

std::string JoinAlternatives(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += i + 1 == items.size() ? " or " : ", ";
    out += items[i];
  }
  return out;
}

}  // namespace

// ---- AcceptedFormats -------------------------------------------------------------

AcceptedFormats::AcceptedFormats(PMINIPORT waveMiniport, ULONG pin) {
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (!waveMiniport || !NT_SUCCESS(waveMiniport->GetDescription(&description)) || !description ||
      pin >= description->PinCount)
    throw DriverFault("the wave miniport gave no description of its pin " + std::to_string(pin));
  const KSPIN_DESCRIPTOR& ks = description->Pins[pin].KsPinDescriptor;
  for (ULONG i = 0; i < ks.DataRangesCount && ks.DataRanges; ++i) {
    const KSDATARANGE* range = ks.DataRanges[i];
    if (!range || range->FormatSize < sizeof(KSDATARANGE_AUDIO)) continue;
    if (!IsEqualGUIDAligned(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUIDAligned(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
      continue;
    const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
    ranges_.push_back({audio->MinimumBitsPerSample, audio->MaximumBitsPerSample, audio->MaximumChannels,
                       audio->MinimumSampleFrequency, audio->MaximumSampleFrequency});
  }
}

bool AcceptedFormats::Accepts(std::uint32_t rate, std::uint32_t channels, std::uint32_t bits) const {
  if (bits != 8 && bits != 16) return false;  // PCM samples are whole bytes
  for (const Range& r : ranges_)
    if (bits >= r.minBits && bits <= r.maxBits && channels >= 1 && channels <= r.maxChannels && rate >= r.minRate &&
        rate <= r.maxRate)
      return true;
  return false;
}

bool AcceptedFormats::Accepts(const sim::PcmFormat& format) const {
  return Accepts(format.rate, format.channels, format.bits);
}

std::string AcceptedFormats::Describe() const {
  if (ranges_.empty()) return "no PCM format";
  std::set<std::uint32_t> bits, channels;
  std::vector<std::string> rates;
  for (const Range& r : ranges_) {
    for (std::uint32_t b : {8u, 16u})
      if (b >= r.minBits && b <= r.maxBits) bits.insert(b);
    for (std::uint32_t c = 1; c <= r.maxChannels && c <= 8; ++c) channels.insert(c);
    std::string rate = r.minRate == r.maxRate ? std::to_string(r.minRate)
                                              : std::to_string(r.minRate) + "-" + std::to_string(r.maxRate);
    if (std::find(rates.begin(), rates.end(), rate) == rates.end()) rates.push_back(rate);
  }
  std::vector<std::string> bitWords, channelWords;
  for (std::uint32_t b : bits) bitWords.push_back(std::to_string(b));
  for (std::uint32_t c : channels) channelWords.push_back(c == 1 ? "mono" : c == 2 ? "stereo" : std::to_string(c));
  return "PCM WAV, " + JoinAlternatives(bitWords) + " bits, " + JoinAlternatives(channelWords) + ", at " +
         JoinAlternatives(rates) + " Hz";
}

// ---- WaveStream ------------------------------------------------------------------

namespace {

// The framework offers the miniport the intersection of the client's range
// with each of the pin's ranges in turn; STATUS_NOT_IMPLEMENTED leaves it to
// the framework's own, which AcceptedFormats has made. A miniport that does
// intersect must come back with the format asked for.
void AskMiniportToIntersect(PMINIPORT miniport, ULONG pin, const sim::PcmFormat& format) {
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (!NT_SUCCESS(miniport->GetDescription(&description)) || !description) return;
  const KSPIN_DESCRIPTOR& ks = description->Pins[pin].KsPinDescriptor;
  KSDATARANGE_AUDIO client{};
  client.DataRange.FormatSize = sizeof(client);
  client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  client.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  client.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  client.MaximumChannels = format.channels;
  client.MinimumBitsPerSample = client.MaximumBitsPerSample = format.bits;
  client.MinimumSampleFrequency = client.MaximumSampleFrequency = format.rate;
  NTSTATUS last = STATUS_NOT_IMPLEMENTED;
  for (ULONG i = 0; i < ks.DataRangesCount && ks.DataRanges; ++i) {
    if (!ks.DataRanges[i]) continue;
    KSDATAFORMAT_WAVEFORMATEX result{};
    ULONG length = 0;
    last = miniport->DataRangeIntersection(pin, &client.DataRange, ks.DataRanges[i], sizeof(result), &result, &length);
    if (last == STATUS_NOT_IMPLEMENTED) return;
    if (!NT_SUCCESS(last)) continue;  // no match with this range
    const WAVEFORMATEX& wave = result.WaveFormatEx;
    if (length >= sizeof(result) && wave.nSamplesPerSec == format.rate && wave.nChannels == format.channels &&
        wave.wBitsPerSample == format.bits)
      return;
    throw ToolError("the driver's data-range intersection turned " + DescribePcm(format) + " into another format");
  }
  throw ToolError("the driver's data-range intersection refused " + DescribePcm(format) + ": " + StatusText(last));
}

}  // namespace

WaveStream::WaveStream(Session& session, bool capture, const sim::PcmFormat& format, std::uint32_t bufferBytes)
    : session_(session), capture_(capture), format_(format) {
  const ULONG pinId = capture ? kCapturePin : kRenderPin;
  PMINIPORT miniport = session_.Miniport(L"Wave");
  const AcceptedFormats accepted(miniport, pinId);
  const std::string direction = capture ? "recording" : "playback";
  if (!accepted.Accepts(format))
    throw ToolError("the device does not accept " + DescribePcm(format) + " for " + direction +
                    "; it accepts " + accepted.Describe());

  AskMiniportToIntersect(miniport, pinId, format);

  PPORTWAVEPCI port = nullptr;
  PMINIPORTWAVEPCI wave = nullptr;
  if (!NT_SUCCESS(session_.Port(L"Wave")->QueryInterface(IID_IPortWavePci, reinterpret_cast<PVOID*>(&port))))
    throw DriverFault("the \"Wave\" subdevice's port is not a WavePci port");
  if (!NT_SUCCESS(miniport->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&wave)))) {
    port->Release();
    throw DriverFault("the \"Wave\" miniport does not offer IMiniportWavePci");
  }
  const KSDATAFORMAT_WAVEFORMATEX ks = host::MakePcmFormat(format.rate, format.channels, format.bits);
  // A stream may run for hours: the framework keeps no history of its buffers.
  host::WavePciPinOptions pinOptions;
  pinOptions.keepSettled = false;
  const NTSTATUS status = host::WavePciPin::Open(port, wave, pinId, capture, ks, &pin_, pinOptions);
  wave->Release();
  port->Release();
  // STATUS_INVALID_PARAMETER is the miniport's word for a format it does not
  // take; anything else is the driver failing to make a stream it should.
  if (status == STATUS_INVALID_PARAMETER)
    throw ToolError("the driver refused a " + direction + " stream of " + DescribePcm(format) + ": " +
                    StatusText(status) + "; the device accepts " + accepted.Describe());
  if (!NT_SUCCESS(status))
    throw DriverFault("the driver could not open a " + direction + " stream of " + DescribePcm(format) + ": " +
                      StatusText(status));
  // The framework sizes its buffers by the pin's allocator framing unless told otherwise.
  bufferBytes_ = bufferBytes;
  if (!bufferBytes_) {
    KSALLOCATOR_FRAMING framing{};
    if (NT_SUCCESS(pin_->Stream()->GetAllocatorFraming(&framing)) && framing.FrameSize > 0)
      bufferBytes_ = framing.FrameSize;
    else
      bufferBytes_ = std::max<std::uint32_t>(format.ByteRate() / 100, format.FrameBytes());
  }
  session_.CheckViolations("stream creation");
}

WaveStream::~WaveStream() {
  if (!pin_) return;
  pin_->Close();
  pin_->Release();
}

void WaveStream::SetPlayback(Source read, std::optional<std::uint64_t> total) {
  source_ = std::move(read);
  known_ = total;
  total_ = total.value_or(0);
}

void WaveStream::SetPlayback(const std::vector<std::uint8_t>& bytes) {
  auto offset = std::make_shared<std::size_t>(0);
  SetPlayback(
      [&bytes, offset](std::span<std::uint8_t> out) {
        const std::size_t n = std::min(out.size(), bytes.size() - *offset);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(*offset), n, out.begin());
        *offset += n;
        return n;
      },
      bytes.size());
}

void WaveStream::SetCapture(std::uint64_t bytes, Sink sink) {
  total_ = bytes;
  sink_ = std::move(sink);
}

void WaveStream::Check(NTSTATUS status, const std::string& what) {
  if (!NT_SUCCESS(status)) throw DriverFault(what + " failed: " + StatusText(status));
}

bool WaveStream::AllQueued() const { return capture_ ? queued_ >= total_ : sourceEnded_; }

void WaveStream::TopUp() {
  while (!outstanding_.empty() && pin_->BufferDone(outstanding_.front())) outstanding_.pop_front();
  const std::uint64_t wanted = std::max<std::uint64_t>(
      kMinBuffersAhead, static_cast<std::uint64_t>(kMillisecondsAhead / 1000.0 * format_.ByteRate() / bufferBytes_) + 1);
  // Client buffers live in the machine's DMA arena; large ones are kept fewer.
  // The pin packs each behind a gap of up to its own size (64 bytes at
  // least, a page at most): count it with that to spare.
  const std::uint64_t footprint = bufferBytes_ + std::clamp<std::uint64_t>(bufferBytes_, 64, PAGE_SIZE);
  const std::uint64_t ahead = std::max<std::uint64_t>(1, std::min(wanted, kMaxBytesAhead / footprint));
  while (!AllQueued() && outstanding_.size() < ahead) {
    host::WavePciPin::BufferId id;
    std::uint64_t length;
    if (capture_) {
      length = std::min<std::uint64_t>(bufferBytes_, total_ - queued_);
      id = pin_->QueueCaptureBuffer(static_cast<ULONG>(length));
    } else {
      scratch_.resize(bufferBytes_);
      length = source_ ? source_(scratch_) : 0;
      if (length < bufferBytes_) {
        sourceEnded_ = true;
        total_ = queued_ + length;
      }
      if (length == 0) break;
      id = pin_->QueueBuffer(std::span<const std::uint8_t>(scratch_.data(), length));
    }
    if (id == 0) throw FrameworkLimit("the framework stand-in could not queue a client buffer of " +
                                      std::to_string(length) + " bytes: " + session_.TakeLastViolation());
    outstanding_.push_back(id);
    queued_ += length;
    ++buffers_;
  }
}

void WaveStream::DrainCaptured() {
  if (!capture_) return;
  std::vector<std::uint8_t> bytes = pin_->TakeCapturedBytes();
  if (sink_ && !bytes.empty()) sink_(bytes);
}

void WaveStream::NoteUnderruns() {
  if (capture_ || drained_) return;
  const std::uint64_t played = session_.Machine().GetCodec().Dac().Total() - dacAtStart_;
  if (sourceEnded_ && played >= total_) {
    drained_ = true;
    return;
  }
  underruns_ = session_.Machine().GetController().Playback().GetUnderruns();
}

void WaveStream::NoteOverruns() {
  if (!capture_ || drained_) return;
  overruns_ = session_.Machine().GetController().Capture().GetOverruns();
  if (BytesReleased() >= total_) drained_ = true;
}

void WaveStream::Run() {
  interruptsAtStart_ = session_.Kernel().InterruptsDelivered();
  serviceCallsAtStart_ = pin_->ServiceCalls();
  dacAtStart_ = session_.Machine().GetCodec().Dac().Total();
  underrunsAtStart_ = underruns_ = session_.Machine().GetController().Playback().GetUnderruns();
  overrunsAtStart_ = overruns_ = session_.Machine().GetController().Capture().GetOverruns();
  TopUp();
  Check(pin_->SetState(KSSTATE_RUN), "moving the stream to the run state");
  running_ = true;
  session_.CheckViolations("the start of the stream");
}

void WaveStream::Step(sim::Ticks ticks) {
  const sim::Ticks slice = Milliseconds(kStepMilliseconds);
  for (sim::Ticks done = 0; done < ticks; done += slice) {
    session_.RunFor(std::min(slice, ticks - done));
    NoteUnderruns();
    NoteOverruns();
    DrainCaptured();
    TopUp();
  }
}

bool WaveStream::Done() const {
  return AllQueued() && std::all_of(outstanding_.begin(), outstanding_.end(),
                                          [this](std::uint64_t id) { return pin_->BufferDone(id); });
}

sim::Ticks WaveStream::Duration() const {
  const std::uint64_t total = capture_ || sourceEnded_ ? total_ : known_.value_or(0);
  return format_.ByteRate() ? total * sim::kTicksPerSecond / format_.ByteRate() : 0;
}

std::uint64_t WaveStream::BytesReleased() const { return pin_ ? pin_->BytesReleased() : 0; }

void WaveStream::RunToEnd(const char* label) {
  // A stream moves at least one block per service, and a service comes at
  // most the configured latency after its interrupt: a stream that shows no
  // progress for much longer than that has stalled.
  const sim::Ticks patience =
      sim::kTicksPerSecond + 4 * Milliseconds(session_.Options().latencyMs);
  const sim::Ticks start = session_.Kernel().Now();
  Progress progress(label, Duration());
  std::uint64_t lastReleased = BytesReleased();
  sim::Ticks lastProgress = start;
  while (!Done()) {
    const sim::Ticks now = session_.Kernel().Now();
    if (BytesReleased() != lastReleased) {
      lastReleased = BytesReleased();
      lastProgress = now;
    } else if (now - lastProgress > patience) {
      ULONGLONG position = 0;
      const bool known = NT_SUCCESS(pin_->Stream()->GetPosition(&position));
      throw DriverFault("the stream made no progress for " + std::to_string((now - lastProgress) / sim::kTicksPerMillisecond) +
                        " ms of virtual time: " + std::to_string(lastReleased) + " of " +
                        (capture_ || sourceEnded_ || known_ ? std::to_string(capture_ || sourceEnded_ ? total_ : *known_)
                                                            : std::string("an unknown number of")) +
                        " bytes handed back, last position " + (known ? std::to_string(position) + " bytes" : "unknown"));
    }
    Step(Milliseconds(kProgressSliceMilliseconds));
    progress.Update(session_.Kernel().Now() - start);
  }
}

StreamReport WaveStream::Stop() {
  StreamReport report;
  report.format = format_;
  report.capture = capture_;
  report.bytes = total_;
  report.buffers = buffers_;
  if (running_) {
    ULONGLONG position = 0;
    Check(pin_->Stream()->GetPosition(&position), "reading the stream position");
    report.position = position;
  }
  report.interrupts = session_.Kernel().InterruptsDelivered() - interruptsAtStart_;
  report.serviceCalls = pin_->ServiceCalls() - serviceCallsAtStart_;
  NoteUnderruns();
  report.underruns = underruns_.episodes - underrunsAtStart_.episodes;
  report.framesMissed = underruns_.framesMissed - underrunsAtStart_.framesMissed;
  report.capture = capture_;
  NoteOverruns();
  // Input lost in the controller (its FIFO overflowed) and blocks the driver
  // said it could not deliver (its marker) are both lost input.
  report.overruns = overruns_.episodes - overrunsAtStart_.episodes;
  report.framesLost = overruns_.framesLost - overrunsAtStart_.framesLost;
  if (capture_)
    for (const sim::DiagnosticMarker& m : session_.Machine().Markers())
      report.overruns += m.port == kDriverLostInputPort && m.value == kDriverLostInputMarker;
  Check(pin_->SetState(KSSTATE_STOP), "stopping the stream");
  DrainCaptured();
  pin_->Close();
  stopped_ = true;
  session_.CheckViolations("the end of the stream");
  return report;
}

}  // namespace tool
