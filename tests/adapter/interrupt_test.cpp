// The interrupt routine: counting, acknowledging and notifying per channel,
// doing nothing without events or without the wave miniport's groups, and
// the take-and-clear of a count against an interrupt that lands in between.
#include "adapter_fixture.h"

namespace adaptertest {
namespace {

class InterruptTest : public AdapterTest {
 protected:
  void StartAndClear() {
    ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS) << Harness().LastError();
    GetKernel().RunFor(100 * sim::kTicksPerMicrosecond);
    ClearTrace();
  }
  // Calls the routine directly, as the interrupt would, at its level.
  NTSTATUS CallIsr() {
    KIRQL old;
    KeRaiseIrql(DEVICE_LEVEL, &old);
    const NTSTATUS status = CAdapterCommon::InterruptServiceRoutine(Adapter()->GetInterruptSync(), Adapter());
    KeLowerIrql(old);
    return status;
  }
  std::uint32_t Port(std::uint32_t offset) const { return IoBase() + offset; }
};

struct EventCase {
  const char* name;
  std::uint8_t playback;  // channel event bits raised: 1 FLAG, 2 EOL
  std::uint8_t capture;
  std::uint8_t shadow;    // what SgdStatusShadow then reads
};

class InterruptEventTest : public InterruptTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(InterruptEventTest, CountsAcknowledgesAndNotifiesPlaybackFirst) {
  StartAndClear();
  const EventCase& c = GetParam();
  if (c.playback) RaiseChannelEvents(0, c.playback, true);
  if (c.capture) RaiseChannelEvents(1, c.capture, true);
  ClearTrace();
  GetKernel().RunFor(10 * sim::kTicksPerMicrosecond);  // delivers the interrupt, then the service groups

  const int events[2] = {__builtin_popcount(c.playback), __builtin_popcount(c.capture)};
  EXPECT_EQ(Adapter()->ReadIntTimes(0), events[0]);
  EXPECT_EQ(Adapter()->ReadIntTimes(1), events[1]);
  std::vector<int> notified;
  if (c.playback) notified.push_back(0);
  if (c.capture) notified.push_back(1);
  EXPECT_EQ(Miniports().notified, notified);

  // One shadow read, then per channel: exactly the event bits it counted written back (an event
  // raised since stays set for the next pass).
  const auto a = ControllerAccesses();
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a[0], R8(Port(0x84), c.shadow));
  std::size_t i = 1;
  for (int channel = 0; channel < 2; ++channel) {
    if (!events[channel]) continue;
    const std::uint32_t status = Port(channel ? 0x10 : 0x00);
    ASSERT_GE(a.size(), i + 1);
    EXPECT_EQ(a[i], W8(status, channel ? c.capture : c.playback));
    i += 1;
    if (channel == 0 && c.playback == 3) {
      ASSERT_GE(a.size(), i + 2);
      EXPECT_EQ(a[i], W8(0x91, 0x96)) << "both playback events in one interrupt";
      EXPECT_EQ(a[i + 1].port, Port(0x04));
      EXPECT_EQ(a[i + 1].width, 4);
      i += 2;
    }
  }
  EXPECT_EQ(a.size(), i) << "nothing else";
  EXPECT_FALSE(Machine().InterruptLine()) << "acknowledged";
}

INSTANTIATE_TEST_SUITE_P(, InterruptEventTest,
                         ::testing::Values(EventCase{"Playback01", 1, 0, 0x01}, EventCase{"Playback10", 2, 0, 0x10},
                                           EventCase{"Playback11", 3, 0, 0x11}, EventCase{"Capture22", 0, 3, 0x22},
                                           EventCase{"Capture02", 0, 1, 0x02}, EventCase{"Both33", 3, 3, 0x33}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InterruptTest, WithoutEventsOneStatusReadAndFailure) {
  StartAndClear();
  EXPECT_EQ(CallIsr(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ControllerAccesses(), (std::vector<PortAccess>{R8(Port(0x84), 0x00)}));
}

TEST_F(InterruptTest, TheShadowsUnusedBitsCauseNoWork) {
  config_.controller.shadowUnusedBits = 0xCC;
  Reboot();
  StartAndClear();
  EXPECT_EQ(CallIsr(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ControllerAccesses(), (std::vector<PortAccess>{R8(Port(0x84), 0xCC)}));
  EXPECT_EQ(Adapter()->ReadIntTimes(0), 0);
  EXPECT_EQ(Adapter()->ReadIntTimes(1), 0);
}

TEST_F(InterruptTest, BeforeTheWaveMiniportOrAfterItLeftTheRoutineOnlyReadsTheStatus) {
  for (bool groupsThenCleared : {false, true}) {
    Miniports().wave.serviceGroups = groupsThenCleared;
    StartAndClear();
    if (groupsThenCleared) Adapter()->SetWaveServiceGroups(nullptr);
    RaiseChannelEvents(0, 3, false);
    ClearTrace();
    EXPECT_EQ(CallIsr(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControllerAccesses(), (std::vector<PortAccess>{R8(Port(0x84), 0x11)}));
    EXPECT_EQ(Adapter()->ReadIntTimes(0), 0);
    EXPECT_TRUE(Miniports().notified.empty());
    Reboot();
  }
}

TEST_F(InterruptTest, TheCountWrapsAndOutOfRangeChannelsAreHarmless) {
  StartAndClear();
  Adapter()->WriteIntTimes(0, 255);
  RaiseChannelEvents(0, 1, true);
  GetKernel().RunFor(10 * sim::kTicksPerMicrosecond);
  EXPECT_EQ(Adapter()->ReadIntTimes(0), 0);
  Adapter()->WriteIntTimes(7, 9);
  EXPECT_EQ(Adapter()->ReadIntTimes(7), 0);
  EXPECT_EQ(Adapter()->ReadIntTimes(1), 0);
}

// Forwards to the real adapter, but lets the hardware raise an event (and the
// kernel deliver it) right after a count is read: the worst moment for a
// take-and-clear.
class InterruptingAdapter final : public IAdapterCommon {
 public:
  InterruptingAdapter(PADAPTERCOMMON real, std::function<void()> raise) : real_(real), raise_(std::move(raise)) {}
  STDMETHODIMP_(UCHAR) ReadIntTimes(ULONG channel) override {
    const UCHAR count = real_->ReadIntTimes(channel);
    if (raise_) {
      raise_();
      raise_ = nullptr;
      KeStallExecutionProcessor(1);  // a boundary: the kernel delivers what it may
    }
    return count;
  }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override { return real_->QueryInterface(id, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return real_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return real_->Release(); }
  STDMETHODIMP_(NTSTATUS) Init(PRESOURCELIST l, PDEVICE_OBJECT d) override { return real_->Init(l, d); }
  STDMETHODIMP_(PINTERRUPTSYNC) GetInterruptSync() override { return real_->GetInterruptSync(); }
  STDMETHODIMP_(PUNKNOWN*) WavePortDriverDest() override { return real_->WavePortDriverDest(); }
  STDMETHODIMP_(PUNKNOWN*) MidiPortDriverDest() override { return real_->MidiPortDriverDest(); }
  STDMETHODIMP_(void) SetWaveServiceGroups(PSERVICEGROUP* g) override { real_->SetWaveServiceGroups(g); }
  STDMETHODIMP_(NTSTATUS) ResetZATAC97Controller() override { return real_->ResetZATAC97Controller(); }
  STDMETHODIMP_(ULONG) ReadPCIRegDW(UCHAR r) override { return real_->ReadPCIRegDW(r); }
  STDMETHODIMP_(USHORT) ReadPCIRegW(UCHAR r) override { return real_->ReadPCIRegW(r); }
  STDMETHODIMP_(UCHAR) ReadPCIRegB(UCHAR r) override { return real_->ReadPCIRegB(r); }
  STDMETHODIMP_(void) WritePCIRegDW(UCHAR r, ULONG v) override { real_->WritePCIRegDW(r, v); }
  STDMETHODIMP_(void) WritePCIRegW(UCHAR r, USHORT v) override { real_->WritePCIRegW(r, v); }
  STDMETHODIMP_(void) WritePCIRegB(UCHAR r, UCHAR v) override { real_->WritePCIRegB(r, v); }
  STDMETHODIMP_(USHORT) CodecRegRead(UCHAR r) override { return real_->CodecRegRead(r); }
  STDMETHODIMP_(void) CodecRegWrite(UCHAR r, USHORT v) override { real_->CodecRegWrite(r, v); }
  STDMETHODIMP_(void) CodecReset() override { real_->CodecReset(); }
  STDMETHODIMP_(void) WriteIntTimes(ULONG c, UCHAR n) override { real_->WriteIntTimes(c, n); }
  STDMETHODIMP_(void) HwAcquireCodecSync() override { real_->HwAcquireCodecSync(); }
  STDMETHODIMP_(void) HwReleaseCodecSync() override { real_->HwReleaseCodecSync(); }
  STDMETHODIMP_(NTSTATUS) RestoreMixerSettingsFromRegistry() override { return real_->RestoreMixerSettingsFromRegistry(); }
  STDMETHODIMP_(NTSTATUS) SaveMixerSettingsToRegistry() override { return real_->SaveMixerSettingsToRegistry(); }

 private:
  PADAPTERCOMMON real_;
  std::function<void()> raise_;
};

TEST_F(InterruptTest, TakeAndClearLosesNoEventThatLandsBetweenTheReadAndTheClear) {
  StartAndClear();
  CAdapterCommon* real = Adapter();
  real->WriteIntTimes(0, 2);
  auto raise = [this] { RaiseChannelEvents(0, 2, true); };

  // The naive sequence, at the service's level: the interrupt lands and its event is wiped out.
  {
    InterruptingAdapter adapter(real, raise);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const UCHAR taken = adapter.ReadIntTimes(0);
    adapter.WriteIntTimes(0, 0);
    KeLowerIrql(old);
    EXPECT_EQ(taken, 2);
    EXPECT_EQ(real->ReadIntTimes(0), 0) << "the harness does provoke the race";
    EXPECT_EQ(Miniports().notified.size(), 1u);
  }

  // TakeIntTimes holds the interrupt off until the count is cleared; the event is counted after.
  GetKernel().RunFor(10 * sim::kTicksPerMicrosecond);
  real->WriteIntTimes(0, 2);
  {
    InterruptingAdapter adapter(real, raise);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const UCHAR taken = TakeIntTimes(&adapter, 0);
    KeLowerIrql(old);
    GetKernel().RunFor(10 * sim::kTicksPerMicrosecond);
    EXPECT_EQ(taken, 2);
    EXPECT_EQ(real->ReadIntTimes(0), 1) << "the event that landed during the take is still counted";
    EXPECT_EQ(Miniports().notified.size(), 2u);
  }
}

}  // namespace
}  // namespace adaptertest
