// Races on the capture data path on the threaded host: every frame the ADC
// sampled that reaches a mapping must arrive there once and in order (input
// the channel could not take is lost, never repeated), and every mapping come
// back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "threads/race_fixture.h"
#include "wave/wave_fixture.h"

namespace {

using racetest::Gate;
using wavetest::Joined;
using wavetest::kCapturePin;
using wavetest::kCd;
using wavetest::kCdBlock;

constexpr ULONG kCaptureControl = 0x11;
constexpr ULONG kControlStart = 0x80;
constexpr std::size_t kFrame = 4;  // 16-bit stereo

// Entry 0's service has queued the restart while the channel records entry 1,
// and is then held for more than a block: the channel finishes entry 1,
// restarts, records entry 0 again and comes back to entry 1 before entry 1's
// event is serviced. Recording into block 1 then would overwrite the block
// that event is still to empty, and the client would get the newer frames
// followed by the older ones.
TEST(CaptureRace, AnEntry1EventServicedMoreThanABlockLateLosesInputButNeverReordersIt) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  sim::Machine& machine = device.Machine();
  const ULONG ioBase = machine.Config().ioBase;
  auto underMachine = [&](auto&& read) {
    std::lock_guard lock(machine.GetClock().Mutex());
    return read();
  };
  // The ADC's frames carry serial numbers from 1.
  std::uint32_t sampled = 0;
  machine.GetCodec().Adc().SetStream([&](std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i + kFrame <= out.size(); i += kFrame) {
      const std::uint32_t serial = ++sampled;
      std::memcpy(out.data() + i, &serial, kFrame);
    }
    return out.size() - out.size() % kFrame;
  });

  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  ASSERT_TRUE(pin);
  constexpr std::size_t kBuffers = 30;
  for (std::size_t i = 0; i < kBuffers; i++) pin->QueueCaptureBuffer(kCdBlock);

  Gate restart(kernel);
  std::uint64_t entriesAtHold = 0;
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (restart.Used() || point.kind != host::RacePoint::Kind::PortWrite || kernel.ThreadName() != "dispatch" ||
        point.port != ioBase + kCaptureControl || point.value != kControlStart)
      return;
    entriesAtHold = underMachine([&] { return device.CaptureChannel().EntriesCompleted(); });
    restart.Hold();
  });
  kernel.StartThreads();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const bool held = restart.WaitUsed();
  // The channel goes on through entry 0 of the next pass and stops at entry 1's EOL behind it (two entries
  // on if the service came after entry 1 had already ended, three if the restart was queued in time).
  auto passedEntry1Again = [&] {
    return underMachine([&] {
      return device.CaptureChannel().EntriesCompleted() >= entriesAtHold + 2 && !device.CaptureChannel().Active();
    });
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (held && !passedEntry1Again() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  const bool passed = passedEntry1Again();
  restart.Open();
  const std::size_t bytes = kBuffers * kCdBlock;
  const bool filled = kernel.RunUntil([&] { return pin->BytesReleased() >= bytes; }, 10 * sim::kTicksPerSecond);
  EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  ASSERT_TRUE(held) << "entry 0's service never queued the restart";
  ASSERT_TRUE(passed) << "the channel never came back to entry 1 behind the held service";
  EXPECT_TRUE(filled) << pin->BytesReleased() << " of " << bytes << " bytes captured";

  const std::vector<std::uint8_t>& captured = pin->CapturedBytes();
  ASSERT_EQ(captured.size(), bytes);
  std::uint32_t last = 0;
  for (std::size_t i = 0; i + kFrame <= captured.size(); i += kFrame) {
    std::uint32_t frame = 0;
    std::memcpy(&frame, &captured[i], kFrame);
    ASSERT_GT(frame, last) << "frame " << frame << " at byte " << i << " after frame " << last;
    ASSERT_LE(frame, sampled) << "at byte " << i << ": never sampled";
    last = frame;
  }
  EXPECT_EQ(pin->CountIn(host::WavePciPin::MappingState::HandedOut), 0u);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

}  // namespace
