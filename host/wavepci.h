// The framework's WavePci port and its port streams (pins).
//
// The port itself (Init, Notify) is host::WavePciPort; its master DMA
// channels are host::DmaChannel objects made by NewWavePciMasterDmaChannel.
//
// WavePciPin is one open stream as the framework drives it: it creates the
// miniport stream through NewStream (as its outer unknown), takes client
// buffers and hands them out through GetMapping as page-bounded mappings with
// physical and virtual addresses in the machine's memory, calls
// MappingAvailable when buffers arrive and RevokeMappings when a client
// cancels one, walks the kernel-streaming states one at a time, and services
// the stream when its group is notified. It enforces the port's rules, each a
// "wavepci" violation: every mapping is released exactly once and in the
// order handed out, a revoked mapping is never released, and a miniport holds
// no spin lock of its own while it calls GetMapping or ReleaseMapping.
#pragma once

#include <portcls.h>
#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
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
  // Where in its first page each client buffer starts.
  ULONG firstPageOffset = 0;
  // Whether the pin aggregates the miniport stream (is its outer unknown) or
  // the stream stands alone with its own count.
  bool aggregate = true;
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
  PDMACHANNEL DmaChannel() const { return dmaChannel_; }
  PSERVICEGROUP ServiceGroup() const { return serviceGroup_; }
  bool Capture() const { return capture_; }

  // ---- Observation ----------------------------------------------------------------
  const std::deque<Mapping>& Mappings() const { return mappings_; }
  std::size_t CountIn(MappingState state) const;
  std::uint64_t BytesReleased() const { return bytesReleased_; }
  // Capture: the bytes of every released mapping, in stream order.
  const std::vector<std::uint8_t>& CapturedBytes() const { return captured_; }
  bool BufferDone(BufferId buffer) const;
  // Times the service group ran the stream's Service.
  std::uint64_t ServiceCalls() const { return serviceCalls_; }
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
  void NotifyMappingAvailable();
  bool CheckCaller(const char* operation);
  Mapping* FindOutstanding(PVOID tag);
  void RetireBufferIfDone(BufferId buffer);
  void AdvanceFirstOut();
  void DestroyMiniportStream();

  std::atomic<LONG> refs_{1};
  PPORTWAVEPCI port_;
  const bool capture_;
  const WavePciPinOptions options_;
  PMINIPORTWAVEPCISTREAM stream_ = nullptr;
  // Aggregated: the stream's non-delegating IUnknown, which holds the only
  // count on the stream object; null when the stream stands alone.
  PUNKNOWN inner_ = nullptr;
  PDMACHANNEL dmaChannel_ = nullptr;
  PSERVICEGROUP serviceGroup_ = nullptr;
  KSSTATE state_ = KSSTATE_STOP;
  bool memberOfGroup_ = false;

  std::deque<Mapping> mappings_;
  std::uint64_t nextToHandOut_ = 0;
  std::uint64_t firstOut_ = 0;  // no mapping before it is still out
  std::map<BufferId, Buffer> buffers_;
  BufferId nextBuffer_ = 1;
  std::uint64_t bytesReleased_ = 0;
  std::uint64_t serviceCalls_ = 0;
  std::vector<std::uint8_t> captured_;
  // Stands for the tag of a mapping not handed out yet.
  std::uint8_t unknownTags_[2] = {};
};

}  // namespace host
