// IServiceGroup: a set of service sinks that the framework calls together at
// DISPATCH_LEVEL when the group is notified. Notify (by a port) and delayed
// service both become deferred work on the kernel's queue.
#pragma once

#include <portcls.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "host/com.h"
#include "host/kernel.h"

namespace host {

class ServiceGroup final : public IServiceGroup, public FrameworkObject {
 public:
  static NTSTATUS Create(PSERVICEGROUP* out);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_FRAMEWORK_REFCOUNT()
  // Calls every member's RequestService now, at DISPATCH_LEVEL.
  STDMETHODIMP_(void) RequestService() override;
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override;
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override;
  STDMETHODIMP_(void) SupportDelayedService() override { delayedSupported_ = true; }
  // A negative delay is relative (100-ns units), a positive one absolute
  // system time, as for a kernel timer.
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override;
  STDMETHODIMP_(void) CancelDelayedService() override;

  std::size_t MemberCount() const {
    std::lock_guard guard(membersMutex_);
    return members_.size();
  }

  // Queues `group`'s RequestService as deferred work after `latency` ticks,
  // once: a group already queued is not queued again (as a DPC is not).
  static void Notify(PSERVICEGROUP group, sim::Ticks latency);

 private:
  ServiceGroup() = default;
  ~ServiceGroup() override;

  std::vector<PSERVICESINK> members_;
  mutable std::mutex membersMutex_;  // the dispatch thread copies while a passive one changes
  bool delayedSupported_ = false;
  // Set by the interrupt routine's Notify, cleared by the deferred work it queued.
  std::atomic<bool> notifyQueued_{false};
  Kernel::WorkId delayed_ = 0;
};

}  // namespace host
