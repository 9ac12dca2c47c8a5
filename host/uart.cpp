#include "host/uart.h"

#include "host/interrupt_sync.h"
#include "host/kernel.h"
#include "host/service_group.h"

namespace host {

namespace {
// How long the reset waits for the MPU-401: ample for a real one (microseconds).
constexpr int kPollLimit = 1000;
}  // namespace

NTSTATUS UartMiniport::Create(PMINIPORT* out) {
  auto* miniport = new (kTagMiniport) UartMiniport();
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  *out = miniport;
  return STATUS_SUCCESS;
}

UartMiniport::~UartMiniport() {
  if (interruptSync_) {
    if (routineRegistered_) {
      if (InterruptSync* own = InterruptSync::FromInterface(interruptSync_))
        own->UnregisterServiceRoutine(InterruptRoutine, this);
    }
    interruptSync_->Release();
  }
  if (serviceGroup_) serviceGroup_->Release();
}

STDMETHODIMP_(NTSTATUS) UartMiniport::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IMiniport) ||
      IsEqualGUIDAligned(id, IID_IMiniportMidi)) {
    *out = static_cast<IMiniportMidi*>(this);
  } else if (IsEqualGUIDAligned(id, IID_IHostFrameworkObject)) {
    *out = static_cast<FrameworkObject*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) UartMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  // The UART's two-pin MIDI filter is the framework's own; nothing outside
  // the framework walks it here.
  static const PCFILTER_DESCRIPTOR kEmpty = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 0, nullptr,
                                             sizeof(PCNODE_DESCRIPTOR), 0, nullptr, 0, nullptr, 0, nullptr};
  if (!description) return STATUS_INVALID_PARAMETER;
  *description = const_cast<PPCFILTER_DESCRIPTOR>(&kEmpty);
  return STATUS_SUCCESS;
}

bool UartMiniport::Command(UCHAR command) {
  auto* status = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(portBase_ + kStatusPort));
  auto* data = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(portBase_ + kDataPort));
  int polls = 0;
  while (READ_PORT_UCHAR(status) & kStatusOutputFull) {
    if (++polls > kPollLimit) return false;
  }
  WRITE_PORT_UCHAR(status, command);
  // The acknowledgement may follow other bytes already in the input queue.
  for (polls = 0; polls < kPollLimit; ++polls) {
    if (READ_PORT_UCHAR(status) & kStatusInputEmpty) continue;
    if (READ_PORT_UCHAR(data) == kAck) return true;
  }
  return false;
}

STDMETHODIMP_(NTSTATUS) UartMiniport::Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTMIDI,
                                           PSERVICEGROUP* serviceGroup) {
  Kernel::Require("IMiniportMidi::Init").CheckIrqlAtMost(PASSIVE_LEVEL, "IMiniportMidi::Init");
  if (serviceGroup) *serviceGroup = nullptr;
  if (!resources) return STATUS_INVALID_PARAMETER;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR port = resources->FindTranslatedEntry(CmResourceTypePort, 0);
  if (!port || port->u.Port.Length < 2 || port->u.Port.Start.QuadPart > 0xFFFE) {
    DbgPrint("host: MPU-401 UART miniport: no usable I/O port in its resources\n");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  portBase_ = static_cast<USHORT>(port->u.Port.Start.QuadPart);

  // The adapter object is the interrupt-sync object to hook into; without
  // one the UART works without input interrupts.
  if (adapter) {
    PINTERRUPTSYNC sync = nullptr;
    if (NT_SUCCESS(adapter->QueryInterface(IID_IInterruptSync, reinterpret_cast<PVOID*>(&sync))) && sync)
      interruptSync_ = sync;
  }

  // A reset, then UART mode: the MPU-401 acknowledges each. A reset sent
  // while already in UART mode is not acknowledged, so it is sent twice.
  if (!Command(kCommandReset) && !Command(kCommandReset)) {
    DbgPrint("host: MPU-401 UART miniport: no acknowledgement of the reset at 0x%X\n", portBase_);
    return STATUS_IO_DEVICE_ERROR;
  }
  if (!Command(kCommandUartMode)) {
    DbgPrint("host: MPU-401 UART miniport: no acknowledgement of UART mode at 0x%X\n", portBase_);
    return STATUS_IO_DEVICE_ERROR;
  }

  if (interruptSync_) {
    const NTSTATUS status = interruptSync_->RegisterServiceRoutine(InterruptRoutine, this, FALSE);
    if (!NT_SUCCESS(status)) return status;
    routineRegistered_ = true;
  }
  if (serviceGroup) {
    PSERVICEGROUP group = nullptr;
    if (NT_SUCCESS(PcNewServiceGroup(&group, nullptr))) {
      serviceGroup_ = group;
      group->AddRef();
      *serviceGroup = group;
    }
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) UartMiniport::NewStream(PUNKNOWN* stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                                                PSERVICEGROUP* serviceGroup) {
  if (stream) *stream = nullptr;
  if (serviceGroup) *serviceGroup = nullptr;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI UartMiniport::InterruptRoutine(PINTERRUPTSYNC, PVOID context) {
  auto* self = static_cast<UartMiniport*>(context);
  auto* status = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(self->portBase_ + kStatusPort));
  auto* data = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(self->portBase_ + kDataPort));
  bool any = false;
  for (int i = 0; i < 64 && !(READ_PORT_UCHAR(status) & kStatusInputEmpty); ++i) {
    self->received_.push_back(READ_PORT_UCHAR(data));
    any = true;
  }
  return any ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace host

NTSTATUS NTAPI PcNewMiniport(PMINIPORT* OutMiniport, REFCLSID ClassId) {
  host::Kernel::Require("PcNewMiniport").CheckIrqlAtMost(PASSIVE_LEVEL, "PcNewMiniport");
  if (!OutMiniport) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(ClassId, CLSID_MiniportDriverUart)) return host::UartMiniport::Create(OutMiniport);
  return STATUS_INVALID_PARAMETER;
}
