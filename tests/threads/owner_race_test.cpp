// The data path's owner on the threaded host: one context owns the mapping
// queues at a time, and Service or MappingAvailable arriving while another
// has them leave their work to it (SetState waits for it). Each case holds
// the owner just after a framework call, with its lock dropped, while the
// other context comes and goes; once it is let go, every byte sent must reach
// the DAC once and in order and every mapping come back once and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "threads/race_fixture.h"
#include "wave/wave_fixture.h"

namespace {

using racetest::Gate;
using racetest::WaitReal;
using wavetest::Joined;
using wavetest::kCd;
using wavetest::kCdBlock;
using wavetest::kRenderPin;

constexpr ULONG kStatusActive = 0x80;

class OwnerRace : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STARTED(device_);
    host::WavePciPinOptions options;
    options.firstPageOffset = 0;  // one mapping per buffer: the counts below stay exact
    pin_ = device_.Open(kRenderPin, kCd, nullptr, options);
    ASSERT_TRUE(pin_);
  }

  host::Kernel& Kernel() { return device_.Kernel(); }

  void Queue(std::size_t bytes) {
    auto pattern = wavetest::Pattern(bytes, static_cast<std::uint32_t>(sent_.size() + 7));
    pin_->QueueBuffer(pattern);
    sent_.insert(sent_.end(), pattern.begin(), pattern.end());
  }
  // Queues from a passive thread of its own, named for the race hook.
  void QueueOn(const char* thread, std::size_t bytes) {
    std::thread client([&] {
      Kernel().NameThread(thread);
      Queue(bytes);
    });
    client.join();
  }

  bool ChannelIdle() {
    std::lock_guard lock(device_.Machine().GetClock().Mutex());
    return !(device_.PlaybackChannel().Status() & kStatusActive) && !device_.Machine().InterruptLine();
  }

  // Holds the first call of `call` returning `status` on thread `thread`.
  // `atHold` runs on the held thread just before it stops there.
  void HoldAt(Gate& gate, const char* thread, const char* call, NTSTATUS status,
              std::function<void()> atHold = nullptr) {
    Kernel().SetRaceHook([this, &gate, thread, call, status, atHold](const host::RacePoint& point) {
      if (point.kind != host::RacePoint::Kind::FrameworkCall || gate.Used()) return;
      if (std::string(point.call) != call || point.status != status || Kernel().ThreadName() != thread) return;
      if (atHold) atHold();
      gate.Hold();
    });
  }

  // Lets everything play out, then checks the DAC and the mappings.
  void ExpectEverythingPlayedOnce() {
    const bool drained =
        Kernel().RunUntil([&] { return pin_->BytesReleased() == sent_.size(); }, 10 * sim::kTicksPerSecond);
    Kernel().SetRaceHook(nullptr);
    Kernel().StopThreads();
    EXPECT_EQ(pin_->CountIn(host::WavePciPin::MappingState::HandedOut), 0u) << "mappings still out";
    EXPECT_EQ(pin_->CountIn(host::WavePciPin::MappingState::Released), pin_->Mappings().size());
    racetest::ExpectPlayedOnceInOrder(device_, pin_, sent_, drained);
  }

  wavetest::WaveDevice device_;
  host::WavePciPin* pin_ = nullptr;
  std::vector<std::uint8_t> sent_;
};

// Service owns the queues and has just been refused a mapping (the stream
// ran dry); a buffer arrives meanwhile and its MappingAvailable finds the
// queues taken. Service must pull it on the way out, or the starved stream
// never starts again.
TEST_F(OwnerRace, MappingAvailableDuringServiceIsLeftToService) {
  Queue(kCdBlock);
  Gate gate(Kernel());
  HoldAt(gate, "dispatch", "GetMapping", STATUS_NOT_FOUND);
  Kernel().StartThreads();
  ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);

  const bool held = gate.WaitUsed();
  const std::uint64_t calls = pin_->MappingAvailableCalls();
  if (held) QueueOn("client", 2 * kCdBlock);
  const bool deferred = pin_->MappingAvailableCalls() == calls + 1;
  gate.Open();
  ASSERT_TRUE(held) << "Service was never refused a mapping";
  EXPECT_TRUE(deferred) << "the new buffer did not bring MappingAvailable";
  ExpectEverythingPlayedOnce();
}

// A passive MappingAvailable owns the queues, held inside its pull while
// the channel plays out what it has and raises its events: the Service calls
// meanwhile find the queues taken. The owner must handle those events on the
// way out, or the idle channel is never refilled.
TEST_F(OwnerRace, ServiceDuringMappingAvailableIsLeftToTheOwner) {
  Queue(kCdBlock + kCdBlock / 2);
  Gate gate(Kernel());
  // Counted as the owner stops: the channel may play out and its Service
  // come before this thread sees the gate used.
  std::atomic<std::uint64_t> services{0};
  HoldAt(gate, "client", "GetMapping", STATUS_SUCCESS, [&] { services = pin_->ServiceCalls(); });
  Kernel().StartThreads();
  // The channel stands still until the client owns the queues: on a busy
  // machine it could otherwise play out, and its last Service run, first.
  Kernel().PauseHardware(true);
  ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(WaitReal([&] { return pin_->MappingRefusals() > 0; })) << "the stream never asked for more";

  std::thread client([&] {
    Kernel().NameThread("client");
    Queue(kCdBlock + kCdBlock / 2);
  });
  const bool held = gate.WaitUsed();
  Kernel().PauseHardware(false);
  bool idle = false, serviced = false;
  if (held) {
    idle = WaitReal([&] { return ChannelIdle(); });
    serviced = WaitReal([&] { return pin_->ServiceCalls() > services; });
  }
  gate.Open();
  client.join();
  ASSERT_TRUE(held) << "MappingAvailable never pulled the new buffer";
  EXPECT_TRUE(idle) << "the channel never played out while the owner was held";
  EXPECT_TRUE(serviced) << "no Service came while the owner was held";
  ExpectEverythingPlayedOnce();
}

// Service owns the queues, held after handing a played mapping back, while a
// pause comes at passive level: SetState waits for the owner instead of
// changing the state under it, and the stream resumes where it stopped.
TEST_F(OwnerRace, SetStateWaitsForTheOwner) {
  for (int i = 0; i < 3; i++) Queue(kCdBlock);
  Gate gate(Kernel());
  HoldAt(gate, "dispatch", "ReleaseMapping", STATUS_SUCCESS);
  Kernel().StartThreads();
  ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool held = gate.WaitUsed();

  // The pause blocks on the owner (and so opens the gate), or runs to its end.
  Kernel().SetRaceHook([&](const host::RacePoint& point) {
    if (point.kind == host::RacePoint::Kind::Blocking && Kernel().ThreadName() == "control") gate.Open();
  });
  std::atomic<bool> paused{false};
  NTSTATUS pause = STATUS_UNSUCCESSFUL;
  std::thread control([&] {
    Kernel().NameThread("control");
    pause = pin_->SetState(KSSTATE_PAUSE);
    paused = true;
  });
  const bool waited = gate.WaitOpen(std::chrono::seconds(5));
  gate.Open();
  control.join();
  ASSERT_TRUE(held) << "Service never released a mapping";
  EXPECT_TRUE(waited && paused) << "the pause did not wait for the owner";
  EXPECT_EQ(pause, STATUS_SUCCESS);
  Queue(kCdBlock);
  ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ExpectEverythingPlayedOnce();
}

}  // namespace
