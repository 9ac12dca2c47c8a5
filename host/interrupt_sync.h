// IInterruptSync: the framework's interrupt object. Routines registered on
// it run at DEVICE_LEVEL under its lock when the kernel delivers the line it
// is connected to; CallSynchronizedRoutine runs a routine under the same
// lock, so it and the interrupt exclude each other.
#pragma once

#include <portcls.h>

#include <vector>

#include "host/com.h"
#include "host/kernel.h"

namespace host {

class InterruptSync final : public IInterruptSync, public FrameworkObject, public InterruptTarget {
 public:
  static NTSTATUS Create(PINTERRUPTSYNC* out, PRESOURCELIST resources, ULONG index, INTERRUPTSYNCMODE mode);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_FRAMEWORK_REFCOUNT()
  STDMETHODIMP_(NTSTATUS) CallSynchronizedRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context) override;
  STDMETHODIMP_(PKINTERRUPT) GetKInterrupt() override;
  STDMETHODIMP_(NTSTATUS) Connect() override;
  STDMETHODIMP_(void) Disconnect() override;
  STDMETHODIMP_(NTSTATUS) RegisterServiceRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context, BOOLEAN first) override;

  // The framework's own miniports take their routine off again when they go.
  void UnregisterServiceRoutine(PINTERRUPTSYNCROUTINE routine, PVOID context);

  // InterruptTarget
  bool ServiceInterrupt() override;
  ULONG Vector() const override { return vector_; }

  bool Connected() const { return connected_; }
  std::size_t RoutineCount() const { return routines_.size(); }
  // Returns the object behind an IInterruptSync the framework made, or null.
  static InterruptSync* FromInterface(IInterruptSync* sync);

 private:
  struct Routine {
    PINTERRUPTSYNCROUTINE routine;
    PVOID context;
  };
  InterruptSync(ULONG vector, KIRQL level, INTERRUPTSYNCMODE mode) : vector_(vector), level_(level), mode_(mode) {}
  ~InterruptSync() override;

  ULONG vector_;
  [[maybe_unused]] KIRQL level_;  // the line's level, kept as the kernel keeps it
  INTERRUPTSYNCMODE mode_;
  bool connected_ = false;
  std::vector<Routine> routines_;
  // Stands for the KINTERRUPT and for its spin lock (its address names it).
  struct { ULONG_PTR lock; } kinterrupt_{};
};

}  // namespace host
