// The AC'97 register file and the codec access port's busy/ready protocol.
#include <gtest/gtest.h>

#include <optional>

#include "sim/machine.h"

namespace sim {
namespace {

CodecConfig Variant(bool vra, bool has3d) {
  CodecConfig c;
  c.hasVra = vra;
  c.has3d = has3d;
  return c;
}

struct ResetCase {
  std::uint8_t reg;
  std::uint16_t value;
};

class CodecResetTest : public ::testing::TestWithParam<ResetCase> {};

TEST_P(CodecResetTest, RegisterStartsAtTheStandardResetValue) {
  Codec codec(Variant(true, true));
  EXPECT_EQ(codec.Read(GetParam().reg), GetParam().value) << std::hex << int(GetParam().reg);
}

INSTANTIATE_TEST_SUITE_P(Registers, CodecResetTest,
                         ::testing::Values(ResetCase{0x02, 0x8000}, ResetCase{0x04, 0x8000}, ResetCase{0x06, 0x8000},
                                           ResetCase{0x0A, 0x0000}, ResetCase{0x0C, 0x8008}, ResetCase{0x0E, 0x8008},
                                           ResetCase{0x10, 0x8808}, ResetCase{0x12, 0x8808}, ResetCase{0x14, 0x8808},
                                           ResetCase{0x16, 0x8808}, ResetCase{0x18, 0x8808}, ResetCase{0x1A, 0x0000},
                                           ResetCase{0x1C, 0x8000}, ResetCase{0x20, 0x0000}, ResetCase{0x22, 0x0000},
                                           ResetCase{0x26, 0x000F}, ResetCase{0x28, 0x0001}, ResetCase{0x2A, 0x0000},
                                           ResetCase{0x2C, 0xBB80}, ResetCase{0x32, 0xBB80}, ResetCase{0x7C, 0x5A54},
                                           ResetCase{0x7E, 0x4197}, ResetCase{0x24, 0x0000}, ResetCase{0x03, 0x0000}));

struct MaskCase {
  bool vra;
  bool has3d;
  std::uint8_t reg;
  std::uint16_t written;
  std::uint16_t readBack;
};

class CodecMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(CodecMaskTest, OnlyWritableBitsStick) {
  const MaskCase& c = GetParam();
  Codec codec(Variant(c.vra, c.has3d));
  codec.Write(c.reg, c.written);
  EXPECT_EQ(codec.Read(c.reg), c.readBack) << std::hex << int(c.reg);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, CodecMaskTest,
    ::testing::Values(MaskCase{true, true, 0x02, 0xFFFF, 0xBF3F},   // 6-bit fields + mute
                      MaskCase{true, true, 0x02, 0x0707, 0x0707},
                      MaskCase{true, true, 0x06, 0xFFFF, 0x803F},
                      MaskCase{true, true, 0x0A, 0xFFFF, 0x801E},
                      MaskCase{true, true, 0x0C, 0x003F, 0x001F},   // phone: 5-bit gain, bit 5 reserved
                      MaskCase{true, true, 0x0E, 0xFFFF, 0x805F},   // mic: boost bit 6, bit 5 reserved
                      MaskCase{true, true, 0x18, 0xFFFF, 0x9F1F},   // 5-bit gains, bits 5 and 13 reserved
                      MaskCase{true, true, 0x1A, 0xFFFF, 0x0707},
                      MaskCase{true, true, 0x1C, 0xFFFF, 0x8F0F},
                      MaskCase{true, true, 0x20, 0x2000, 0x2000},   // 3D bit kept with 3D
                      MaskCase{true, false, 0x20, 0x2000, 0x0000},  // dropped without
                      MaskCase{true, false, 0x20, 0xA000, 0x8000},
                      MaskCase{true, true, 0x22, 0xFFFF, 0x0F0F},
                      MaskCase{true, false, 0x22, 0xFFFF, 0x0000},
                      MaskCase{true, true, 0x26, 0x00F0, 0x000F},   // ready nibble read only, bits 7-4 reserved
                      MaskCase{true, true, 0x26, 0x0300, 0x030C},   // ADC, DAC powered down
                      MaskCase{true, true, 0x26, 0x0800, 0x0803},   // Vref off: analog sections down
                      MaskCase{true, true, 0x28, 0x0000, 0x0001},   // read only
                      MaskCase{false, true, 0x28, 0xFFFF, 0x0000},
                      MaskCase{true, true, 0x2A, 0xFFFF, 0x0001},
                      MaskCase{false, true, 0x2A, 0x0001, 0x0000},  // VRA enable needs VRA
                      MaskCase{true, true, 0x2C, 0xAC44, 0xBB80},   // rate fixed until VRA enabled
                      MaskCase{true, true, 0x7C, 0x0000, 0x5A54}));

TEST(Codec, VariableRateNeedsTheEnableAndStaysInRange) {
  Codec codec(Variant(true, true));
  codec.Write(0x2A, 0x0001);
  codec.Write(0x2C, 44100);
  codec.Write(0x32, 8000);
  EXPECT_EQ(codec.Read(0x2C), 44100);
  EXPECT_EQ(codec.DacRate(), 44100u);
  EXPECT_EQ(codec.AdcRate(), 8000u);
  codec.Write(0x2C, 0);  // a zero rate would stall the converter: pinned to 8 kHz
  EXPECT_EQ(codec.DacRate(), 8000u);
  codec.Write(0x32, 0xFFFF);
  EXPECT_EQ(codec.AdcRate(), 48000u);
  codec.Write(0x2A, 0x0000);  // VRA off: back to 48 kHz
  EXPECT_EQ(codec.Read(0x2C), 0xBB80);
  EXPECT_EQ(codec.DacRate(), 48000u);
}

TEST(Codec, WritingRegister0ResetsEverything) {
  Codec codec(Variant(true, true));
  codec.Write(0x02, 0x0000);
  codec.Write(0x2A, 0x0001);
  codec.Write(0x00, 0x1234);
  EXPECT_EQ(codec.Read(0x02), 0x8000);
  EXPECT_EQ(codec.Read(0x2A), 0x0000);
  EXPECT_NE(codec.Read(0x00), 0x1234);  // capabilities, not the value written
  EXPECT_EQ(codec.WriteCount(0x02), 1u);
  EXPECT_EQ(codec.ReadCount(0x02), 1u);
}

// A driver-shaped codec access over the port, with its time limits.
std::optional<std::uint16_t> PortRead(Machine& m, std::uint8_t reg, Ticks limit = kTicksPerSecond / 2) {
  const std::uint16_t base = m.Pci().IoBase();
  const Ticks start = m.GetClock().Now();
  while (m.PortRead(base + 0x83, 1) != 0)
    if (m.GetClock().Now() - start > limit) return std::nullopt;
  m.PortWrite(base + 0x83, 1, 0x00);
  m.PortWrite(base + 0x82, 1, reg | 0x80u);
  const Ticks wait = m.GetClock().Now();
  while (!(m.PortRead(base + 0x83, 1) & 0x02))
    if (m.GetClock().Now() - wait > limit) return std::nullopt;
  const auto value = static_cast<std::uint16_t>(m.PortRead(base + 0x80, 2));
  m.PortWrite(base + 0x83, 1, 0x02);
  return value;
}

bool PortWrite(Machine& m, std::uint8_t reg, std::uint16_t value, Ticks limit = kTicksPerSecond / 2) {
  const std::uint16_t base = m.Pci().IoBase();
  const Ticks start = m.GetClock().Now();
  while (m.PortRead(base + 0x83, 1) != 0)
    if (m.GetClock().Now() - start > limit) return false;
  m.PortWrite(base + 0x83, 1, 0x00);
  m.PortWrite(base + 0x80, 2, value);
  m.PortWrite(base + 0x82, 1, reg);
  return true;
}

TEST(CodecPort, WriteThenReadRoundTripsAndIsTraced) {
  Machine m;
  ASSERT_TRUE(PortWrite(m, 0x02, 0x0707));
  EXPECT_EQ(PortRead(m, 0x02), 0x0707);
  EXPECT_EQ(m.GetCodec().Peek(0x02), 0x0707);
  const auto writes = m.GetTrace().CodecWrites(0x02);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, 0x0707u);
  EXPECT_EQ(m.GetTrace().OfKind(TraceKind::CodecRead).size(), 1u);
  EXPECT_EQ(m.GetController().Port().LostCommands(), 0u);
}

TEST(CodecPort, BusyForAFewMicrosecondsThenDataReadyUntilTaken) {
  Machine m;
  const std::uint16_t base = m.Pci().IoBase();
  EXPECT_EQ(m.PortRead(base + 0x83, 1), 0x00u);
  m.PortWrite(base + 0x82, 1, 0x80 | 0x7C);
  EXPECT_EQ(m.PortRead(base + 0x83, 1), 0x01u);  // busy
  m.GetClock().Advance(m.Config().codec.commandTicks);
  EXPECT_EQ(m.PortRead(base + 0x83, 1), 0x02u);  // done, data ready: not free yet
  EXPECT_EQ(m.PortRead(base + 0x80, 2), 0x5A54u);
  m.PortWrite(base + 0x83, 1, 0x00);             // writing 0 takes nothing
  EXPECT_EQ(m.PortRead(base + 0x83, 1), 0x02u);
  m.PortWrite(base + 0x83, 1, 0x02);
  EXPECT_EQ(m.PortRead(base + 0x83, 1), 0x00u);
}

TEST(CodecPort, CommandWhileBusyIsLost) {
  Machine m;
  const std::uint16_t base = m.Pci().IoBase();
  m.PortWrite(base + 0x80, 2, 0x0000);
  m.PortWrite(base + 0x82, 1, 0x02);
  m.PortWrite(base + 0x82, 1, 0x18);  // still busy with the first
  m.GetClock().Advance(kTicksPerMillisecond);
  EXPECT_EQ(m.GetCodec().Peek(0x02), 0x0000);
  EXPECT_EQ(m.GetCodec().Peek(0x18), 0x8808);
  EXPECT_EQ(m.GetController().Port().LostCommands(), 1u);
}

TEST(CodecPort, PortNeverFreeKnob) {
  MachineConfig config;
  config.codec.portNeverFree = true;
  Machine m(config);
  EXPECT_FALSE(PortRead(m, 0x28).has_value());
  EXPECT_GE(m.GetClock().Now(), kTicksPerSecond / 2);
  EXPECT_FALSE(PortWrite(m, 0x02, 0, kTicksPerMillisecond / 2));
  EXPECT_EQ(m.GetCodec().TotalAccesses(), 0u);
}

TEST(CodecPort, ReadDataNeverReadyKnob) {
  MachineConfig config;
  config.codec.readDataNeverReady = true;
  Machine m(config);
  EXPECT_FALSE(PortRead(m, 0x28).has_value());
  EXPECT_TRUE(PortWrite(m, 0x02, 0x0101));  // writes still go through
  m.GetClock().Advance(kTicksPerMillisecond);
  EXPECT_EQ(m.GetCodec().Peek(0x02), 0x0101);
}

TEST(CodecPort, LinkNeverReadyKeepsThePortBusy) {
  MachineConfig config;
  config.link.mode = LinkMode::NeverReady;
  Machine m(config);
  EXPECT_FALSE(PortWrite(m, 0x02, 0, kTicksPerMillisecond / 2));
  EXPECT_FALSE(PortRead(m, 0x02).has_value());
}

TEST(CodecPort, SlowLinkDropsAQuickWriteButAPatientReadWaits) {
  MachineConfig config;
  config.link.mode = LinkMode::Slow;
  Machine m(config);
  m.ConfigWrite(0x41, 1, 0x00);
  m.ConfigWrite(0x41, 1, 0xC4);
  EXPECT_FALSE(PortWrite(m, 0x02, 0, kTicksPerMillisecond / 2));  // a driver's 0.5 ms write limit
  EXPECT_EQ(PortRead(m, 0x7E), 0x4197);
}

TEST(CodecPort, RewritingARunningLinkKeepsItUpAndTheRegistersKept) {
  Machine m;
  ASSERT_TRUE(PortWrite(m, 0x02, 0x0303));
  m.GetClock().Advance(kTicksPerMillisecond);
  m.ConfigWrite(0x41, 1, 0xC4);  // bits 7-6 already set: no restart
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
  m.ConfigWrite(0x41, 1, 0xCC);  // the variable-rate bit restarts nothing either
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
  EXPECT_EQ(PortRead(m, 0x02), 0x0303);
}

struct LossCase {
  const char* what;
  std::uint8_t down;  // link control written to take the link down
};

class CodecLinkLossTest : public ::testing::TestWithParam<LossCase> {};

TEST_P(CodecLinkLossTest, ALostLinkColdStartsTheCodecWithEveryRegisterAtItsResetValue) {
  Machine m;
  ASSERT_TRUE(PortWrite(m, 0x02, 0x0303));
  ASSERT_TRUE(PortWrite(m, 0x18, 0x0404));
  m.GetClock().Advance(kTicksPerMillisecond);
  m.ConfigWrite(0x41, 1, GetParam().down);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u) << GetParam().what;
  m.ConfigWrite(0x41, 1, 0xC4);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u) << "ready only after the codec's start-up time";
  EXPECT_EQ(PortRead(m, 0x02), 0x8000) << GetParam().what;
  EXPECT_EQ(PortRead(m, 0x18), 0x8808) << GetParam().what;
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
}

INSTANTIATE_TEST_SUITE_P(Ways, CodecLinkLossTest,
                         ::testing::Values(LossCase{"codec held in reset", 0x80}, LossCase{"link disabled", 0x40},
                                           LossCase{"both", 0x00}));

}  // namespace
}  // namespace sim
