#include "host/ports.h"

#include "host/image_boundary.h"
#include "host/kernel.h"
#include "host/port_wavepci.h"
#include "host/wavepci.h"
#include "host/resource_list.h"
#include "host/service_group.h"

namespace host {

PortCore::~PortCore() { ReleaseChildren(); }

void PortCore::ReleaseChildren() {
  ReleaseKindChildren();
  if (PMINIPORT miniport = miniport_) {
    miniport_ = nullptr;
    miniport->Release();
  }
}

PortCore* PortCore::FromUnknown(PUNKNOWN unknown) {
  if (!unknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IHostFrameworkObject, &object)) || !object) return nullptr;
  auto* port = dynamic_cast<PortCore*>(static_cast<FrameworkObject*>(object));
  unknown->Release();
  return port;
}

NTSTATUS PortCore::QueryCommon(REFIID id, PVOID* out, const GUID& ownIid) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (const NTSTATUS refused = Kernel::Require("IPort::QueryInterface").PortInterfaceRefusal(id); !NT_SUCCESS(refused)) {
    *out = nullptr;
    return refused;
  }
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IPort) || IsEqualGUIDAligned(id, ownIid)) {
    *out = Unknown();
  } else if (IsEqualGUIDAligned(id, IID_IHostFrameworkObject)) {
    *out = static_cast<FrameworkObject*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  Unknown()->AddRef();
  return STATUS_SUCCESS;
}

NTSTATUS PortCore::InitCommon(PDEVICE_OBJECT device, PIRP, PUNKNOWN miniport, PUNKNOWN adapter,
                              PRESOURCELIST resources) {
  Kernel& kernel = Kernel::Require("IPort::Init");
  kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "IPort::Init");
  if (initialised_) return STATUS_INVALID_DEVICE_REQUEST;
  if (!device || !miniport) return STATUS_INVALID_PARAMETER;
  device_ = device;
  // The port keeps what it was given to describe the subdevice later.
  translated_ = ResourceList::TranslatedEntries(resources);
  untranslated_ = ResourceList::UntranslatedEntries(resources);
  const NTSTATUS status = InitMiniport(miniport, adapter, resources);
  if (!NT_SUCCESS(status)) {
    translated_.clear();
    untranslated_.clear();
    device_ = nullptr;
    return status;
  }
  initialised_ = true;
  return STATUS_SUCCESS;
}

NTSTATUS PortCore::GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG result) {
  if (result) *result = 0;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS PortCore::NewRegistryKeyCommon(PREGISTRYKEY* out, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                                        POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition) {
  if (!device_) return STATUS_INVALID_DEVICE_STATE;
  return PcNewRegistryKey(out, outer, type, access, device_, Unknown(),
                          attributes, options, disposition);
}

// ---- Topology ---------------------------------------------------------------------------

NTSTATUS TopologyPort::Create(PPORT* out) {
  auto* port = new (kTagPort) TopologyPort();
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  *out = port;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TopologyPort::QueryInterface(REFIID id, PVOID* out) {
  return QueryCommon(id, out, IID_IPortTopology);
}

NTSTATUS TopologyPort::InitMiniport(PUNKNOWN unknown, PUNKNOWN adapter, PRESOURCELIST resources) {
  PMINIPORTTOPOLOGY miniport = nullptr;
  CheckImageInterface(unknown, IID_IUnknown);
  NTSTATUS status = unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status) || !miniport) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
  CheckImageInterface(miniport, IID_IMiniportTopology);
  status = miniport->Init(adapter, resources, this);
  if (!NT_SUCCESS(status)) {
    miniport->Release();
    return status;
  }
  miniport_ = miniport;
  return STATUS_SUCCESS;
}

// ---- MIDI ---------------------------------------------------------------------------------

NTSTATUS MidiPort::Create(PPORT* out) {
  auto* port = new (kTagPort) MidiPort();
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  *out = port;
  return STATUS_SUCCESS;
}

MidiPort::~MidiPort() { ReleaseKindChildren(); }

void MidiPort::ReleaseKindChildren() {
  if (PSERVICEGROUP group = serviceGroup_) {
    serviceGroup_ = nullptr;
    group->Release();
  }
}

STDMETHODIMP_(NTSTATUS) MidiPort::QueryInterface(REFIID id, PVOID* out) { return QueryCommon(id, out, IID_IPortMidi); }

NTSTATUS MidiPort::InitMiniport(PUNKNOWN unknown, PUNKNOWN adapter, PRESOURCELIST resources) {
  PMINIPORTMIDI miniport = nullptr;
  NTSTATUS status = unknown->QueryInterface(IID_IMiniportMidi, reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status) || !miniport) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
  PSERVICEGROUP group = nullptr;
  status = miniport->Init(adapter, resources, this, &group);
  if (!NT_SUCCESS(status)) {
    if (group) group->Release();
    miniport->Release();
    return status;
  }
  miniport_ = miniport;
  if (group) {
    if (serviceGroup_) serviceGroup_->Release();
    serviceGroup_ = group;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(VOID) MidiPort::Notify(PSERVICEGROUP group) {
  ServiceGroup::Notify(group, Kernel::Require("IPortMidi::Notify").ServiceLatency());
}

STDMETHODIMP_(NTSTATUS) MidiPort::RegisterServiceGroup(PSERVICEGROUP group) {
  if (!group) return STATUS_INVALID_PARAMETER;
  group->AddRef();
  if (serviceGroup_) serviceGroup_->Release();
  serviceGroup_ = group;
  return STATUS_SUCCESS;
}

// ---- WavePci ------------------------------------------------------------------------------

NTSTATUS WavePciPort::Create(PPORT* out) {
  auto* port = new (kTagPort) WavePciPort();
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  *out = port;
  return STATUS_SUCCESS;
}

WavePciPort::~WavePciPort() { ReleaseKindChildren(); }

void WavePciPort::ReleaseKindChildren() {
  if (PSERVICEGROUP group = serviceGroup_) {
    serviceGroup_ = nullptr;
    group->Release();
  }
}

STDMETHODIMP_(NTSTATUS) WavePciPort::QueryInterface(REFIID id, PVOID* out) {
  return QueryCommon(id, out, IID_IPortWavePci);
}

NTSTATUS WavePciPort::InitMiniport(PUNKNOWN unknown, PUNKNOWN adapter, PRESOURCELIST resources) {
  PMINIPORTWAVEPCI miniport = nullptr;
  CheckImageInterface(unknown, IID_IUnknown);
  NTSTATUS status = unknown->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status) || !miniport) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
  CheckImageInterface(miniport, IID_IMiniportWavePci);
  PSERVICEGROUP group = nullptr;
  status = miniport->Init(adapter, resources, this, &group);
  if (!NT_SUCCESS(status)) {
    if (group) group->Release();
    miniport->Release();
    return status;
  }
  miniport_ = miniport;
  serviceGroup_ = group;  // the out-parameter's reference is the port's now
  return STATUS_SUCCESS;
}

STDMETHODIMP_(VOID) WavePciPort::Notify(PSERVICEGROUP group) {
  ServiceGroup::Notify(group, Kernel::Require("IPortWavePci::Notify").ServiceLatency());
}

STDMETHODIMP_(NTSTATUS) WavePciPort::NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN outer, POOL_TYPE,
                                                         PRESOURCELIST, BOOLEAN scatterGather,
                                                         BOOLEAN dma32BitAddresses, BOOLEAN, BOOLEAN, DMA_WIDTH,
                                                         DMA_SPEED, ULONG maximumLength, ULONG) {
  return NewWavePciMasterDmaChannel(channel, outer, scatterGather, dma32BitAddresses, maximumLength);
}

}  // namespace host

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  host::Kernel::Require("PcNewPort").CheckIrqlAtMost(PASSIVE_LEVEL, "PcNewPort");
  if (!OutPort) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(ClassId, CLSID_PortTopology)) return host::TopologyPort::Create(OutPort);
  if (IsEqualGUIDAligned(ClassId, CLSID_PortWavePci)) return host::WavePciPort::Create(OutPort);
  if (IsEqualGUIDAligned(ClassId, CLSID_PortMidi)) return host::MidiPort::Create(OutPort);
  return STATUS_INVALID_PARAMETER;
}
