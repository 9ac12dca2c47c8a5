#include "sim/clock.h"

namespace sim {

Ticks Clock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void Clock::Advance(Ticks ticks) {
  std::lock_guard lock(mutex_);
  RunUntil(now_ + ticks);
}

void Clock::MoveTo(Ticks time) {
  if (time <= now_) return;
  now_ = time;
  for (auto& listener : listeners_) listener(now_);
}

void Clock::RunUntil(Ticks time) {
  std::lock_guard lock(mutex_);
  while (!events_.empty()) {
    auto first = events_.begin();
    if (first->first.first > time) break;
    const Ticks due = first->first.first;
    Callback callback = std::move(first->second);
    keys_.erase(first->first.second);
    events_.erase(first);
    MoveTo(due);
    callback();
  }
  MoveTo(time);
}

Clock::EventId Clock::ScheduleAt(Ticks time, Callback callback) {
  std::lock_guard lock(mutex_);
  const EventId id = nextSequence_++;
  const Key key{time < now_ ? now_ : time, id};
  events_.emplace(key, std::move(callback));
  keys_.emplace(id, key);
  return id;
}

Clock::EventId Clock::ScheduleAfter(Ticks delay, Callback callback) {
  std::lock_guard lock(mutex_);
  return ScheduleAt(now_ + delay, std::move(callback));
}

bool Clock::Cancel(EventId id) {
  std::lock_guard lock(mutex_);
  auto found = keys_.find(id);
  if (found == keys_.end()) return false;
  events_.erase(found->second);
  keys_.erase(found);
  return true;
}

std::optional<Ticks> Clock::NextEventTime() const {
  std::lock_guard lock(mutex_);
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first.first;
}

std::size_t Clock::PendingEvents() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void Clock::AddAdvanceListener(AdvanceListener listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

}  // namespace sim
