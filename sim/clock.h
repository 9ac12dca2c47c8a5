// The machine's one time base: virtual time in 100-ns units, plus a small
// scheduler for hardware events. Nothing in the simulator waits in real time;
// time moves only when someone advances it (a port access, a stall, the host's
// event loop), and every due hardware event fires in order as it passes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

using Ticks = std::uint64_t;  // 100 ns

constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;

class Clock {
 public:
  using EventId = std::uint64_t;
  using Callback = std::function<void()>;
  // Called each time the clock reaches a new time, before the events due
  // then fire; hardware that moves data continuously (the DMA channels) uses
  // it to catch up exactly.
  using AdvanceListener = std::function<void(Ticks now)>;

  Ticks Now() const;

  // Moves time forward by `ticks`, firing every event that falls due.
  void Advance(Ticks ticks);
  // Fires, in time order (ties in scheduling order), every event due at or
  // before `time`, then leaves the clock at `time` (never moves backwards).
  void RunUntil(Ticks time);

  // An event scheduled in the past fires at the next advance, at the current
  // time. Returns an id for Cancel.
  EventId ScheduleAt(Ticks time, Callback callback);
  EventId ScheduleAfter(Ticks delay, Callback callback);
  bool Cancel(EventId id);
  std::optional<Ticks> NextEventTime() const;
  std::size_t PendingEvents() const;

  void AddAdvanceListener(AdvanceListener listener);

  // One lock for the whole machine: every entry point of the simulator takes
  // it, so a threaded host sees each access, and each event, as one step.
  std::recursive_mutex& Mutex() const { return mutex_; }

 private:
  using Key = std::pair<Ticks, std::uint64_t>;
  void MoveTo(Ticks time);

  mutable std::recursive_mutex mutex_;
  Ticks now_ = 0;
  std::uint64_t nextSequence_ = 1;
  std::map<Key, Callback> events_;
  std::unordered_map<EventId, Key> keys_;
  std::vector<AdvanceListener> listeners_;
};

}  // namespace sim
