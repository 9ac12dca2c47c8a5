#include "fake_driver.h"

namespace fake {

Driver* Driver::current = nullptr;
int Miniport::live = 0;
int Miniport::inits = 0;
const PCFILTER_DESCRIPTOR* Miniport::description = nullptr;

namespace {

NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
  Driver* d = Driver::current;
  return d->start ? d->start(device, irp, resources) : STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Driver* d = Driver::current;
  d->pdo = pdo;
  d->revision = ReadConfigByte(pdo, 0x08, &d->configStatus);
  return PcAddAdapterDevice(driver, pdo, StartDevice, d->maxObjects, 0);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
  Driver* d = Driver::current;
  if (d->filter && IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_FILTER_RESOURCE_REQUIREMENTS)
    return d->filter(device, irp);
  return d->frameworkPnp(device, irp);
}

}  // namespace

NTSTATUS NTAPI Driver::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  const NTSTATUS status = PcInitializeAdapterDriver(driver, path, AddDevice);
  current->frameworkPnp = driver->MajorFunction[IRP_MJ_PNP];
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  return status;
}

UCHAR ReadConfigByte(PDEVICE_OBJECT pdo, ULONG offset, NTSTATUS* status) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
  if (!irp) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return 0;
  }
  irp->IoStatus.Status = Driver::current ? Driver::current->configSentWith : STATUS_NOT_SUPPORTED;
  ULONG word = 0;
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_READ_CONFIG;
  next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  next->Parameters.ReadWriteConfig.Buffer = &word;
  next->Parameters.ReadWriteConfig.Offset = offset;
  next->Parameters.ReadWriteConfig.Length = 1;
  IoSetCompletionRoutine(irp, Completion, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  *status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return static_cast<UCHAR>(word);
}

STDMETHODIMP_(NTSTATUS) Miniport::QueryInterface(REFIID id, PVOID* out) {
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IMiniport) ||
      IsEqualGUIDAligned(id, IID_IMiniportTopology)) {
    *out = static_cast<IMiniportTopology*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *out = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) Miniport::Release() {
  const ULONG left = --refs_;
  if (left == 0) {
    if (adapter) adapter->Release();
    delete this;
  }
  return left;
}

STDMETHODIMP_(NTSTATUS) Miniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  static const PCPIN_DESCRIPTOR kPins[2] = {};
  static const PCFILTER_DESCRIPTOR kFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, kPins,
                                              sizeof(PCNODE_DESCRIPTOR), 0, nullptr, 0, nullptr, 0, nullptr};
  *description = const_cast<PPCFILTER_DESCRIPTOR>(Miniport::description ? Miniport::description : &kFilter);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) Miniport::Init(PUNKNOWN adapterObject, PRESOURCELIST, PPORTTOPOLOGY) {
  ++inits;
  if (NT_SUCCESS(initResult) && adapterObject) {
    adapter = adapterObject;
    adapter->AddRef();
  }
  return initResult;
}

NTSTATUS Install(PDEVICE_OBJECT device, PIRP irp, PWCHAR name, PRESOURCELIST resources, PUNKNOWN* port) {
  PPORT created = nullptr;
  NTSTATUS status = PcNewPort(&created, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  auto* miniport = new Miniport();
  status = created->Init(device, irp, static_cast<IMiniportTopology*>(miniport), nullptr, resources);
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(device, name, created);
  miniport->Release();
  if (NT_SUCCESS(status) && port) status = created->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(port));
  created->Release();
  return status;
}

}  // namespace fake
