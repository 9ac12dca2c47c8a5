// Races on the playback data path, each provoked on the threaded host by
// holding one thread at its critical point while the hardware (and the other
// processors) go on; every byte sent must still reach the DAC once and in
// order, and every mapping come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "threads/race_fixture.h"
#include "wave/wave_fixture.h"

namespace {

using racetest::ExpectPlayedOnceInOrder;
using racetest::Gate;
using racetest::QueuePattern;
using racetest::UnderMachine;
using racetest::WaitReal;
using wavetest::Joined;
using wavetest::kCd;
using wavetest::kCdBlock;
using wavetest::kRenderPin;
using wavetest::kSgdEol;
using wavetest::kSgdFlag;

constexpr ULONG kChannelStatus = 0x00;   // playback block
constexpr ULONG kStatusActive = 0x80;
constexpr ULONG kStatusEol = 0x02;
constexpr ULONG kStatusEvents = 0x03;
constexpr ULONG kSgdStatusShadow = 0x84;
constexpr ULONG kShadowPlaybackLow = 0x01;
constexpr ULONG kShadowPlaybackHigh = 0x10;
constexpr std::uint16_t kMarkerPortIdle = 0x90;
constexpr std::uint8_t kMarkerIdleEarlyEntry0 = 0x59;

enum class Hold {
  // The service's refill of entry 1 (entry 0 refilled and restarted into,
  // entry 1 left empty behind it) held after its status read, until the
  // channel has finished entry 0.
  RefillAfterStatusRead,
};

struct RaceCase {
  const char* name;
  Hold hold;
  int buffers;        // of three blocks each
  bool untilCounted;  // let go only once the interrupt routine has counted the channel's events
  int rounds;         // a late service can miss the point: the stream runs dry and a new buffer tries again
  std::vector<std::uint8_t> idleMarkers;  // what the service let go says on port 0x90 about the idle channel
};

class DataPathRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(DataPathRace, EveryByteReachesTheDacOnceAndInOrder) {
  const RaceCase c = GetParam();
  SCOPED_TRACE(c.name);
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) { return UnderMachine(machine, read); };

  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  auto queue = [&] { QueuePattern(pin, sent, 3 * kCdBlock); };
  for (int i = 0; i < c.buffers; i++) queue();

  Gate gate(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (gate.Used() || point.kind != host::RacePoint::Kind::PortRead) return;
    const std::string self = kernel.ThreadName();
    if (self != "dispatch" || point.port != ioBase + kChannelStatus || !(point.value & kStatusActive)) return;
    const auto [c0, c1] = underMachine([&] { return device.CountWords(device.PlaybackChannel()); });
    if ((c0 & kSgdFlag) && c1 == kSgdEol) gate.Hold();
  });
  kernel.StartThreads();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);

  bool reached = false;
  std::vector<std::uint8_t> idleSaid;
  for (int round = 1;; round++) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!gate.Used() && pin->BytesReleased() != sent.size() && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    reached = gate.Used();
    if (reached || round >= c.rounds || pin->BytesReleased() != sent.size()) break;
    std::thread client([&] {
      kernel.NameThread("client");
      queue();
    });
    client.join();
  }
  if (reached) {
    // Let the hardware get past the point the held thread has read.
    auto movedOn = [&] {
      return underMachine([&] {
        const std::uint8_t status = device.PlaybackChannel().Status();
        return !(status & kStatusActive) && !(c.untilCounted && (status & kStatusEvents));
      });
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!movedOn() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(std::chrono::microseconds(100));
    EXPECT_TRUE(movedOn()) << "the channel never got past the held point";
    // From here time moves only with the driver. The service let go waits at most for the interrupt
    // routine to count the old events before it gets the channel going again (or finishes the data); a
    // wait that ran to its half-second bound would be heard as a gap that long.
    kernel.PauseHardware(true);
    const sim::Ticks letGo = kernel.Now();
    const std::size_t idleBefore = underMachine([&] { return device.MarkersOn(kMarkerPortIdle).size(); });
    gate.Open();
    kernel.RunUntil(
        [&] {
          return underMachine([&] { return device.PlaybackChannel().Active(); }) ||
                 pin->BytesReleased() == sent.size();
        },
        sim::kTicksPerSecond);
    EXPECT_LT(kernel.Now() - letGo, 250 * sim::kTicksPerMillisecond) << "virtual time from letting the service go";
    idleSaid = underMachine([&] { return device.MarkersOn(kMarkerPortIdle); });
    idleSaid.erase(idleSaid.begin(), idleSaid.begin() + static_cast<std::ptrdiff_t>(idleBefore));
    kernel.PauseHardware(false);
  }
  gate.Open();
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.RunFor(30 * sim::kTicksPerMillisecond);  // a block started again after the end would play meanwhile
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(reached) << "the stream never reached the point to hold";

  EXPECT_EQ(idleSaid, c.idleMarkers) << "markers on port 0x90 while the service let go ran";
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

// The interrupt routine held between reading the shadow register (one
// playback event) and acknowledging it, while the channel raises its other
// event: that one must stay set and be counted by the next pass, not be
// acknowledged unseen.
TEST(InterruptRace, AnEventRaisedDuringTheRoutineIsCountedByTheNextPass) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) { return UnderMachine(machine, read); };

  Gate gate(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (kernel.ThreadName() == "interrupt" && point.kind == host::RacePoint::Kind::PortRead &&
        point.port == ioBase + kSgdStatusShadow && point.value == kShadowPlaybackLow)
      gate.Hold();
  });
  kernel.StartThreads();
  // Entry 0: 1 ms ending in FLAG; entry 1: 10 ms ending in EOL.
  underMachine([&] {
    const std::uint32_t table = machine.Config().dmaArenaBase + machine.Config().dmaArenaBytes - 0x1000;
    kernel.OpenDmaWindow(table, 0x1000);  // the test plays the framework: the table is the device's to read
    machine.Memory().Write32(table + 0, table + 0x100);
    machine.Memory().Write32(table + 4, kSgdFlag | 48);
    machine.Memory().Write32(table + 8, table + 0x100);
    machine.Memory().Write32(table + 12, kSgdEol | 480);
    machine.PortWrite(ioBase + 0x04, 4, table);
    machine.PortWrite(ioBase + 0x02, 1, 0x03);
    machine.PortWrite(ioBase + 0x01, 1, 0x80);
    return 0;
  });
  const bool held = gate.WaitUsed();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto eolRaised = [&] { return underMachine([&] { return (device.PlaybackChannel().Status() & kStatusEol) != 0; }); };
  while (held && !eolRaised() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  const bool raised = eolRaised();
  gate.Open();
  kernel.RunUntil([&] { return underMachine([&] { return !machine.InterruptLine(); }); }, 10 * sim::kTicksPerSecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(held) << "the interrupt routine never read the first event";
  ASSERT_TRUE(raised) << "the channel never raised its second event";
  EXPECT_EQ(device.Adapter()->ReadIntTimes(0), 2) << "events counted";
  EXPECT_FALSE(machine.InterruptLine());
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

// A pause that stops the channel while the interrupt routine, on another
// processor, has read an event and not yet counted it: the stop sees the
// same event bit. Counted twice, the pause takes a block that did not play
// for played and the run after it skips it.
TEST(InterruptRace, APauseDuringTheRoutineCountsItsEventOnce) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  const ULONG ioBase = device.Machine().Config().ioBase;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 4; i++) QueuePattern(pin, sent, 3 * kCdBlock);

  Gate gate(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    const std::string self = kernel.ThreadName();
    if (self == "interrupt" && point.kind == host::RacePoint::Kind::PortRead &&
        point.port == ioBase + kSgdStatusShadow && (point.value & kShadowPlaybackLow) && !gate.Used()) {
      // Time moves only with the driver while the routine is held: left running, the channel could raise
      // the bit just read once more, and the routine's acknowledgement would clear that event unseen.
      kernel.PauseHardware(true);
      gate.Hold();
    } else if (self == "control" && point.kind == host::RacePoint::Kind::Blocking && gate.Used())
      gate.Open();  // the pause waits for the routine it raced with
  });
  kernel.StartThreads();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool held = gate.WaitUsed();
  NTSTATUS paused = STATUS_UNSUCCESSFUL;
  std::atomic<bool> done{false};
  std::thread control([&] {
    kernel.NameThread("control");
    paused = pin->SetState(KSSTATE_PAUSE);
    done = true;
  });
  while (held && !done && !gate.WaitOpen(std::chrono::milliseconds(5))) {
  }
  gate.Open();
  control.join();
  kernel.PauseHardware(false);
  ASSERT_TRUE(held) << "the interrupt routine never read a playback event";
  EXPECT_EQ(paused, STATUS_SUCCESS);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

// The replay of a skipped entry 1 (the RefillAfterStatusRead race) leaves
// entry 0's record waiting for one more event: that of the empty entry 0
// the restart runs through at once, which has no record of its own. The
// interrupt thread is kept from counting it (a holder takes the interrupt
// lock just before the restart, and the interrupt thread is held where it
// waits for it) until the next service has taken the other events and the
// stream is paused. The run after the pause must take its first event for
// its own block, not for the empty entry's.
struct LockHolder {
  std::atomic<bool> held{false};
  Gate* waiter;
};

NTSTATUS NTAPI HoldInterruptLock(PINTERRUPTSYNC, PVOID context) {
  auto* holder = static_cast<LockHolder*>(context);
  holder->held = true;
  holder->waiter->WaitUsed();  // until the interrupt thread waits for the lock
  return STATUS_SUCCESS;
}

TEST(ReplayRace, APauseBeforeTheEmptyEntrysEventIsCountedLeavesTheNextRunWhole) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) { return UnderMachine(machine, read); };
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 8; i++) QueuePattern(pin, sent, 3 * kCdBlock);

  Gate refill(kernel), interrupt(kernel);
  LockHolder lock{{false}, &interrupt};
  std::atomic<bool> lockWanted{false}, giveUp{false};
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    const std::string self = kernel.ThreadName();
    if (self == "dispatch" && point.kind == host::RacePoint::Kind::PortRead && point.port == ioBase + kChannelStatus) {
      if (!refill.Used() && (point.value & kStatusActive)) {
        const auto [c0, c1] = underMachine([&] { return device.CountWords(device.PlaybackChannel()); });
        if ((c0 & kSgdFlag) && c1 == kSgdEol) refill.Hold();
      } else if (refill.IsOpen() && point.value == 0 && !lockWanted.exchange(true)) {
        // The old events are counted; the replay is about to restart the channel.
        while (!lock.held && !giveUp) std::this_thread::yield();
      }
    } else if (self == "interrupt" && point.kind == host::RacePoint::Kind::Blocking && lock.held &&
               !interrupt.Used()) {
      // Time moves only with the driver from here, so the replayed entry 1 is still playing when the
      // stream is paused: a held routine must not make two events of one bit into one.
      kernel.PauseHardware(true);
      interrupt.Hold();
    }
  });
  std::thread holder([&] {
    kernel.NameThread("holder");
    while (!lockWanted && !giveUp) std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!giveUp) device.Adapter()->GetInterruptSync()->CallSynchronizedRoutine(HoldInterruptLock, &lock);
  });
  kernel.StartThreads();
  EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);  // no early return: the holder thread is joined below
  const bool held = refill.WaitUsed();
  // Let the channel finish entry 0 and run through the empty entry 1 behind the held service.
  WaitReal([&] { return underMachine([&] { return !device.PlaybackChannel().Active(); }); });
  refill.Open();
  const bool replayed = interrupt.WaitUsed();
  // The next service takes the two old events and refills entry 0; the empty entry's event is still uncounted.
  const bool refilled = WaitReal([&] {
    return underMachine([&] { return device.CountWords(device.PlaybackChannel()).first != kSgdFlag; });
  });
  const NTSTATUS paused = pin->SetState(KSSTATE_PAUSE);
  giveUp = true;
  interrupt.Open();
  holder.join();
  kernel.PauseHardware(false);
  const std::size_t playedAtPause = device.Dac().size();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.RunFor(30 * sim::kTicksPerMillisecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(held) << "the service never read the channel in the refilled entry 0";
  ASSERT_TRUE(replayed) << "the service never replayed entry 1";
  ASSERT_TRUE(refilled) << "the next service never refilled entry 0";
  EXPECT_EQ(paused, STATUS_SUCCESS);
  EXPECT_LT(playedAtPause, sent.size());
  // Taken for the empty entry's, the run's first event is lost: the service then has to make one up (0x59).
  const std::vector<std::uint8_t> idle = device.MarkersOn(kMarkerPortIdle);
  EXPECT_EQ(std::count(idle.begin(), idle.end(), kMarkerIdleEarlyEntry0), 0) << "an event was taken for another";
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

// The RefillAfterStatusRead race (entry 0 ends between the service's status
// read and its arming of entry 1, so the channel runs through the empty entry
// 1 and stops), with the service then held up for more than a block's time
// where it finds the channel stopped: the stop is still the skip, not a
// played block, and the block must be replayed.
TEST(ReplayRace, AServiceHeldUpPastABlockAfterTheSkipStillReplaysTheBlock) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) { return UnderMachine(machine, read); };
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 8; i++) QueuePattern(pin, sent, 3 * kCdBlock);

  // `skip` holds the service until entry 0 has ended, `late` for a block's time after.
  Gate skip(kernel), late(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (kernel.ThreadName() != "dispatch" || point.kind != host::RacePoint::Kind::PortRead ||
        point.port != ioBase + kChannelStatus)
      return;
    if (!skip.Used() && (point.value & kStatusActive)) {
      const auto [c0, c1] = underMachine([&] { return device.CountWords(device.PlaybackChannel()); });
      if ((c0 & kSgdFlag) && c1 == kSgdEol) skip.Hold();
    } else if (skip.IsOpen() && !(point.value & kStatusActive)) {
      late.Hold();  // the first look at the stopped channel after the refill
    }
  });
  kernel.StartThreads();
  EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool skipped =
      skip.WaitUsed() && WaitReal([&] { return underMachine([&] { return !device.PlaybackChannel().Active(); }); });
  skip.Open();
  const bool heldLate = late.WaitUsed();
  const sim::Ticks from = kernel.Now();
  const bool blockTimePassed = WaitReal([&] { return kernel.Now() >= from + 15 * sim::kTicksPerMillisecond; });
  late.Open();
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.RunFor(30 * sim::kTicksPerMillisecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(skipped) << "the channel never ran through the empty entry 1 behind the held service";
  ASSERT_TRUE(heldLate && blockTimePassed) << "the service was never held up a block's time";
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

// Entry 0's service comes late, after the channel has played entry 1 (the
// last of the data) and stopped, while the interrupt routine on another
// processor has not counted entry 1's event yet. The service finds no data
// and no event to come, but entry 1's record still waits for its event. A
// buffer queued then restarts the stream: the restart must not take that
// event (and drop it) for one of the idle channel's leftovers.
TEST(StarveRace, ARestartBeforeTheLastEventIsCountedLosesNothing) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;  // one mapping per buffer
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  auto queue = [&] { QueuePattern(pin, sent, 2 * kCdBlock); };
  queue();

  const ULONG ioBase = device.Machine().Config().ioBase;
  Gate late(kernel), interrupt(kernel);
  LockHolder lock{{false}, &interrupt};
  std::atomic<bool> entry0Seen{false}, lockWanted{false}, giveUp{false};
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    const std::string self = kernel.ThreadName();
    if (self == "interrupt" && point.kind == host::RacePoint::Kind::PortRead &&
        point.port == ioBase + kSgdStatusShadow && (point.value & kShadowPlaybackLow) && !entry0Seen.exchange(true)) {
      // Entry 0's event: until its service has run out of data, time moves only with the driver.
      kernel.PauseHardware(true);
    } else if (self == "dispatch" && point.kind == host::RacePoint::Kind::FrameworkCall &&
               std::string(point.call) == "GetMapping" && !NT_SUCCESS(point.status) && !late.Used()) {
      // The interrupt routine is kept from counting what comes next: a holder takes its lock first.
      lockWanted = true;
      while (!lock.held && !giveUp) std::this_thread::yield();
      kernel.PauseHardware(false);
      late.Hold();
    } else if (self == "interrupt" && point.kind == host::RacePoint::Kind::Blocking && lock.held) {
      interrupt.Hold();
    }
  });
  std::thread holder([&] {
    kernel.NameThread("holder");
    while (!lockWanted && !giveUp) std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!giveUp) device.Adapter()->GetInterruptSync()->CallSynchronizedRoutine(HoldInterruptLock, &lock);
  });
  kernel.StartThreads();
  EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);  // no early return: the holder thread is joined below
  const bool serviceHeld = late.WaitUsed();
  // Entry 1 plays to its end and stops; its event waits for the held routine.
  const bool eventWaiting = interrupt.WaitUsed();
  late.Open();
  std::thread client([&] {
    kernel.NameThread("client");
    queue();
  });
  client.join();
  giveUp = true;
  interrupt.Open();
  holder.join();
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.RunFor(30 * sim::kTicksPerMillisecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(serviceHeld) << "entry 0's service never ran out of data";
  ASSERT_TRUE(eventWaiting) << "the interrupt routine never waited with entry 1's event";
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

// The service hands back a buffer's first mapping (its record gone, the
// lock let go for ReleaseMapping) just as the client cancels that buffer: the
// framework names the mapping being released as the range's first. The rest
// of the range, still held, is the stream's to give up and count; the
// release already under way is the framework's to accept, and no mapping is
// handed back after the framework took it.
TEST(RevokeRace, ACancelCrossingTheFirstMappingsReleaseTakesTheRest) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  host::WavePciPinOptions options;
  options.firstPageOffset = PAGE_SIZE - 528;  // the buffer comes as 528 bytes, then the rest
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_TRUE(pin);
  const auto buffer = pin->QueueBuffer(wavetest::Pattern(2 * kCdBlock, 0));

  Gate release(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (kernel.ThreadName() == "dispatch" && point.kind == host::RacePoint::Kind::FrameworkCall &&
        std::string(point.call) == "ReleaseMapping called")
      release.Hold();
  });
  kernel.StartThreads();
  EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool held = release.WaitUsed();
  ULONG revoked = 0, expected = 0;
  const NTSTATUS cancel = pin->CancelBuffer(buffer, &revoked, &expected);
  release.Open();
  kernel.RunFor(50 * sim::kTicksPerMillisecond);
  EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(held) << "the first mapping was never handed back";
  EXPECT_EQ(expected, 2u) << "mappings out at the cancel";
  EXPECT_EQ(cancel, STATUS_SUCCESS);
  EXPECT_EQ(revoked, 1u) << "the mapping behind the one being released";
  EXPECT_TRUE(pin->BufferDone(buffer));
  EXPECT_EQ(pin->CountIn(host::WavePciPin::MappingState::HandedOut), 0u);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

// Entry 1's service comes while entry 0 plays the last, short block. Idle
// with no event to come, the service takes entry 0's event to have been
// raised with entry 1's as one and makes it up. The service is held after
// one of its synchronized reads of the event count while the channel
// finishes entry 0 and the interrupt routine counts that event, and a new
// buffer arrives meanwhile: the event must be taken once, not made up too,
// or the second one takes the next block's record while it plays.
class LateEntry1Race : public ::testing::TestWithParam<int> {};

TEST_P(LateEntry1Race, AnEventCountedDuringTheServiceIsNotMadeUpAsWell) {
  const int holdAfter = GetParam();  // the service's synchronized routine to hold after, entry 0 playing
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) { return UnderMachine(machine, read); };
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_TRUE(pin);
  std::vector<std::uint8_t> sent;
  auto queue = [&](std::uint32_t bytes) { QueuePattern(pin, sent, bytes); };
  constexpr std::uint32_t kShortBlock = kCdBlock / 2 / 4 * 4;
  queue(2 * kCdBlock + kShortBlock);  // entry 0's third block is the short one

  Gate gate(kernel);
  int seen = 0;
  std::atomic<bool> clientBlocked{false}, clientDone{false}, entry1Ended{false}, paused{false};
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    const std::string self = kernel.ThreadName();
    if (self == "client" && point.kind == host::RacePoint::Kind::Blocking) clientBlocked = true;
    if (self == "interrupt" && point.kind == host::RacePoint::Kind::PortRead &&
        point.port == ioBase + kSgdStatusShadow && (point.value & kShadowPlaybackHigh) && !entry1Ended.exchange(true)) {
      // Entry 1's event: until its service reads the count, time moves only with the driver, so the
      // service comes while the short block plays however late its thread runs.
      kernel.PauseHardware(true);
      paused = true;
      return;
    }
    if (self != "dispatch" || point.kind != host::RacePoint::Kind::FrameworkCall ||
        std::string(point.call) != "CallSynchronizedRoutine" || gate.Used())
      return;
    const bool shortBlockPlaying = underMachine([&] {
      sim::SgdChannel& channel = device.PlaybackChannel();
      const std::uint32_t c0 = device.CountWords(channel).first;
      return channel.Active() && channel.CurrentEntry() == 0 && c0 == (kSgdEol | kShortBlock);
    });
    if (!shortBlockPlaying) return;
    if (paused.exchange(false)) kernel.PauseHardware(false);
    if (++seen == holdAfter) gate.Hold();
  });
  kernel.StartThreads();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  // Entry 0 ends and the interrupt routine counts its event, behind the service if it is held.
  const bool counted = WaitReal([&] {
    return underMachine([&] {
      sim::SgdChannel& channel = device.PlaybackChannel();
      return device.Dac().size() >= 2 * kCdBlock + kShortBlock && !channel.Active() &&
             (channel.Status() & kStatusEvents) == 0;
    });
  });
  const bool held = gate.Used();
  std::thread client([&] {
    kernel.NameThread("client");
    queue(3 * kCdBlock);
    clientDone = true;
  });
  WaitReal([&] { return clientBlocked || clientDone; });
  gate.Open();
  client.join();
  const bool drained = kernel.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 10 * sim::kTicksPerSecond);
  kernel.RunFor(30 * sim::kTicksPerMillisecond);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  // A second read of the count may not come while entry 0 plays; the first always does.
  ASSERT_TRUE(held || holdAfter > 1) << "the service never read the count while entry 0 played the short block";
  ASSERT_TRUE(counted) << "the interrupt routine never counted entry 0's event";
  const std::vector<std::uint8_t> idle = device.MarkersOn(kMarkerPortIdle);
  EXPECT_EQ(std::count(idle.begin(), idle.end(), kMarkerIdleEarlyEntry0), 0) << "an event made up for a counted one";
  ExpectPlayedOnceInOrder(device, pin, sent, drained);
}

INSTANTIATE_TEST_SUITE_P(Threaded, LateEntry1Race, ::testing::Values(1, 2),
                         [](const auto& info) { return "AfterSynchronizedRead" + std::to_string(info.param); });

INSTANTIATE_TEST_SUITE_P(Threaded, DataPathRace,
                         ::testing::Values(RaceCase{"RefillAfterStatusRead", Hold::RefillAfterStatusRead, 8, false, 1,
                                                    {}},
                                           // The data ends with entry 0's block: entry 1 is left empty, and the
                                           // service then finds the channel stopped with its events counted and
                                           // still to come (0x93). Entry 0 must not be started again.
                                           RaceCase{"LastBlockAfterStatusRead", Hold::RefillAfterStatusRead, 1,
                                                    true, 10, {0x93}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
