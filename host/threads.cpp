// The kernel's threaded mode: an interrupt thread, a dispatch thread and a
// hardware thread beside the passive threads a test brings. The machine is
// advanced in steps under its one lock, so a hardware event can come between
// any two port accesses of driver code running on another thread.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "host/kernel.h"

namespace host {

namespace {

// How long an idle interrupt or dispatch thread sleeps before it looks again
// (a change of the line, new work or a clock step wakes it sooner).
constexpr auto kIdlePoll = std::chrono::microseconds(200);

}  // namespace

void Kernel::StartThreads(ThreadOptions options) {
  if (threaded_.load()) return;
  CheckIrqlAtMost(PASSIVE_LEVEL, "StartThreads");
  stopping_.store(false);
  machine_.SetInterruptListener([this](bool) { wake_.notify_all(); });
  threadedWaitLimit_ = options.waitForeverLimit;
  threaded_.store(true);
  running_.emplace_back([this] { InterruptThread(); });
  running_.emplace_back([this] { DispatchThread(); });
  running_.emplace_back([this, options] { HardwareThread(options); });
  running_.emplace_back([this, options] { WatchdogThread(options.deadlockLimit); });
}

void Kernel::StopThreads() {
  if (!threaded_.load()) return;
  stopping_.store(true);
  wake_.notify_all();
  for (std::thread& thread : running_) thread.join();
  running_.clear();
  threaded_.store(false);
  stopping_.store(false);
  machine_.SetInterruptListener(nullptr);
}

void Kernel::NameThread(std::string name) {
  std::lock_guard guard(state_);
  Self().name = std::move(name);
}

std::string Kernel::ThreadName() const {
  std::lock_guard guard(state_);
  return Self().name;
}

void Kernel::SetRaceHook(std::function<void(const RacePoint&)> hook) {
  std::lock_guard guard(state_);
  raceHook_ = std::move(hook);
}

void Kernel::RaceHook(const RacePoint& point) {
  std::function<void(const RacePoint&)> hook;
  {
    std::lock_guard guard(state_);
    hook = raceHook_;
  }
  if (hook) hook(point);
}

void Kernel::FrameworkRacePoint(const char* call, NTSTATUS status) {
  if (!Threaded()) return;
  RacePoint point{RacePoint::Kind::FrameworkCall};
  point.call = call;
  point.status = status;
  RaceHook(point);
}

void Kernel::SetThreadHeld(bool held) {
  std::lock_guard guard(state_);
  Self().held = held;
}

void Kernel::InterruptThread() {
  NameThread("interrupt");
  {
    std::lock_guard guard(state_);
    interruptThread_ = std::this_thread::get_id();
  }
  while (!stopping_.load()) {
    if (DeliverOnce()) continue;  // a level-triggered line: look again at once
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, kIdlePoll);
  }
}

void Kernel::DispatchThread() {
  NameThread("dispatch");
  {
    std::lock_guard guard(state_);
    dispatchThread_ = std::this_thread::get_id();
  }
  while (!stopping_.load()) {
    if (RunOneDueItem(true)) continue;
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, kIdlePoll);
  }
}

void Kernel::HardwareThread(ThreadOptions options) {
  NameThread("hardware");
  std::mt19937 random(options.seed);
  std::uniform_int_distribution<unsigned> patience(0, options.patience);
  // Whether a processor has work the hardware should give it time for: an
  // asserted line nobody has served, or deferred work that is due.
  auto behind = [this] {
    bool interruptHeld = false, dispatchHeld = false, connected = false;
    std::optional<sim::Ticks> due;
    {
      std::lock_guard guard(state_);
      connected = !interrupts_.empty();
      if (auto found = threads_.find(interruptThread_); found != threads_.end()) interruptHeld = found->second->held;
      if (auto found = threads_.find(dispatchThread_); found != threads_.end()) dispatchHeld = found->second->held;
    }
    if (connected && !interruptHeld && !stormMasked_ && InterruptLineAsserted()) return true;
    due = NextWorkDue(true);
    return !dispatchHeld && due && *due <= Now();
  };
  while (!stopping_.load()) {
    if (hardwarePaused_.load()) {
      std::unique_lock lock(wakeMutex_);
      wake_.wait_for(lock, kIdlePoll);
      continue;
    }
    {
      // The kernel's bookkeeping lock is taken before the machine's, never inside it.
      const std::optional<sim::Ticks> work = NextWorkDue(true);
      std::lock_guard machine(machine_.GetClock().Mutex());
      const sim::Ticks now = Now();
      sim::Ticks target = now + options.hardwareStep;
      if (auto next = machine_.GetClock().NextEventTime(); next && *next < target) target = std::max(*next, now + 1);
      if (work && *work > now && *work < target) target = *work;
      machine_.GetClock().RunUntil(target);
    }
    wake_.notify_all();
    for (unsigned polls = patience(random); polls > 0 && !stopping_.load() && behind(); --polls)
      std::this_thread::yield();
  }
}

bool Kernel::WaitForTime(const std::function<bool()>& condition, sim::Ticks end) {
  while (true) {
    if (condition()) return true;
    if (Now() >= end) return false;
    // With the hardware paused, the waiting thread is what moves time.
    if (hardwarePaused_.load()) machine_.GetClock().Advance(sim::kTicksPerMicrosecond);
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::microseconds(50));
  }
}

NTSTATUS Kernel::WaitThreaded(PVOID object, DispatcherKind kind, sim::Ticks deadline, bool forever) {
  bool reported = false;
  while (true) {
    {
      std::lock_guard guard(state_);
      if (Signalled(object, kind)) {
        Satisfy(object, kind);
        return STATUS_SUCCESS;
      }
    }
    if (Now() >= deadline) break;
    if (!reported) {
      RacePoint point{RacePoint::Kind::Blocking};
      point.object = object;
      RaceHook(point);
      reported = true;
    }
    if (hardwarePaused_.load()) machine_.GetClock().Advance(sim::kTicksPerMicrosecond);
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::microseconds(50));
  }
  if (forever) ReportEndlessWait(object, threadedWaitLimit_);
  return STATUS_TIMEOUT;
}

void Kernel::NoteWaiting(const void* object) {
  std::lock_guard guard(state_);
  ThreadState& self = Self();
  self.waitingFor = object;
  self.waitingSince = std::chrono::steady_clock::now();
}

void Kernel::WatchdogThread(std::chrono::milliseconds limit) {
  while (!stopping_.load()) {
    {
      std::unique_lock lock(wakeMutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(100));
    }
    std::string stuck;
    {
      std::lock_guard guard(state_);
      const auto now = std::chrono::steady_clock::now();
      for (const auto& [id, thread] : threads_)
        if (thread->waitingFor && !thread->held && now - thread->waitingSince > limit) stuck = thread->name;
    }
    if (stuck.empty()) continue;
    std::fprintf(stderr, "host: deadlock: %s blocked on one lock for %lld ms; the threads:\n%s", stuck.c_str(),
                 static_cast<long long>(limit.count()), DescribeThreads().c_str());
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace host
