// Deterministic races on the threaded host: a Gate holds one thread at a
// chosen race point while another runs, and lets it go when the other has
// finished or is about to block on something the held thread owns.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/kernel.h"
#include "wave/wave_fixture.h"

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

// Runs `read` under the machine's clock lock, which the hardware thread holds while it advances.
template <typename Read>
auto UnderMachine(sim::Machine& machine, Read&& read) {
  std::lock_guard lock(machine.GetClock().Mutex());
  return read();
}

// Queues a buffer of `bytes` on `pin`, a pattern numbered on from the bytes already in `sent`, and keeps it there.
inline void QueuePattern(host::WavePciPin* pin, std::vector<std::uint8_t>& sent, std::size_t bytes) {
  auto data = wavetest::Pattern(bytes, static_cast<std::uint32_t>(sent.size() / 4));
  pin->QueueBuffer(data);
  sent.insert(sent.end(), data.begin(), data.end());
}

// Waits in real time for what the other threads are to make true; false if they did not within `limit`.
template <typename Condition>
bool WaitReal(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  return condition();
}

// The end of a playback race: every byte handed back, each played at the
// DAC once and in order, the stream stops, and no kernel rule broke.
inline void ExpectPlayedOnceInOrder(wavetest::WaveDevice& device, host::WavePciPin* pin,
                                    const std::vector<std::uint8_t>& sent, bool drained) {
  EXPECT_TRUE(drained) << pin->BytesReleased() << " of " << sent.size() << " bytes released";
  const std::vector<std::uint8_t>& dac = device.Dac();
  ASSERT_EQ(dac.size(), sent.size()) << "bytes played at the DAC";
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), dac.begin())) << "the DAC did not get the bytes sent, in order";
  EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(device.violations.empty()) << wavetest::Joined(device.violations);
}

}  // namespace racetest
