// The framework's WavePci port and its port streams (pins).
//
// The port itself (Init, Notify) is host::WavePciPort; its master DMA
// channels are host::DmaChannel objects made by NewWavePciMasterDmaChannel.
//
// WavePciPin is one open stream as the framework drives it: it creates the
// miniport stream through NewStream (without an outer unknown, as the
// framework does, or aggregating it when a test asks), checks that the
// out-parameter is the stream's IMiniportWavePciStream by calling through it,
// joins the stream's service group (a failed join fails the open), takes
// client buffers that start anywhere in a page and hands them out through
// GetMapping as mappings split at page boundaries, with physical and virtual
// addresses in the machine's memory. As the platform does, GetMapping with
// nothing queued refuses with STATUS_NOT_FOUND, and MappingAvailable is
// called once when a buffer arrives after such a refusal, never otherwise.
// It calls RevokeMappings when a client cancels a buffer, walks the
// kernel-streaming states one at a time, and services the stream when its
// group is notified. It enforces the port's rules, each a "wavepci"
// violation: every mapping is released exactly once and in the order handed
// out, a revoked mapping is never released, and a miniport holds no spin lock
// of its own while it calls GetMapping or ReleaseMapping. A mapping is open to
// the device's DMA only while it is out (Kernel::OpenDmaWindow).
#pragma once

#include <portcls.h>
#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "host/com.h"
#include "host/kernel.h"

namespace host {

class WavePciPin;

// A PCM format as a KSDATAFORMAT followed by its WAVEFORMATEX.
KSDATAFORMAT_WAVEFORMATEX MakePcmFormat(ULONG rate, USHORT channels, USHORT bits);

struct WavePciPinOptions {
  // Largest mapping handed out; mappings never cross a multiple of it in
  // physical memory (a page by default; a larger bound models large pages).
  ULONG mappingBound = PAGE_SIZE;
  // Where in its first page each client buffer starts. Unset: a seeded
  // choice per buffer, as user buffers fall anywhere in a page.
  std::optional<ULONG> firstPageOffset;
  std::uint32_t placementSeed = 1;
  // Whether the pin aggregates the miniport stream (is its outer unknown).
  // The framework does not; aggregation is kept for the tests of it.
  bool aggregate = false;
  // Keep every mapping and buffer after it is settled, for Mappings() and
  // BufferDone(); long runs turn it off, and then Mappings() holds only the
  // mappings from the oldest one still unsettled on.
  bool keepSettled = true;
  // Capture: keep every released mapping's bytes for CapturedBytes (long
  // runs turn it off).
  bool keepCapturedBytes = true;
};

// The master DMA channel IPortWavePci::NewMasterDmaChannel hands out.
NTSTATUS NewWavePciMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, BOOLEAN scatterGather,
                                    BOOLEAN dma32BitAddresses, ULONG maximumLength);

class WavePciPin final : public IPortWavePciStream, public IServiceSink {
 public:
  using BufferId = std::uint64_t;

  // Opens a stream on `pin` of the miniport bound to `port`, as the framework
  // does when a client connects. On success *out holds one reference.
  static NTSTATUS Open(PPORTWAVEPCI port, PMINIPORTWAVEPCI miniport, ULONG pin, bool capture,
                       const KSDATAFORMAT_WAVEFORMATEX& format, WavePciPin** out, WavePciPinOptions options = {});

  enum class MappingState { Waiting, HandedOut, Released, Revoked, Dropped };
  struct Mapping {
    std::uint64_t sequence = 0;  // stream order, from 0
    BufferId buffer = 0;
    std::uint32_t physical = 0;
    std::uint8_t* virtualAddress = nullptr;
    ULONG bytes = 0;
    MappingState state = MappingState::Waiting;
    PVOID tag = nullptr;
    sim::Ticks handedOutAt = 0;
    sim::Ticks releasedAt = 0;
  };

  // ---- IUnknown, IPortWavePciStream, IServiceSink ---------------------------
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(NTSTATUS) GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                     PULONG byteCount, PULONG flags) override;
  STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
  STDMETHODIMP_(NTSTATUS) TerminatePacket() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP_(void) RequestService() override;

  // ---- The client's side ------------------------------------------------------
  // Queues a playback buffer holding `bytes`, or a capture buffer of `length`
  // bytes, and tells the stream (MappingAvailable, at DISPATCH_LEVEL).
  BufferId QueueBuffer(std::span<const std::uint8_t> bytes);
  BufferId QueueCaptureBuffer(ULONG length);
  // Cancels a buffer: the mappings handed out and not yet released are
  // revoked through RevokeMappings; those not handed out are dropped.
  // Returns RevokeMappings' status (STATUS_SUCCESS when nothing was out).
  NTSTATUS CancelBuffer(BufferId buffer, ULONG* revoked = nullptr, ULONG* expected = nullptr);
  // Calls RevokeMappings with the tags of mappings `first` and `last` (stream
  // order numbers; one never handed out passes a tag the stream never saw).
  // When the stream reports success, every mapping between them that is out
  // is the framework's again; a failure leaves them all with the stream.
  NTSTATUS Revoke(std::uint64_t first, std::uint64_t last, ULONG* revoked);
  // Moves the stream one state at a time to `state`, as the framework does.
  NTSTATUS SetState(KSSTATE state);
  KSSTATE State() const { return state_; }
  // Stops the stream, then destroys the miniport stream; mappings still out
  // after the stop are a violation.
  void Close();

  PMINIPORTWAVEPCISTREAM Stream() const { return stream_; }
  // The framing the stream reported when the pin was created.
  const KSALLOCATOR_FRAMING& Framing() const { return framing_; }
  // Times MappingAvailable was called, and GetMapping refused.
  std::uint64_t MappingAvailableCalls() const { return mappingAvailableCalls_; }
  std::uint64_t MappingRefusals() const { return mappingRefusals_; }
  PDMACHANNEL DmaChannel() const { return dmaChannel_; }
  PSERVICEGROUP ServiceGroup() const { return serviceGroup_; }
  bool Capture() const { return capture_; }

  // ---- Observation ----------------------------------------------------------------
  const std::deque<Mapping>& Mappings() const { return mappings_; }
  std::size_t CountIn(MappingState state) const;
  std::uint64_t BytesReleased() const {
    std::lock_guard guard(lock_);
    return bytesReleased_;
  }
  // Capture: the bytes of every released mapping, in stream order.
  const std::vector<std::uint8_t>& CapturedBytes() const { return captured_; }
  // Hands over the captured bytes kept so far and forgets them, so a long
  // recording can be drained as it goes.
  std::vector<std::uint8_t> TakeCapturedBytes() { return std::exchange(captured_, {}); }
  bool BufferDone(BufferId buffer) const;
  // Times the service group ran the stream's Service.
  std::uint64_t ServiceCalls() const { return serviceCalls_.load(); }
  // Called inside GetMapping after a mapping is handed out and inside
  // ReleaseMapping after one is taken back, before returning to the miniport
  // (to reproduce a framework that reacts at once).
  std::function<void(const Mapping&)> onHandOut;
  std::function<void(const Mapping&)> onRelease;

 private:
  struct Buffer {
    std::uint32_t allocation = 0;  // physical start of the arena block
    std::vector<std::uint64_t> mappings;
    bool done = false;
  };

  WavePciPin(PPORTWAVEPCI port, bool capture, WavePciPinOptions options);
  ~WavePciPin();

  BufferId AddBuffer(const std::uint8_t* bytes, ULONG length);
  // GetMapping and ReleaseMapping under the pin's lock.
  NTSTATUS HandOut(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress, PULONG byteCount, PULONG flags);
  NTSTATUS TakeBack(PVOID tag);
  void NotifyMappingAvailable();
  bool CheckCaller(const char* operation);
  Mapping* FindOutstanding(PVOID tag);
  void RetireBufferIfDone(BufferId buffer);
  void RetireEveryDoneBuffer();
  void AdvanceFirstOut();
  void TakeAway(Mapping& mapping);
  void DestroyMiniportStream();
  NTSTATUS AdoptStream(PMINIPORTWAVEPCISTREAM stream, PUNKNOWN outer);
  std::uint32_t PlaceBuffer(ULONG length, std::uint32_t* allocation);

  std::atomic<LONG> refs_{1};
  PPORTWAVEPCI port_;
  const bool capture_;
  const WavePciPinOptions options_;
  PMINIPORTWAVEPCISTREAM stream_ = nullptr;
  // Aggregated: the stream's non-delegating IUnknown, which holds the only
  // count on the stream object; null when the stream stands alone.
  PUNKNOWN inner_ = nullptr;
  KSALLOCATOR_FRAMING framing_{};
  // A GetMapping was refused since the last MappingAvailable.
  bool mappingRefused_ = false;
  std::uint64_t mappingAvailableCalls_ = 0;
  std::uint64_t mappingRefusals_ = 0;
  std::mt19937 placement_;
  PDMACHANNEL dmaChannel_ = nullptr;
  PSERVICEGROUP serviceGroup_ = nullptr;
  KSSTATE state_ = KSSTATE_STOP;
  bool memberOfGroup_ = false;

  // Mapping `sequence` is mappings_[sequence - base_]; those before base_ are
  // settled and forgotten (keepSettled off).
  Mapping& At(std::uint64_t sequence) { return mappings_[sequence - base_]; }
  std::uint64_t End() const { return base_ + mappings_.size(); }
  std::deque<Mapping> mappings_;
  std::uint64_t base_ = 0;
  std::uint64_t nextToHandOut_ = 0;
  std::uint64_t firstOut_ = 0;  // no mapping before it is still out
  std::map<BufferId, Buffer> buffers_;
  BufferId nextBuffer_ = 1;
  std::uint64_t bytesReleased_ = 0;
  std::atomic<std::uint64_t> serviceCalls_{0};
  std::vector<std::uint8_t> captured_;
  // Stands for the tag of a mapping not handed out yet.
  std::uint8_t unknownTags_[2] = {};
  // Tags of mappings taken back by a revocation the miniport did not count
  // them in while each was the oldest out: the miniport's release of it may
  // be under way (it holds no lock across ReleaseMapping); that one release
  // is accepted.
  std::vector<PVOID> releasesCrossed_;
  // The bookkeeping above is reached from the dispatch thread (GetMapping,
  // ReleaseMapping) and passive ones (queueing, revoking); never held across
  // a call into the miniport.
  mutable std::recursive_mutex lock_;
  // Held around a service call, so Close cannot destroy the stream under one.
  std::recursive_mutex serviceMutex_;
};

}  // namespace host
