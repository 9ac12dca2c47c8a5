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

// The way back from D1 reads the codec's Powerdown register right behind its
// own write to it, and its thread is preempted inside the read for longer
// than a read may wait (half a second) while the hardware goes on: before the
// read, at a status read that found the port busy with that write, or after
// it, at one that found the data not there yet. When it runs again the port
// has long answered: the read goes in, not given up on the stale status.
// Given up, it reads 0xFFFF, and the write behind it asks the codec to power
// every section down, the link among them; given up with its data waiting,
// the port is left answered and unacknowledged, and no later command goes in.
enum class ReadHold { PortBusy, DataNotReady };

class CodecReadWait : public ::testing::TestWithParam<ReadHold> {};

TEST_P(CodecReadWait, AReadPreemptedPastItsLimitAfterAStaleStatusStillGoesIn) {
  constexpr ULONG kCodecIndexOffset = 0x82;
  constexpr std::uint8_t kPowerdownRegister = 0x26;
  constexpr ULONG kIndexRead = 0x80;
  wavetest::WaveDevice device;
  ASSERT_STARTED(device);
  host::Kernel& kernel = device.Kernel();
  const ULONG ioBase = device.Machine().Config().ioBase;
  ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD1), STATUS_SUCCESS);

  Gate gate(kernel);
  // The change reads Powerdown twice, the second time behind a write to it: 1 once that write has gone
  // out, 2 once the second read has been issued.
  int reads = 0, step = 0;
  kernel.SetRaceHook([&](const host::RacePoint& point) {
    if (kernel.ThreadName() != "power" || gate.Used()) return;
    if (point.kind == host::RacePoint::Kind::PortWrite && point.port == ioBase + kCodecIndexOffset) {
      if (point.value == (kPowerdownRegister | kIndexRead) && ++reads == 2) step = 2;
      if (point.value == kPowerdownRegister && reads == 1) step = 1;
    } else if (point.kind == host::RacePoint::Kind::PortRead && point.port == ioBase + kCodecStatusOffset) {
      if (GetParam() == ReadHold::PortBusy && step == 1 && (point.value & 0x01)) gate.Hold();
      if (GetParam() == ReadHold::DataNotReady && step == 2 && !(point.value & 0x02)) gate.Hold();
    }
  });
  kernel.StartThreads();
  // Until the read has seen the stale status, time moves only with the driver.
  kernel.PauseHardware(true);
  NTSTATUS powered = STATUS_UNSUCCESSFUL;
  std::thread power([&] {
    kernel.NameThread("power");
    powered = device.Harness().SetPowerState(PowerDeviceD0);
  });
  const bool held = gate.WaitUsed();
  kernel.PauseHardware(false);
  if (held) kernel.RunFor(600 * sim::kTicksPerMillisecond);  // the held thread is away past the read's limit
  gate.Open();
  power.join();
  kernel.SetRaceHook(nullptr);
  kernel.StopThreads();
  device.RunFor(wavetest::kMillisecond);  // the last command reaches the codec over the link

  ASSERT_TRUE(held) << "the read behind the Powerdown write never saw the status to hold at";
  EXPECT_EQ(powered, STATUS_SUCCESS);
  const std::uint16_t powerdown = device.Machine().GetCodec().Read(kPowerdownRegister);
  EXPECT_EQ(powerdown & 0xFF00, 0) << std::hex << "Powerdown 0x" << powerdown << ": power-down requests";
  // Back in D0, a volume request reaches the codec.
  auto topology = device.Harness().Subdevice(L"Topology");
  ASSERT_TRUE(topology);
  host::PropertyDispatcher mixer(topology->miniport);
  EXPECT_EQ(mixer.SetAudio(kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-30)).status, STATUS_SUCCESS);
  device.RunFor(wavetest::kMillisecond);
  const std::uint16_t master = device.Machine().GetCodec().Read(kMasterRegister);
  EXPECT_TRUE(LeftIsMinus30(master)) << std::hex << "master register 0x" << master;
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(Threaded, CodecReadWait, ::testing::Values(ReadHold::PortBusy, ReadHold::DataNotReady),
                         [](const auto& info) {
                           return std::string(info.param == ReadHold::PortBusy ? "PortBusy" : "DataNotReady");
                         });

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
