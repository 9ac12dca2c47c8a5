// The converters in real time: capture overruns through the FIFO, underruns
// and stalls heard as silence, the powerdown register's effect, the link's
// power states and warm reset, and the codec's volume-field variants.
#include <gtest/gtest.h>

#include "sim/rig.h"

namespace sim {
namespace {
using namespace sim::test;

constexpr PcmFormat kStereo16{48000, 2, 16};
constexpr std::uint32_t kBlock = 1920;  // 10 ms of 48 kHz 16-bit stereo

void Unmute(Machine& m) {
  m.GetCodec().Poke(ac97::kMasterVolume, 0x0000);
  m.GetCodec().Poke(ac97::kPcmOutVolume, 0x0808);
}

std::vector<std::uint8_t> Recorded(Rig& r, int entry, std::uint32_t bytes) {
  std::vector<std::uint8_t> got(bytes);
  r.m.Memory().Read(r.block[entry], got.data(), bytes);
  return got;
}

struct IdleCase {
  const char* what;
  Ticks idle;                // the channel sits at EOL this long before the restart
  std::uint64_t framesLost;  // input the FIFO could not hold
};

class CaptureOverrunTest : public ::testing::TestWithParam<IdleCase> {};

TEST_P(CaptureOverrunTest, TheFifoBridgesShortStopsAndLongerOnesLoseInput) {
  const IdleCase& c = GetParam();
  Rig r;
  r.m.GetCodec().Adc().SetRamp();
  r.Arm(0, kBlock | kEol);
  r.Type(0x10, 0x30);
  r.Start(0x10);
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()));
  ASSERT_EQ(r.Status(0x10) & 0x80, 0);  // stopped at EOL: the ADC goes on into the FIFO
  const auto first = Recorded(r, 0, kBlock);
  r.RunFor(c.idle);
  r.Start(0x10);
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()));

  const auto o = r.m.GetController().Capture().GetOverruns();
  EXPECT_EQ(o.episodes, c.framesLost ? 1u : 0u) << c.what;
  EXPECT_EQ(o.framesLost, c.framesLost) << c.what;
  // The second pass holds the FIFO's frames first, then the input after the gap.
  const auto stream = r.m.GetCodec().Adc().Render(2 * kBlock + c.framesLost * 4 + 64, kStereo16);
  std::vector<std::uint8_t> expected(stream.begin(), stream.begin() + kBlock);
  const std::uint32_t fifo = c.framesLost ? 64 : 0;
  std::vector<std::uint8_t> second(stream.begin() + kBlock, stream.begin() + kBlock + fifo);
  const auto after = stream.begin() + kBlock + fifo + static_cast<std::ptrdiff_t>(c.framesLost * 4);
  second.insert(second.end(), after, after + (kBlock - fifo));
  EXPECT_EQ(first, expected) << c.what;
  EXPECT_EQ(Recorded(r, 0, kBlock), second) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Stops, CaptureOverrunTest,
    ::testing::Values(IdleCase{"no stop", 0, 0},
                      IdleCase{"8 frames: the FIFO holds them", DurationOf(32, 192000), 0},
                      IdleCase{"16 frames: the FIFO is just full", DurationOf(64, 192000), 0},
                      IdleCase{"1 ms: 48 frames, 16 kept", kTicksPerMillisecond, 32},
                      IdleCase{"5 ms", 5 * kTicksPerMillisecond, 224}));

TEST(CaptureOverrun, TheEpisodeIsTracedWhenTheFifoFills) {
  Rig r;
  r.Arm(0, kBlock | kEol);
  r.Type(0x10, 0x30);
  r.Start(0x10);
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()) + kTicksPerMillisecond);
  bool traced = false;
  for (const TraceEntry& e : r.m.GetTrace().Entries()) traced |= e.text.find("rec overrun") != std::string::npos;
  EXPECT_TRUE(traced);
  EXPECT_EQ(r.m.GetController().Capture().GetOverruns().episodes, 1u);
}

TEST(Underrun, TheLineOutPlaysSilenceForTheFramesNobodyFed) {
  Rig r;
  Unmute(r.m);
  const auto a = Pattern(kBlock, 5);
  r.Fill(0, a);
  r.Arm(0, kBlock | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()) + 5 * kTicksPerMillisecond);
  r.Start();  // the same block again, 5 ms late
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()));

  const DacSink& dac = r.m.GetCodec().Dac();
  ASSERT_EQ(dac.Bytes().size(), 2u * kBlock);
  const auto played = LineOut(a, kStereo16, 0x0000, 0x0808);
  std::vector<std::int16_t> expected = played;
  expected.insert(expected.end(), 240 * 2, 0);
  expected.insert(expected.end(), played.begin(), played.end());
  EXPECT_EQ(dac.Heard(), expected);
  EXPECT_EQ(dac.SilentFrames(), 240u);
}

TEST(LinkStall, WithoutPcmSlotsTheChannelWaitsAndResumesInOrder) {
  Rig r;
  Unmute(r.m);
  const auto a = Pattern(kBlock, 7);
  r.Fill(0, a);
  r.Arm(0, kBlock | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(kBlock / 2, kStereo16.ByteRate()));
  r.m.ConfigWrite(0x41, 1, 0xC8);  // PCM slots off
  r.RunFor(20 * kTicksPerMillisecond);
  EXPECT_EQ(r.Status() & 0x80, 0x80) << "stalled, not finished";
  EXPECT_LE(r.Dac().size(), kBlock / 2 + 4);
  r.m.ConfigWrite(0x41, 1, 0xCC);
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()));
  EXPECT_EQ(r.Dac(), a);
  EXPECT_EQ(r.m.GetCodec().Dac().SilentFrames(), 960u);  // 20 ms heard as silence
  EXPECT_EQ(r.m.GetController().Playback().GetUnderruns().episodes, 1u);  // only the final EOL
}

TEST(Powerdown, APoweredDownDacTakesTheBytesButPlaysSilence) {
  Rig r;
  Unmute(r.m);
  r.m.GetCodec().Write(ac97::kPowerdown, ac97::kPr1DacOff);
  EXPECT_EQ(r.m.GetCodec().Peek(ac97::kPowerdown), 0x020D);
  r.Fill(0, Pattern(kBlock, 1));
  r.Arm(0, kBlock | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(kBlock, kStereo16.ByteRate()));
  EXPECT_EQ(r.Dac().size(), kBlock);
  EXPECT_EQ(r.m.GetCodec().Dac().Heard(), std::vector<std::int16_t>(kBlock / 2, 0));
}

struct PowerCase {
  std::uint16_t request;
  std::uint16_t readyBits;  // while the request stands
  bool dacHeard;
  bool adcOn;
};

class PowerdownTest : public ::testing::TestWithParam<PowerCase> {};

TEST_P(PowerdownTest, EachRequestTakesItsSectionsDownAndTheyComeBackAfterSettling) {
  const PowerCase& c = GetParam();
  Machine m;
  Codec& codec = m.GetCodec();
  codec.Write(ac97::kPowerdown, c.request);
  EXPECT_EQ(codec.Peek(ac97::kPowerdown), c.request | c.readyBits);
  EXPECT_EQ(codec.DacHeard(), c.dacHeard);
  EXPECT_EQ(codec.AdcOn(), c.adcOn);
  codec.Write(ac97::kPowerdown, 0x0000);
  // Sections that were down settle before they report ready again.
  EXPECT_EQ(codec.Peek(ac97::kPowerdown), c.readyBits);
  m.GetClock().Advance(m.Config().codec.sectionSettleTicks);
  EXPECT_EQ(codec.Peek(ac97::kPowerdown), 0x000F);
  EXPECT_TRUE(codec.DacHeard());
  EXPECT_TRUE(codec.AdcOn());
}

INSTANTIATE_TEST_SUITE_P(Requests, PowerdownTest,
                         ::testing::Values(PowerCase{ac97::kPr0AdcOff, 0x000E, true, false},
                                           PowerCase{ac97::kPr1DacOff, 0x000D, false, true},
                                           PowerCase{ac97::kPr2MixerOff, 0x000B, false, true},
                                           PowerCase{ac97::kPr3MixerVrefOff, 0x0003, false, false},
                                           PowerCase{ac97::kPr5ClockOff, 0x000C, false, false},
                                           PowerCase{ac97::kPr6AuxOutOff, 0x000F, true, true},
                                           PowerCase{ac97::kEapd, 0x000F, false, true}));

TEST(Powerdown, APoweredDownAdcRecordsSilenceWhileTheInputGoesBy) {
  Rig r;
  r.m.GetCodec().Adc().SetRamp();
  r.m.GetCodec().Write(ac97::kPowerdown, ac97::kPr0AdcOff);
  r.Arm(0, 64 | kEol);
  r.Type(0x10, 0x30);
  r.Start(0x10);
  r.RunFor(DurationOf(64, kStereo16.ByteRate()));
  EXPECT_EQ(Recorded(r, 0, 64), std::vector<std::uint8_t>(64, 0));
  EXPECT_EQ(r.m.GetCodec().Adc().BytesProduced(), 64u);
}

TEST(LinkPower, Pr4PutsTheLinkToSleepAndAWarmResetWakesItWithTheRegistersKept) {
  Machine m;
  m.GetCodec().Write(ac97::kMasterVolume, 0x0505);
  m.GetCodec().Write(ac97::kPowerdown, ac97::kPr4LinkOff);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x02u);
  EXPECT_FALSE(m.Pci().LinkReady());
  m.ConfigWrite(0x41, 1, 0xC0 | 0x20);  // SYNC raised: warm reset
  m.ConfigWrite(0x41, 1, 0xC0);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u) << "waking";
  m.GetClock().Advance(m.Config().link.readyDelay);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
  EXPECT_EQ(m.GetCodec().Peek(ac97::kMasterVolume), 0x0505);
  EXPECT_EQ(m.GetCodec().Peek(ac97::kPowerdown) & ac97::kPr4LinkOff, 0);
}

TEST(LinkPower, SyncOnAnAwakeLinkChangesNothing) {
  Machine m;
  m.ConfigWrite(0x41, 1, 0xE0);
  m.ConfigWrite(0x41, 1, 0xC0);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
}

struct FunctionPowerCase {
  PciFunction::PowerState state;
  std::uint8_t statusAsleep;  // CodecLinkStatus while in the state
  std::uint8_t statusBack;    // after the return to D0, once settled
  bool registersKept;
};

class FunctionPowerTest : public ::testing::TestWithParam<FunctionPowerCase> {};

TEST_P(FunctionPowerTest, TheLinkSleepsInD1AndD2AndIsLostInD3) {
  const FunctionPowerCase& c = GetParam();
  Machine m;
  m.ConfigWrite(0x41, 1, 0xCC);
  m.GetCodec().Write(ac97::kLineInVolume, 0x0606);
  m.Pci().SetPowerState(c.state);
  EXPECT_EQ(m.ConfigRead(0x40, 1), c.statusAsleep);
  m.Pci().SetPowerState(PciFunction::PowerState::D0);
  m.GetClock().Advance(10 * kTicksPerMillisecond);
  EXPECT_EQ(m.ConfigRead(0x40, 1), c.statusBack);
  EXPECT_EQ(m.GetCodec().Peek(ac97::kLineInVolume), c.registersKept ? 0x0606 : 0x8808);
  // D3 brings the link byte back at its power-on value: no PCM slots, no variable rate.
  EXPECT_EQ(m.ConfigRead(0x41, 1), c.registersKept ? 0xCCu : 0xC0u);
}

INSTANTIATE_TEST_SUITE_P(States, FunctionPowerTest,
                         ::testing::Values(FunctionPowerCase{PciFunction::PowerState::D1, 0x02, 0x02, true},
                                           FunctionPowerCase{PciFunction::PowerState::D2, 0x02, 0x02, true},
                                           FunctionPowerCase{PciFunction::PowerState::D3, 0x00, 0x01, false}));

TEST(LinkPower, ASlowCodecComesBackOnlyAfterItsDelay) {
  MachineConfig config;
  config.link.mode = LinkMode::Slow;
  Machine m(config);
  m.Pci().SetPowerState(PciFunction::PowerState::D3);
  m.Pci().SetPowerState(PciFunction::PowerState::D0);
  m.GetClock().Advance(config.link.slowReadyDelay - 1);
  EXPECT_EQ(m.Pci().Peek(0x40), 0x00u);
  m.GetClock().Advance(1);
  EXPECT_EQ(m.Pci().Peek(0x40), 0x01u);
}

TEST(LinkControl, WithoutVariableRateSlotsTheChannelRunsAt48kHz) {
  Rig r;
  r.m.GetCodec().Write(ac97::kExtendedAudioStatus, ac97::kExtendedVra);
  r.m.GetCodec().Write(ac97::kPcmFrontDacRate, 8000);
  r.m.ConfigWrite(0x41, 1, 0xC4);  // bit 3 clear
  r.Arm(0, 960 | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(960, 192000));
  EXPECT_EQ(r.Status() & 0x80, 0);
  EXPECT_EQ(r.Dac().size(), 960u);
}

struct VolumeCase {
  std::uint8_t bits;  // output volume field width
  std::uint8_t reg;
  std::uint16_t written;
  std::uint16_t readBack;
};

class VolumeFieldTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(VolumeFieldTest, ReadBackFollowsTheStandardsRuleForTheFieldWidth) {
  const VolumeCase& c = GetParam();
  CodecConfig config;
  config.outputVolumeBits = c.bits;
  Codec codec(config);
  codec.Write(c.reg, c.written);
  EXPECT_EQ(codec.Read(c.reg), c.readBack) << std::hex << int(c.reg) << " <- " << c.written;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, VolumeFieldTest,
    ::testing::Values(
        // 5-bit outputs: 1xxxxx reads back 011111, per channel; below that the value stands.
        VolumeCase{5, 0x02, 0x2020, 0x1F1F}, VolumeCase{5, 0x02, 0x3F05, 0x1F05}, VolumeCase{5, 0x02, 0x051F, 0x051F},
        VolumeCase{5, 0x02, 0x8021, 0x801F}, VolumeCase{5, 0x04, 0x2100, 0x1F00}, VolumeCase{5, 0x06, 0x0030, 0x001F},
        VolumeCase{5, 0x06, 0x0011, 0x0011},
        // 6-bit outputs keep every value.
        VolumeCase{6, 0x02, 0x2020, 0x2020}, VolumeCase{6, 0x04, 0x3F00, 0x3F00}, VolumeCase{6, 0x06, 0x0030, 0x0030},
        // Inputs are never narrowed by the output width; Phone and Mic drop reserved bit 5 on every codec.
        VolumeCase{5, 0x18, 0x1F1F, 0x1F1F}, VolumeCase{6, 0x10, 0x3F3F, 0x1F1F}, VolumeCase{5, 0x0C, 0x0025, 0x0005}, VolumeCase{6, 0x0C, 0x0025, 0x0005},
        VolumeCase{6, 0x0E, 0x0065, 0x0045}));

}  // namespace
}  // namespace sim
