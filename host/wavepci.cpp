#include "host/wavepci.h"

#include <algorithm>
#include <cstring>

#include "host/dma.h"

namespace host {

namespace {

const char* const kRule = "wavepci";

std::string MappingName(const WavePciPin::Mapping& mapping) {
  return "mapping #" + std::to_string(mapping.sequence) + " (" + std::to_string(mapping.bytes) + " bytes of buffer " +
         std::to_string(mapping.buffer) + ")";
}

// Raises to DISPATCH_LEVEL for the framework's calls into a stream, unless already there.
class AtDispatch {
 public:
  explicit AtDispatch(const char* caller) : kernel_(Kernel::Require(caller)), caller_(caller) {
    raised_ = kernel_.Irql() < DISPATCH_LEVEL;
    if (raised_) kernel_.RaiseIrql(DISPATCH_LEVEL, &old_, caller_);
  }
  ~AtDispatch() {
    if (raised_) kernel_.LowerIrql(old_, caller_);
  }

 private:
  Kernel& kernel_;
  const char* caller_;
  KIRQL old_ = PASSIVE_LEVEL;
  bool raised_ = false;
};

}  // namespace

KSDATAFORMAT_WAVEFORMATEX MakePcmFormat(ULONG rate, USHORT channels, USHORT bits) {
  KSDATAFORMAT_WAVEFORMATEX format{};
  format.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  format.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
  format.WaveFormatEx.nChannels = channels;
  format.WaveFormatEx.nSamplesPerSec = rate;
  format.WaveFormatEx.wBitsPerSample = bits;
  format.WaveFormatEx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  format.WaveFormatEx.nAvgBytesPerSec = rate * format.WaveFormatEx.nBlockAlign;
  format.DataFormat.SampleSize = format.WaveFormatEx.nBlockAlign;
  return format;
}

NTSTATUS NewWavePciMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, BOOLEAN scatterGather,
                                    BOOLEAN dma32BitAddresses, ULONG maximumLength) {
  Kernel& kernel = Kernel::Require("IPortWavePci::NewMasterDmaChannel");
  kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "IPortWavePci::NewMasterDmaChannel");
  if (!dmaChannel) return STATUS_INVALID_PARAMETER;
  *dmaChannel = nullptr;
  if (outerUnknown) {
    kernel.Violate(kRule, "NewMasterDmaChannel with an outer unknown: the framework's channels are not aggregated");
    return STATUS_INVALID_PARAMETER;
  }
  return DmaChannel::Create(dmaChannel, maximumLength, scatterGather != FALSE, dma32BitAddresses != FALSE);
}

NTSTATUS WavePciPin::Open(PPORTWAVEPCI port, PMINIPORTWAVEPCI miniport, ULONG pin, bool capture,
                          const KSDATAFORMAT_WAVEFORMATEX& format, WavePciPin** out, WavePciPinOptions options) {
  Kernel& kernel = Kernel::Require("opening a wave stream");
  kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "opening a wave stream");
  if (!out || !port || !miniport) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  if (options.mappingBound == 0) options.mappingBound = PAGE_SIZE;

  auto* client = new WavePciPin(port, capture, options);
  KSDATAFORMAT_WAVEFORMATEX copy = format;
  PMINIPORTWAVEPCISTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  // Aggregated, the pin is the stream's outer unknown: the stream's faces count
  // on the pin, and NewStream hands back the stream's non-delegating IUnknown.
  PUNKNOWN outer = options.aggregate ? static_cast<IPortWavePciStream*>(client) : nullptr;
  NTSTATUS status = miniport->NewStream(&stream, outer, NonPagedPool, client, pin, capture ? TRUE : FALSE,
                                        reinterpret_cast<PKSDATAFORMAT>(&copy), &dma, &group);
  if (NT_SUCCESS(status) && !stream) {
    kernel.Violate(kRule, "NewStream succeeded without a stream");
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status) && outer) {
    // COM aggregation: the outer holds the inner's non-delegating IUnknown and
    // asks it for the face it works with. That query counted on the outer
    // itself, which keeps no reference on itself through the inner.
    client->inner_ = reinterpret_cast<PUNKNOWN>(stream);
    PVOID face = nullptr;
    status = client->inner_->QueryInterface(IID_IMiniportWavePciStream, &face);
    if (NT_SUCCESS(status) && face) {
      client->Release();
      stream = static_cast<PMINIPORTWAVEPCISTREAM>(face);
    } else {
      kernel.Violate(kRule, "the aggregated stream's IUnknown does not give IMiniportWavePciStream");
      client->inner_->Release();
      client->inner_ = nullptr;
      if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    }
  }
  if (!NT_SUCCESS(status)) {
    client->Release();
    return status;
  }
  client->stream_ = stream;
  client->dmaChannel_ = dma;
  client->serviceGroup_ = group;
  if (group && NT_SUCCESS(group->AddMember(static_cast<IServiceSink*>(client)))) client->memberOfGroup_ = true;
  *out = client;
  return status;
}

// ---- WavePciPin ------------------------------------------------------------------

WavePciPin::WavePciPin(PPORTWAVEPCI port, bool capture, WavePciPinOptions options)
    : port_(port), capture_(capture), options_(options) {
  port_->AddRef();
}

WavePciPin::~WavePciPin() {
  Kernel* kernel = Kernel::Current();
  for (auto& [id, buffer] : buffers_)
    if (!buffer.done && kernel) kernel->Machine().Memory().Free(buffer.allocation);
  port_->Release();
}

STDMETHODIMP_(NTSTATUS) WavePciPin::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IPortWavePciStream)) {
    *out = static_cast<IPortWavePciStream*>(this);
  } else if (IsEqualGUIDAligned(id, IID_IServiceSink)) {
    *out = static_cast<IServiceSink*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) WavePciPin::AddRef() { return static_cast<ULONG>(++refs_); }

STDMETHODIMP_(ULONG) WavePciPin::Release() {
  const LONG count = --refs_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

bool WavePciPin::CheckCaller(const char* operation) {
  Kernel& kernel = Kernel::Require(operation);
  bool ok = kernel.CheckIrqlAtMost(DISPATCH_LEVEL, operation);
  std::vector<const void*> held = kernel.HeldSpinLocks();
  if (!held.empty()) {
    kernel.Violate(kRule, std::string(operation) + " called while holding " +
                              kernel.ObjectName(held.back(), "spin lock") +
                              ": a miniport holds no spin lock of its own while it calls GetMapping or "
                              "ReleaseMapping (the port may call back into the stream under its own lock)");
    ok = false;
  }
  return ok;
}

WavePciPin::Mapping* WavePciPin::FindOutstanding(PVOID tag) {
  for (std::uint64_t i = firstOut_; i < nextToHandOut_ && i < mappings_.size(); i++)
    if (mappings_[i].state == MappingState::HandedOut && mappings_[i].tag == tag) return &mappings_[i];
  return nullptr;
}

STDMETHODIMP_(NTSTATUS) WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                               PULONG byteCount, PULONG flags) {
  Kernel& kernel = Kernel::Require("IPortWavePciStream::GetMapping");
  CheckCaller("GetMapping");
  if (!tag || !physicalAddress || !virtualAddress || !byteCount || !flags) {
    kernel.Violate(kRule, "GetMapping with a null tag or output");
    return STATUS_INVALID_PARAMETER;
  }
  if (Mapping* clash = FindOutstanding(tag)) {
    kernel.Violate(kRule, "GetMapping with tag " + Hex(tag) + ", which still names " + MappingName(*clash));
    return STATUS_INVALID_PARAMETER;
  }
  while (nextToHandOut_ < mappings_.size() && mappings_[nextToHandOut_].state != MappingState::Waiting)
    nextToHandOut_++;
  if (nextToHandOut_ >= mappings_.size()) return STATUS_UNSUCCESSFUL;

  Mapping& mapping = mappings_[nextToHandOut_++];
  mapping.state = MappingState::HandedOut;
  mapping.tag = tag;
  mapping.handedOutAt = kernel.Now();
  physicalAddress->QuadPart = mapping.physical;
  *virtualAddress = mapping.virtualAddress;
  *byteCount = mapping.bytes;
  *flags = 0;
  if (onHandOut) onHandOut(mapping);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WavePciPin::ReleaseMapping(PVOID tag) {
  Kernel& kernel = Kernel::Require("IPortWavePciStream::ReleaseMapping");
  CheckCaller("ReleaseMapping");
  Mapping* mapping = FindOutstanding(tag);
  if (!mapping) {
    std::string what = "names no mapping that is out (never handed out, or released twice)";
    for (const Mapping& m : mappings_)
      if (m.tag == tag && m.state == MappingState::Revoked) what = "names " + MappingName(m) + ", which was revoked";
    kernel.Violate(kRule, "ReleaseMapping of tag " + Hex(tag) + ", which " + what);
    return STATUS_INVALID_PARAMETER;
  }
  // Stream order: nothing older may still be out.
  for (std::uint64_t i = firstOut_; i < mapping->sequence; i++) {
    const Mapping& older = mappings_[i];
    if (older.state == MappingState::HandedOut) {
      kernel.Violate(kRule, "ReleaseMapping out of stream order: " + MappingName(*mapping) + " released while " +
                                MappingName(older) + " is still out");
      break;
    }
  }
  mapping->state = MappingState::Released;
  mapping->releasedAt = kernel.Now();
  AdvanceFirstOut();
  bytesReleased_ += mapping->bytes;
  if (capture_ && options_.keepCapturedBytes) captured_.insert(captured_.end(), mapping->virtualAddress, mapping->virtualAddress + mapping->bytes);
  const Mapping released = *mapping;
  RetireBufferIfDone(released.buffer);
  if (onRelease) onRelease(released);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) WavePciPin::RequestService() {
  if (!stream_) return;
  serviceCalls_++;
  stream_->Service();
}

WavePciPin::BufferId WavePciPin::AddBuffer(const std::uint8_t* bytes, ULONG length) {
  Kernel& kernel = Kernel::Require("queueing a wave buffer");
  sim::PhysicalMemory& memory = kernel.Machine().Memory();
  const ULONG bound = options_.mappingBound;
  const ULONG offset = options_.firstPageOffset % bound;
  std::optional<std::uint32_t> allocation = memory.Allocate(offset + std::max<ULONG>(length, 1), bound);
  if (!allocation) {
    kernel.Violate(kRule, "the DMA arena has no room for a client buffer of " + std::to_string(length) + " bytes");
    return 0;
  }
  std::uint8_t* host = memory.HostPointer(*allocation, offset + std::max<ULONG>(length, 1));
  if (bytes) std::memcpy(host + offset, bytes, length);
  else std::memset(host + offset, 0xEE, length);  // a capture buffer holds a pattern until it is filled

  const BufferId id = nextBuffer_++;
  Buffer& buffer = buffers_[id];
  buffer.allocation = *allocation;
  std::uint32_t physical = *allocation + offset;
  ULONG left = length;
  do {
    // A mapping never crosses a multiple of the bound (a page) in physical memory.
    const ULONG room = bound - physical % bound;
    const ULONG size = std::min(left, room);
    Mapping mapping;
    mapping.sequence = mappings_.size();
    mapping.buffer = id;
    mapping.physical = physical;
    mapping.virtualAddress = host + (physical - *allocation);
    mapping.bytes = size;
    buffer.mappings.push_back(mapping.sequence);
    mappings_.push_back(mapping);
    physical += size;
    left -= size;
  } while (left > 0);
  return id;
}

void WavePciPin::NotifyMappingAvailable() {
  if (!stream_) return;
  AtDispatch level("IMiniportWavePciStream::MappingAvailable");
  stream_->MappingAvailable();
}

WavePciPin::BufferId WavePciPin::QueueBuffer(std::span<const std::uint8_t> bytes) {
  const BufferId id = AddBuffer(bytes.data(), static_cast<ULONG>(bytes.size()));
  NotifyMappingAvailable();
  return id;
}

WavePciPin::BufferId WavePciPin::QueueCaptureBuffer(ULONG length) {
  const BufferId id = AddBuffer(nullptr, length);
  NotifyMappingAvailable();
  return id;
}

NTSTATUS WavePciPin::CancelBuffer(BufferId id, ULONG* revoked, ULONG* expected) {
  auto found = buffers_.find(id);
  if (found == buffers_.end() || found->second.done) return STATUS_NOT_FOUND;
  std::vector<Mapping*> out;
  for (std::uint64_t sequence : found->second.mappings) {
    Mapping& mapping = mappings_[sequence];
    if (mapping.state == MappingState::Waiting) mapping.state = MappingState::Dropped;
    if (mapping.state == MappingState::HandedOut) out.push_back(&mapping);
  }
  ULONG count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!out.empty() && stream_) {
    AtDispatch level("IMiniportWavePciStream::RevokeMappings");
    status = stream_->RevokeMappings(out.front()->tag, out.back()->tag, &count);
  }
  // Whatever the miniport answers, the framework has these back now.
  for (Mapping* mapping : out) mapping->state = MappingState::Revoked;
  AdvanceFirstOut();
  if (revoked) *revoked = count;
  if (expected) *expected = static_cast<ULONG>(out.size());
  RetireBufferIfDone(id);
  return status;
}

NTSTATUS WavePciPin::Revoke(std::uint64_t first, std::uint64_t last, ULONG* revoked) {
  auto tagOf = [&](std::uint64_t sequence, int which) -> PVOID {
    if (sequence < mappings_.size() && mappings_[sequence].state == MappingState::HandedOut)
      return mappings_[sequence].tag;
    return &unknownTags_[which];
  };
  ULONG count = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (stream_) {
    AtDispatch level("IMiniportWavePciStream::RevokeMappings");
    status = stream_->RevokeMappings(tagOf(first, 0), tagOf(last, 1), &count);
  }
  if (NT_SUCCESS(status)) {
    for (std::uint64_t i = first; i <= last && i < mappings_.size(); i++)
      if (mappings_[i].state == MappingState::HandedOut) mappings_[i].state = MappingState::Revoked;
    AdvanceFirstOut();
    for (auto& [id, buffer] : buffers_) RetireBufferIfDone(id);
  }
  if (revoked) *revoked = count;
  return status;
}

// Everything before firstOut_ is settled (released, revoked or dropped), so
// the per-call checks scan only what can still be out.
void WavePciPin::AdvanceFirstOut() {
  while (firstOut_ < nextToHandOut_ && firstOut_ < mappings_.size() &&
         mappings_[firstOut_].state != MappingState::HandedOut)
    firstOut_++;
}

void WavePciPin::RetireBufferIfDone(BufferId id) {
  auto found = buffers_.find(id);
  if (found == buffers_.end() || found->second.done) return;
  for (std::uint64_t sequence : found->second.mappings) {
    MappingState state = mappings_[sequence].state;
    if (state == MappingState::Waiting || state == MappingState::HandedOut) return;
  }
  found->second.done = true;
  Kernel::Require("completing a wave buffer").Machine().Memory().Free(found->second.allocation);
}

bool WavePciPin::BufferDone(BufferId id) const {
  auto found = buffers_.find(id);
  return found != buffers_.end() && found->second.done;
}

std::size_t WavePciPin::CountIn(MappingState state) const {
  return static_cast<std::size_t>(
      std::count_if(mappings_.begin(), mappings_.end(), [state](const Mapping& m) { return m.state == state; }));
}

NTSTATUS WavePciPin::SetState(KSSTATE target) {
  Kernel::Require("IMiniportWavePciStream::SetState").CheckIrqlAtMost(PASSIVE_LEVEL, "SetState");
  NTSTATUS status = STATUS_SUCCESS;
  while (stream_ && state_ != target) {
    const KSSTATE next = static_cast<KSSTATE>(target > state_ ? state_ + 1 : state_ - 1);
    status = stream_->SetState(next);
    if (!NT_SUCCESS(status)) return status;
    state_ = next;
  }
  return status;
}

void WavePciPin::Close() {
  if (!stream_) return;
  Kernel& kernel = Kernel::Require("closing a wave stream");
  SetState(KSSTATE_STOP);
  const std::size_t out = CountIn(MappingState::HandedOut);
  if (out)
    kernel.Violate(kRule, std::to_string(out) + " mapping(s) still out after the stream stopped: the miniport "
                          "must hand every mapping back by the time it reaches KSSTATE_STOP");
  for (Mapping& mapping : mappings_)
    if (mapping.state == MappingState::Waiting) mapping.state = MappingState::Dropped;
  for (auto& [id, buffer] : buffers_) RetireBufferIfDone(id);

  if (serviceGroup_) {
    if (memberOfGroup_) serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
    memberOfGroup_ = false;
    serviceGroup_->Release();
    serviceGroup_ = nullptr;
  }
  DestroyMiniportStream();
  dmaChannel_ = nullptr;
}

// Aggregated, the stream's faces count on the pin, and the stream's own count
// is the one held through its non-delegating IUnknown: releasing that destroys
// it. Standing alone, the stream's face holds the count.
void WavePciPin::DestroyMiniportStream() {
  PMINIPORTWAVEPCISTREAM stream = stream_;
  PUNKNOWN inner = inner_;
  stream_ = nullptr;
  inner_ = nullptr;
  if (inner)
    inner->Release();
  else
    stream->Release();
}

}  // namespace host
