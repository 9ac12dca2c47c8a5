// Power state changes: the chain of steps, the way back to D0 by link status,
// and the Powerdown register on every change.
#include "adapter_fixture.h"

#include <cstring>

namespace adaptertest {
namespace {

using Writes = std::vector<std::pair<std::uint8_t, std::uint16_t>>;

class PowerTest : public AdapterTest {
 protected:
  void Settle() { GetKernel().RunFor(100 * sim::kTicksPerMicrosecond); }
  Writes CodecWrites() {
    Settle();
    Writes out;
    for (const auto& e : Entries(sim::TraceKind::CodecWrite))
      out.emplace_back(static_cast<std::uint8_t>(e.address), static_cast<std::uint16_t>(e.value));
    return out;
  }
  std::vector<std::uint32_t> LinkControlWrites() {
    std::vector<std::uint32_t> out;
    for (const auto& e : Machine().GetTrace().ConfigWrites(0x41)) out.push_back(e.value);
    return out;
  }
  static POWER_STATE State(DEVICE_POWER_STATE s) {
    POWER_STATE p;
    p.DeviceState = s;
    return p;
  }
  void Change(CAdapterCommon* a, DEVICE_POWER_STATE s) {
    Settle();
    ClearTrace();
    a->PowerChangeState(State(s));
  }
};

TEST_F(PowerTest, TheCurrentStateAndUnknownStatesChangeNothing) {
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS);
  for (ULONG s : {1u, 0u, 5u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    POWER_STATE raw;
    std::memcpy(&raw, &s, sizeof s);  // any 32-bit value the framework might pass
    Settle();
    ClearTrace();
    Adapter()->PowerChangeState(raw);
    EXPECT_TRUE(Machine().GetTrace().Entries().empty()) << s;
    EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
  }
  EXPECT_EQ(Adapter()->QueryPowerChangeState(State(PowerDeviceD3)), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  caps.D1Latency = 7;
  EXPECT_EQ(Adapter()->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.D1Latency, 7u);
}

TEST_F(PowerTest, DownToD3SetsBitFiveOfPowerdownWithoutAReset) {
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS);
  // The driver's own steps, before the bus powers the function down.
  Change(Adapter(), PowerDeviceD3);
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD3);
  EXPECT_TRUE(LinkControlWrites().empty());
  const auto reads = Entries(sim::TraceKind::CodecRead);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].address, 0x26u);
  EXPECT_EQ(CodecWrites(), (Writes{{0x26, static_cast<std::uint16_t>(reads[0].value | 0x20)}}));
}

TEST_F(PowerTest, BackToD0WithLinkStatusOneResetsRestoresAndClearsPowerdown) {
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  Settle();
  ClearTrace();
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
  EXPECT_EQ(LinkControlWrites().size(), 1u) << "the controller link was reset";
  const Writes writes = CodecWrites();
  ASSERT_EQ(writes.size(), 16u);
  const std::uint8_t mixer[13] = {0x02, 0x06, 0x0A, 0x0C, 0x0E, 0x10, 0x12, 0x14, 0x16, 0x18, 0x1A, 0x1C, 0x20};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(writes[i].first, mixer[i]) << i;
  EXPECT_EQ(writes[13], std::make_pair(std::uint8_t(0x26), std::uint16_t(0x0000)));
  EXPECT_EQ(writes[14], std::make_pair(std::uint8_t(0x26), std::uint16_t(0x0001)));
  EXPECT_EQ(writes[15].first, 0x26);
  EXPECT_EQ(writes[15].second & 0xFF20, 0x0020) << "high byte clear, bit 5 set";
}

TEST_F(PowerTest, EnteringAtD1WritesAZeroLowByte) {
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS);
  Change(Adapter(), PowerDeviceD3);  // the driver's steps only: the link stays up
  Change(Adapter(), PowerDeviceD1);
  const Writes writes = CodecWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], std::make_pair(std::uint8_t(0x26), std::uint16_t(0x0000)));
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD1);
  EXPECT_TRUE(LinkControlWrites().empty());
}

TEST_F(PowerTest, AFailedResetOnTheWayToD0StillEndsInD0) {
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS);
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  Settle();
  ClearTrace();
  // The link drops just after the link status read of the D0 step (one firmware call, 2 us).
  sim::Machine& m = Machine();
  m.GetClock().ScheduleAfter(sim::Firmware::kCallTicks + 1, [&m] { m.Pci().Write(0x41, 1, 0x00); });
  // With the link down no codec write arrives anyway; a restore would still
  // show in the registry key and buffer it allocates.
  const std::uint64_t allocations = GetKernel().GetPool().Attempts();
  Adapter()->PowerChangeState(State(PowerDeviceD0));
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
  EXPECT_TRUE(Adapter()->IsCodecTimedOut());
  EXPECT_EQ(GetKernel().GetPool().Attempts(), allocations) << "no mixer restore after a failed reset";
  for (const auto& w : CodecWrites()) EXPECT_NE(w.first, 0x02) << "no mixer restore after a failed reset";
}

class LinkStatusTest : public PowerTest, public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  LinkStatusTest() { config_.link.statusWhenReady = GetParam(); }
};

TEST_P(LinkStatusTest, TheWayToD0FollowsTheLinkStatus) {
  // A status without bit 0 fails Init's reset; the object still takes power requests.
  auto standalone = NewStandaloneAdapter();
  CAdapterCommon* a = standalone.adapter;
  Change(a, PowerDeviceD3);
  Settle();
  const std::uint8_t control = Machine().Pci().Peek(0x41);
  Change(a, PowerDeviceD0);
  const std::uint8_t s = GetParam();
  Writes writes = CodecWrites();
  ASSERT_FALSE(writes.empty());
  if (s == 2) {
    EXPECT_EQ(LinkControlWrites(), (std::vector<std::uint32_t>{control | 0x20u, control & 0xDFu}));
    const auto cfg = Machine().GetTrace().ConfigWrites(0x41);
    EXPECT_GE(cfg[1].time - cfg[0].time, 5 * sim::kTicksPerMicrosecond) << "the pulse is held 5 us";
  } else if (s & 1) {
    // Any status but "asleep" means the registers may be gone: reset and restore.
    EXPECT_EQ(LinkControlWrites().size(), 1u);
    ASSERT_GE(writes.size(), 13u);
    EXPECT_EQ(writes.front().first, 0x02) << "the mixer restore comes first";
    writes.erase(writes.begin(), writes.end() - 3);
  } else {
    // Not ready (0): the reset waits for the codec, which never comes, and gives up.
    EXPECT_TRUE(LinkControlWrites().empty());
    EXPECT_TRUE(a->IsCodecTimedOut());
  }
  for (const auto& w : writes) EXPECT_EQ(w.first, 0x26);
  Writes head(writes.begin(), writes.end() - 1);
  EXPECT_EQ(head, s == 2 ? (Writes{{0x26, 0x0000}, {0x26, 0x0002}})
                  : s & 1 ? (Writes{{0x26, 0x0000}, {0x26, s}})
                          : (Writes{{0x26, s}}));
  EXPECT_EQ(a->GetPowerState(), PowerDeviceD0);
  standalone.Release();
}

INSTANTIATE_TEST_SUITE_P(, LinkStatusTest, ::testing::Values(0, 2, 3));

class PulseBackTest : public PowerTest {
 protected:
  PulseBackTest() { config_.link.statusWhenReady = 2; }
};

// A mixer change made in D3 waits for the codec; a way back that only pulses
// the link (the codec kept its registers, so nothing is restored) must still
// give it the change, and only once.
TEST_F(PulseBackTest, AMixerChangeMadeInD3ReachesTheCodecOnTheWayBack) {
  auto standalone = NewStandaloneAdapter();
  CAdapterCommon* a = standalone.adapter;
  Change(a, PowerDeviceD3);
  const std::uint16_t before = Machine().GetCodec().Peek(0x02);
  a->CodecRegWrite(0x02, 0x0A0A);
  Settle();
  EXPECT_EQ(Machine().GetCodec().Peek(0x02), before) << "kept while the codec is down";
  Change(a, PowerDeviceD0);
  Settle();
  EXPECT_EQ(Machine().GetCodec().Peek(0x02), 0x0A0A);
  // The change went in once: the next cycle, with nothing set in D3, writes no mixer register.
  Change(a, PowerDeviceD3);
  Change(a, PowerDeviceD0);
  for (const auto& w : CodecWrites()) EXPECT_EQ(w.first, 0x26) << "register 0x" << std::hex << int(w.first);
  standalone.Release();
}

}  // namespace
}  // namespace adaptertest

#include "host/registry.h"

namespace adaptertest {
namespace {

// Power cycles through the bus as the platform sends them: down, the PCI
// function's own power state changes after the driver's steps; up, before
// them. D3 really takes every codec register away and D1/D2 only put the
// link to sleep, so what the codec holds afterwards is what the way back
// gave it: the stored settings with this run's changes over them after a link
// reset, its own registers after a pulse, never the built-in defaults. A slow
// codec is waited for either way.
struct CycleCase {
  const char* name;
  DEVICE_POWER_STATE low;
  sim::LinkMode mode;
  bool reset;  // the way back resets the link; otherwise it pulses it
};

// Stored settings unlike both the built-in defaults and the codec's reset
// values, each within the bits the codec keeps.
const std::pair<const wchar_t*, std::pair<std::uint8_t, std::uint16_t>> kStored[] = {
    {L"AC97_MASTER", {0x02, 0x0A0A}}, {L"AC97_MONO", {0x06, 0x0010}},   {L"AC97_PCBEEP", {0x0A, 0x0006}},
    {L"AC97_PHONE", {0x0C, 0x0004}},  {L"AC97_MIC", {0x0E, 0x0045}},    {L"AC97_LINEIN", {0x10, 0x0C0C}},
    {L"AC97_CD", {0x12, 0x0303}},     {L"AC97_VIDEO", {0x14, 0x0202}},  {L"AC97_AUX", {0x16, 0x0101}},
    {L"AC97_PCMOUT", {0x18, 0x0909}}, {L"AC97_RECSEL", {0x1A, 0x0404}}, {L"AC97_RECGAIN", {0x1C, 0x0505}},
    {L"AC97_GPCTL", {0x20, 0x0100}}};
// A level set in this run and not saved: Line In at -12 dB.
constexpr std::uint16_t kLineInSetNow = 0x1010;

class PowerCycle : public PowerTest, public ::testing::WithParamInterface<CycleCase> {
 protected:
  PowerCycle() { config_.link.mode = GetParam().mode; }
};

TEST_P(PowerCycle, TheCodecHoldsWhatTheWayBackGaveIt) {
  const CycleCase& c = GetParam();
  ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS) << Harness().LastError();
  host::Registry& registry = GetKernel().GetRegistry();
  const std::wstring subkey = registry.DriverKeyPath() + L"\\AC97CodecSettings";
  for (const auto& [name, row] : kStored) registry.SetValue(subkey, name, host::RegistryValue::Dword(row.second));
  // As the topology miniport does at start, then a level set since.
  Adapter()->CodecReset();
  Adapter()->CodecRegWrite(0x10, kLineInSetNow);
  Settle();
  sim::Codec& codec = Machine().GetCodec();
  ASSERT_EQ(codec.Peek(0x10), kLineInSetNow);

  ASSERT_EQ(Harness().SetPowerState(c.low), STATUS_SUCCESS);
  if (c.low == PowerDeviceD3) {
    ASSERT_EQ(codec.Peek(0x02), 0x8000) << "D3 took the codec's registers";
  }
  ClearTrace();
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  Settle();

  const std::vector<std::uint32_t> link = LinkControlWrites();
  if (c.reset) {
    ASSERT_EQ(link.size(), 1u);
    EXPECT_EQ(link[0] & 0xF7u, 0xC4u) << "the link reset";
  } else {
    ASSERT_EQ(link.size(), 2u);
    EXPECT_EQ(link[0] ^ link[1], 0x20u) << "the warm pulse";
  }
  for (const auto& [name, row] : kStored) {
    // Either way the level set since start survives: a power cycle undoes no setting.
    const std::uint16_t expected = row.first == 0x10 ? kLineInSetNow : row.second;
    EXPECT_EQ(codec.Peek(row.first), expected) << "register 0x" << std::hex << int(row.first);
  }
  EXPECT_TRUE(Machine().Pci().LinkReady());
  EXPECT_EQ(codec.Peek(0x26) & 0xFF00, 0) << "no power-down request left on";
  EXPECT_FALSE(Adapter()->IsCodecTimedOut()) << "a codec access went out before the codec answered";
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(, PowerCycle,
                         ::testing::Values(CycleCase{"D3", PowerDeviceD3, sim::LinkMode::Normal, true},
                                           CycleCase{"D3SlowCodec", PowerDeviceD3, sim::LinkMode::Slow, true},
                                           CycleCase{"D2", PowerDeviceD2, sim::LinkMode::Normal, false},
                                           CycleCase{"D1SlowCodec", PowerDeviceD1, sim::LinkMode::Slow, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace adaptertest
