// The codec access port protocol, the mixer register cache, time-outs and
// the controller link reset, on a device started with stand-in miniports
// (so the only codec traffic is the test's own).
#include "adapter_fixture.h"

namespace adaptertest {
namespace {

class CodecTest : public AdapterTest {
 protected:
  void StartAndClear() {
    ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS) << Harness().LastError();
    ClearTrace();
  }
  std::vector<PortAccess> Writes() const {
    std::vector<PortAccess> out;
    for (const auto& a : ControllerAccesses())
      if (a.write) out.push_back(a);
    return out;
  }
  std::uint32_t Port(std::uint32_t offset) const { return IoBase() + offset; }
  // A codec write lands a few microseconds after the command.
  void Settle() { GetKernel().RunFor(100 * sim::kTicksPerMicrosecond); }
};

TEST_F(CodecTest, MixerRegistersComeFromTheCacheWithoutAPortAccess) {
  StartAndClear();
  CAdapterCommon* a = Adapter();
  a->CodecRegWrite(0x1C, 0x0F0F);
  a->CodecRegWrite(0x02, 0x1234);
  EXPECT_EQ(Machine().GetCodec().Peek(0x1C), 0x0F0F);
  Machine().GetCodec().Poke(0x1C, 0x0000);  // the codec changed behind the driver's back
  ClearTrace();
  EXPECT_EQ(a->CodecRegRead(0x1C), 0x0F0F);
  EXPECT_EQ(a->CodecRegRead(0x03), 0x1234) << "an odd register reads its even neighbour";
  EXPECT_EQ(a->CodecRegRead(0x04), 0x0000) << "never written";
  EXPECT_TRUE(ControllerAccesses().empty());
}

TEST_F(CodecTest, OtherRegistersGoToTheCodecWithTheFullProtocol) {
  StartAndClear();
  Settle();
  ClearTrace();
  EXPECT_EQ(Adapter()->CodecRegRead(0x1E), Machine().GetCodec().Peek(0x1E)) << "0x1E is past the cache";
  ClearTrace();
  EXPECT_EQ(Adapter()->CodecRegRead(0x7C), config_.codec.vendorId1);
  EXPECT_EQ(Writes(), (std::vector<PortAccess>{W8(Port(0x83), 0x00), W8(Port(0x82), 0xFC), W8(Port(0x83), 0x02)}));
  const auto accesses = ControllerAccesses();
  ASSERT_GE(accesses.size(), 5u);
  EXPECT_EQ(accesses.front(), R8(Port(0x83), 0x00)) << "free before the command";
  EXPECT_EQ(accesses[accesses.size() - 2], R16(Port(0x80), config_.codec.vendorId1));

  ClearTrace();
  Adapter()->CodecRegWrite(0x20, 0x2000);
  EXPECT_EQ(Writes(), (std::vector<PortAccess>{W8(Port(0x83), 0x00), W16(Port(0x80), 0x2000), W8(Port(0x82), 0x20)}));
  Settle();
  Machine().GetCodec().Poke(0x20, 0x0100);
  EXPECT_EQ(Adapter()->CodecRegRead(0x20), 0x0100) << "register 0x20 is not cached";
}

TEST_F(CodecTest, OddAndUnknownRegistersWriteNothingAndNeverTouchTheCache) {
  StartAndClear();
  CAdapterCommon* a = Adapter();
  a->CodecRegWrite(0x02, 0x0707);
  Settle();
  ClearTrace();
  for (UCHAR reg : {0x03, 0x21, 0x01, 0x00, 0x82, 0xFF}) a->CodecRegWrite(reg, 0xAAAA);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(Entries(sim::TraceKind::CodecWrite).size(), 0u);
  EXPECT_FALSE(ControllerAccesses().empty()) << "odd registers still wait for the port";
  EXPECT_EQ(a->CodecRegRead(0x02), 0x0707);
  EXPECT_EQ(a->CodecRegRead(0xFF), 0xFFFF) << "beyond the 7-bit index: refused";
  EXPECT_EQ(a->CodecRegRead(0x82), 0xFFFF);
  EXPECT_FALSE(a->IsCodecTimedOut());
  EXPECT_EQ(a->CodecRegRead(0x00), Machine().GetCodec().Peek(0x00)) << "the reset register reads from the codec";
}

struct TimeoutCase {
  const char* name;
  bool portNeverFree;
  bool dataNeverReady;
};

class CodecTimeoutTest : public CodecTest, public ::testing::WithParamInterface<TimeoutCase> {
 protected:
  CodecTimeoutTest() {
    config_.codec.portNeverFree = GetParam().portNeverFree;
    config_.codec.readDataNeverReady = GetParam().dataNeverReady;
  }
};

TEST_P(CodecTimeoutTest, TimeOutsYieldTheSentinelDropWritesAndSetTheFlagUntilTheNextReset) {
  StartAndClear();
  CAdapterCommon* a = Adapter();
  sim::Ticks start = Now();
  EXPECT_EQ(a->CodecRegRead(0x26), 0xFFFF);
  EXPECT_GE(Now() - start, 5'000'000u);
  EXPECT_LT(Now() - start, 5'100'000u);
  EXPECT_TRUE(a->IsCodecTimedOut());
  for (const auto& w : Writes()) EXPECT_NE(w.port, Port(0x80)) << "no data after a time-out";

  if (GetParam().portNeverFree) {
    ASSERT_EQ(a->ResetZATAC97Controller(), STATUS_SUCCESS);
    ASSERT_FALSE(a->IsCodecTimedOut());
  }
  ClearTrace();
  start = Now();
  a->CodecRegWrite(0x02, 0x1234);
  if (GetParam().portNeverFree) {
    EXPECT_GE(Now() - start, 5'000u);
    EXPECT_LT(Now() - start, 50'000u) << "a write waits a thousandth of a read";
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(a->IsCodecTimedOut()) << "the dropped write sets the flag too";
    EXPECT_EQ(a->CodecRegRead(0x02), 0x0000) << "a dropped write leaves the cache alone";
  }

  EXPECT_EQ(a->ResetZATAC97Controller(), STATUS_SUCCESS);
  EXPECT_FALSE(a->IsCodecTimedOut());
}

INSTANTIATE_TEST_SUITE_P(, CodecTimeoutTest,
                         ::testing::Values(TimeoutCase{"PortNeverFree", true, false},
                                           TimeoutCase{"DataNeverReady", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

class LinkResetTest : public CodecTest, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(LinkResetTest, ResetKeepsOnlyBitThreeOfLinkControl) {
  StartAndClear();
  Machine().Pci().Poke(0x41, GetParam());
  EXPECT_EQ(Adapter()->ResetZATAC97Controller(), STATUS_SUCCESS);
  const auto writes = Machine().GetTrace().ConfigWrites(0x41);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, (GetParam() & 0x08) ? 0xCCu : 0xC4u);
}

INSTANTIATE_TEST_SUITE_P(, LinkResetTest, ::testing::Values(0x00, 0x08, 0xFF, 0x37));

TEST_F(CodecTest, ALinkThatNeverComesUpFailsTheResetAfterHalfASecond) {
  config_.link.mode = sim::LinkMode::NeverReady;
  Reboot();
  auto standalone = NewStandaloneAdapter();
  EXPECT_EQ(standalone.initStatus, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(standalone.adapter->IsCodecTimedOut());
  EXPECT_TRUE(Machine().GetTrace().ConfigWrites(0x41).empty()) << "link control is left alone";
  standalone.Release();
}

TEST_F(CodecTest, TheCodecLockNestsAndDispatchLevelCallersAreRefusedNotBlocked) {
  StartAndClear();
  CAdapterCommon* a = Adapter();
  a->HwAcquireCodecSync();
  a->CodecRegWrite(0x26, 0x0000);  // takes CodecMutex again inside the bracket
  EXPECT_NE(a->CodecRegRead(0x26), 0xFFFF);
  a->HwReleaseCodecSync();

  ClearTrace();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(a->CodecRegRead(0x26), 0xFFFF);
  a->CodecRegWrite(0x18, 0x0808);
  EXPECT_EQ(a->CodecRegRead(0x18), 0x0000) << "the refused write left the cache alone";
  KeLowerIrql(old);
  EXPECT_TRUE(ControllerAccesses().empty());
  EXPECT_TRUE(a->IsCodecTimedOut());
}

}  // namespace
}  // namespace adaptertest
