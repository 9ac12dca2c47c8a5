#include "host/wavepci.h"

#include <algorithm>
#include <cstring>

#include "host/dma.h"
#include "host/image_boundary.h"

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
  PUNKNOWN outer = options.aggregate ? static_cast<IPortWavePciStream*>(client) : nullptr;
  NTSTATUS status = miniport->NewStream(&stream, outer, NonPagedPool, client, pin, capture ? TRUE : FALSE,
                                        reinterpret_cast<PKSDATAFORMAT>(&copy), &dma, &group);
  if (NT_SUCCESS(status)) CheckImageInterface(stream, IID_IMiniportWavePciStream);
  if (NT_SUCCESS(status) && !stream) {
    kernel.Violate(kRule, "NewStream succeeded without a stream");
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) status = client->AdoptStream(stream, outer);
  if (!NT_SUCCESS(status)) {
    client->Release();
    return status;
  }
  client->dmaChannel_ = dma;
  client->serviceGroup_ = group;
  // The framework takes the stream's framing when it creates the pin; what
  // the stream leaves unwritten holds a pattern, not a convenient zero.
  std::memset(&client->framing_, 0x5A, sizeof client->framing_);
  status = client->stream_->GetAllocatorFraming(&client->framing_);
  // Joining the group allocates; a pin that cannot join would never be
  // serviced, so the framework fails its creation.
  if (NT_SUCCESS(status) && group) {
    status = group->AddMember(static_cast<IServiceSink*>(client));
    client->memberOfGroup_ = NT_SUCCESS(status);
  }
  if (!NT_SUCCESS(status)) {
    client->Close();
    client->Release();
    return status;
  }
  *out = client;
  return status;
}

// The platform documents NewStream's out-parameter as the stream's
// IMiniportWavePciStream, aggregated or not: the pin checks that by calling
// through it before it relies on it.
NTSTATUS WavePciPin::AdoptStream(PMINIPORTWAVEPCISTREAM stream, PUNKNOWN outer) {
  Kernel& kernel = Kernel::Require("opening a wave stream");
  const char* const wrongFace = "NewStream's out-parameter is not the stream's IMiniportWavePciStream";
  if (outer) {
    // Aggregated, every call on the stream's face counts on the outer (this pin).
    const LONG before = refs_;
    stream->AddRef();
    const bool reachedOuter = refs_ == before + 1;
    stream->Release();
    if (!reachedOuter) {
      kernel.Violate(kRule, std::string(wrongFace) + ": its AddRef does not reach the outer unknown");
      return STATUS_UNSUCCESSFUL;
    }
    // COM aggregation keeps the inner's own count behind its non-delegating
    // IUnknown. The out-parameter gives the face only, so the pin finds the
    // non-delegating face where the DDK's stdunk layout puts it: the class
    // derives from its one interface first and CUnknown next, so that face
    // follows the interface's table pointer.
    inner_ = reinterpret_cast<PUNKNOWN>(reinterpret_cast<char*>(stream) + sizeof(void*));
  }
  // Standalone, the query reaches the stream itself; aggregated, it reaches
  // this pin, which passes interfaces it does not know to the inner object.
  PVOID face = nullptr;
  const NTSTATUS status = stream->QueryInterface(IID_IMiniportWavePciStream, &face);
  if (!NT_SUCCESS(status) || face != stream) {
    kernel.Violate(kRule, std::string(wrongFace) + ": asked for that interface, it gives " +
                              (face ? Hex(face) : std::string("none")) + " instead of itself");
    if (face) static_cast<PUNKNOWN>(face)->Release();
    // Whatever it is, it carries the creator's reference: drop it there.
    inner_ = nullptr;
    stream->Release();
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  stream->Release();
  stream_ = stream;
  return STATUS_SUCCESS;
}

// ---- WavePciPin ------------------------------------------------------------------

WavePciPin::WavePciPin(PPORTWAVEPCI port, bool capture, WavePciPinOptions options)
    : port_(port), capture_(capture), options_(options), placement_(options.placementSeed) {
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
  } else if (inner_) {
    // The outer object of an aggregate hands the inner object's interfaces out.
    return inner_->QueryInterface(id, out);
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
  for (std::uint64_t i = firstOut_; i < nextToHandOut_ && i < End(); i++)
    if (At(i).state == MappingState::HandedOut && At(i).tag == tag) return &At(i);
  return nullptr;
}

// A test may hold the caller once the port's own lock is dropped again: the
// miniport is then between its framework call and retaking its lock.
STDMETHODIMP_(NTSTATUS) WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                               PULONG byteCount, PULONG flags) {
  const NTSTATUS status = HandOut(tag, physicalAddress, virtualAddress, byteCount, flags);
  Kernel::Require("IPortWavePciStream::GetMapping").FrameworkRacePoint("GetMapping", status);
  return status;
}

STDMETHODIMP_(NTSTATUS) WavePciPin::ReleaseMapping(PVOID tag) {
  // And before the call: the miniport has let its lock go and not yet reached the port.
  Kernel::Require("IPortWavePciStream::ReleaseMapping").FrameworkRacePoint("ReleaseMapping called", STATUS_PENDING);
  const NTSTATUS status = TakeBack(tag);
  Kernel::Require("IPortWavePciStream::ReleaseMapping").FrameworkRacePoint("ReleaseMapping", status);
  return status;
}

NTSTATUS WavePciPin::HandOut(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress, PULONG byteCount,
                             PULONG flags) {
  Kernel& kernel = Kernel::Require("IPortWavePciStream::GetMapping");
  CheckCaller("GetMapping");
  std::lock_guard guard(lock_);
  if (!tag || !physicalAddress || !virtualAddress || !byteCount || !flags) {
    kernel.Violate(kRule, "GetMapping with a null tag or output");
    return STATUS_INVALID_PARAMETER;
  }
  if (Mapping* clash = FindOutstanding(tag)) {
    kernel.Violate(kRule, "GetMapping with tag " + Hex(tag) + ", which still names " + MappingName(*clash));
    return STATUS_INVALID_PARAMETER;
  }
  while (nextToHandOut_ < End() && At(nextToHandOut_).state != MappingState::Waiting)
    nextToHandOut_++;
  if (nextToHandOut_ >= End()) {
    // The platform's answer, remembered: the next buffer brings MappingAvailable.
    mappingRefused_ = true;
    mappingRefusals_++;
    return STATUS_NOT_FOUND;
  }

  Mapping& mapping = At(nextToHandOut_++);
  mapping.state = MappingState::HandedOut;
  mapping.tag = tag;
  mapping.handedOutAt = kernel.Now();
  // From here until it comes back, the device may reach the mapping's bytes.
  kernel.OpenDmaWindow(mapping.physical, mapping.bytes);
  physicalAddress->QuadPart = mapping.physical;
  *virtualAddress = mapping.virtualAddress;
  *byteCount = mapping.bytes;
  *flags = 0;
  if (onHandOut) onHandOut(mapping);
  return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::TakeBack(PVOID tag) {
  Kernel& kernel = Kernel::Require("IPortWavePciStream::ReleaseMapping");
  CheckCaller("ReleaseMapping");
  std::lock_guard guard(lock_);
  Mapping* mapping = FindOutstanding(tag);
  if (!mapping) {
    auto crossed = std::find(releasesCrossed_.begin(), releasesCrossed_.end(), tag);
    if (crossed != releasesCrossed_.end()) {
      // The release that crossed the revocation: the framework has the mapping back already.
      releasesCrossed_.erase(crossed);
      return STATUS_SUCCESS;
    }
    std::string what = "names no mapping that is out (never handed out, or released twice)";
    for (const Mapping& m : mappings_)
      if (m.tag == tag && m.state == MappingState::Revoked) what = "names " + MappingName(m) + ", which was revoked";
    kernel.Violate(kRule, "ReleaseMapping of tag " + Hex(tag) + ", which " + what);
    return STATUS_INVALID_PARAMETER;
  }
  // Stream order: nothing older may still be out.
  for (std::uint64_t i = firstOut_; i < mapping->sequence; i++) {
    const Mapping& older = At(i);
    if (older.state == MappingState::HandedOut) {
      kernel.Violate(kRule, "ReleaseMapping out of stream order: " + MappingName(*mapping) + " released while " +
                                MappingName(older) + " is still out");
      break;
    }
  }
  mapping->state = MappingState::Released;
  mapping->releasedAt = kernel.Now();
  kernel.CloseDmaWindow(mapping->physical, mapping->bytes);
  bytesReleased_ += mapping->bytes;
  if (capture_ && options_.keepCapturedBytes) captured_.insert(captured_.end(), mapping->virtualAddress, mapping->virtualAddress + mapping->bytes);
  const Mapping released = *mapping;
  AdvanceFirstOut();  // may forget `mapping`
  RetireBufferIfDone(released.buffer);
  if (onRelease) onRelease(released);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) WavePciPin::RequestService() {
  std::lock_guard service(serviceMutex_);
  if (!stream_) return;
  serviceCalls_++;
  stream_->Service();
}

// Where a client buffer of `length` bytes lives: returns its first byte's
// physical address and the arena block holding it, 0 when the arena is full.
std::uint32_t WavePciPin::PlaceBuffer(ULONG length, std::uint32_t* allocation) {
  sim::PhysicalMemory& memory = Kernel::Require("queueing a wave buffer").Machine().Memory();
  const ULONG bound = options_.mappingBound;
  const ULONG size = std::max<ULONG>(length, 1);
  if (options_.firstPageOffset) {
    const ULONG offset = *options_.firstPageOffset % bound;
    const auto block = memory.Allocate(offset + size, bound);
    if (!block) return 0;
    *allocation = *block;
    return *block + offset;
  }
  // Buffers packed byte by byte, each behind a seeded gap: starts fall
  // anywhere in a page, and a gap never costs more than the buffer itself
  // (or 64 bytes), so many tiny buffers fit as they do in a process.
  const ULONG gapRange = std::clamp<ULONG>(size, 64, bound);
  const ULONG gap = static_cast<ULONG>(placement_() % gapRange);
  const auto block = memory.Allocate(gap + size, 1);
  if (!block) return 0;
  *allocation = *block;
  return *block + gap;
}

WavePciPin::BufferId WavePciPin::AddBuffer(const std::uint8_t* bytes, ULONG length) {
  Kernel& kernel = Kernel::Require("queueing a wave buffer");
  std::lock_guard guard(lock_);
  sim::PhysicalMemory& memory = kernel.Machine().Memory();
  const ULONG bound = options_.mappingBound;
  std::uint32_t allocation = 0;
  const std::uint32_t start = PlaceBuffer(length, &allocation);
  if (!start) {
    kernel.Violate(kRule, "the DMA arena has no room for a client buffer of " + std::to_string(length) + " bytes");
    return 0;
  }
  std::uint8_t* host = memory.HostPointer(start, std::max<ULONG>(length, 1));
  if (bytes) std::memcpy(host, bytes, length);
  else std::memset(host, 0xEE, length);  // a capture buffer holds a pattern until it is filled

  const BufferId id = nextBuffer_++;
  Buffer& buffer = buffers_[id];
  buffer.allocation = allocation;
  std::uint32_t physical = start;
  ULONG left = length;
  do {
    // A mapping never crosses a multiple of the bound (a page) in physical memory.
    const ULONG room = bound - physical % bound;
    const ULONG size = std::min(left, room);
    Mapping mapping;
    mapping.sequence = End();
    mapping.buffer = id;
    mapping.physical = physical;
    mapping.virtualAddress = host + (physical - start);
    mapping.bytes = size;
    buffer.mappings.push_back(mapping.sequence);
    mappings_.push_back(mapping);
    physical += size;
    left -= size;
  } while (left > 0);
  return id;
}

void WavePciPin::NotifyMappingAvailable() {
  {
    std::lock_guard guard(lock_);
    if (!stream_ || !mappingRefused_) return;
    mappingRefused_ = false;
    mappingAvailableCalls_++;
  }
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
  // Sequences, not references: the dispatch thread may forget settled
  // mappings while the miniport's RevokeMappings runs unlocked.
  std::vector<std::uint64_t> out;
  PVOID firstTag = nullptr;
  PVOID lastTag = nullptr;
  {
    std::lock_guard guard(lock_);
    auto found = buffers_.find(id);
    if (found == buffers_.end() || found->second.done) return STATUS_NOT_FOUND;
    for (std::uint64_t sequence : found->second.mappings) {
      if (sequence < base_) continue;  // forgotten, so settled
      Mapping& mapping = At(sequence);
      if (mapping.state == MappingState::Waiting) mapping.state = MappingState::Dropped;
      if (mapping.state == MappingState::HandedOut) out.push_back(sequence);
    }
    if (!out.empty()) {
      firstTag = At(out.front()).tag;
      lastTag = At(out.back()).tag;
    }
  }
  ULONG count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!out.empty() && stream_) {
    AtDispatch level("IMiniportWavePciStream::RevokeMappings");
    status = stream_->RevokeMappings(firstTag, lastTag, &count);
  }
  std::lock_guard guard(lock_);
  // A mapping the miniport did not count can only be one it was handing
  // back as the revocation came: releases go in stream order, so that is
  // the oldest one out, and its release is still to be accepted.
  if (!out.empty() && count < out.size() && out.front() == firstOut_ && out.front() >= base_ &&
      out.front() < End() && At(out.front()).state == MappingState::HandedOut)
    releasesCrossed_.push_back(At(out.front()).tag);
  // Whatever the miniport answers, the framework has these back now.
  for (std::uint64_t sequence : out)
    if (sequence >= base_ && sequence < End()) TakeAway(At(sequence));
  AdvanceFirstOut();
  if (revoked) *revoked = count;
  if (expected) *expected = static_cast<ULONG>(out.size());
  RetireBufferIfDone(id);
  return status;
}

NTSTATUS WavePciPin::Revoke(std::uint64_t first, std::uint64_t last, ULONG* revoked) {
  auto tagOf = [&](std::uint64_t sequence, int which) -> PVOID {
    std::lock_guard guard(lock_);
    if (sequence >= base_ && sequence < End() && At(sequence).state == MappingState::HandedOut)
      return At(sequence).tag;
    return &unknownTags_[which];
  };
  // The count is the stream's to write on every path, a refusal included.
  ULONG count = 0xA5A5A5A5;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (stream_) {
    AtDispatch level("IMiniportWavePciStream::RevokeMappings");
    status = stream_->RevokeMappings(tagOf(first, 0), tagOf(last, 1), &count);
  }
  std::lock_guard guard(lock_);
  if (NT_SUCCESS(status)) {
    for (std::uint64_t i = std::max(first, base_); i <= last && i < End(); i++)
      if (At(i).state == MappingState::HandedOut) TakeAway(At(i));
    AdvanceFirstOut();
    RetireEveryDoneBuffer();
  }
  if (revoked) *revoked = count;
  return status;
}

// A revoked mapping is the framework's again: the device may no longer reach it.
void WavePciPin::TakeAway(Mapping& mapping) {
  // One released while the revocation ran is settled already.
  if (mapping.state != MappingState::HandedOut) return;
  Kernel::Require("revoking a mapping").CloseDmaWindow(mapping.physical, mapping.bytes);
  mapping.state = MappingState::Revoked;
}

// Everything before firstOut_ is settled (released, revoked or dropped), so
// the per-call checks scan only what can still be out.
void WavePciPin::AdvanceFirstOut() {
  while (firstOut_ < nextToHandOut_ && firstOut_ < End() &&
         At(firstOut_).state != MappingState::HandedOut)
    firstOut_++;
  // A long stream forgets what is settled, or its history grows with the audio.
  if (!options_.keepSettled)
    while (!mappings_.empty() && base_ < firstOut_) {
      mappings_.pop_front();
      base_++;
    }
}

void WavePciPin::RetireBufferIfDone(BufferId id) {
  std::lock_guard guard(lock_);
  auto found = buffers_.find(id);
  if (found == buffers_.end() || found->second.done) return;
  for (std::uint64_t sequence : found->second.mappings) {
    if (sequence < base_) continue;  // forgotten, so settled
    MappingState state = At(sequence).state;
    if (state == MappingState::Waiting || state == MappingState::HandedOut) return;
  }
  found->second.done = true;
  Kernel::Require("completing a wave buffer").Machine().Memory().Free(found->second.allocation);
  if (!options_.keepSettled) buffers_.erase(found);
}

void WavePciPin::RetireEveryDoneBuffer() {
  // Retiring may forget a buffer, so walk a copy of the ids.
  std::vector<BufferId> ids;
  for (const auto& [id, buffer] : buffers_) ids.push_back(id);
  for (BufferId id : ids) RetireBufferIfDone(id);
}

bool WavePciPin::BufferDone(BufferId id) const {
  std::lock_guard guard(lock_);
  auto found = buffers_.find(id);
  if (found == buffers_.end()) return !options_.keepSettled && id >= 1 && id < nextBuffer_;
  return found->second.done;
}

std::size_t WavePciPin::CountIn(MappingState state) const {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(
      std::count_if(mappings_.begin(), mappings_.end(), [state](const Mapping& m) { return m.state == state; }));
}

NTSTATUS WavePciPin::SetState(KSSTATE target) {
  Kernel& kernel = Kernel::Require("IMiniportWavePciStream::SetState");
  kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "SetState");
  NTSTATUS status = STATUS_SUCCESS;
  while (stream_ && state_ != target) {
    const KSSTATE next = static_cast<KSSTATE>(target > state_ ? state_ + 1 : state_ - 1);
    status = stream_->SetState(next);
    kernel.CheckReturnedAt(PASSIVE_LEVEL, "IMiniportWavePciStream::SetState");
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
  {
    std::lock_guard guard(lock_);
    for (Mapping& mapping : mappings_) {
      if (mapping.state == MappingState::Waiting) mapping.state = MappingState::Dropped;
      // Still out after the violation above: the device has no business with it now.
      if (mapping.state == MappingState::HandedOut) kernel.CloseDmaWindow(mapping.physical, mapping.bytes);
    }
    RetireEveryDoneBuffer();
  }

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
  PMINIPORTWAVEPCISTREAM stream;
  PUNKNOWN inner;
  {
    std::lock_guard service(serviceMutex_);
    stream = stream_;
    inner = inner_;
    stream_ = nullptr;
    inner_ = nullptr;
  }
  if (inner)
    inner->Release();
  else
    stream->Release();
}

}  // namespace host
