// Two property requests on different fields of one codec register, from two
// passive threads on the threaded host: the first is held inside its write
// until the second has either finished or is waiting for the codec. Both
// fields must end as asked, whatever the interleaving.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "host/property.h"
#include "threads/race_fixture.h"
#include "wave/wave_fixture.h"

namespace {

using racetest::Gate;
using wavetest::Joined;

constexpr ULONG kMasterVolumeNode = 20;
constexpr ULONG kMasterMuteNode = 21;
constexpr std::uint8_t kMasterRegister = 0x02;
constexpr ULONG kCodecStatusOffset = 0x83;

LONG Db(double decibels) { return static_cast<LONG>(std::lround(decibels * 65536.0)); }

struct Request {
  const char* name;
  ULONG node;
  ULONG property;
  LONG channel;
  LONG value;
};

struct RaceCase {
  Request held;
  Request other;
};

// Master volume left: 6-bit attenuation at bits 13:8 in 1.5 dB steps; mute at bit 15.
bool LeftIsMinus30(std::uint16_t reg) { return ((reg >> 8) & 0x3F) == 20; }
bool Muted(std::uint16_t reg) { return (reg & 0x8000) != 0; }  // muted at reset

class CodecRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(CodecRace, BothFieldsOfOneRegisterSurvive) {
  const RaceCase c = GetParam();
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  auto topology = device.Harness().Subdevice(L"Topology");
  ASSERT_TRUE(topology);
  host::PropertyDispatcher mixer(topology->miniport);
  const ULONG statusPort = device.Machine().Config().ioBase + kCodecStatusOffset;

  Gate gate(kernel);
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    const std::string self = kernel.ThreadName();
    if (self == c.held.name && point.kind == host::RacePoint::Kind::PortRead && point.port == statusPort)
      gate.Hold();
    else if (self == c.other.name && point.kind == host::RacePoint::Kind::Blocking)
      gate.Open();
  });
  kernel.StartThreads();

  NTSTATUS heldStatus = STATUS_UNSUCCESSFUL, otherStatus = STATUS_UNSUCCESSFUL;
  auto send = [&](const Request& r, NTSTATUS* status) {
    kernel.NameThread(r.name);
    *status = mixer.SetAudio(r.node, r.property, r.channel, r.value).status;
  };
  std::thread held(send, c.held, &heldStatus);
  const bool reached = gate.WaitUsed();
  if (!reached) {
    gate.Open();
    held.join();
    kernel.StopThreads();
    FAIL() << "the first request never reached the codec port";
  }
  std::atomic<bool> otherDone{false};
  std::thread other([&] {
    send(c.other, &otherStatus);
    otherDone = true;
  });
  // The other request either waits for the codec (and opens the gate) or runs to its end.
  while (!otherDone && !gate.WaitOpen(std::chrono::milliseconds(5))) {
  }
  gate.Open();
  other.join();
  held.join();
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  device.RunFor(wavetest::kMillisecond);  // the last command reaches the codec over the link

  EXPECT_EQ(heldStatus, STATUS_SUCCESS);
  EXPECT_EQ(otherStatus, STATUS_SUCCESS);
  const std::uint16_t reg = device.Machine().GetCodec().Read(kMasterRegister);
  EXPECT_TRUE(LeftIsMinus30(reg)) << std::hex << "master register 0x" << reg;
  EXPECT_FALSE(Muted(reg)) << std::hex << "master register 0x" << reg;
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

// A request finds the codec port busy with the command before it, and its
// thread is then preempted for longer than a write may wait while the
// hardware goes on. When it runs again the port has long been free: the
// write goes in, not given up on the stale busy read.
TEST(CodecWait, AWritePreemptedPastItsLimitAfterABusyReadStillGoesIn) {
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  auto topology = device.Harness().Subdevice(L"Topology");
  ASSERT_TRUE(topology);
  host::PropertyDispatcher mixer(topology->miniport);
  const ULONG statusPort = device.Machine().Config().ioBase + kCodecStatusOffset;

  Gate gate(kernel);
  std::atomic<bool> armed{false};
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (armed && kernel.ThreadName() == "volume" && point.kind == host::RacePoint::Kind::PortRead &&
        point.port == statusPort && (point.value & 0x01))
      gate.Hold();
  });
  kernel.StartThreads();
  // Until the volume request has read the port busy, time moves only with the driver.
  kernel.PauseHardware(true);
  NTSTATUS muteStatus = STATUS_UNSUCCESSFUL, volumeStatus = STATUS_UNSUCCESSFUL;
  std::thread request([&] {
    kernel.NameThread("volume");
    muteStatus = mixer.SetAudio(kMasterMuteNode, KSPROPERTY_AUDIO_MUTE, 0, 0).status;
    armed = true;
    volumeStatus = mixer.SetAudio(kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-30)).status;
  });
  const bool held = gate.WaitUsed();
  kernel.PauseHardware(false);
  if (held) kernel.RunFor(2 * sim::kTicksPerMillisecond);  // the held thread is away well past its limit
  gate.Open();
  request.join();
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  device.RunFor(wavetest::kMillisecond);

  ASSERT_TRUE(held) << "the volume request never found the port busy";
  EXPECT_EQ(muteStatus, STATUS_SUCCESS);
  EXPECT_EQ(volumeStatus, STATUS_SUCCESS);
  const std::uint16_t reg = device.Machine().GetCodec().Read(kMasterRegister);
  EXPECT_TRUE(LeftIsMinus30(reg)) << std::hex << "master register 0x" << reg;
  EXPECT_FALSE(Muted(reg)) << std::hex << "master register 0x" << reg;
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

const Request kVolume{"volume", kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 0};
const Request kMute{"mute", kMasterMuteNode, KSPROPERTY_AUDIO_MUTE, 0, 0};

Request WithValue(Request r, LONG value) {
  r.value = value;
  return r;
}

INSTANTIATE_TEST_SUITE_P(Threaded, CodecRace,
                         ::testing::Values(RaceCase{WithValue(kVolume, Db(-30)), kMute},
                                           RaceCase{kMute, WithValue(kVolume, Db(-30))}),
                         [](const auto& info) { return std::string(info.param.held.name) + "Held"; });

}  // namespace
