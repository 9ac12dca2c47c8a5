#include "host/service_group.h"

#include <algorithm>

#include "host/image_boundary.h"

namespace host {

NTSTATUS ServiceGroup::Create(PSERVICEGROUP* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  auto* group = new (kTagServiceGroup) ServiceGroup();
  if (!group) return STATUS_INSUFFICIENT_RESOURCES;
  *out = group;
  return STATUS_SUCCESS;
}

ServiceGroup::~ServiceGroup() {
  for (PSERVICESINK sink : members_) sink->Release();
}

STDMETHODIMP_(NTSTATUS) ServiceGroup::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IServiceSink) ||
      IsEqualGUIDAligned(id, IID_IServiceGroup)) {
    *out = static_cast<IServiceGroup*>(this);
  } else if (IsEqualGUIDAligned(id, IID_IHostFrameworkObject)) {
    *out = static_cast<FrameworkObject*>(this);
  } else {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) ServiceGroup::RequestService() {
  Kernel& kernel = Kernel::Require("IServiceGroup::RequestService");
  KIRQL old = PASSIVE_LEVEL;
  const bool raise = kernel.Irql() < DISPATCH_LEVEL;
  if (raise) kernel.RaiseIrql(DISPATCH_LEVEL, &old, "IServiceGroup::RequestService");
  // Members are held for the call: a sink may remove itself while serviced.
  std::vector<PSERVICESINK> members;
  {
    std::lock_guard guard(membersMutex_);
    members = members_;
    for (PSERVICESINK sink : members) sink->AddRef();
  }
  for (PSERVICESINK sink : members) sink->RequestService();
  for (PSERVICESINK sink : members) sink->Release();
  if (raise) kernel.LowerIrql(old, "IServiceGroup::RequestService");
}

STDMETHODIMP_(NTSTATUS) ServiceGroup::AddMember(PSERVICESINK sink) {
  if (!sink) return STATUS_INVALID_PARAMETER;
  CheckImageInterface(sink, IID_IServiceSink);
  if (Kernel::Require("IServiceGroup::AddMember").GetPool().ShouldFail(kTagServiceGroup))
    return STATUS_INSUFFICIENT_RESOURCES;
  sink->AddRef();
  std::lock_guard guard(membersMutex_);
  members_.push_back(sink);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) ServiceGroup::RemoveMember(PSERVICESINK sink) {
  {
    std::lock_guard guard(membersMutex_);
    auto found = std::find(members_.begin(), members_.end(), sink);
    if (found == members_.end()) return;
    members_.erase(found);
  }
  sink->Release();
}

STDMETHODIMP_(void) ServiceGroup::RequestDelayedService(ULONGLONG delay) {
  Kernel& kernel = Kernel::Require("IServiceGroup::RequestDelayedService");
  if (!delayedSupported_) {
    kernel.Violate("service group", "RequestDelayedService on a group without SupportDelayedService");
    return;
  }
  CancelDelayedService();
  const LONGLONG signedDelay = static_cast<LONGLONG>(delay);
  const sim::Ticks now = kernel.Now();
  sim::Ticks due = now;
  if (signedDelay < 0)
    due = now + static_cast<sim::Ticks>(-signedDelay);
  else if (signedDelay > Kernel::kSystemTimeBase)
    due = std::max<sim::Ticks>(now, static_cast<sim::Ticks>(signedDelay - Kernel::kSystemTimeBase));
  AddRef();
  delayed_ = kernel.QueueWork(
      due, Kernel::WorkLevel::Dispatch,
      [this] {
        delayed_ = 0;
        RequestService();
        Release();
      },
      "delayed service", [this] {
        delayed_ = 0;
        Release();
      });
}

STDMETHODIMP_(void) ServiceGroup::CancelDelayedService() {
  if (delayed_) Kernel::Require("IServiceGroup::CancelDelayedService").CancelWork(delayed_);
}

void ServiceGroup::Notify(PSERVICEGROUP group, sim::Ticks latency) {
  if (!group) return;
  Kernel& kernel = Kernel::Require("Notify");
  PVOID object = nullptr;
  ServiceGroup* own = nullptr;
  if (NT_SUCCESS(group->QueryInterface(IID_IHostFrameworkObject, &object)) && object) {
    own = dynamic_cast<ServiceGroup*>(static_cast<FrameworkObject*>(object));
    group->Release();  // the look-up's reference
    if (own && own->notifyQueued_.exchange(true)) return;
  }
  group->AddRef();
  kernel.QueueWork(
      kernel.Now() + latency, Kernel::WorkLevel::Dispatch,
      [group, own] {
        if (own) own->notifyQueued_ = false;
        group->RequestService();
        group->Release();
      },
      "service group " + Hex(group), [group, own] {
        if (own) own->notifyQueued_ = false;
        group->Release();
      });
}

}  // namespace host

NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN) {
  host::Kernel::Require("PcNewServiceGroup").CheckIrqlAtMost(DISPATCH_LEVEL, "PcNewServiceGroup");
  return host::ServiceGroup::Create(OutServiceGroup);
}
