// IDmaChannel for a bus-master device: the framework's master DMA channel,
// whose adapter object hands out common buffers in the machine's physical
// memory (the DMA arena). Every common buffer is tracked; freeing one with
// the wrong length or addresses, freeing it twice, or leaving it allocated
// when the channel goes away is a "dma" violation.
#pragma once

#include <portcls.h>

#include <cstdint>
#include <map>

#include "host/com.h"

namespace host {

constexpr ULONG kTagDmaChannel = 0x6D446350;  // "PcDm"; also the fault-injection tag of common buffers

class DmaChannel final : public IDmaChannel, public FrameworkObject {
 public:
  // A master channel limited to `maximumLength` bytes per transfer.
  static NTSTATUS Create(PDMACHANNEL* out, ULONG maximumLength, bool scatterGather, bool dma32BitAddresses);
  // The channel behind an adapter object it handed out, or null.
  static DmaChannel* FromAdapter(PDMA_ADAPTER adapter);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_FRAMEWORK_REFCOUNT()
  // The slave-DMA buffer of the interface (one common buffer of the channel's own).
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
  STDMETHODIMP_(void) FreeBuffer() override;
  STDMETHODIMP_(ULONG) TransferCount() override { return maximumLength_; }
  STDMETHODIMP_(ULONG) MaximumBufferSize() override { return maximumLength_; }
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return bufferAllocated_; }
  STDMETHODIMP_(ULONG) BufferSize() override { return bufferSize_; }
  STDMETHODIMP_(void) SetBufferSize(ULONG size) override;
  STDMETHODIMP_(PVOID) SystemAddress() override { return bufferVirtual_; }
  STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return &adapter_.adapter; }
  STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
  STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

  bool ScatterGather() const { return scatterGather_; }
  std::size_t LiveCommonBuffers() const { return buffers_.size(); }
  // Common buffers of every channel, for tests.
  static std::size_t LiveCommonBuffersEverywhere();

 private:
  struct Adapter {
    DMA_ADAPTER adapter;
    DmaChannel* owner;
  };
  struct Buffer {
    void* virtualAddress;
    ULONG length;
    bool cacheEnabled;  // FreeCommonBuffer must be given the same value
  };

  DmaChannel(ULONG maximumLength, bool scatterGather);
  ~DmaChannel() override;

  static PVOID NTAPI AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PPHYSICAL_ADDRESS logical,
                                          BOOLEAN cacheEnabled);
  static VOID NTAPI FreeCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logical,
                                     PVOID virtualAddress, BOOLEAN cacheEnabled);
  static VOID NTAPI PutDmaAdapter(PDMA_ADAPTER adapter);

  PVOID Allocate(ULONG length, PPHYSICAL_ADDRESS logical, bool cacheEnabled);
  void Free(ULONG length, PHYSICAL_ADDRESS logical, PVOID virtualAddress, bool cacheEnabled);

  Adapter adapter_;
  DMA_OPERATIONS operations_;
  ULONG maximumLength_;
  bool scatterGather_;
  std::map<std::uint32_t, Buffer> buffers_;
  PVOID bufferVirtual_ = nullptr;
  PHYSICAL_ADDRESS bufferPhysical_{};
  ULONG bufferAllocated_ = 0;
  ULONG bufferSize_ = 0;
};

}  // namespace host
