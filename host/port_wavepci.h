// The WavePci port: its Init hands the miniport the port and takes back the
// miniport's service group; Notify schedules a service group as deferred
// work after the kernel's service latency.
#pragma once

#include <portcls.h>

#include "host/ports.h"

namespace host {

class WavePciPort final : public IPortWavePci, public PortCore {
 public:
  static NTSTATUS Create(PPORT* out);
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_PORT_COMMON()
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP group) override;
  STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN outer, POOL_TYPE type,
                                              PRESOURCELIST resources, BOOLEAN scatterGather,
                                              BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                              BOOLEAN ignoreCount, DMA_WIDTH width, DMA_SPEED speed,
                                              ULONG maximumLength, ULONG dmaPort) override;
  PUNKNOWN Unknown() override { return static_cast<IPortWavePci*>(this); }

  // The service group the miniport's Init handed back (no reference added).
  PSERVICEGROUP MiniportServiceGroup() const { return serviceGroup_; }

 private:
  WavePciPort() : PortCore(CLSID_PortWavePci) {}
  ~WavePciPort() override;
  NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) override;
  void ReleaseKindChildren() override;

  PSERVICEGROUP serviceGroup_ = nullptr;
};

}  // namespace host
