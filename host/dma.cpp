#include "host/dma.h"

#include <atomic>
#include <cstring>

#include "host/kernel.h"

namespace host {

namespace {

std::atomic<std::size_t> liveEverywhere{0};
constexpr std::uint32_t kCommonBufferAlignment = PAGE_SIZE;

}  // namespace

NTSTATUS DmaChannel::Create(PDMACHANNEL* out, ULONG maximumLength, bool scatterGather, bool dma32BitAddresses) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  // The machine's memory is 32-bit: a master that cannot reach it gets no channel.
  if (!dma32BitAddresses) return STATUS_INVALID_PARAMETER;
  auto* channel = new (kTagDmaChannel) DmaChannel(maximumLength, scatterGather);
  if (!channel) return STATUS_INSUFFICIENT_RESOURCES;
  *out = channel;
  return STATUS_SUCCESS;
}

DmaChannel::DmaChannel(ULONG maximumLength, bool scatterGather)
    : maximumLength_(maximumLength), scatterGather_(scatterGather) {
  operations_ = {sizeof(DMA_OPERATIONS), &PutDmaAdapter, &AllocateCommonBuffer, &FreeCommonBuffer};
  adapter_.adapter = {1, sizeof(DMA_ADAPTER), &operations_};
  adapter_.owner = this;
}

DmaChannel::~DmaChannel() {
  FreeBuffer();
  Kernel* kernel = Kernel::Current();
  for (auto& [physical, buffer] : buffers_) {
    if (kernel)
      kernel->Violate("dma", "common buffer of " + std::to_string(buffer.length) + " bytes at physical " +
                                 Hex(physical) + " still allocated when its DMA channel was released (a leak)");
    if (kernel) kernel->CloseDmaWindow(physical, buffer.length);
    if (kernel) kernel->Machine().Memory().Free(physical);
    liveEverywhere--;
  }
  buffers_.clear();
}

DmaChannel* DmaChannel::FromAdapter(PDMA_ADAPTER adapter) {
  if (!adapter) return nullptr;
  return reinterpret_cast<Adapter*>(adapter)->owner;
}

std::size_t DmaChannel::LiveCommonBuffersEverywhere() { return liveEverywhere.load(); }

STDMETHODIMP_(NTSTATUS) DmaChannel::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IDmaChannel)) {
    *out = static_cast<IDmaChannel*>(this);
  } else if (IsEqualGUIDAligned(id, IID_IHostFrameworkObject)) {
    *out = static_cast<FrameworkObject*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

PVOID NTAPI DmaChannel::AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PPHYSICAL_ADDRESS logical,
                                             BOOLEAN cacheEnabled) {
  DmaChannel* channel = FromAdapter(adapter);
  if (!channel) {
    Kernel::Require("AllocateCommonBuffer").Violate("dma", "AllocateCommonBuffer on an unknown adapter object");
    return nullptr;
  }
  return channel->Allocate(length, logical, cacheEnabled != FALSE);
}

VOID NTAPI DmaChannel::FreeCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logical,
                                        PVOID virtualAddress, BOOLEAN cacheEnabled) {
  DmaChannel* channel = FromAdapter(adapter);
  if (!channel) {
    Kernel::Require("FreeCommonBuffer").Violate("dma", "FreeCommonBuffer on an unknown adapter object");
    return;
  }
  channel->Free(length, logical, virtualAddress, cacheEnabled != FALSE);
}

VOID NTAPI DmaChannel::PutDmaAdapter(PDMA_ADAPTER) {
  // The channel owns its adapter object; the framework puts it when the channel goes.
}

PVOID DmaChannel::Allocate(ULONG length, PPHYSICAL_ADDRESS logical, bool cacheEnabled) {
  Kernel& kernel = Kernel::Require("AllocateCommonBuffer");
  if (!logical) {
    kernel.Violate("dma", "AllocateCommonBuffer without a place for the logical address");
    return nullptr;
  }
  logical->QuadPart = 0;
  if (!kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "AllocateCommonBuffer")) return nullptr;
  if (length == 0) {
    kernel.Violate("dma", "AllocateCommonBuffer of 0 bytes");
    return nullptr;
  }
  if (kernel.GetPool().ShouldFail(kTagDmaChannel)) return nullptr;

  sim::PhysicalMemory& memory = kernel.Machine().Memory();
  std::optional<std::uint32_t> physical = memory.Allocate(length, kCommonBufferAlignment);
  if (!physical) return nullptr;
  void* host = memory.HostPointer(*physical, length);
  // Fresh common buffers hold a pattern, as pool does, so reading one before writing shows.
  std::memset(host, 0xCD, length);
  buffers_[*physical] = {host, length, cacheEnabled};
  kernel.OpenDmaWindow(*physical, length);
  liveEverywhere++;
  logical->QuadPart = *physical;
  return host;
}

void DmaChannel::Free(ULONG length, PHYSICAL_ADDRESS logical, PVOID virtualAddress, bool cacheEnabled) {
  Kernel& kernel = Kernel::Require("FreeCommonBuffer");
  auto found = buffers_.find(static_cast<std::uint32_t>(logical.QuadPart));
  if (logical.QuadPart > 0xFFFFFFFFLL || found == buffers_.end()) {
    kernel.Violate("dma", "FreeCommonBuffer of physical " + Hex(static_cast<std::uint64_t>(logical.QuadPart)) +
                              ", which is no live common buffer of this channel (freed twice, or never allocated)");
    return;
  }
  if (found->second.length != length || found->second.virtualAddress != virtualAddress) {
    kernel.Violate("dma", "FreeCommonBuffer of physical " + Hex(found->first) + " with length " +
                              std::to_string(length) + " and address " + Hex(virtualAddress) +
                              "; it was allocated with length " + std::to_string(found->second.length) +
                              " at " + Hex(found->second.virtualAddress));
    return;
  }
  if (found->second.cacheEnabled != cacheEnabled) {
    // The platform documents CacheEnabled as the value the buffer was allocated with.
    kernel.Violate("dma", "FreeCommonBuffer of physical " + Hex(found->first) + " with CacheEnabled " +
                              (cacheEnabled ? "TRUE" : "FALSE") + "; it was allocated with " +
                              (found->second.cacheEnabled ? "TRUE" : "FALSE"));
    return;
  }
  kernel.CloseDmaWindow(found->first, found->second.length);
  kernel.Machine().Memory().Free(found->first);
  buffers_.erase(found);
  liveEverywhere--;
}

STDMETHODIMP_(NTSTATUS) DmaChannel::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) {
  if (bufferVirtual_) return STATUS_INVALID_DEVICE_REQUEST;
  if (bufferSize == 0 || bufferSize > maximumLength_) return STATUS_INVALID_PARAMETER;
  bufferVirtual_ = Allocate(bufferSize, &bufferPhysical_, false);
  if (!bufferVirtual_) return STATUS_INSUFFICIENT_RESOURCES;
  bufferAllocated_ = bufferSize_ = bufferSize;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) DmaChannel::FreeBuffer() {
  if (!bufferVirtual_) return;
  Free(bufferAllocated_, bufferPhysical_, bufferVirtual_, false);
  bufferVirtual_ = nullptr;
  bufferPhysical_.QuadPart = 0;
  bufferAllocated_ = bufferSize_ = 0;
}

STDMETHODIMP_(void) DmaChannel::SetBufferSize(ULONG size) {
  if (size > bufferAllocated_) {
    Kernel::Require("IDmaChannel::SetBufferSize")
        .Violate("dma", "SetBufferSize(" + std::to_string(size) + ") beyond the " +
                            std::to_string(bufferAllocated_) + " bytes allocated");
    return;
  }
  bufferSize_ = size;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) DmaChannel::PhysicalAddress() { return bufferPhysical_; }

STDMETHODIMP_(void) DmaChannel::CopyTo(PVOID destination, PVOID source, ULONG byteCount) {
  std::memcpy(destination, source, byteCount);
}

STDMETHODIMP_(void) DmaChannel::CopyFrom(PVOID destination, PVOID source, ULONG byteCount) {
  std::memcpy(destination, source, byteCount);
}

}  // namespace host
