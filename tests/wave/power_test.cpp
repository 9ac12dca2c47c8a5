// Streams across a real power cycle: in D3 the codec loses every register
// and the link control byte comes back at its power-on value, so the way
// back to D0 must give the codec its variable rate and the link its
// variable-rate slots again. A 44.1 kHz stream open (running, or only
// prepared) across D3, or opened after it, then still moves its bytes
// bit-exact and at 44.1 kHz, not at the codec's 48 kHz default.
#include "host/property.h"
#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

const Format kRate44{44100, 2, 16};

enum class When { RunningAcross, PreparedAcross, OpenedAfter };

struct PowerCycleCase {
  const char* name;
  bool capture;
  When when;
};

class StreamAcrossD3 : public testing::TestWithParam<PowerCycleCase> {
 protected:
  void SetUp() override { ASSERT_STARTED(device); }
  void TearDown() override { EXPECT_TRUE(device.violations.empty()) << Joined(device.violations); }

  void PowerCycle() {
    ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    device.RunFor(50 * kMillisecond);
    ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  }

  // What the machine holds, not what the driver wrote: the rate the channel
  // moves samples at follows the link's slot bit and the codec's VRA and rate.
  void ExpectRunningAt(ULONG rate, bool capture) {
    sim::Codec& codec = device.Machine().GetCodec();
    sim::SgdChannel& channel = capture ? device.CaptureChannel() : device.PlaybackChannel();
    EXPECT_EQ(channel.Format().rate, rate) << "the channel's rate";
    EXPECT_NE(device.Machine().Pci().Peek(0x41) & 0x08, 0) << "variable-rate slots in the link control byte";
    EXPECT_EQ(codec.Peek(sim::ac97::kExtendedAudioStatus) & sim::ac97::kExtendedVra, sim::ac97::kExtendedVra)
        << "VRA enabled in the codec";
    EXPECT_EQ(codec.Peek(capture ? sim::ac97::kPcmAdcRate : sim::ac97::kPcmFrontDacRate), rate);
  }

  WaveDevice device;
};

TEST_P(StreamAcrossD3, MovesItsBytesBitExactAtItsOwnRate) {
  const PowerCycleCase& c = GetParam();
  const ULONG pinId = c.capture ? kCapturePin : kRenderPin;
  if (c.when == When::OpenedAfter) PowerCycle();
  NTSTATUS status;
  host::WavePciPin* pin = device.Open(pinId, kRate44, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  if (c.when == When::PreparedAcross) PowerCycle();

  // 300 ms of audio in block-sized buffers.
  const std::size_t total = 30 * kRate44.BlockSize();
  std::vector<std::uint8_t> sent;
  const sim::PcmFormat simFormat{kRate44.rate, static_cast<std::uint8_t>(kRate44.channels),
                                 static_cast<std::uint8_t>(kRate44.bits)};
  if (c.capture) {
    device.Machine().GetCodec().Adc().SetSamples(Pattern(2 * total, 5));
    for (std::size_t queued = 0; queued < total; queued += kRate44.BlockSize())
      pin->QueueCaptureBuffer(kRate44.BlockSize());
  } else {
    for (std::uint32_t i = 0; sent.size() < total; i++) {
      auto bytes = Pattern(kRate44.BlockSize(), i);
      pin->QueueBuffer(bytes);
      sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  if (c.when == When::RunningAcross) {
    device.RunFor(50 * kMillisecond);
    PowerCycle();
  }
  device.RunFor(20 * kMillisecond);
  ExpectRunningAt(kRate44.rate, c.capture);

  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == total; }));
  if (c.capture) {
    // Nothing moves while the link is down, and the ADC has settled before the driver opens the PCM slots again.
    ASSERT_EQ(pin->CapturedBytes().size(), total);
    EXPECT_TRUE(pin->CapturedBytes() == device.Machine().GetCodec().Adc().Render(total, simFormat))
        << "the recording is not the source's bytes";
  } else {
    ASSERT_EQ(device.Dac().size(), sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin())) << "the DAC did not get the bytes sent";
  }
  ExpectRunningAt(kRate44.rate, c.capture);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamAcrossD3,
    testing::Values(PowerCycleCase{"PlayRunningAcross", false, When::RunningAcross},
                    PowerCycleCase{"PlayPreparedAcross", false, When::PreparedAcross},
                    PowerCycleCase{"PlayOpenedAfter", false, When::OpenedAfter},
                    PowerCycleCase{"RecordRunningAcross", true, When::RunningAcross},
                    PowerCycleCase{"RecordPreparedAcross", true, When::PreparedAcross},
                    PowerCycleCase{"RecordOpenedAfter", true, When::OpenedAfter}),
    [](const testing::TestParamInfo<PowerCycleCase>& info) { return std::string(info.param.name); });

// A mixer change made while the device is in D3 (the link down, the codec
// port unusable) is the user's newest setting: it must be in the codec once
// the device is back in D0, not reported done and lost.
TEST(MixerInD3, AChangeMadeWhileDownIsInTheCodecBackInD0) {
  constexpr ULONG kMasterVolumeNode = 20;
  constexpr ULONG kMasterMuteNode = 21;
  WaveDevice device;
  ASSERT_STARTED(device);
  auto topology = device.Harness().Subdevice(L"Topology");
  ASSERT_TRUE(topology);
  host::PropertyDispatcher mixer(topology->miniport);
  ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  device.RunFor(10 * kMillisecond);
  EXPECT_EQ(mixer.SetAudio(kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -30 * 65536).status, STATUS_SUCCESS);
  EXPECT_EQ(mixer.SetAudio(kMasterMuteNode, KSPROPERTY_AUDIO_MUTE, 0, TRUE).status, STATUS_SUCCESS);
  ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  device.RunFor(kMillisecond);
  const std::uint16_t master = device.Machine().GetCodec().Read(sim::ac97::kMasterVolume);
  EXPECT_EQ((master >> 8) & 0x3F, 20) << std::hex << "master register 0x" << master << ": left at -30 dB";
  EXPECT_TRUE(master & 0x8000) << std::hex << "master register 0x" << master << ": muted";
  EXPECT_EQ(mixer.GetAudio(kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Long(), -30 * 65536);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

}  // namespace
}  // namespace wavetest
