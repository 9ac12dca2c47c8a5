// The bus side of the machine: configuration bytes 0x40-0x43 and the link,
// the port bus decode, the resource requirements, memory and the clock.
#include <gtest/gtest.h>

#include "sim/machine.h"

namespace sim {
namespace {

TEST(Clock, FiresEventsInTimeOrderAndSkipsCancelledOnes) {
  Clock clock;
  std::vector<int> fired;
  clock.ScheduleAt(30, [&] { fired.push_back(3); });
  clock.ScheduleAt(10, [&] { fired.push_back(1); });
  const auto cancelled = clock.ScheduleAt(20, [&] { fired.push_back(2); });
  clock.ScheduleAt(10, [&] { fired.push_back(11); });  // same time: scheduling order
  EXPECT_TRUE(clock.Cancel(cancelled));
  EXPECT_EQ(clock.NextEventTime(), 10u);
  clock.RunUntil(25);
  EXPECT_EQ(fired, (std::vector<int>{1, 11}));
  EXPECT_EQ(clock.Now(), 25u);
  clock.ScheduleAt(5, [&] { fired.push_back(0); });  // in the past: fires now, no time travel
  clock.Advance(10);
  EXPECT_EQ(fired, (std::vector<int>{1, 11, 0, 3}));
  EXPECT_EQ(clock.Now(), 35u);
}

TEST(Clock, EventSeesItsOwnTime) {
  Clock clock;
  Ticks seen = 0;
  clock.ScheduleAt(7, [&] { seen = clock.Now(); });
  clock.Advance(100);
  EXPECT_EQ(seen, 7u);
}

TEST(Config, LinkRestartDropsReadyUntilTheDelayPasses) {
  Machine m;
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
  m.ConfigWrite(0x41, 1, 0x00);
  m.ConfigWrite(0x41, 1, 0xC4);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u);
  EXPECT_EQ(m.ConfigRead(0x41, 1), 0xC4u);
  m.GetClock().Advance(m.Config().link.readyDelay);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x01u);
}

TEST(Config, SlowLinkIsReadyWithinHalfASecond) {
  MachineConfig config;
  config.link.mode = LinkMode::Slow;
  Machine m(config);
  m.ConfigWrite(0x41, 1, 0x00);
  m.ConfigWrite(0x41, 1, 0xC4);
  m.GetClock().Advance(10 * kTicksPerMillisecond);
  EXPECT_EQ(m.ConfigRead(0x40, 1) & 1, 0u);
  m.GetClock().Advance(kTicksPerSecond / 2 - 10 * kTicksPerMillisecond);
  EXPECT_EQ(m.ConfigRead(0x40, 1) & 1, 1u);
}

TEST(Config, LinkNeverReadyKeepsBit0Clear) {
  MachineConfig config;
  config.link.mode = LinkMode::NeverReady;
  Machine m(config);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u);
  m.ConfigWrite(0x41, 1, 0xC4);
  m.GetClock().Advance(2 * kTicksPerSecond);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x00u);
}

TEST(Config, LinkStatusKnobReportsOtherValues) {
  MachineConfig config;
  config.link.statusWhenReady = 2;
  Machine m(config);
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x02u);
  m.ConfigWrite(0x40, 1, 0x01);  // read only
  EXPECT_EQ(m.ConfigRead(0x40, 1), 0x02u);
}

TEST(Config, LinkHeldInResetStaysDown) {
  Machine m;
  m.ConfigWrite(0x41, 1, 0x80);  // bit 6 clear: codec held in reset
  m.GetClock().Advance(kTicksPerSecond);
  EXPECT_FALSE(m.Pci().LinkReady());
  m.ConfigWrite(0x41, 1, 0xC0);
  m.GetClock().Advance(m.Config().link.readyDelay);
  EXPECT_TRUE(m.Pci().LinkReady());
}

TEST(Config, HeaderAndWidths) {
  MachineConfig config;
  config.revision = 0x21;
  Machine m(config);
  EXPECT_EQ(m.ConfigRead(0x00, 4), 0x10F71AF4u);
  EXPECT_EQ(m.ConfigRead(0x08, 1), 0x21u);
  EXPECT_EQ(m.ConfigRead(0x40, 4) & 0xFFFF00FF, 0x0C020001u);  // MIDI on, 0x330
  m.ConfigWrite(0x00, 2, 0xFFFF);  // read-only ids
  EXPECT_EQ(m.ConfigRead(0x00, 2), 0x1AF4u);
  EXPECT_EQ(m.ConfigRead(0xFE, 4), 0xFFFFFFFFu);  // runs past the space: fault
  EXPECT_EQ(m.GetTrace().OfKind(TraceKind::Fault).size(), 1u);
}

struct MidiCase {
  std::uint8_t select;
  std::uint16_t base;
};

class MidiPortTest : public ::testing::TestWithParam<MidiCase> {};

TEST_P(MidiPortTest, SelectBitsPlaceTheMpu401) {
  Machine m;
  m.ConfigWrite(0x43, 1, static_cast<std::uint32_t>(GetParam().select << 2));
  EXPECT_EQ(m.Pci().MidiBase(), GetParam().base);
  EXPECT_EQ(m.PortRead(GetParam().base + 1, 1), 0x80u);  // no data, ready to accept
  EXPECT_TRUE(m.UnclaimedAccesses().empty());
  m.ConfigWrite(0x42, 1, 0x00);  // MIDI off: nobody answers there any more
  EXPECT_EQ(m.PortRead(GetParam().base + 1, 1), 0xFFu);
  EXPECT_EQ(m.UnclaimedAccesses().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Bases, MidiPortTest,
                         ::testing::Values(MidiCase{0, 0x300}, MidiCase{1, 0x310}, MidiCase{2, 0x320},
                                           MidiCase{3, 0x330}));

TEST(Mpu401, ResetAndUartModeAreAcknowledged) {
  Machine m;
  m.PortWrite(0x331, 1, 0xFF);
  EXPECT_EQ(m.PortRead(0x331, 1), 0x00u);  // data available
  EXPECT_EQ(m.PortRead(0x330, 1), 0xFEu);
  EXPECT_EQ(m.PortRead(0x331, 1), 0x80u);
  m.PortWrite(0x331, 1, 0x3F);
  EXPECT_EQ(m.PortRead(0x330, 1), 0xFEu);
  EXPECT_TRUE(m.Mpu().UartMode());
  m.PortWrite(0x330, 1, 0x90);
  EXPECT_EQ(m.Mpu().MidiOut(), (std::vector<std::uint8_t>{0x90}));
}

TEST(PortBus, MarkersUnclaimedAccessesAndTimeCost) {
  Machine m;
  const Ticks start = m.GetClock().Now();
  m.PortWrite(0x91, 1, 0x96);
  m.PortWrite(0x90, 1, 0x59);
  EXPECT_EQ(m.PortRead(0x1234, 2), 0xFFFFu);
  m.PortWrite(0x1234, 1, 0x00);
  EXPECT_EQ(m.GetClock().Now() - start, 4 * Machine::kPortAccessTicks);
  const auto markers = m.Markers();
  ASSERT_EQ(markers.size(), 2u);
  EXPECT_EQ(markers[0], (DiagnosticMarker{start + 10, 0x91, 0x96}));
  EXPECT_EQ(markers[1], (DiagnosticMarker{start + 20, 0x90, 0x59}));
  ASSERT_EQ(m.UnclaimedAccesses().size(), 2u);
  EXPECT_TRUE(m.UnclaimedAccesses()[1].write);
  EXPECT_EQ(Trace::Render(m.GetTrace().PortWrites(0x91).at(0)), "     1.000 io.w8   0x0091 <- 0x96  marker");
}

// A host that reads no trace turns recording off; what it still relies on
// (markers, unclaimed accesses, faults reaching the observer, the time an
// access costs) must not depend on it.
TEST(PortBus, WithRecordingOffOnlyTheEntriesAreSkipped) {
  Machine m;
  std::vector<std::string> faults;
  m.GetTrace().SetFaultObserver([&](const TraceEntry& e) { faults.push_back(e.note + ": " + e.text); });
  m.GetTrace().SetRecording(false);
  const Ticks start = m.GetClock().Now();
  m.PortWrite(0x91, 1, 0x96);
  EXPECT_EQ(m.PortRead(0x1234, 2), 0xFFFFu);
  EXPECT_EQ(m.PortRead(0xD000, 3), 0xFFFFFFFFu);
  std::uint8_t byte = 0;
  EXPECT_FALSE(m.Memory().Read(0xFFFF'0000, &byte, 1));
  EXPECT_EQ(m.GetClock().Now() - start, 3 * Machine::kPortAccessTicks);
  EXPECT_EQ(m.Markers(), (std::vector<DiagnosticMarker>{{start + 10, 0x91, 0x96}}));
  ASSERT_EQ(m.UnclaimedAccesses().size(), 1u);
  EXPECT_EQ(m.UnclaimedAccesses()[0].port, 0x1234);
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].rfind("io: bad read", 0), 0u) << faults[0];
  EXPECT_EQ(faults[1].rfind("bus: memory read", 0), 0u) << faults[1];
  EXPECT_TRUE(m.GetTrace().Entries().empty());
  // Turned back on, entries are kept again.
  m.GetTrace().SetRecording(true);
  m.PortWrite(0x91, 1, 0x97);
  EXPECT_EQ(m.GetTrace().PortWrites(0x91).size(), 1u);
}

TEST(PortBus, BadWidthIsAFaultNotACrash) {
  Machine m;
  EXPECT_EQ(m.PortRead(0xD000, 3), 0xFFFFFFFFu);
  m.PortWrite(0xFFFF, 2, 0);
  m.PortWrite(0x1'0000, 1, 0);
  EXPECT_EQ(m.PortFaults(), 3u);
}

TEST(PortBus, BarAndCommandRegisterMoveTheControllerBlock) {
  Machine m;
  EXPECT_EQ(m.PortRead(0xD000, 1), 0x00u);
  m.ConfigWrite(0x10, 4, 0xE000);
  EXPECT_EQ(m.PortRead(0xD000, 1), 0xFFu);
  EXPECT_EQ(m.PortRead(0xE000, 1), 0x00u);
  m.ConfigWrite(0x10, 4, 0xFFFFFFFF);  // size probe: 256 bytes of I/O
  EXPECT_EQ(m.ConfigRead(0x10, 4), 0x0000FF01u);
  m.ConfigWrite(0x10, 4, 0xE000);
  m.ConfigWrite(0x04, 2, 0x0000);  // decode off
  EXPECT_EQ(m.PortRead(0xE000, 1), 0xFFu);
}

TEST(Resources, OldControllerReportsTwoPortGroupsThenTheInterrupt) {
  Machine m;
  const auto list = m.ResourceRequirements();
  ASSERT_EQ(list.size(), 7u);
  EXPECT_EQ(list[0].option, req::kOptionPreferred);
  EXPECT_EQ(list[0].type, req::kTypePort);
  EXPECT_EQ(list[0].minimum, 0xD000u);
  EXPECT_EQ(list[0].maximum, 0xD0FFu);
  EXPECT_EQ(list[0].length, 256u);
  EXPECT_NE(list[1].option, req::kOptionPreferred);
  EXPECT_NE(list[2].option, req::kOptionPreferred);
  EXPECT_EQ(list[3].option, req::kOptionPreferred);
  EXPECT_EQ(list[3].minimum, 0xD400u);
  EXPECT_EQ(list[6].type, req::kTypeInterrupt);
  EXPECT_EQ(list[6].option, 0);
  EXPECT_EQ(list[6].minimum, 5u);
}

TEST(Resources, NewControllerWithMidiAddsTheMpuGroupAsThirdPort) {
  MachineConfig config;
  config.revision = 0x20;
  config.midiPortSelect = 2;
  Machine m(config);
  auto list = m.ResourceRequirements();
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list[6].option, req::kOptionPreferred);
  EXPECT_EQ(list[6].minimum, 0x320u);
  EXPECT_EQ(list[6].maximum, 0x323u);
  EXPECT_EQ(list[9].type, req::kTypeInterrupt);
  m.ConfigWrite(0x42, 1, 0x80);  // MIDI disabled: back to two groups
  EXPECT_EQ(m.ResourceRequirements().size(), 7u);
}

TEST(Memory, AccessesOutsideEveryRegionAreRecordedFaults) {
  Machine m;
  EXPECT_EQ(m.Memory().Read32(0x0050'0000), 0xFFFFFFFFu);
  m.Memory().Write32(0x0050'0000, 1);
  // Straddling the end of the BIOS region is outside too.
  EXPECT_EQ(m.Memory().HostPointer(0xFFFFE, 4), nullptr);
  EXPECT_EQ(m.Memory().Read16(0xFFFFF), 0xFFFFu);
  m.Memory().Write8(0xF0000, 0x12);  // the BIOS is read only
  EXPECT_EQ(m.Memory().Read8(0xF0000), 0x00u);
  EXPECT_EQ(m.Memory().BusFaults(), 4u);
  EXPECT_EQ(m.GetTrace().OfKind(TraceKind::Fault).size(), 4u);
}

TEST(Memory, AllocatorAlignsReusesAndRejectsBadFrees) {
  Machine m;
  auto& mem = m.Memory();
  const auto a = mem.Allocate(100, 4096);
  const auto b = mem.Allocate(16, 16);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a % 4096, 0u);
  EXPECT_EQ(*b % 16, 0u);
  EXPECT_TRUE(*b >= *a + 100 || *b + 16 <= *a);
  ASSERT_NE(mem.HostPointer(*a, 100), nullptr);
  mem.Write32(*a, 0x11223344);
  EXPECT_EQ(*reinterpret_cast<std::uint32_t*>(mem.HostPointer(*a, 4)), 0x11223344u);
  EXPECT_EQ(mem.PhysicalOf(mem.HostPointer(*a + 8, 1)), *a + 8);
  EXPECT_TRUE(mem.Free(*a));
  EXPECT_EQ(mem.Read8(*a), 0xDDu);  // freed memory is poisoned
  EXPECT_FALSE(mem.Free(*a));       // twice
  EXPECT_FALSE(mem.Free(*b + 4));   // not a start
  EXPECT_EQ(mem.LiveAllocations(), 1u);
  EXPECT_FALSE(mem.Allocate(0));
  EXPECT_FALSE(mem.Allocate(16, 3));
  EXPECT_FALSE(mem.Allocate(m.Config().dmaArenaBytes));  // b is still there
  EXPECT_TRUE(mem.Free(*b));
  EXPECT_TRUE(mem.Allocate(m.Config().dmaArenaBytes));  // coalesced back to one piece
}

}  // namespace
}  // namespace sim
