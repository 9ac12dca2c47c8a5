// Deterministic races on the threaded host: a Gate holds one thread at a
// chosen race point while another runs, and lets it go when the other has
// finished or is about to block on something the held thread owns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/kernel.h"

namespace racetest {

class Gate {
 public:
  explicit Gate(host::Kernel& kernel) : kernel_(kernel) {}

  // On the thread to hold: waits until Open. Only the first call holds.
  void Hold() {
    std::unique_lock lock(mutex_);
    if (used_) return;
    used_ = true;
    holding_ = true;
    changed_.notify_all();
    kernel_.SetThreadHeld(true);
    changed_.wait(lock, [this] { return open_; });
    kernel_.SetThreadHeld(false);
    holding_ = false;
    changed_.notify_all();
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Whether a thread is held (or was, and has been let go) within `limit` of real time.
  bool WaitUsed(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return used_; });
  }
  bool WaitOpen(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return open_; });
  }
  bool Used() {
    std::lock_guard lock(mutex_);
    return used_;
  }
  bool IsOpen() {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  host::Kernel& kernel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool used_ = false;
  bool holding_ = false;
  bool open_ = false;
};

}  // namespace racetest
