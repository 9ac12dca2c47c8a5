// The mixer in a started device: installed by device start, wired to the wave
// filter, reaching the codec through the adapter's codec port, and keeping its
// settings across runs through the registry.
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "adapter/driver.h"
#include "host/property.h"
#include "host/registry.h"
#include "host/testing.h"
#include "topology/miniport.h"

namespace {

class MixerDevice : public host::testing::KernelTest {
 protected:
  void TearDown() override {
    mixer_.reset();
    KernelTest::TearDown();
  }

  // Starts the device and opens its mixer; false (with a failure) when it cannot.
  bool StartMixer() {
    auto& device = Harness();
    const NTSTATUS status = device.Start(DriverEntry);
    EXPECT_EQ(status, STATUS_SUCCESS) << device.LastError();
    const auto topology = device.Subdevice(L"Topology");
    EXPECT_TRUE(topology.has_value());
    if (!NT_SUCCESS(status) || !topology) return false;
    EXPECT_TRUE(IsEqualGUIDAligned(topology->portClass, CLSID_PortTopology));
    mixer_ = std::make_unique<host::PropertyDispatcher>(topology->miniport);
    return true;
  }

  void StopDevice() {
    mixer_.reset();
    ResetHarness();  // stop and removal: the ports, and with them the miniports, go away
  }

  // The codec register once the last command has gone over the link: a write
  // is only issued by the driver, the codec takes it a few microseconds later.
  USHORT Codec(UCHAR reg) {
    GetKernel().RunFor(100 * sim::kTicksPerMicrosecond);
    return Machine().GetCodec().Peek(reg);
  }

  std::unique_ptr<host::PropertyDispatcher> mixer_;
};

TEST_F(MixerDevice, StartInstallsTheMixerWiredToTheWaveFilter) {
  ASSERT_TRUE(StartMixer());
  EXPECT_EQ(mixer_->Description().NodeCount, 39u) << "the simulated codec keeps the 3D bit";
  EXPECT_EQ(Codec(0x20) & 0x2000, 0x2000);
  const auto connections = Harness().PhysicalConnections();
  const host::PhysicalConnectionInfo toCapture{L"Topology", 11, L"Wave", 1};
  const host::PhysicalConnectionInfo fromRender{L"Wave", 3, L"Topology", 0};
  EXPECT_NE(std::find(connections.begin(), connections.end(), toCapture), connections.end());
  EXPECT_NE(std::find(connections.begin(), connections.end(), fromRender), connections.end());
}

TEST_F(MixerDevice, CodecWithout3DGivesTheSmallerFilter) {
  auto config = config_;
  config.codec.has3d = false;
  Boot(config);
  ASSERT_TRUE(StartMixer());
  EXPECT_EQ(mixer_->Description().NodeCount, 36u);
  EXPECT_EQ(Codec(0x20) & 0x2000, 0);
}

// A codec whose reads time out answers the 3D probe with nothing: the adapter's
// 0xFFFF is no General Purpose value to write back (loopback bit and all).
TEST_F(MixerDevice, A3DProbeWhoseReadsTimeOutWritesNothingFromThem) {
  auto config = config_;
  config.codec.readDataNeverReady = true;
  Boot(config);
  ASSERT_TRUE(StartMixer());
  EXPECT_EQ(mixer_->Description().NodeCount, 36u);
  EXPECT_EQ(Codec(0x20), 0x0000) << "General Purpose as restored";
}

TEST_F(MixerDevice, RequestsReachTheCodecThroughTheAdapter) {
  ASSERT_TRUE(StartMixer());
  const USHORT master = Codec(0x02);
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, -20 * 65536).status, STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x02), (master & ~0x3F) | 13);
  ASSERT_EQ(mixer_->SetAudio(13, KSPROPERTY_AUDIO_MUTE, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x12) & 0x8000, 0x8000);
  EXPECT_EQ(mixer_->GetAudio(13, KSPROPERTY_AUDIO_MUTE, 1).Ulong(), 1u);
  ASSERT_EQ(mixer_->SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 5).status, STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x1A), 0x0404) << "line in on both sides";
}

// Two runs of the host: the first changes the mixer and stops the device, its
// registry goes to a .reg file; the second loads that file and starts again.
TEST_F(MixerDevice, MixerSettingsComeBackAtTheNextStartThroughARegFile) {
  const std::string regFile = ::testing::TempDir() + "zatac97_mixer_" + std::to_string(::getpid()) + ".reg";

  ASSERT_TRUE(StartMixer());
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -20 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(12, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, 6 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(21, KSPROPERTY_AUDIO_MUTE, 0, 1).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(7, KSPROPERTY_AUDIO_AGC, 0, 1).status, STATUS_SUCCESS);
  const USHORT master = Codec(0x02), cd = Codec(0x12), select = Codec(0x1A), mic = Codec(0x0E);
  EXPECT_EQ(master & 0xBF00, 0x8D00);
  StopDevice();

  std::string error;
  ASSERT_TRUE(GetKernel().GetRegistry().SaveFile(regFile, &error)) << error;
  const std::string text = GetKernel().GetRegistry().Export();
  char expected[64];
  std::snprintf(expected, sizeof(expected), "\"AC97_MASTER\"=dword:%08x", master);
  EXPECT_NE(text.find(expected), std::string::npos) << text;

  Boot(config_);  // a new machine: the codec is back at its reset values
  ASSERT_NE(Codec(0x02), master);
  ASSERT_TRUE(GetKernel().GetRegistry().LoadFile(regFile, &error)) << error;
  std::filesystem::remove(regFile);
  ASSERT_TRUE(StartMixer());
  EXPECT_EQ(Codec(0x02), master);
  EXPECT_EQ(Codec(0x12), cd);
  EXPECT_EQ(Codec(0x1A), select);
  EXPECT_EQ(Codec(0x0E), mic);
  EXPECT_EQ(mixer_->GetAudio(21, KSPROPERTY_AUDIO_MUTE, 1).Ulong(), 1u) << "gets read the restored codec";
}

// Before anything is stored (the first run), a D3-to-D0 restores what the
// driver had given the codec, not the defaults: 3D stays on, the levels stay.
TEST_F(MixerDevice, APowerCycleBeforeAnySaveKeepsTheRunsSettings) {
  ASSERT_TRUE(StartMixer());
  ASSERT_EQ(mixer_->SetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 5 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -12 * 65536).status, STATUS_SUCCESS);
  const USHORT generalPurpose = Codec(0x20), master = Codec(0x02);
  ASSERT_EQ(generalPurpose & 0x2100, 0x2100);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x20), generalPurpose);
  EXPECT_EQ(Codec(0x22) & 0x000F, 5);
  EXPECT_EQ(Codec(0x02), master);
}

// General Purpose (microphone select, 3D switch) and the 3D depth and centre
// are stored too: they survive a restart, and a D3-to-D0 that restores the
// stored settings. Levels read after the restart are the stored ones.
TEST_F(MixerDevice, GeneralPurposeAnd3DSettingsSurviveARestartAndAPowerCycle) {
  ASSERT_TRUE(StartMixer());
  ASSERT_EQ(mixer_->SetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_SUCCESS);  // microphone 2
  ASSERT_EQ(mixer_->SetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 5 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 10 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -12 * 65536).status, STATUS_SUCCESS);
  const USHORT generalPurpose = Codec(0x20);
  ASSERT_EQ(generalPurpose & 0x2100, 0x2100) << "3D on, microphone 2 selected";
  ASSERT_EQ(Codec(0x22), 0x0A05);
  StopDevice();

  ASSERT_TRUE(StartMixer());
  EXPECT_EQ(Codec(0x20), generalPurpose);
  EXPECT_EQ(Codec(0x22), 0x0A05);
  EXPECT_EQ(mixer_->GetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0).Ulong(), 2u);
  EXPECT_EQ(mixer_->GetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), 5u * 65536);
  EXPECT_EQ(mixer_->GetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), 10u * 65536);
  EXPECT_EQ(static_cast<LONG>(mixer_->GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong()), -12 * 65536);
  EXPECT_EQ(static_cast<LONG>(mixer_->GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 1).Ulong()), -21 * 65536 / 2)
      << "the right channel was not set: the default's -10.5 dB";

  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x20), generalPurpose);
  EXPECT_EQ(Codec(0x22), 0x0A05);
}

// The restore cannot get its scratch buffer: the codec gets the defaults and
// the run says so (marker 0x9D), and the stop saves none of them over the
// stored settings. The registry, and so the .reg file, is as it was.
TEST_F(MixerDevice, ARestoreWithoutMemoryLeavesTheStoredSettingsAsTheyWere) {
  ASSERT_TRUE(StartMixer());
  const LONG level = static_cast<LONG>(-37.5 * 65536);
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, level).status, STATUS_SUCCESS);
  StopDevice();
  const std::string stored = GetKernel().GetRegistry().Export();

  Machine().GetTrace().Clear();
  GetKernel().GetPool().FailTag(PoolTagScratch);  // the restore's buffer (and the requirements rewrite's)
  ASSERT_TRUE(StartMixer());
  GetKernel().GetPool().ClearFaults();
  EXPECT_EQ(Codec(0x02), 0x0707) << "the defaults";
  const auto markers = Machine().Markers();
  EXPECT_TRUE(std::any_of(markers.begin(), markers.end(),
                          [](const auto& m) { return m.port == 0x91 && m.value == 0x9D; }));
  StopDevice();
  EXPECT_EQ(GetKernel().GetRegistry().Export(), stored);
}

// Settings stored by an earlier run are older than the ones made since the
// restart: a D3-to-D0 gives the codec the newer ones, and the mixer still
// reports what the codec holds.
TEST_F(MixerDevice, APowerCycleKeepsTheSettingsMadeSinceTheRestartOverStoredOnes) {
  ASSERT_TRUE(StartMixer());
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -12 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 5 * 65536).status, STATUS_SUCCESS);
  StopDevice();  // stored: Master -12 dB, 3D on, depth 5

  ASSERT_TRUE(StartMixer());
  ASSERT_EQ(mixer_->SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -30 * 65536).status, STATUS_SUCCESS);
  ASSERT_EQ(mixer_->SetAudio(36, KSPROPERTY_AUDIO_AGC, 0, 0).status, STATUS_SUCCESS);  // 3D off
  ASSERT_EQ(mixer_->SetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 9 * 65536).status, STATUS_SUCCESS);
  const USHORT master = Codec(0x02), generalPurpose = Codec(0x20), threeD = Codec(0x22);
  ASSERT_EQ(generalPurpose & 0x2000, 0);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Codec(0x02), master);
  EXPECT_EQ(Codec(0x20), generalPurpose);
  EXPECT_EQ(Codec(0x22), threeD);
  EXPECT_EQ(static_cast<LONG>(mixer_->GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong()), -30 * 65536);
  EXPECT_EQ(mixer_->GetAudio(36, KSPROPERTY_AUDIO_AGC, 0).Ulong(), 0u);
}

}  // namespace
