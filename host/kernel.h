// host::Kernel: the user-mode stand-in for the Windows kernel and HAL that the
// driver runs on. One Kernel per run, bound to one sim::Machine; the C entry
// points of the platform reach it through Kernel::Current().
//
// The kernel is strict: every broken kernel rule becomes a host::Violation
// whose message starts with the rule's name ("IRQL: ...", "pool: ...",
// "lock order: ..."). The default handler prints it and aborts, as a bug
// check would; tests install a handler that records.
//
// Default mode is single-threaded and deterministic: interrupts are delivered
// at port-access boundaries, deferred work runs when the level drops below
// DISPATCH_LEVEL, and time moves only on the machine's virtual clock.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/pool.h"
#include "host/violation.h"
#include "sim/machine.h"

namespace host {

class IoManager;
class Registry;

// What the kernel needs from a connected interrupt: the vector it listens on
// and the routine that services it (at DEVICE_LEVEL, inside Deliver).
class InterruptTarget {
 public:
  virtual ~InterruptTarget() = default;
  // Returns true when one of its routines claimed the interrupt.
  virtual bool ServiceInterrupt() = 0;
  virtual ULONG Vector() const = 0;
};

// Names an IRQL for messages: "DISPATCH_LEVEL", "IRQL 5".
std::string IrqlName(KIRQL irql);
// Formats a pointer the way messages show it: "0x7f..".
std::string Hex(const void* pointer);
std::string Hex(std::uint64_t value);

class Kernel {
 public:
  // The translated vector the host gives the machine's interrupt line, and
  // the level its routines run at.
  static ULONG TranslatedVector(ULONG irq) { return 0x30 + irq; }
  static constexpr KIRQL kDeviceIrql = DEVICE_LEVEL;
  // A wait without a time-out that sees this much virtual time pass without
  // being satisfied is reported as never satisfied.
  static constexpr sim::Ticks kWaitForeverLimit = 60 * sim::kTicksPerSecond;

  explicit Kernel(sim::Machine& machine);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel the platform's C entry points use; null when none exists.
  static Kernel* Current();
  // As Current(), but aborts with a clear message when there is none.
  static Kernel& Require(const char* caller);

  sim::Machine& Machine() { return machine_; }
  sim::Ticks Now() const { return machine_.GetClock().Now(); }

  // ---- Violations ---------------------------------------------------------
  void SetViolationHandler(ViolationHandler handler);
  // Reports a broken rule; the message is "<rule>: <text>".
  void Violate(std::string_view rule, const std::string& text);
  std::size_t ViolationCount() const { return violationCount_; }

  // Runs the teardown checks (leaked pool, IRPs, I/O-space mappings, held
  // locks, connected interrupts) once; the destructor calls it if nobody did.
  void Teardown();

  // ---- Subsystems ---------------------------------------------------------
  Pool& GetPool() { return *pool_; }
  IoManager& Io() { return *io_; }
  // The registry outlives devices: a test or tool loads it before a start
  // and reads or saves it after a stop.
  Registry& GetRegistry() { return *registry_; }

  // ---- IRQL ---------------------------------------------------------------
  KIRQL Irql() const;
  void RaiseIrql(KIRQL newIrql, KIRQL* oldIrql, const char* caller);
  void LowerIrql(KIRQL newIrql, const char* caller);
  // Checks that the level is at most `maximum` for `caller`; reports an IRQL
  // violation otherwise. Returns whether the level was acceptable.
  bool CheckIrqlAtMost(KIRQL maximum, const char* caller);
  void PagedCodeCheck(const char* function);

  // ---- Locks and dispatcher objects --------------------------------------
  // A name for a lock (or any kernel object) address, used in messages.
  void NameObject(const void* address, std::string name);
  std::string ObjectName(const void* address, const char* kind) const;

  KIRQL AcquireSpinLock(PKSPIN_LOCK lock, bool atDpcLevel, const char* caller);
  void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, bool fromDpcLevel, const char* caller);
  bool SpinLockHeld(const void* lock) const;
  // Spin locks held by the running context (innermost last).
  std::vector<const void*> HeldSpinLocks() const;

  void InitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
  LONG SetEvent(PRKEVENT event);
  void ClearEvent(PRKEVENT event);
  LONG ReadStateEvent(PRKEVENT event);
  void InitializeMutex(PRKMUTEX mutex);
  LONG ReleaseMutex(PRKMUTEX mutex);
  NTSTATUS WaitForSingleObject(PVOID object, PLARGE_INTEGER timeout);

  // Held around an ISR or CallSynchronizedRoutine: an interrupt object's lock,
  // tracked like a spin lock but taken at DEVICE_LEVEL.
  void AcquireInterruptLock(const void* lock, const char* caller);
  void ReleaseInterruptLock(const void* lock);

  // Forgets every lock, event and mutex whose storage lies in [base, base+size)
  // (the memory is being freed); a held lock there is a violation.
  void ForgetObjectsIn(const void* base, std::size_t size, const char* why);

  // ---- Time ---------------------------------------------------------------
  void Stall(ULONG microseconds);
  LONGLONG SystemTime() const;
  static constexpr LONGLONG kSystemTimeBase = 0x01D5'0000'0000'0000LL;  // some day in 2019

  // ---- Port I/O and interrupts -------------------------------------------
  ULONG PortRead(ULONG_PTR port, int width, const char* caller);
  void PortWrite(ULONG_PTR port, int width, ULONG value, const char* caller);
  // The point after a port access, a stall or a level change where an
  // asserted interrupt is delivered and due deferred work runs.
  void Boundary();

  NTSTATUS ConnectInterrupt(InterruptTarget* target);
  void DisconnectInterrupt(InterruptTarget* target);
  bool InterruptConnected(const InterruptTarget* target) const;
  // Replaces the machine's interrupt line with a probe (host tests drive the
  // line without programming a controller). Null restores the machine's line.
  void SetInterruptLineProbe(std::function<bool()> probe);
  bool InterruptLineAsserted();
  std::uint64_t InterruptsDelivered() const { return interruptsDelivered_; }

  // ---- Physical memory mappings and firmware ------------------------------
  PVOID MapIoSpace(std::uint64_t physical, SIZE_T bytes);
  void UnmapIoSpace(PVOID base, SIZE_T bytes);
  std::size_t IoSpaceMappings() const;
  std::optional<std::uint32_t> PhysicalOfMapped(const void* address) const;
  void CallFirmware(PVOID entry, ULONG* eax, ULONG* ebx, ULONG* ecx, ULONG* edx, ULONG* esi, ULONG* edi,
                    BOOLEAN* carry);

  // ---- Deferred work and the event loop -----------------------------------
  enum class WorkLevel { Dispatch, Passive };
  using WorkId = std::uint64_t;
  // Queues `work` to run at `due` (virtual time): Dispatch work runs at
  // DISPATCH_LEVEL as soon as the level is below DISPATCH_LEVEL and it is
  // due; Passive work (the bus driver's pended completions) runs from waits
  // and the event loop.
  // `cancel` runs instead of `work` when the item is cancelled or dropped at
  // teardown (to release what the item holds).
  WorkId QueueWork(sim::Ticks due, WorkLevel level, std::function<void()> work, std::string label,
                   std::function<void()> cancel = {});
  bool CancelWork(WorkId id);
  std::size_t PendingWork() const;
  // Runs every due item that the current level allows. Returns the count.
  std::size_t RunDueWork();

  // Advance the clock by `ticks`, delivering interrupts and deferred work.
  void RunFor(sim::Ticks ticks);
  // Runs until `condition` holds or `limit` ticks passed; returns whether it
  // held. Called at PASSIVE_LEVEL.
  bool RunUntil(const std::function<bool()>& condition, sim::Ticks limit);

  // The latency between IPortWavePci::Notify and the service group's run.
  void SetServiceLatency(sim::Ticks ticks) { serviceLatency_ = ticks; }
  sim::Ticks ServiceLatency() const { return serviceLatency_; }

  // ---- Debug output -------------------------------------------------------
  void DebugPrint(const std::string& line);
  const std::vector<std::string>& DebugLog() const { return debugLog_; }
  void SetEchoDebugPrint(bool echo) { echoDebugPrint_ = echo; }

 private:
  struct HeldLock {
    const void* address;
    enum class Kind { Spin, Mutex, Interrupt } kind;
  };
  // One execution context: passive code, a deferred-work item or an ISR. The
  // lock-order record is per context; a lock held by an interrupted context
  // and taken again by the one that interrupted it is a deadlock.
  struct Context {
    const char* name;
    std::vector<HeldLock> held;
  };
  struct SpinLockState {
    std::mutex mutex;
    bool held = false;
    std::thread::id owner;
    KIRQL oldIrql = PASSIVE_LEVEL;
  };
  struct MutexState {
    std::recursive_mutex mutex;
    std::thread::id owner;
    int recursion = 0;
  };
  enum class DispatcherKind { NotificationEvent, SynchronizationEvent, Mutex };
  struct WorkItem {
    WorkId id;
    sim::Ticks due;
    WorkLevel level;
    std::function<void()> work;
    std::string label;
    std::function<void()> cancel;
  };
  struct IoMapping {
    std::uint8_t* base;
    std::uint64_t physical;
    SIZE_T bytes;
  };

  Context& CurrentContext();
  const Context& CurrentContext() const;
  void PushContext(const char* name);
  void PopContext();
  void NoteAcquired(const void* lock, HeldLock::Kind kind, const char* caller);
  void NoteReleased(const void* lock);
  bool LockHeldAnywhere(const void* lock) const;
  bool PathExists(const void* from, const void* to) const;
  SpinLockState& SpinState(const void* lock);
  std::optional<DispatcherKind> KindOf(const void* object) const;
  bool Signalled(PVOID object, DispatcherKind kind) const;
  void Satisfy(PVOID object, DispatcherKind kind);
  void SetIrqlRaw(KIRQL irql);
  void DeliverInterrupt();
  bool RunOneDueItem(bool passiveAllowed);
  std::optional<sim::Ticks> NextWorkDue(bool passiveAllowed) const;
  // One step of the event loop: run what is due, or else advance the clock
  // to the next hardware event or work item, but not past `end`. Returns
  // false when nothing at all is scheduled (the machine is idle).
  bool StepTowards(sim::Ticks end);
  void ReportLeaks();

  sim::Machine& machine_;
  ViolationHandler handler_;
  std::size_t violationCount_ = 0;
  bool tornDown_ = false;

  std::unique_ptr<Pool> pool_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<Registry> registry_;

  mutable std::recursive_mutex state_;  // guards the bookkeeping below
  KIRQL irql_ = PASSIVE_LEVEL;
  std::vector<Context> contexts_;
  std::unordered_map<const void*, std::unique_ptr<SpinLockState>> spinLocks_;
  std::unordered_map<const void*, std::unique_ptr<MutexState>> mutexes_;
  std::unordered_map<const void*, DispatcherKind> dispatcher_;
  std::set<std::pair<const void*, const void*>> lockOrder_;  // (first, then)
  std::unordered_map<const void*, std::string> names_;

  std::vector<InterruptTarget*> interrupts_;
  std::function<bool()> lineProbe_;
  bool delivering_ = false;
  std::uint64_t interruptsDelivered_ = 0;
  int consecutiveStuckDeliveries_ = 0;
  bool stormMasked_ = false;

  std::map<std::pair<sim::Ticks, WorkId>, WorkItem> work_;
  WorkId nextWorkId_ = 1;
  bool runningWork_ = false;
  sim::Ticks serviceLatency_ = 0;

  std::multimap<const std::uint8_t*, IoMapping> mappings_;

  std::vector<std::string> debugLog_;
  bool echoDebugPrint_ = false;
};

}  // namespace host
