#include "host/interrupt_sync.h"

#include "host/image_boundary.h"

namespace host {

NTSTATUS InterruptSync::Create(PINTERRUPTSYNC* out, PRESOURCELIST resources, ULONG index, INTERRUPTSYNCMODE mode) {
  if (!out || !resources) return STATUS_INVALID_PARAMETER;
  if (mode != InterruptSyncModeNormal && mode != InterruptSyncModeAll && mode != InterruptSyncModeRepeat)
    return STATUS_INVALID_PARAMETER;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt = resources->FindTranslatedEntry(CmResourceTypeInterrupt, index);
  if (!interrupt) return STATUS_INVALID_PARAMETER;
  auto* sync = new (kTagInterruptSync) InterruptSync(interrupt->u.Interrupt.Vector,
                                                     static_cast<KIRQL>(interrupt->u.Interrupt.Level), mode);
  if (!sync) return STATUS_INSUFFICIENT_RESOURCES;
  Kernel::Require("PcNewInterruptSync").NameObject(&sync->kinterrupt_, "interrupt lock " + Hex(&sync->kinterrupt_));
  *out = sync;
  return STATUS_SUCCESS;
}

InterruptSync::~InterruptSync() {
  // The framework disconnects an object that is released while connected.
  if (connected_) Kernel::Require("IInterruptSync::Release").DisconnectInterrupt(this);
}

InterruptSync* InterruptSync::FromInterface(IInterruptSync* sync) {
  if (!sync) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(sync->QueryInterface(IID_IHostFrameworkObject, &object)) || !object) return nullptr;
  auto* self = dynamic_cast<InterruptSync*>(static_cast<FrameworkObject*>(object));
  sync->Release();
  return self;
}

STDMETHODIMP_(NTSTATUS) InterruptSync::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IInterruptSync)) {
    *out = static_cast<IInterruptSync*>(this);
  } else if (IsEqualGUIDAligned(id, IID_IHostFrameworkObject)) {
    *out = static_cast<FrameworkObject*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) InterruptSync::CallSynchronizedRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context) {
  Kernel& kernel = Kernel::Require("IInterruptSync::CallSynchronizedRoutine");
  if (!routine) return STATUS_INVALID_PARAMETER;
  routine = FromImage(routine, "synchronized routine");
  KIRQL old = PASSIVE_LEVEL;
  const KIRQL current = kernel.Irql();
  // Raising to the device level holds the interrupt off on this processor;
  // the lock holds it off everywhere else.
  if (current < Kernel::kDeviceIrql) kernel.RaiseIrql(Kernel::kDeviceIrql, &old, "CallSynchronizedRoutine");
  kernel.AcquireInterruptLock(&kinterrupt_, "CallSynchronizedRoutine");
  const NTSTATUS status = routine(this, context);
  kernel.ReleaseInterruptLock(&kinterrupt_);
  if (current < Kernel::kDeviceIrql) kernel.LowerIrql(old, "CallSynchronizedRoutine");
  // The interrupt may run on another processor from here: a point a race test can hold the caller at.
  kernel.FrameworkRacePoint("CallSynchronizedRoutine", status);
  return status;
}

STDMETHODIMP_(PKINTERRUPT) InterruptSync::GetKInterrupt() {
  return connected_ ? reinterpret_cast<PKINTERRUPT>(&kinterrupt_) : nullptr;
}

STDMETHODIMP_(NTSTATUS) InterruptSync::Connect() {
  Kernel& kernel = Kernel::Require("IInterruptSync::Connect");
  if (connected_) return STATUS_INVALID_DEVICE_STATE;
  // Connected before it is marked: an interrupt already pending is taken
  // inside ConnectInterrupt and must find the object connected.
  connected_ = true;
  const NTSTATUS status = kernel.ConnectInterrupt(this);
  if (!NT_SUCCESS(status)) connected_ = false;
  return status;
}

STDMETHODIMP_(void) InterruptSync::Disconnect() {
  if (!connected_) return;
  Kernel::Require("IInterruptSync::Disconnect").DisconnectInterrupt(this);
  connected_ = false;
}

STDMETHODIMP_(NTSTATUS) InterruptSync::RegisterServiceRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context,
                                                              BOOLEAN first) {
  Kernel& kernel = Kernel::Require("IInterruptSync::RegisterServiceRoutine");
  if (!routine) return STATUS_INVALID_PARAMETER;
  routine = FromImage(routine, "interrupt service routine");
  // The routine list lives in pool memory in the framework; its allocation
  // can fail like any other.
  if (kernel.GetPool().ShouldFail(kTagInterruptSync)) return STATUS_INSUFFICIENT_RESOURCES;
  // Changing the list must not race an interrupt.
  KIRQL old = PASSIVE_LEVEL;
  const KIRQL current = kernel.Irql();
  if (current < Kernel::kDeviceIrql) kernel.RaiseIrql(Kernel::kDeviceIrql, &old, "RegisterServiceRoutine");
  if (first)
    routines_.insert(routines_.begin(), Routine{routine, context});
  else
    routines_.push_back(Routine{routine, context});
  if (current < Kernel::kDeviceIrql) kernel.LowerIrql(old, "RegisterServiceRoutine");
  return STATUS_SUCCESS;
}

void InterruptSync::UnregisterServiceRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context) {
  std::erase_if(routines_, [&](const Routine& r) { return r.routine == routine && r.context == context; });
}

bool InterruptSync::ServiceInterrupt() {
  Kernel& kernel = Kernel::Require("interrupt delivery");
  kernel.AcquireInterruptLock(&kinterrupt_, "interrupt service routine");
  bool claimed = false;
  // Copy: a routine may not change the list, but the list must not move
  // under the loop if one does.
  const std::vector<Routine> routines = routines_;
  switch (mode_) {
    case InterruptSyncModeNormal:
      for (const Routine& r : routines) {
        if (NT_SUCCESS(r.routine(this, r.context))) {
          claimed = true;
          break;
        }
      }
      break;
    case InterruptSyncModeAll:
      for (const Routine& r : routines) claimed |= NT_SUCCESS(r.routine(this, r.context));
      break;
    case InterruptSyncModeRepeat:
      for (int pass = 0; pass < 64; ++pass) {
        bool any = false;
        for (const Routine& r : routines) any |= NT_SUCCESS(r.routine(this, r.context));
        claimed |= any;
        if (!any) break;
      }
      break;
  }
  kernel.ReleaseInterruptLock(&kinterrupt_);
  return claimed;
}

}  // namespace host

NTSTATUS NTAPI PcNewInterruptSync(PINTERRUPTSYNC* OutInterruptSync, PUNKNOWN, PRESOURCELIST ResourceList,
                                  ULONG ResourceIndex, INTERRUPTSYNCMODE Mode) {
  host::Kernel::Require("PcNewInterruptSync").CheckIrqlAtMost(PASSIVE_LEVEL, "PcNewInterruptSync");
  return host::InterruptSync::Create(OutInterruptSync, ResourceList, ResourceIndex, Mode);
}
