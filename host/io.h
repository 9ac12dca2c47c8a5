// The I/O manager's IRP handling: allocation (fault-injectable), the stack
// walk of IoCallDriver and IoCompleteRequest with completion routines and the
// pending protocol, and the checks a verifier makes on each step.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

namespace host {

class Kernel;

class IoManager {
 public:
  enum class State { Idle, InFlight, Completed, Reclaimed };

  explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  static USHORT SizeOfIrp(CCHAR stackSize);

  // IoAllocateIrp. `hostOwned` packets are the PnP manager's: completing one
  // all the way up is its normal end, not a driver error.
  PIRP Allocate(CCHAR stackSize, bool hostOwned);
  void Initialize(PIRP irp, USHORT packetSize, CCHAR stackSize);
  void Free(PIRP irp);
  NTSTATUS Call(PDEVICE_OBJECT device, PIRP irp);
  void Complete(PIRP irp, CCHAR priorityBoost);

  bool IsLive(PIRP irp) const;
  State StateOf(PIRP irp) const;
  std::size_t LiveCount() const;

  // Every IoAllocateIrp returns NULL while set (besides the pool's injector,
  // which IoAllocateIrp consults under the tag "Irp ").
  void SetFailAllocations(bool fail) { failAllocations_ = fail; }
  std::uint64_t Allocations() const { return allocations_; }

  // Reports IRPs still allocated, then releases all memory.
  void ReportLeaks();

 private:
  struct Packet {
    unsigned char* memory = nullptr;
    CCHAR stackCapacity = 0;
    bool hostOwned = false;
    State state = State::Idle;
    // Stack locations (by index) that carried SL_PENDING_RETURNED when the
    // completion walk passed them, for the check after a dispatch routine.
    std::set<int> pendingMarked;
  };
  Packet* Find(PIRP irp);
  const Packet* Find(PIRP irp) const;

  Kernel& kernel_;
  mutable std::recursive_mutex mutex_;
  std::map<PIRP, Packet> live_;
  std::set<PIRP> freed_;
  std::map<PIRP, unsigned char*> quarantine_;
  bool failAllocations_ = false;
  std::uint64_t allocations_ = 0;
};

}  // namespace host
