// SGD channel DMA: table walking, events and interrupts, byte rates, the
// pending restart, terminate, bytes at the DAC and from the ADC, underruns.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/rig.h"

namespace sim {
namespace {
using namespace sim::test;

TEST(SgdPlayback, FlagThenEolPlaysBothBlocksBitExactAndRaisesBothEvents) {
  Rig r;
  const auto a = Pattern(1920, 1), b = Pattern(1920, 99);
  r.Fill(0, a);
  r.Fill(1, b);
  r.Arm(0, 1920 | kFlag);
  r.Arm(1, 1920 | kEol);
  r.Type(0, 0x33);  // 16-bit stereo, both interrupts: 192000 bytes/s, 10 ms a block
  r.Start();
  EXPECT_EQ(r.Status() & 0x80, 0x80);
  EXPECT_FALSE(r.m.InterruptLine());

  r.RunFor(10 * kTicksPerMillisecond);
  EXPECT_EQ(r.Status(), 0x81);  // FLAG event, still active on entry 1
  EXPECT_EQ(r.Shadow(), 0x01);
  EXPECT_TRUE(r.m.InterruptLine());
  r.m.PortWrite(r.base, 1, 0x03);  // acknowledge
  EXPECT_FALSE(r.m.InterruptLine());

  r.RunFor(10 * kTicksPerMillisecond);
  EXPECT_EQ(r.Status(), 0x02);  // EOL event, stopped
  EXPECT_EQ(r.Shadow(), 0x10);
  EXPECT_TRUE(r.m.InterruptLine());

  std::vector<std::uint8_t> expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(r.Dac(), expected);
  EXPECT_EQ(r.m.GetTrace().OfKind(TraceKind::Interrupt).size(), 3u);  // on, off, on
}

struct RateCase {
  std::uint8_t type;
  bool vra;
  std::uint16_t rate;
  std::uint32_t byteRate;
};

class SgdRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(SgdRateTest, EntryTakesItsBytesOverTheFormatsByteRate) {
  const RateCase& c = GetParam();
  MachineConfig config;
  config.codec.hasVra = c.vra;
  Rig r(config);
  if (c.vra) {
    r.m.GetCodec().Write(0x2A, 1);
    r.m.GetCodec().Write(0x2C, c.rate);
  }
  const std::uint32_t bytes = 1764;
  r.Arm(0, bytes | kEol);
  r.Type(0, c.type);
  r.Start();
  const Ticks start = r.m.GetClock().Now();
  const Ticks duration = DurationOf(bytes, c.byteRate);

  r.m.GetClock().RunUntil(start + duration / 2);
  // Whole frames only: the DAC takes a frame once it is due in full.
  const std::uint32_t frame = (c.type & 0x10 ? 2u : 1u) * (c.type & 0x20 ? 2u : 1u);
  const std::uint64_t played =
      (r.m.GetClock().Now() + Machine::kPortAccessTicks - start) * (c.byteRate / frame) / kTicksPerSecond * frame;
  EXPECT_EQ(r.Count(), bytes - played);
  EXPECT_EQ(r.Dac().size(), played);

  r.m.GetClock().RunUntil(start + duration - 1);
  EXPECT_EQ(r.m.GetController().Playback().Status() & 0x80, 0x80);
  r.m.GetClock().RunUntil(start + duration);
  EXPECT_EQ(r.m.GetController().Playback().Status(), 0x02);
  EXPECT_EQ(r.Dac().size(), bytes);
}

INSTANTIATE_TEST_SUITE_P(Formats, SgdRateTest,
                         ::testing::Values(RateCase{0x00, false, 48000, 48000},    // 8-bit mono
                                           RateCase{0x10, false, 48000, 96000},    // 8-bit stereo
                                           RateCase{0x20, false, 48000, 96000},    // 16-bit mono
                                           RateCase{0x30, false, 48000, 192000},   // 16-bit stereo
                                           RateCase{0x30, true, 44100, 176400},
                                           RateCase{0x00, true, 11025, 11025},
                                           RateCase{0x20, true, 8000, 16000}));

TEST(SgdPlayback, WithoutVraTheRateRegisterIsIgnored) {
  MachineConfig config;
  config.codec.hasVra = false;
  Rig r(config);
  r.m.GetCodec().Poke(0x2C, 8000);  // even a stray value does not slow the DAC
  r.Arm(0, 960 | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(960, 192000));
  EXPECT_EQ(r.Status() & 0x80, 0);
}

TEST(SgdPlayback, StartWhileActiveIsHeldAndRestartsAtEntry0WithoutAGap) {
  Rig r;
  const auto a = Pattern(960, 3), b = Pattern(960, 50);
  r.Fill(0, a);
  r.Fill(1, b);
  r.Arm(0, 960 | kFlag);
  r.Arm(1, 960 | kEol);
  r.Type(0, 0x33);
  r.Start();
  r.RunFor(DurationOf(960, 192000) + 100);  // into entry 1
  r.Start();
  EXPECT_EQ(r.Status() & 0x88, 0x88);
  r.RunFor(DurationOf(960, 192000));  // entry 1 ends: restart
  EXPECT_EQ(r.Status() & 0x8A, 0x82);  // active, EOL event, pending cleared
  EXPECT_EQ(r.m.GetController().Playback().CurrentEntry(), 0);
  r.RunFor(DurationOf(960, 192000) / 2);
  std::vector<std::uint8_t> expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  expected.insert(expected.end(), a.begin(), a.end());
  const auto& dac = r.Dac();
  ASSERT_GE(dac.size(), 960u + 960u + 480u);
  ASSERT_LT(dac.size(), 960u + 960u + 490u);
  EXPECT_TRUE(std::equal(dac.begin(), dac.end(), expected.begin()));
  EXPECT_EQ(r.m.GetController().Playback().GetUnderruns().episodes, 0u);
}

TEST(SgdPlayback, TerminateStopsTransferAndClearsActiveAfterAShortDelay) {
  Rig r;
  r.Fill(0, Pattern(1920, 5));
  r.Arm(0, 1920 | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(5 * kTicksPerMillisecond);
  r.Start();  // pending...
  r.Terminate();  // ...is dropped by the terminate
  const std::size_t played = r.Dac().size();
  EXPECT_NEAR(static_cast<double>(played), 960.0, 2.0);
  EXPECT_EQ(r.Status() & 0x88, 0x80);  // still active for a moment
  r.RunFor(r.m.Config().controller.terminateTicks);
  EXPECT_EQ(r.Status(), 0x00);
  EXPECT_EQ(r.Count(), 1920 - played);  // frozen where it stopped
  r.RunFor(10 * kTicksPerMillisecond);
  EXPECT_EQ(r.Dac().size(), played);
  EXPECT_EQ(r.Status(), 0x00);  // no event from the abandoned entry
}

TEST(SgdPlayback, ChannelNeverStopsKnobKeepsActiveSet) {
  MachineConfig config;
  config.controller.channelNeverStops = true;
  Rig r(config);
  r.Arm(0, 1920 | kEol);
  r.Start();
  r.Terminate();
  r.RunFor(kTicksPerSecond);
  EXPECT_EQ(r.Status() & 0x80, 0x80);
}

TEST(SgdPlayback, BytesAreFetchedAsTheyPlay) {
  // A block rewritten while it plays: the DAC hears old bytes up to that
  // moment and new bytes after it.
  Rig r;
  r.Fill(0, std::vector<std::uint8_t>(1920, 0x11));
  r.Arm(0, 1920 | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(5 * kTicksPerMillisecond);
  const std::size_t before = r.Dac().size();
  r.Fill(0, std::vector<std::uint8_t>(1920, 0x22));
  r.RunFor(10 * kTicksPerMillisecond);
  const auto& dac = r.Dac();
  ASSERT_EQ(dac.size(), 1920u);
  EXPECT_EQ(std::count(dac.begin(), dac.end(), 0x11), static_cast<long>(before));
  EXPECT_EQ(std::count(dac.begin(), dac.end(), 0x22), static_cast<long>(1920 - before));
}

TEST(SgdInterrupt, EnablesGateTheLineAndShadowMirrorsBothChannels) {
  Rig r;
  r.Arm(0, 0 | kEol);  // empty entries finish at once
  r.Arm(1, 0 | kEol);
  r.Type(0x00, 0x00);
  r.Type(0x10, 0x00);
  r.Start(0x10);  // capture channel, table shared: entry 0
  EXPECT_EQ(r.Status(0x10), 0x02);
  EXPECT_EQ(r.Shadow(), 0x20);
  EXPECT_FALSE(r.m.InterruptLine());
  r.Type(0x10, 0x01);  // FLAG enable only: EOL event stays silent
  EXPECT_FALSE(r.m.InterruptLine());
  r.Type(0x10, 0x02);
  EXPECT_TRUE(r.m.InterruptLine());
  r.Arm(0, 0 | kFlag | kEol);
  r.Start(0x00);
  EXPECT_EQ(r.Shadow(), 0x31);
  r.m.PortWrite(r.base + 0x10, 1, 0x02);  // clear capture EOL
  EXPECT_FALSE(r.m.InterruptLine());      // playback has no enables
  EXPECT_EQ(r.Shadow(), 0x11);
  r.m.PortWrite(r.base + 0x84, 1, 0xFF);  // read only
  EXPECT_EQ(r.Shadow(), 0x11);
}

TEST(SgdFaults, EmptyEntriesWithoutEolStopTheChannelAndUnmappedTablesFault) {
  Rig r;
  r.m.Memory().Write(r.block[0], std::vector<std::uint8_t>(4096, 0).data(), 4096);
  r.m.PortWrite(r.base + 4, 4, r.block[0]);  // a table of zero words
  r.Start();
  EXPECT_EQ(r.Status() & 0x80, 0);
  EXPECT_EQ(r.m.GetController().Playback().Faults(), 1u);

  r.m.PortWrite(r.base + 4, 4, 0x7000'0000);  // nowhere
  r.Start();
  EXPECT_EQ(r.Status() & 0x80, 0);
  EXPECT_GE(r.m.Memory().BusFaults(), 1u);

  r.m.PortWrite(r.base + 4, 4, r.table);
  r.m.Memory().Write32(r.table, 0x7000'0000);  // entry pointing nowhere plays all-ones
  r.Arm(0, 16 | kEol);
  r.Start();
  r.RunFor(kTicksPerMillisecond);
  EXPECT_EQ(r.Dac(), std::vector<std::uint8_t>(16, 0xFF));
}

TEST(SgdCapture, AdcBytesLandInMemoryInOrder) {
  Rig r;
  r.m.GetCodec().Adc().SetRamp();
  r.Arm(0, 960 | kFlag);
  r.Arm(1, 960 | kEol);
  r.Type(0x10, 0x23);  // 16-bit mono
  r.Start(0x10);
  r.RunFor(DurationOf(1920, 96000));
  EXPECT_EQ(r.Status(0x10), 0x03);
  const PcmFormat format{48000, 1, 16};
  const auto expected = r.m.GetCodec().Adc().Render(1920, format);
  std::vector<std::uint8_t> got(1920);
  r.m.Memory().Read(r.block[0], got.data(), 960);
  r.m.Memory().Read(r.block[1], got.data() + 960, 960);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got[2], 1);  // second sample of the ramp
}

TEST(SgdCapture, SuppliedSamplesArriveBitExact) {
  Rig r;
  const auto samples = Pattern(700, 9);
  r.m.GetCodec().Adc().SetSamples(samples);
  r.Arm(0, 700 | kEol);
  r.Type(0x10, 0x00);
  r.Start(0x10);
  r.RunFor(DurationOf(700, 48000));
  std::vector<std::uint8_t> got(700);
  r.m.Memory().Read(r.block[0], got.data(), 700);
  EXPECT_EQ(got, samples);
}

TEST(SgdUnderrun, IdleBetweenStartAndTerminateIsCountedInEpisodesAndFrames) {
  Rig r;
  r.Arm(0, 960 | kEol);
  r.Type(0, 0x30);
  r.Start();
  r.RunFor(DurationOf(960, 192000));  // ran dry at the EOL
  r.RunFor(10 * kTicksPerMillisecond);
  r.Start();  // data again: the episode ends
  auto u = r.m.GetController().Playback().GetUnderruns();
  EXPECT_EQ(u.episodes, 1u);
  EXPECT_NEAR(static_cast<double>(u.framesMissed), 480.0, 1.0);
  r.RunFor(DurationOf(960, 192000));
  r.Terminate();  // the stream ends: the second dry spell stops counting here
  r.RunFor(kTicksPerSecond);
  u = r.m.GetController().Playback().GetUnderruns();
  EXPECT_EQ(u.episodes, 2u);
  EXPECT_LT(u.framesMissed, 500u);
}

TEST(LineOut, UnityGainIsBitExactAndMutesSilence) {
  const std::vector<std::uint8_t> dac = {0x00, 0x40, 0x00, 0xC0, 0x34, 0x12, 0xFF, 0x7F};  // 2 stereo frames
  const PcmFormat format{48000, 2, 16};
  EXPECT_EQ(LineOut(dac, format, 0x0000, 0x0808), (std::vector<std::int16_t>{0x4000, -0x4000, 0x1234, 0x7FFF}));
  EXPECT_EQ(LineOut(dac, format, 0x8000, 0x0808), std::vector<std::int16_t>(4, 0));
  EXPECT_EQ(LineOut(dac, format, 0x0000, 0x8808), std::vector<std::int16_t>(4, 0));
  // Master -6 dB on the left only; PCM +12 dB saturates.
  const auto half = LineOut(dac, format, 0x0400, 0x0808);
  EXPECT_NEAR(half[0], 0x4000 / 2, 0x4000 * 0.01);
  EXPECT_EQ(half[1], -0x4000);
  EXPECT_EQ(LineOut(dac, format, 0x0000, 0x0000)[3], 32767);
  // 8-bit mono widens and feeds both sides.
  EXPECT_EQ(LineOut(std::vector<std::uint8_t>{0xC0}, PcmFormat{8000, 1, 8}, 0, 0x0808),
            (std::vector<std::int16_t>{0x4000, 0x4000}));
}

}  // namespace
}  // namespace sim
