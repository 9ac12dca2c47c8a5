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
  const NTSTATUS status = host::WavePciPin::Open(port, wave, pinId, capture, ks, &pin_);
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

void WaveStream::SetPlayback(const std::vector<std::uint8_t>& bytes) {
  playback_ = bytes;
  total_ = bytes.size();
}

void WaveStream::SetCaptureBytes(std::uint64_t bytes) { total_ = bytes; }

void WaveStream::Check(NTSTATUS status, const std::string& what) {
  if (!NT_SUCCESS(status)) throw DriverFault(what + " failed: " + StatusText(status));
}

void WaveStream::TopUp() {
  while (!outstanding_.empty() && pin_->BufferDone(outstanding_.front())) outstanding_.pop_front();
  const std::uint64_t wanted = std::max<std::uint64_t>(
      kMinBuffersAhead, static_cast<std::uint64_t>(kMillisecondsAhead / 1000.0 * format_.ByteRate() / bufferBytes_) + 1);
  // Client buffers live in the machine's DMA arena; large ones are kept fewer.
  const std::uint64_t ahead = std::max<std::uint64_t>(1, std::min(wanted, kMaxBytesAhead / bufferBytes_));
  while (queued_ < total_ && outstanding_.size() < ahead) {
    const std::uint64_t length = std::min<std::uint64_t>(bufferBytes_, total_ - queued_);
    host::WavePciPin::BufferId id;
    if (capture_)
      id = pin_->QueueCaptureBuffer(static_cast<ULONG>(length));
    else
      id = pin_->QueueBuffer(std::span<const std::uint8_t>(playback_.data() + queued_, length));
    if (id == 0) throw DriverFault("the framework could not queue a client buffer");
    outstanding_.push_back(id);
    queued_ += length;
    ++buffers_;
  }
}

void WaveStream::NoteUnderruns() {
  if (capture_ || drained_) return;
  const std::uint64_t played = session_.Machine().GetCodec().Dac().Bytes().size() - dacAtStart_;
  if (played >= total_) {
    drained_ = true;
    return;
  }
  underruns_ = session_.Machine().GetController().Playback().GetUnderruns();
}

void WaveStream::Run() {
  interruptsAtStart_ = session_.Kernel().InterruptsDelivered();
  serviceCallsAtStart_ = pin_->ServiceCalls();
  dacAtStart_ = session_.Machine().GetCodec().Dac().Bytes().size();
  underrunsAtStart_ = underruns_ = session_.Machine().GetController().Playback().GetUnderruns();
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
    TopUp();
  }
}

bool WaveStream::Done() const {
  return queued_ >= total_ && std::all_of(outstanding_.begin(), outstanding_.end(),
                                          [this](std::uint64_t id) { return pin_->BufferDone(id); });
}

sim::Ticks WaveStream::Duration() const {
  return format_.ByteRate() ? total_ * sim::kTicksPerSecond / format_.ByteRate() : 0;
}

std::uint64_t WaveStream::BytesReleased() const { return pin_ ? pin_->BytesReleased() : 0; }

void WaveStream::RunToEnd(const char* label) {
  // The data lasts Duration(); a stream that needs far longer has stalled.
  const sim::Ticks limit = Duration() * 2 + sim::kTicksPerSecond;
  const sim::Ticks start = session_.Kernel().Now();
  Progress progress(label, Duration());
  while (!Done()) {
    const sim::Ticks elapsed = session_.Kernel().Now() - start;
    if (elapsed > limit)
      throw DriverFault("the stream stalled: " + std::to_string(BytesReleased()) + " of " + std::to_string(total_) +
                        " bytes handed back after " + std::to_string(elapsed / sim::kTicksPerMillisecond) + " ms");
    Step(Milliseconds(kProgressSliceMilliseconds));
    progress.Update(session_.Kernel().Now() - start);
  }
}

StreamReport WaveStream::Stop() {
  StreamReport report;
  report.format = format_;
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
  Check(pin_->SetState(KSSTATE_STOP), "stopping the stream");
  if (capture_) captured_ = pin_->CapturedBytes();
  pin_->Close();
  stopped_ = true;
  session_.CheckViolations("the end of the stream");
  return report;
}

const std::vector<std::uint8_t>& WaveStream::Captured() const { return captured_; }

}  // namespace tool
