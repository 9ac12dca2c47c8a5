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
//
// The threaded mode (StartThreads) is a machine with several processors: an
// interrupt thread runs the connected routines at DEVICE_LEVEL whenever the
// line is asserted, excluded only by the interrupt's own lock; a dispatch
// thread runs deferred work; a hardware thread advances the machine in small
// steps; passive callers bring their own threads. IRQL, held locks and the
// lock-order record are per thread in both modes, so every rule is checked
// the same way.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <atomic>
#include <chrono>
#include <condition_variable>
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

// Where a thread of the threaded mode can be held by a test: each port access
// (after it happened, with the value read or written), each time a thread is
// about to block on a lock or a wait because someone else has it, and each
// return from a framework call the miniport makes with its own locks dropped
// (GetMapping, ReleaseMapping), with the status returned.
struct RacePoint {
  enum class Kind { PortRead, PortWrite, Blocking, FrameworkCall };
  Kind kind;
  ULONG port = 0;
  int width = 0;
  ULONG value = 0;
  const void* object = nullptr;  // the lock or object of a Blocking point
  const char* call = nullptr;    // the framework call of a FrameworkCall point
  NTSTATUS status = 0;
};

struct ThreadOptions {
  std::uint32_t seed = 1;
  // The hardware thread advances the clock by at most this much per step.
  sim::Ticks hardwareStep = 20 * sim::kTicksPerMicrosecond;
  // After a step, the hardware waits for the interrupt and dispatch threads
  // to catch up for up to a random number of polls in [0, patience]: small
  // values give random service latency, large ones a driver that keeps up.
  unsigned patience = 2000;
  // A thread blocked on one lock this long (real time) is deadlocked: the
  // watchdog prints every thread with what it holds and waits for, and
  // aborts, so a hung test fails with the names instead of hanging.
  std::chrono::milliseconds deadlockLimit{std::chrono::seconds(30)};
  // A wait on an event without a time-out that sees this much virtual time
  // pass unsatisfied is a "deadlock" violation naming the waiter.
  sim::Ticks waitForeverLimit = 60 * sim::kTicksPerSecond;
};

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
  // A wait without a time-out that nothing pending can satisfy is a
  // "deadlock" violation at once; one that sees this much virtual time pass
  // (work keeps coming, none of it signals) is one too. In the threaded mode
  // the limit is ThreadOptions::waitForeverLimit, and a thread blocked on a
  // mutex is left to the real-time watchdog (ThreadOptions::deadlockLimit).
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
  std::size_t ViolationCount() const { return violationCount_.load(); }

  // ---- Machine faults -----------------------------------------------------
  // Every fault the machine records (a codec command lost because the port
  // was busy, a DMA access outside memory, ...) is a violation named after
  // whose it is ("codec: ...", "bus: ...", "sgd: ..."), unless a test that
  // provokes it declared it expected: a fault whose text contains `text`
  // is then only counted.
  void ExpectMachineFault(std::string text);
  std::size_t ExpectedMachineFaults() const { return expectedFaultsSeen_; }

  // ---- What the device's DMA may reach --------------------------------------
  // Common buffers while allocated and mappings while handed out; the
  // machine records a "dma" fault for a bus-master access outside all of
  // them. Windows may overlap and are counted: each open is closed once.
  void OpenDmaWindow(std::uint32_t physical, std::uint32_t length);
  void CloseDmaWindow(std::uint32_t physical, std::uint32_t length);
  bool InsideDmaWindows(std::uint32_t physical, std::uint32_t length) const;

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
  // A driver routine returns at the level it was called at, owing no wait;
  // reports `routine` otherwise and puts the level back, so one broken call
  // does not starve the rest of the run of deferred work.
  void CheckReturnedAt(KIRQL expected, const char* routine);
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
  // With `wait` the caller is left at DISPATCH_LEVEL, as on the platform,
  // and its very next call must be a KeWaitXxx (which lowers it back).
  LONG ReleaseMutex(PRKMUTEX mutex, bool wait = false);
  // An alertable wait may end early with STATUS_ALERTED: the host takes the
  // stricter choice and alerts it at once when the event is not yet set.
  NTSTATUS WaitForSingleObject(PVOID object, PLARGE_INTEGER timeout, bool alertable = false);

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
  std::uint64_t InterruptsDelivered() const { return interruptsDelivered_.load(); }

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

  // From now on a port's QueryInterface for `iid` fails with `status`, as a
  // framework without that interface would; STATUS_SUCCESS answers it again.
  void RefusePortInterface(const GUID& iid, NTSTATUS status) {
    refusedPortInterface_ = iid;
    portInterfaceRefusal_ = status;
  }
  // What a port's QueryInterface for `iid` must fail with, or STATUS_SUCCESS.
  NTSTATUS PortInterfaceRefusal(const GUID& iid) const {
    return IsEqualGUID(iid, refusedPortInterface_) ? portInterfaceRefusal_ : STATUS_SUCCESS;
  }

  // ---- Threaded mode ------------------------------------------------------
  // Starts the interrupt, dispatch and hardware threads; from then on
  // interrupts and deferred work run there instead of at boundaries, and
  // RunFor/RunUntil wait for the hardware thread instead of driving it.
  void StartThreads(ThreadOptions options = {});
  // Joins the three threads; the kernel is deterministic again (what is still
  // queued runs from the event loop as before).
  void StopThreads();
  bool Threaded() const { return threaded_.load(); }
  // Stops or resumes the hardware thread's advance of the clock (port
  // accesses and stalls still move it).
  void PauseHardware(bool paused) { hardwarePaused_.store(paused); }
  // Names the calling thread for messages and race hooks ("passive 1").
  void NameThread(std::string name);
  std::string ThreadName() const;
  // Called on the running thread at every RacePoint (threaded mode only).
  void SetRaceHook(std::function<void(const RacePoint&)> hook);
  // Reports a race point of the framework stand-in (no-op unless threaded).
  void FrameworkRacePoint(const char* call, NTSTATUS status);
  // Marks the calling thread as held by a test, so the hardware does not
  // wait for it to catch up.
  void SetThreadHeld(bool held);
  // Every thread the kernel knows: its name, level, the locks each of its
  // contexts holds and what it is blocked on (for deadlock reports).
  std::string DescribeThreads() const;
  std::uint64_t DeferredItemsRun() const { return deferredRun_.load(); }

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
    std::uint64_t id = 0;  // distinguishes contexts that share one thread
  };
  // Per thread: its level and its stack of contexts (an ISR delivered at a
  // boundary in the deterministic mode stacks on the code it interrupted).
  struct ThreadState {
    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<Context> contexts;
    bool held = false;
    bool busy = false;  // the interrupt or dispatch thread is running driver code
    const void* waitingFor = nullptr;  // the lock, mutex or event it is blocked on
    std::chrono::steady_clock::time_point waitingSince;
  };
  // Marks the calling thread blocked on `object` (null: no longer blocked).
  void NoteWaiting(const void* object);
  void WatchdogThread(std::chrono::milliseconds limit);
  struct SpinLockState {
    std::mutex mutex;
    bool held = false;
    std::thread::id owner;
    KIRQL oldIrql = PASSIVE_LEVEL;
  };
  // Owner and recursion are read by a waiter on another thread before it
  // blocks (is the owner itself?), while the owner changes them.
  struct MutexState {
    std::recursive_mutex mutex;
    std::atomic<std::thread::id> owner;
    std::uint64_t ownerContext = 0;
    const char* ownerName = nullptr;
    std::atomic<int> recursion{0};
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

  ThreadState& Self();
  const ThreadState& Self() const;
  Context& CurrentContext();
  const Context& CurrentContext() const;
  const char* CurrentContextName() const;
  bool LockHeldByThisThread(const void* lock) const;
  // Takes a lock's real mutex; in the threaded mode a contended lock first
  // reports a Blocking race point.
  void LockContended(std::mutex& mutex, const void* lock);
  void RaceHook(const RacePoint& point);
  void InterruptThread();
  void DispatchThread();
  void HardwareThread(ThreadOptions options);
  // The threaded form of a wait for an event: polls until it is signalled or
  // the deadline passes on the virtual clock.
  NTSTATUS WaitThreaded(PVOID object, DispatcherKind kind, sim::Ticks deadline, bool forever);
  void ReportEndlessWait(PVOID object, sim::Ticks waited);
  void PushContext(const char* name);
  void PopContext();
  void NoteAcquired(const void* lock, HeldLock::Kind kind, const char* caller);
  void NoteReleased(const void* lock);
  bool LockHeldAnywhere(const void* lock) const;
  bool PathExists(const void* from, const void* to) const;
  SpinLockState& SpinState(const void* lock);
  std::optional<DispatcherKind> KindOf(const void* object) const;
  bool Signalled(PVOID object, DispatcherKind kind) const;
  NTSTATUS WaitForMutex(PRKMUTEX mutex, bool zeroTimeout);
  // Whether anything already scheduled could still run and signal a waiter:
  // queued deferred work or timers, or an asserted interrupt.
  bool AnythingPending();
  void Satisfy(PVOID object, DispatcherKind kind);
  void SetIrqlRaw(KIRQL irql);
  void DeliverInterrupt();
  // Delivers once if the line is asserted and the level allows; whether it did.
  bool DeliverOnce();
  // Threaded: waits (the hardware thread moving time) until `condition`
  // holds or the clock reaches `end`; whether the condition held.
  bool WaitForTime(const std::function<bool()>& condition, sim::Ticks end);
  bool RunOneDueItem(bool passiveAllowed);
  std::optional<sim::Ticks> NextWorkDue(bool passiveAllowed) const;
  void EnterEventLoop(const char* loop);
  // One step of the event loop: run what is due, or else advance the clock
  // to the next hardware event or work item, but not past `end`. Returns
  // false when nothing at all is scheduled (the machine is idle).
  bool StepTowards(sim::Ticks end);
  void ReportLeaks();
  void OnMachineFault(const sim::TraceEntry& fault);

  sim::Machine& machine_;
  ViolationHandler handler_;
  std::atomic<std::size_t> violationCount_{0};
  std::vector<std::string> expectedFaults_;
  std::size_t expectedFaultsSeen_ = 0;
  bool tornDown_ = false;

  std::unique_ptr<Pool> pool_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<Registry> registry_;

  mutable std::recursive_mutex state_;  // guards the bookkeeping below
  std::unordered_map<std::thread::id, std::unique_ptr<ThreadState>> threads_;
  std::uint64_t nextContextId_ = 1;
  std::unordered_map<const void*, std::unique_ptr<SpinLockState>> spinLocks_;
  std::unordered_map<const void*, std::unique_ptr<MutexState>> mutexes_;
  std::unordered_map<const void*, DispatcherKind> dispatcher_;
  std::set<std::pair<const void*, const void*>> lockOrder_;  // (first, then)
  std::unordered_map<const void*, std::string> names_;

  std::vector<InterruptTarget*> interrupts_;
  std::function<bool()> lineProbe_;
  bool delivering_ = false;
  std::atomic<std::uint64_t> interruptsDelivered_{0};
  int consecutiveStuckDeliveries_ = 0;
  std::atomic<bool> stormMasked_{false};

  std::map<std::pair<sim::Ticks, WorkId>, WorkItem> work_;
  WorkId nextWorkId_ = 1;
  bool runningWork_ = false;
  sim::Ticks serviceLatency_ = 0;
  GUID refusedPortInterface_ = GUID_NULL;
  NTSTATUS portInterfaceRefusal_ = STATUS_SUCCESS;

  std::multimap<const std::uint8_t*, IoMapping> mappings_;

  // Start -> end of each open DMA window; the hardware thread reads them.
  mutable std::mutex dmaWindowsMutex_;
  std::multimap<std::uint32_t, std::uint64_t> dmaWindows_;

  std::vector<std::string> debugLog_;
  bool echoDebugPrint_ = false;

  std::recursive_mutex violationMutex_;  // one handler call at a time
  std::atomic<bool> threaded_{false};
  sim::Ticks threadedWaitLimit_ = kWaitForeverLimit;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> hardwarePaused_{false};
  std::atomic<std::uint64_t> deferredRun_{0};
  std::function<void(const RacePoint&)> raceHook_;
  std::mutex wakeMutex_;
  std::condition_variable wake_;  // the line changed, work was queued or time moved
  std::vector<std::thread> running_;
  std::thread::id interruptThread_;
  std::thread::id dispatchThread_;
};

}  // namespace host
