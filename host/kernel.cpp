#include "host/kernel.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "host/io.h"
#include "host/registry.h"

namespace host {

namespace {

std::atomic<Kernel*> g_current{nullptr};

void DefaultHandler(const Violation& violation) {
  std::fprintf(stderr, "host: kernel rule broken: %s\n", violation.message.c_str());
  std::fflush(stderr);
  std::abort();
}

const char* KindName(int kind) {
  switch (kind) {
    case 0: return "spin lock";
    case 1: return "mutex";
    default: return "interrupt lock";
  }
}

}  // namespace

std::string IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case DEVICE_LEVEL: return "DEVICE_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
  }
}

std::string Hex(const void* pointer) { return Hex(reinterpret_cast<std::uintptr_t>(pointer)); }

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

Kernel::Kernel(sim::Machine& machine) : machine_(machine), handler_(DefaultHandler) {
  Kernel* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "host: a second host::Kernel was created while one exists\n");
    std::abort();
  }
  Self();  // the creating thread is the first passive one
  pool_ = std::make_unique<Pool>(*this);
  io_ = std::make_unique<IoManager>(*this);
  registry_ = std::make_unique<Registry>();
  if (const char* echo = std::getenv("ZATAC97_DBGPRINT"); echo && *echo && *echo != '0') echoDebugPrint_ = true;
  machine_.GetTrace().SetFaultObserver([this](const sim::TraceEntry& fault) { OnMachineFault(fault); });
  machine_.Memory().SetDmaWindowCheck(
      [this](std::uint32_t physical, std::uint32_t length) { return InsideDmaWindows(physical, length); });
}

namespace {
// Each thread remembers its own state in the kernel it last asked, so the
// per-thread IRQL and locks (read on every port access and lock) cost no map
// lookup. A kernel going away makes every thread's memory stale: another
// kernel may be built at the same address.
std::atomic<std::uint64_t> g_kernelsDestroyed{0};
struct SelfCache {
  const void* kernel = nullptr;
  std::uint64_t destroyed = 0;
  void* state = nullptr;
};
thread_local SelfCache t_self;
}  // namespace

Kernel::~Kernel() {
  StopThreads();
  machine_.GetTrace().SetFaultObserver({});
  machine_.Memory().SetDmaWindowCheck({});
  Teardown();
  io_.reset();
  pool_.reset();
  g_current.store(nullptr);
  // Last: the teardown above may still have asked for a thread's state.
  g_kernelsDestroyed.fetch_add(1);
}

Kernel* Kernel::Current() { return g_current.load(); }

namespace {
// A KeReleaseMutex with Wait TRUE left this thread at DISPATCH_LEVEL (from
// the level below), owing an immediate KeWaitXxx.
thread_local bool t_waitOwed = false;
thread_local KIRQL t_levelBeforeOwedWait = PASSIVE_LEVEL;
}  // namespace

void Kernel::CheckReturnedAt(KIRQL expected, const char* routine) {
  if (t_waitOwed) {
    t_waitOwed = false;
    Violate("wait", std::string("KeReleaseMutex with Wait TRUE must be followed at once by a KeWaitXxx call; ") +
                        routine + " returned first, at DISPATCH_LEVEL");
  }
  const KIRQL after = Irql();
  if (after == expected) return;
  Violate("IRQL", std::string(routine) + " returned at " + IrqlName(after) + " instead of " + IrqlName(expected));
  if (after > expected) LowerIrql(expected, routine);
}

Kernel& Kernel::Require(const char* caller) {
  Kernel* kernel = g_current.load();
  if (!kernel) {
    std::fprintf(stderr, "host: %s called with no host::Kernel in place\n", caller);
    std::abort();
  }
  // Reading the level changes nothing, so it may come between the two.
  const std::string_view name(caller);
  if (t_waitOwed && !name.starts_with("KeWait") && name != "KeGetCurrentIrql") {
    t_waitOwed = false;
    kernel->Violate("wait", std::string("KeReleaseMutex with Wait TRUE must be followed at once by a KeWaitXxx call; ") +
                                caller + " came first, at DISPATCH_LEVEL");
    kernel->LowerIrql(t_levelBeforeOwedWait, "KeReleaseMutex");
  }
  return *kernel;
}

// ---- Violations ---------------------------------------------------------------

void Kernel::SetViolationHandler(ViolationHandler handler) {
  handler_ = handler ? std::move(handler) : ViolationHandler(DefaultHandler);
}

void Kernel::Violate(std::string_view rule, const std::string& text) {
  ++violationCount_;
  Violation violation{std::string(rule), std::string(rule) + ": " + text};
  machine_.GetTrace().Record("violation", violation.message);
  std::lock_guard lock(violationMutex_);
  handler_(violation);
}

void Kernel::ExpectMachineFault(std::string text) {
  std::lock_guard lock(state_);
  expectedFaults_.push_back(std::move(text));
}

// What the machine records as a fault is what the hardware would do wrong
// because of the driver (or a fault a test injected on purpose).
void Kernel::OnMachineFault(const sim::TraceEntry& fault) {
  {
    std::lock_guard lock(state_);
    for (const std::string& text : expectedFaults_) {
      if (fault.text.find(text) != std::string::npos) {
        ++expectedFaultsSeen_;
        return;
      }
    }
  }
  Violate(fault.note.empty() ? "pci" : fault.note, fault.text);
}

void Kernel::OpenDmaWindow(std::uint32_t physical, std::uint32_t length) {
  if (length == 0) return;
  std::lock_guard lock(dmaWindowsMutex_);
  dmaWindows_.emplace(physical, std::uint64_t{physical} + length);
}

void Kernel::CloseDmaWindow(std::uint32_t physical, std::uint32_t length) {
  if (length == 0) return;
  std::lock_guard lock(dmaWindowsMutex_);
  auto [first, last] = dmaWindows_.equal_range(physical);
  for (auto it = first; it != last; ++it) {
    if (it->second == std::uint64_t{physical} + length) {
      dmaWindows_.erase(it);
      return;
    }
  }
}

// Whether the windows together cover the range: a transfer may run across
// two mappings that happen to be adjacent in physical memory.
bool Kernel::InsideDmaWindows(std::uint32_t physical, std::uint32_t length) const {
  std::lock_guard lock(dmaWindowsMutex_);
  std::uint64_t at = physical;
  const std::uint64_t end = at + length;
  while (at < end) {
    std::uint64_t reach = at;
    for (auto it = dmaWindows_.begin(); it != dmaWindows_.end() && it->first <= at; ++it)
      reach = std::max(reach, it->second);
    if (reach == at) return false;
    at = reach;
  }
  return true;
}

void Kernel::Teardown() {
  if (tornDown_) return;
  StopThreads();
  tornDown_ = true;
  // Work still queued is dropped; its cancel path releases what it holds.
  std::vector<WorkItem> dropped;
  {
    std::lock_guard lock(state_);
    for (auto& [key, item] : work_) dropped.push_back(std::move(item));
    work_.clear();
  }
  for (WorkItem& item : dropped) {
    if (item.cancel) item.cancel();
  }
  ReportLeaks();
}

void Kernel::ReportLeaks() {
  const KIRQL irql = Irql();
  if (irql != PASSIVE_LEVEL) Violate("IRQL", "teardown at " + IrqlName(irql));
  std::vector<HeldLock> stillHeld;
  {
    std::lock_guard lock(state_);
    for (const auto& [id, thread] : threads_)
      for (const Context& context : thread->contexts) stillHeld.insert(stillHeld.end(), context.held.begin(), context.held.end());
  }
  for (const HeldLock& held : stillHeld) {
    Violate(KindName(static_cast<int>(held.kind)),
            ObjectName(held.address, KindName(static_cast<int>(held.kind))) + " still held at teardown");
  }
  if (!interrupts_.empty()) {
    Violate("interrupt", std::to_string(interrupts_.size()) + " interrupt(s) still connected at teardown");
    interrupts_.clear();
  }
  if (!mappings_.empty()) {
    std::string text = "leak of " + std::to_string(mappings_.size()) + " mapping(s) at teardown:";
    for (const auto& [base, m] : mappings_)
      // Appended piece by piece: GCC 12's -Wrestrict misreads `" " + std::string&&` at -O3.
      text.append(" ").append(Hex(m.base)).append(" (physical ").append(Hex(m.physical)).append(", ")
          .append(std::to_string(m.bytes)).append(" bytes)");
    Violate("io space", text);
    mappings_.clear();
  }
  io_->ReportLeaks();
  const auto live = pool_->Live();
  if (!live.empty()) {
    Violate("pool", "leak of " + std::to_string(live.size()) + " allocation" + (live.size() == 1 ? "" : "s") +
                        " at teardown: " + Pool::Describe(live));
  }
  pool_->ReleaseAll();
}

// ---- IRQL ------------------------------------------------------------------------

KIRQL Kernel::Irql() const {
  std::lock_guard lock(state_);
  return Self().irql;
}

void Kernel::SetIrqlRaw(KIRQL irql) {
  std::lock_guard lock(state_);
  Self().irql = irql;
}

void Kernel::RaiseIrql(KIRQL newIrql, KIRQL* oldIrql, const char* caller) {
  const KIRQL current = Irql();
  if (oldIrql) *oldIrql = current;
  if (newIrql < current) {
    Violate("IRQL", std::string(caller) + " to " + IrqlName(newIrql) + ", below the current " + IrqlName(current));
    return;
  }
  SetIrqlRaw(newIrql);
}

void Kernel::LowerIrql(KIRQL newIrql, const char* caller) {
  const KIRQL current = Irql();
  if (newIrql > current) {
    Violate("IRQL", std::string(caller) + " to " + IrqlName(newIrql) + ", above the current " + IrqlName(current));
    return;
  }
  if (newIrql < DISPATCH_LEVEL && current >= DISPATCH_LEVEL) {
    for (const HeldLock& held : CurrentContext().held) {
      if (held.kind == HeldLock::Kind::Spin)
        Violate("IRQL", std::string(caller) + " to " + IrqlName(newIrql) + " while holding " +
                            ObjectName(held.address, "spin lock"));
    }
  }
  SetIrqlRaw(newIrql);
  Boundary();
}

bool Kernel::CheckIrqlAtMost(KIRQL maximum, const char* caller) {
  const KIRQL current = Irql();
  if (current <= maximum) return true;
  Violate("IRQL", std::string(caller) + " at " + IrqlName(current) + " (allowed up to " + IrqlName(maximum) + ")");
  return false;
}

void Kernel::PagedCodeCheck(const char* function) {
  const KIRQL current = Irql();
  if (current >= DISPATCH_LEVEL)
    Violate("IRQL", std::string("pageable code (") + (function ? function : "?") + ") reached at " + IrqlName(current));
}

// ---- Contexts and lock order -----------------------------------------------------------

Kernel::ThreadState& Kernel::Self() {
  const std::uint64_t destroyed = g_kernelsDestroyed.load();
  if (t_self.kernel == this && t_self.destroyed == destroyed) return *static_cast<ThreadState*>(t_self.state);
  std::lock_guard lock(state_);
  auto& slot = threads_[std::this_thread::get_id()];
  if (!slot) {
    slot = std::make_unique<ThreadState>();
    slot->name = threads_.size() == 1 ? "passive" : "passive " + std::to_string(threads_.size() - 1);
    slot->contexts.push_back(Context{"passive code", {}, threads_.size() == 1 ? 0 : nextContextId_++});
  }
  // A thread's state is never moved or dropped while the kernel lives.
  t_self = {this, destroyed, slot.get()};
  return *slot;
}

const Kernel::ThreadState& Kernel::Self() const { return const_cast<Kernel*>(this)->Self(); }

Kernel::Context& Kernel::CurrentContext() { return Self().contexts.back(); }
const Kernel::Context& Kernel::CurrentContext() const { return Self().contexts.back(); }

const char* Kernel::CurrentContextName() const {
  std::lock_guard lock(state_);
  return CurrentContext().name;
}

void Kernel::PushContext(const char* name) {
  std::lock_guard lock(state_);
  Self().contexts.push_back(Context{name, {}, nextContextId_++});
}

void Kernel::PopContext() {
  std::vector<HeldLock> leftover;
  const char* name = nullptr;
  {
    std::lock_guard lock(state_);
    auto& contexts = Self().contexts;
    leftover = contexts.back().held;
    name = contexts.back().name;
    contexts.pop_back();
  }
  for (const HeldLock& held : leftover) {
    Violate(KindName(static_cast<int>(held.kind)), std::string(name) + " returned holding " +
                                                      ObjectName(held.address, KindName(static_cast<int>(held.kind))));
  }
}

void Kernel::NameObject(const void* address, std::string name) {
  std::lock_guard lock(state_);
  names_[address] = std::move(name);
}

std::string Kernel::ObjectName(const void* address, const char* kind) const {
  std::lock_guard lock(state_);
  auto found = names_.find(address);
  if (found != names_.end()) return found->second;
  return std::string(kind) + " " + Hex(address);
}

bool Kernel::PathExists(const void* from, const void* to) const {
  std::deque<const void*> queue{from};
  std::set<const void*> seen{from};
  while (!queue.empty()) {
    const void* at = queue.front();
    queue.pop_front();
    if (at == to) return true;
    for (auto edge = lockOrder_.lower_bound({at, nullptr}); edge != lockOrder_.end() && edge->first == at; ++edge) {
      if (seen.insert(edge->second).second) queue.push_back(edge->second);
    }
  }
  return false;
}

void Kernel::NoteAcquired(const void* lock, HeldLock::Kind kind, const char* caller) {
  std::vector<std::pair<const void*, int>> inversions;
  {
    std::lock_guard guard(state_);
    for (const HeldLock& held : CurrentContext().held) {
      if (held.address == lock) continue;
      if (PathExists(lock, held.address)) inversions.push_back({held.address, static_cast<int>(held.kind)});
      lockOrder_.insert({held.address, lock});
    }
    CurrentContext().held.push_back(HeldLock{lock, kind});
  }
  for (const auto& [other, otherKind] : inversions) {
    Violate("lock order", ObjectName(lock, KindName(static_cast<int>(kind))) + " taken while holding " +
                              ObjectName(other, KindName(otherKind)) + " after the opposite order was seen (" +
                              caller + ")");
  }
}

void Kernel::NoteReleased(const void* lock) {
  std::lock_guard guard(state_);
  auto& held = CurrentContext().held;
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->address == lock) {
      held.erase(std::next(it).base());
      return;
    }
  }
}

bool Kernel::LockHeldAnywhere(const void* lock) const {
  std::lock_guard guard(state_);
  for (const auto& [id, thread] : threads_)
    for (const Context& context : thread->contexts)
      for (const HeldLock& held : context.held)
        if (held.address == lock) return true;
  return false;
}

// Taking a lock this thread already holds (in any of its contexts: an ISR
// stacked on the code it interrupted) can never succeed. In the deterministic
// mode every holder is this thread.
bool Kernel::LockHeldByThisThread(const void* lock) const {
  std::lock_guard guard(state_);
  for (const Context& context : Self().contexts)
    for (const HeldLock& held : context.held)
      if (held.address == lock) return true;
  return false;
}

void Kernel::LockContended(std::mutex& mutex, const void* lock) {
  if (mutex.try_lock()) return;
  RacePoint point{RacePoint::Kind::Blocking};
  point.object = lock;
  RaceHook(point);
  // A spin lock spins; the holder runs on another processor.
  NoteWaiting(lock);
  while (!mutex.try_lock()) std::this_thread::yield();
  NoteWaiting(nullptr);
}

std::string Kernel::DescribeThreads() const {
  std::lock_guard guard(state_);
  std::string text;
  for (const auto& [id, thread] : threads_) {
    text += "  " + thread->name + " at " + IrqlName(thread->irql);
    if (thread->held) text += ", held by the test";
    if (thread->waitingFor) text += ", blocked on " + ObjectName(thread->waitingFor, "lock");
    text += "\n";
    for (const Context& context : thread->contexts) {
      if (context.held.empty()) continue;
      text += "    " + std::string(context.name) + " holds";
      for (const HeldLock& lock : context.held) text += " " + ObjectName(lock.address, KindName(static_cast<int>(lock.kind))) + ";";
      text += "\n";
    }
  }
  return text;
}

// ---- Spin locks -----------------------------------------------------------------------

Kernel::SpinLockState& Kernel::SpinState(const void* lock) {
  std::lock_guard guard(state_);
  auto& slot = spinLocks_[lock];
  if (!slot) slot = std::make_unique<SpinLockState>();
  return *slot;
}

KIRQL Kernel::AcquireSpinLock(PKSPIN_LOCK lock, bool atDpcLevel, const char* caller) {
  const KIRQL current = Irql();
  if (!lock) {
    Violate("spin lock", std::string(caller) + " with a null lock");
    return current;
  }
  if (atDpcLevel ? current != DISPATCH_LEVEL : current > DISPATCH_LEVEL) {
    Violate("IRQL", std::string(caller) + " at " + IrqlName(current));
    return current;
  }
  if (LockHeldByThisThread(lock)) {
    Violate("spin lock", ObjectName(lock, "spin lock") + " acquired again while already held (" + caller +
                             "): deadlock");
    return current;
  }
  SpinLockState& state = SpinState(lock);
  LockContended(state.mutex, lock);
  state.held = true;
  state.owner = std::this_thread::get_id();
  state.oldIrql = current;
  if (!atDpcLevel) SetIrqlRaw(DISPATCH_LEVEL);
  *lock = 1;  // visible to a debugger-style look at the lock word
  NoteAcquired(lock, HeldLock::Kind::Spin, caller);
  return current;
}

void Kernel::ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, bool fromDpcLevel, const char* caller) {
  if (!lock) {
    Violate("spin lock", std::string(caller) + " with a null lock");
    return;
  }
  SpinLockState* state = nullptr;
  {
    std::lock_guard guard(state_);
    auto found = spinLocks_.find(lock);
    if (found != spinLocks_.end() && found->second->held) state = found->second.get();
  }
  if (!state) {
    Violate("spin lock", std::string(caller) + " of " + ObjectName(lock, "spin lock") + ", which is not held");
    return;
  }
  if (state->owner != std::this_thread::get_id()) {
    Violate("spin lock", std::string(caller) + " of " + ObjectName(lock, "spin lock") + " by a thread that does not hold it");
    return;
  }
  const KIRQL current = Irql();
  if (current != DISPATCH_LEVEL)
    Violate("IRQL", std::string(caller) + " of " + ObjectName(lock, "spin lock") + " at " + IrqlName(current));
  NoteReleased(lock);
  state->held = false;
  *lock = 0;
  state->mutex.unlock();
  if (!fromDpcLevel) LowerIrql(newIrql, caller);
}

bool Kernel::SpinLockHeld(const void* lock) const { return LockHeldAnywhere(lock); }

std::vector<const void*> Kernel::HeldSpinLocks() const {
  std::lock_guard guard(state_);
  std::vector<const void*> locks;
  for (const HeldLock& held : CurrentContext().held)
    if (held.kind == HeldLock::Kind::Spin) locks.push_back(held.address);
  return locks;
}

void Kernel::AcquireInterruptLock(const void* lock, const char* caller) {
  if (LockHeldByThisThread(lock)) {
    Violate("interrupt", ObjectName(lock, "interrupt lock") + " taken again while already held (" + caller +
                             "): deadlock");
    return;
  }
  // The lock is real in both modes; in the deterministic one nobody else can
  // hold it, in the threaded one it is what excludes the interrupt thread.
  LockContended(SpinState(lock).mutex, lock);
  NoteAcquired(lock, HeldLock::Kind::Interrupt, caller);
}

void Kernel::ReleaseInterruptLock(const void* lock) {
  if (!LockHeldByThisThread(lock)) return;  // its acquisition was refused
  NoteReleased(lock);
  SpinState(lock).mutex.unlock();
}

// ---- Events and mutexes ------------------------------------------------------------

std::optional<Kernel::DispatcherKind> Kernel::KindOf(const void* object) const {
  std::lock_guard guard(state_);
  auto found = dispatcher_.find(object);
  if (found == dispatcher_.end()) return std::nullopt;
  return found->second;
}

void Kernel::InitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  if (!event) {
    Violate("event", "KeInitializeEvent with a null event");
    return;
  }
  event->Header.Type = type == SynchronizationEvent ? 1 : 0;
  event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  event->Header.SignalState = state ? 1 : 0;
  event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
  std::lock_guard guard(state_);
  dispatcher_[event] = type == SynchronizationEvent ? DispatcherKind::SynchronizationEvent
                                                    : DispatcherKind::NotificationEvent;
}

LONG Kernel::SetEvent(PRKEVENT event) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  auto kind = KindOf(event);
  if (!kind || *kind == DispatcherKind::Mutex) {
    Violate("event", "KeSetEvent on " + Hex(event) + ", which is no initialised event");
    return 0;
  }
  LONG previous;
  {
    std::lock_guard guard(state_);
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
  }
  if (Threaded()) wake_.notify_all();
  return previous;
}

void Kernel::ClearEvent(PRKEVENT event) {
  auto kind = KindOf(event);
  if (!kind || *kind == DispatcherKind::Mutex) {
    Violate("event", "KeClearEvent on " + Hex(event) + ", which is no initialised event");
    return;
  }
  std::lock_guard guard(state_);
  event->Header.SignalState = 0;
}

LONG Kernel::ReadStateEvent(PRKEVENT event) {
  auto kind = KindOf(event);
  if (!kind || *kind == DispatcherKind::Mutex) {
    Violate("event", "KeReadStateEvent on " + Hex(event) + ", which is no initialised event");
    return 0;
  }
  std::lock_guard guard(state_);
  return event->Header.SignalState;
}

void Kernel::InitializeMutex(PRKMUTEX mutex) {
  if (!mutex) {
    Violate("mutex", "KeInitializeMutex with a null mutex");
    return;
  }
  {
    std::lock_guard guard(state_);
    auto found = mutexes_.find(mutex);
    if (found != mutexes_.end() && found->second->recursion > 0) {
      // Re-initialising a held mutex loses its owner; keep the old state.
    }
  }
  if (LockHeldAnywhere(mutex)) {
    Violate("mutex", "KeInitializeMutex of " + ObjectName(mutex, "mutex") + " while it is held");
    return;
  }
  mutex->Header.Type = 2;
  mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  mutex->Header.SignalState = 1;
  mutex->Header.WaitListHead.Flink = mutex->Header.WaitListHead.Blink = &mutex->Header.WaitListHead;
  mutex->OwnerThread = nullptr;
  mutex->Abandoned = FALSE;
  std::lock_guard guard(state_);
  dispatcher_[mutex] = DispatcherKind::Mutex;
  mutexes_[mutex] = std::make_unique<MutexState>();
}

LONG Kernel::ReleaseMutex(PRKMUTEX mutex, bool wait) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  MutexState* state = nullptr;
  {
    std::lock_guard guard(state_);
    auto found = mutexes_.find(mutex);
    if (found != mutexes_.end()) state = found->second.get();
  }
  if (!state) {
    Violate("mutex", "KeReleaseMutex of " + Hex(mutex) + ", which is no initialised mutex");
    return 0;
  }
  if (state->recursion == 0 || state->owner != std::this_thread::get_id()) {
    Violate("mutex", "KeReleaseMutex of " + ObjectName(mutex, "mutex") + " by a thread that does not own it");
    return mutex->Header.SignalState;
  }
  const LONG previous = mutex->Header.SignalState;
  --state->recursion;
  mutex->Header.SignalState = 1 - state->recursion;
  if (state->recursion == 0) {
    mutex->OwnerThread = nullptr;
    state->owner = std::thread::id();
    NoteReleased(mutex);
  }
  state->mutex.unlock();
  if (wait) {
    RaiseIrql(DISPATCH_LEVEL, &t_levelBeforeOwedWait, "KeReleaseMutex");
    t_waitOwed = true;
  }
  return previous;
}

bool Kernel::Signalled(PVOID object, DispatcherKind kind) const {
  if (kind == DispatcherKind::Mutex) return true;  // resolved by the caller
  std::lock_guard guard(state_);
  return static_cast<PRKEVENT>(object)->Header.SignalState > 0;
}

void Kernel::Satisfy(PVOID object, DispatcherKind kind) {
  std::lock_guard guard(state_);
  if (kind == DispatcherKind::SynchronizationEvent) static_cast<PRKEVENT>(object)->Header.SignalState = 0;
}

NTSTATUS Kernel::WaitForSingleObject(PVOID object, PLARGE_INTEGER timeout, bool alertable) {
  if (t_waitOwed) {
    t_waitOwed = false;
    LowerIrql(t_levelBeforeOwedWait, "KeWaitForSingleObject");
  }
  const auto kind = KindOf(object);
  if (!kind) {
    Violate("wait", "KeWaitForSingleObject on " + Hex(object) + ", which is no initialised event or mutex");
    return STATUS_INVALID_PARAMETER;
  }
  const bool zeroTimeout = timeout && timeout->QuadPart == 0;
  const KIRQL current = Irql();
  if (current > DISPATCH_LEVEL || (current == DISPATCH_LEVEL && !zeroTimeout)) {
    Violate("IRQL", std::string("KeWaitForSingleObject ") +
                        (timeout ? "with a non-zero time-out" : "without a time-out") + " at " + IrqlName(current));
  }

  if (*kind == DispatcherKind::Mutex) return WaitForMutex(static_cast<PRKMUTEX>(object), zeroTimeout);

  if (Signalled(object, *kind)) {
    Satisfy(object, *kind);
    return STATUS_SUCCESS;
  }
  if (zeroTimeout || Irql() != PASSIVE_LEVEL) return STATUS_TIMEOUT;
  if (alertable) return STATUS_ALERTED;

  // Single-threaded: nothing else can set the event while we block, so the
  // wait drives the machine (pended completions, interrupts, deferred work)
  // until the event is set or the time-out passes.
  const sim::Ticks now = Now();
  const sim::Ticks forever = Threaded() ? threadedWaitLimit_ : kWaitForeverLimit;
  sim::Ticks deadline = now + forever;
  if (timeout) {
    if (timeout->QuadPart < 0)
      deadline = now + static_cast<sim::Ticks>(-timeout->QuadPart);
    else
      deadline = timeout->QuadPart > kSystemTimeBase ? static_cast<sim::Ticks>(timeout->QuadPart - kSystemTimeBase) : now;
    if (deadline < now) deadline = now;
  }
  if (Threaded()) return WaitThreaded(object, *kind, deadline, !timeout);
  auto signalled = [&] { return Signalled(object, *kind); };
  while (!signalled()) {
    if (Now() >= deadline) break;
    // An event is set only by code that runs, and at or below DISPATCH_LEVEL:
    // deferred work, a timer, or what an interrupt's routine queues. With
    // none of them pending, a wait without a time-out can never end (the
    // platform's verifier reports that as a deadlock). A future interrupt
    // the machine has not raised yet does not count: the stricter choice.
    if (!timeout && !AnythingPending()) {
      std::string waiter = CurrentContextName();
  if (Threaded()) waiter = ThreadName() + " (" + waiter + ")";
  Violate("deadlock", waiter + " waits without a time-out on " +
                              ObjectName(object, "event") +
                              ", which nothing pending (deferred work, a timer, an interrupt) can ever set");
      return STATUS_TIMEOUT;
    }
    if (!StepTowards(deadline)) {
      machine_.GetClock().RunUntil(deadline);
      break;
    }
  }
  if (signalled()) {
    Satisfy(object, *kind);
    return STATUS_SUCCESS;
  }
  if (!timeout) ReportEndlessWait(object, forever);
  return STATUS_TIMEOUT;
}

// Work kept coming and none of it set the event: as good as a deadlock.
void Kernel::ReportEndlessWait(PVOID object, sim::Ticks waited) {
  std::string waiter = CurrentContextName();
  if (Threaded()) waiter = ThreadName() + " (" + waiter + ")";
  Violate("deadlock", waiter + " waits without a time-out on " +
                          ObjectName(object, "event") + ", which nothing set in " +
                          std::to_string(waited / sim::kTicksPerMillisecond) + " ms of virtual time");
}

// A mutex is recursive for the context that holds it. Held by a context this
// one preempted on the same thread, it can never be released while this one
// waits: a deadlock, unless the wait is only a poll.
NTSTATUS Kernel::WaitForMutex(PRKMUTEX mutex, bool zeroTimeout) {
  MutexState* state = nullptr;
  std::uint64_t context = 0;
  const char* contextName = nullptr;
  {
    std::lock_guard guard(state_);
    state = mutexes_.at(mutex).get();
    context = CurrentContext().id;
    contextName = CurrentContext().name;
  }
  const bool sameThread = state->recursion > 0 && state->owner == std::this_thread::get_id();
  if (sameThread && state->ownerContext == context) {
    state->mutex.lock();
    ++state->recursion;
    mutex->Header.SignalState = 1 - state->recursion;
    return STATUS_SUCCESS;
  }
  if (sameThread) {
    if (!zeroTimeout)
      Violate("deadlock", std::string(contextName) + " waits on " + ObjectName(mutex, "mutex") + ", which " +
                              state->ownerName + " holds and cannot release until " + contextName + " returns");
    return STATUS_TIMEOUT;
  }
  if (zeroTimeout) {
    if (!state->mutex.try_lock()) return STATUS_TIMEOUT;
  } else if (!state->mutex.try_lock()) {
    // Held by another thread (the threaded mode): it really blocks.
    RacePoint point{RacePoint::Kind::Blocking};
    point.object = mutex;
    RaceHook(point);
    NoteWaiting(mutex);
    state->mutex.lock();
    NoteWaiting(nullptr);
  }
  state->owner = std::this_thread::get_id();
  state->ownerContext = context;
  state->ownerName = contextName;
  state->recursion = 1;
  mutex->Header.SignalState = 0;
  mutex->OwnerThread = reinterpret_cast<PKTHREAD>(static_cast<std::uintptr_t>(1));
  NoteAcquired(mutex, HeldLock::Kind::Mutex, "KeWaitForSingleObject");
  return STATUS_SUCCESS;
}

bool Kernel::AnythingPending() { return PendingWork() > 0 || InterruptLineAsserted(); }

void Kernel::ForgetObjectsIn(const void* base, std::size_t size, const char* why) {
  const auto* begin = static_cast<const unsigned char*>(base);
  const auto* end = begin + size;
  auto inside = [&](const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return b >= begin && b < end;
  };
  std::vector<std::string> held;
  {
    std::lock_guard guard(state_);
    for (const auto& [id, thread] : threads_)
      for (const Context& context : thread->contexts)
        for (const HeldLock& lock : context.held)
          if (inside(lock.address)) held.push_back(ObjectName(lock.address, KindName(static_cast<int>(lock.kind))));
  }
  for (const std::string& name : held) Violate("lock", std::string(why) + " holds " + name + ", which is still held");
  std::lock_guard guard(state_);
  for (auto& [id, thread] : threads_)
    for (Context& context : thread->contexts)
      std::erase_if(context.held, [&](const HeldLock& lock) { return inside(lock.address); });
  std::erase_if(spinLocks_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(mutexes_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(dispatcher_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(names_, [&](const auto& entry) { return inside(entry.first); });
  std::erase_if(lockOrder_, [&](const auto& edge) { return inside(edge.first) || inside(edge.second); });
}

// ---- Time ---------------------------------------------------------------------------------

void Kernel::Stall(ULONG microseconds) {
  machine_.GetClock().Advance(static_cast<sim::Ticks>(microseconds) * sim::kTicksPerMicrosecond);
  Boundary();
}

LONGLONG Kernel::SystemTime() const { return kSystemTimeBase + static_cast<LONGLONG>(Now()); }

// ---- Port I/O and interrupts ------------------------------------------------------------

ULONG Kernel::PortRead(ULONG_PTR port, int width, const char* caller) {
  if (port > 0xFFFF) {
    Violate("port I/O", std::string(caller) + " of " + Hex(static_cast<std::uint64_t>(port)) +
                            ", which is no I/O port address");
    return width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0xFFFFFFFF;
  }
  const ULONG value = machine_.PortRead(static_cast<std::uint32_t>(port), width);
  if (Threaded()) {
    RacePoint point{RacePoint::Kind::PortRead};
    point.port = static_cast<ULONG>(port), point.width = width, point.value = value;
    RaceHook(point);
  }
  Boundary();
  return value;
}

void Kernel::PortWrite(ULONG_PTR port, int width, ULONG value, const char* caller) {
  if (port > 0xFFFF) {
    Violate("port I/O", std::string(caller) + " of " + Hex(static_cast<std::uint64_t>(port)) +
                            ", which is no I/O port address");
    return;
  }
  machine_.PortWrite(static_cast<std::uint32_t>(port), width, value);
  if (Threaded()) {
    RacePoint point{RacePoint::Kind::PortWrite};
    point.port = static_cast<ULONG>(port), point.width = width, point.value = value;
    RaceHook(point);
  }
  Boundary();
}

void Kernel::Boundary() {
  // Threaded, interrupts and deferred work have processors of their own.
  if (Threaded()) return;
  DeliverInterrupt();
  if (Irql() < DISPATCH_LEVEL) RunDueWork();
}

NTSTATUS Kernel::ConnectInterrupt(InterruptTarget* target) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "connecting an interrupt")) return STATUS_INVALID_DEVICE_STATE;
  if (target->Vector() != TranslatedVector(machine_.Config().irq)) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard guard(state_);
    if (std::find(interrupts_.begin(), interrupts_.end(), target) != interrupts_.end())
      return STATUS_INVALID_DEVICE_STATE;
    interrupts_.push_back(target);
  }
  // An interrupt already pending is taken as soon as the routine is in place.
  Boundary();
  return STATUS_SUCCESS;
}

void Kernel::DisconnectInterrupt(InterruptTarget* target) {
  std::lock_guard guard(state_);
  std::erase(interrupts_, target);
}

bool Kernel::InterruptConnected(const InterruptTarget* target) const {
  std::lock_guard guard(state_);
  return std::find(interrupts_.begin(), interrupts_.end(), target) != interrupts_.end();
}

void Kernel::SetInterruptLineProbe(std::function<bool()> probe) { lineProbe_ = std::move(probe); }

void Kernel::DeliverInterrupt() {
  if (Threaded()) return;  // the interrupt thread delivers
  DeliverOnce();
}

bool Kernel::DeliverOnce() {
  auto deliverable = [this] { return !delivering_ && !interrupts_.empty() && Self().irql < kDeviceIrql; };
  {
    std::lock_guard guard(state_);
    if (!deliverable()) return false;
  }
  if (!InterruptLineAsserted()) {
    consecutiveStuckDeliveries_ = 0;
    stormMasked_ = false;
    return false;
  }
  if (stormMasked_) return false;
  // The routines are copied only when the line is up: this runs after every port access.
  std::vector<InterruptTarget*> targets;
  KIRQL old;
  {
    std::lock_guard guard(state_);
    if (!deliverable()) return false;
    targets = interrupts_;
    old = Self().irql;
  }
  delivering_ = true;
  SetIrqlRaw(kDeviceIrql);
  PushContext("interrupt service routine");
  bool claimed = false;
  for (InterruptTarget* target : targets) {
    if (!InterruptConnected(target)) continue;  // disconnected by an earlier routine
    if (target->ServiceInterrupt()) {
      claimed = true;
      break;  // a level-triggered line: the first routine that claims it ends the pass
    }
  }
  const KIRQL after = Irql();
  if (after != kDeviceIrql)
    Violate("IRQL", "interrupt service routine returned at " + IrqlName(after) + " instead of DEVICE_LEVEL");
  PopContext();
  SetIrqlRaw(old);
  delivering_ = false;
  ++interruptsDelivered_;
  if (machine_.GetTrace().Recording())
    machine_.GetTrace().Record("irq", claimed ? "delivered, claimed" : "delivered, not claimed");
  if (InterruptLineAsserted()) {
    if (++consecutiveStuckDeliveries_ >= 1000) {
      Violate("interrupt", "storm: the line stayed asserted through 1000 deliveries in a row; masked until it drops");
      stormMasked_ = true;
    }
  } else {
    consecutiveStuckDeliveries_ = 0;
  }
  return true;
}

// ---- Physical memory mappings and firmware ---------------------------------------------------

PVOID Kernel::MapIoSpace(std::uint64_t physical, SIZE_T bytes) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpace");
  if (bytes == 0) {
    Violate("io space", "MmMapIoSpace of 0 bytes at physical " + Hex(physical));
    return nullptr;
  }
  if (physical > 0xFFFFFFFFull || bytes > 0x1'0000'0000ull - physical) {
    DebugPrint("MmMapIoSpace: physical " + Hex(physical) + " + " + std::to_string(bytes) +
               " lies outside the 32-bit physical space");
    return nullptr;
  }
  auto* host = machine_.Memory().HostPointer(static_cast<std::uint32_t>(physical), static_cast<std::uint32_t>(bytes));
  if (!host) {
    DebugPrint("MmMapIoSpace: physical " + Hex(physical) + " + " + std::to_string(bytes) +
               " is not backed by one memory region");
    return nullptr;
  }
  std::lock_guard guard(state_);
  mappings_.emplace(host, IoMapping{host, physical, bytes});
  return host;
}

void Kernel::UnmapIoSpace(PVOID base, SIZE_T bytes) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapIoSpace");
  std::lock_guard guard(state_);
  auto range = mappings_.equal_range(static_cast<const std::uint8_t*>(base));
  if (range.first == range.second) {
    Violate("io space", "MmUnmapIoSpace of " + Hex(base) + ", which is not mapped");
    return;
  }
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.bytes == bytes) {
      mappings_.erase(it);
      return;
    }
  }
  Violate("io space", "MmUnmapIoSpace of " + Hex(base) + " with " + std::to_string(bytes) + " bytes; it was mapped with " +
                          std::to_string(range.first->second.bytes));
}

std::size_t Kernel::IoSpaceMappings() const {
  std::lock_guard guard(state_);
  return mappings_.size();
}

std::optional<std::uint32_t> Kernel::PhysicalOfMapped(const void* address) const {
  const auto* p = static_cast<const std::uint8_t*>(address);
  std::lock_guard guard(state_);
  for (const auto& [base, m] : mappings_) {
    if (p >= m.base && p < m.base + m.bytes) return static_cast<std::uint32_t>(m.physical + (p - m.base));
  }
  return std::nullopt;
}

void Kernel::CallFirmware(PVOID entry, ULONG* eax, ULONG* ebx, ULONG* ecx, ULONG* edx, ULONG* esi, ULONG* edi,
                          BOOLEAN* carry) {
  const auto physical = PhysicalOfMapped(entry);
  if (!physical) {
    Violate("firmware", "call to " + Hex(entry) + ", which lies outside every MmMapIoSpace mapping");
    *carry = TRUE;
    return;
  }
  sim::Registers r;
  r.eax = *eax, r.ebx = *ebx, r.ecx = *ecx, r.edx = *edx, r.esi = *esi, r.edi = *edi;
  r.carry = *carry != 0;
  machine_.GetFirmware().Call(*physical, r);
  *eax = r.eax, *ebx = r.ebx, *ecx = r.ecx, *edx = r.edx, *esi = r.esi, *edi = r.edi;
  *carry = r.carry ? TRUE : FALSE;
  Boundary();
}

// ---- Deferred work and the event loop ---------------------------------------------------------

Kernel::WorkId Kernel::QueueWork(sim::Ticks due, WorkLevel level, std::function<void()> work, std::string label,
                                 std::function<void()> cancel) {
  WorkId id;
  {
    std::lock_guard guard(state_);
    id = nextWorkId_++;
    work_.emplace(std::make_pair(due, id), WorkItem{id, due, level, std::move(work), std::move(label), std::move(cancel)});
  }
  if (Threaded()) wake_.notify_all();
  return id;
}

bool Kernel::CancelWork(WorkId id) {
  std::function<void()> cancel;
  {
    std::lock_guard guard(state_);
    auto found = std::find_if(work_.begin(), work_.end(), [&](const auto& entry) { return entry.second.id == id; });
    if (found == work_.end()) return false;
    cancel = std::move(found->second.cancel);
    work_.erase(found);
  }
  if (cancel) cancel();
  return true;
}

std::size_t Kernel::PendingWork() const {
  std::lock_guard guard(state_);
  return work_.size();
}

std::optional<sim::Ticks> Kernel::NextWorkDue(bool passiveAllowed) const {
  std::lock_guard guard(state_);
  for (const auto& [key, item] : work_) {
    if (item.level == WorkLevel::Dispatch || passiveAllowed) return item.due;
  }
  return std::nullopt;
}

bool Kernel::RunOneDueItem(bool passiveAllowed) {
  WorkItem item;
  KIRQL old;
  {
    std::lock_guard guard(state_);
    if (work_.empty()) return false;  // the common case, and no need to read the clock for it
    const sim::Ticks now = Now();
    auto found = work_.end();
    for (auto it = work_.begin(); it != work_.end() && it->first.first <= now; ++it) {
      const KIRQL irql = Self().irql;
      const bool allowed = it->second.level == WorkLevel::Dispatch ? irql < DISPATCH_LEVEL
                                                                   : passiveAllowed && irql == PASSIVE_LEVEL;
      if (allowed) {
        found = it;
        break;
      }
    }
    if (found == work_.end()) return false;
    item = std::move(found->second);
    work_.erase(found);
    old = Self().irql;
  }
  if (item.level == WorkLevel::Passive) {
    item.work();
    return true;
  }
  SetIrqlRaw(DISPATCH_LEVEL);
  PushContext("deferred work");
  if (!item.label.empty() && machine_.GetTrace().Recording()) machine_.GetTrace().Record("dpc", item.label);
  item.work();
  const KIRQL after = Irql();
  if (after != DISPATCH_LEVEL)
    Violate("IRQL", "deferred work (" + item.label + ") returned at " + IrqlName(after) + " instead of DISPATCH_LEVEL");
  PopContext();
  SetIrqlRaw(old);
  ++deferredRun_;
  DeliverInterrupt();
  return true;
}

std::size_t Kernel::RunDueWork() {
  std::size_t count = 0;
  const bool passive = false;
  while (RunOneDueItem(passive)) ++count;
  return count;
}

bool Kernel::StepTowards(sim::Ticks end) {
  if (RunOneDueItem(true)) return true;
  DeliverInterrupt();
  const sim::Ticks now = Now();
  if (now >= end) return true;
  std::optional<sim::Ticks> next = machine_.GetClock().NextEventTime();
  const auto work = NextWorkDue(true);
  if (work && (!next || *work < *next)) next = work;
  if (!next) return false;
  sim::Ticks target = std::min(*next, end);
  if (target < now) target = now;
  machine_.GetClock().RunUntil(target);
  return true;
}

// The event loop stands for the rest of the system, which runs at
// PASSIVE_LEVEL: a caller that left the level raised (or owes the wait its
// release promised) is reported, and the level put back, so that deferred
// work still runs and the test ends instead of spinning.
void Kernel::EnterEventLoop(const char* loop) {
  if (t_waitOwed) {
    t_waitOwed = false;
    Violate("wait", std::string("KeReleaseMutex with Wait TRUE must be followed at once by a KeWaitXxx call; ") +
                        loop + " came first, at DISPATCH_LEVEL");
  }
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, loop)) LowerIrql(PASSIVE_LEVEL, loop);
}

void Kernel::RunFor(sim::Ticks ticks) {
  EnterEventLoop("the event loop (RunFor)");
  const sim::Ticks end = Now() + ticks;
  if (Threaded()) {
    WaitForTime([&] { return false; }, end);
    return;
  }
  while (true) {
    if (!StepTowards(end)) {
      machine_.GetClock().RunUntil(end);
    }
    if (Now() >= end) {
      // Run what fell due exactly at the end.
      while (RunOneDueItem(true)) {
      }
      DeliverInterrupt();
      return;
    }
  }
}

bool Kernel::RunUntil(const std::function<bool()>& condition, sim::Ticks limit) {
  EnterEventLoop("the event loop (RunUntil)");
  const sim::Ticks end = Now() + limit;
  if (Threaded()) return WaitForTime(condition, end);
  while (true) {
    while (RunOneDueItem(true)) {
    }
    DeliverInterrupt();
    if (condition()) return true;
    if (Now() >= end) return false;
    if (!StepTowards(end)) machine_.GetClock().RunUntil(end);
  }
}

bool Kernel::InterruptLineAsserted() {
  if (lineProbe_) return lineProbe_();
  return machine_.InterruptLine();
}

// ---- Debug output -----------------------------------------------------------------------------

void Kernel::DebugPrint(const std::string& line) {
  std::lock_guard guard(state_);
  debugLog_.push_back(line);
  if (echoDebugPrint_) {
    std::fprintf(stderr, "%s%s", line.c_str(), (!line.empty() && line.back() == '\n') ? "" : "\n");
  }
}

}  // namespace host
