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
  Settle();
  ClearTrace();
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
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
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
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
  Adapter()->PowerChangeState(State(PowerDeviceD0));
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
  EXPECT_TRUE(Adapter()->IsCodecTimedOut());
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
  if (s == 2) {
    EXPECT_EQ(LinkControlWrites(), (std::vector<std::uint32_t>{control | 0x20u, control & 0xDFu}));
    const auto cfg = Machine().GetTrace().ConfigWrites(0x41);
    EXPECT_GE(cfg[1].time - cfg[0].time, 5 * sim::kTicksPerMicrosecond) << "the pulse is held 5 us";
  } else {
    EXPECT_TRUE(LinkControlWrites().empty());
  }
  Writes writes = CodecWrites();
  ASSERT_FALSE(writes.empty());
  for (const auto& w : writes) EXPECT_EQ(w.first, 0x26);
  Writes head(writes.begin(), writes.end() - 1);
  EXPECT_EQ(head, s == 2 ? (Writes{{0x26, 0x0000}, {0x26, 0x0002}}) : (Writes{{0x26, s}}));
  EXPECT_EQ(a->GetPowerState(), PowerDeviceD0);
  standalone.Release();
}

INSTANTIATE_TEST_SUITE_P(, LinkStatusTest, ::testing::Values(0, 2, 3));

}  // namespace
}  // namespace adaptertest
