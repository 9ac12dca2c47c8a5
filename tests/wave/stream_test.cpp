// Formats, stream admission, state sequences, revocation and the service
// latency the data path tolerates.
#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

struct FormatCase {
  const char* name;
  bool vra;
  ULONG rate;
  USHORT channels;
  USHORT bits;
  NTSTATUS expected;
};

class StreamFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(StreamFormats, AreAdmittedOrRefused) {
  const FormatCase& c = GetParam();
  sim::MachineConfig config;
  config.codec.hasVra = c.vra;
  WaveDevice device(config);
  START_OR_SKIP(device);
  NTSTATUS status;
  device.Open(kRenderPin, {c.rate, c.channels, c.bits}, &status);
  EXPECT_EQ(status, c.expected);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamFormats,
    testing::Values(FormatCase{"fixed_48k", false, 48000, 2, 16, STATUS_SUCCESS},
                    FormatCase{"fixed_44k", false, 44100, 2, 16, STATUS_INVALID_PARAMETER},
                    FormatCase{"vra_44k", true, 44100, 2, 16, STATUS_SUCCESS},
                    FormatCase{"vra_32k", true, 32000, 2, 16, STATUS_INVALID_PARAMETER},
                    FormatCase{"vra_8k_mono_8bit", true, 8000, 1, 8, STATUS_SUCCESS},
                    FormatCase{"24bit", true, 48000, 2, 24, STATUS_INVALID_PARAMETER},
                    FormatCase{"3_channels", true, 48000, 3, 16, STATUS_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

class Streams : public testing::Test {
 protected:
  void SetUp() override { START_OR_SKIP(device); }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
    }
  }

  WaveDevice device;
  const Format cd{48000, 2, 16};
};

TEST_F(Streams, ASecondStreamOnAPinIsRefusedAndThePinReopensAfterClose) {
  NTSTATUS status;
  host::WavePciPin* first = device.Open(kRenderPin, cd, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  device.Open(kRenderPin, cd, &status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  device.Close(first);
  device.Open(kRenderPin, cd, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(Streams, PauseHandsBackCopiedMappingsAndKeepsUnstartedOnesAcquireHandsThemBack) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  for (int i = 0; i < 10; i++) pin->QueueBuffer(Pattern(1000, i));
  pin->SetState(KSSTATE_RUN);
  device.RunFor(15 * kMillisecond);
  pin->SetState(KSSTATE_PAUSE);
  using S = host::WavePciPin::MappingState;
  // Everything copied into a block is back; what was only queued stays with the stream.
  const std::size_t out = pin->CountIn(S::HandedOut);
  EXPECT_GT(out, 0u);
  for (const auto& m : pin->Mappings())
    if (m.state == S::HandedOut) {
      EXPECT_GT(m.sequence, 0u);
    }
  pin->SetState(KSSTATE_ACQUIRE);
  EXPECT_EQ(pin->CountIn(S::HandedOut), 0u);
  ULONGLONG position = 1;
  pin->SetState(KSSTATE_STOP);
  pin->Stream()->GetPosition(&position);
  EXPECT_EQ(position, 0u);
}

TEST_F(Streams, RevokeWithBothTagsUnknownFailsAndChangesNothing) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  ULONG count = 99;
  int a = 0, b = 0;
  EXPECT_EQ(pin->Stream()->RevokeMappings(&a, &b, &count), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);
}

TEST_F(Streams, ABufferCancelledWhileItsMappingIsBeingPulledIsNeverUsedOrReleased) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  auto keep = Pattern(4000, 1);
  pin->QueueBuffer(keep);
  host::WavePciPin::BufferId doomed = 0;
  bool cancelled = false;
  ULONG revoked = 0, expected = 0;
  // The framework cancels the second buffer the moment its first mapping is handed out.
  pin->onHandOut = [&](const host::WavePciPin::Mapping& m) {
    if (m.buffer == doomed && !cancelled) {
      cancelled = true;
      pin->CancelBuffer(doomed, &revoked, &expected);
    }
  };
  doomed = pin->QueueBuffer(Pattern(3000, 2));
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == keep.size(); }));
  device.RunFor(30 * kMillisecond);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(revoked, expected);
  EXPECT_TRUE(std::equal(keep.begin(), keep.end(), device.Dac().begin()));
  EXPECT_EQ(device.Dac().size(), keep.size()) << "a revoked mapping's bytes were played";
}

// Service latency: the largest delay between the interrupt and the stream's
// service at which playback still has no underrun, and beyond it no mapping
// is lost, doubled or reordered.
TEST_F(Streams, ServiceLatencySweep) {
  sim::Ticks largestClean = 0;
  for (sim::Ticks latency = 0; latency <= 14 * kMillisecond; latency += kMillisecond / 2) {
    WaveDevice run;
    START_OR_SKIP(run);
    run.Kernel().SetServiceLatency(latency);
    host::WavePciPin* pin = run.Open(kRenderPin, cd);
    std::vector<std::uint8_t> sent;
    for (int i = 0; i < 60; i++) {
      auto bytes = Pattern(1600, i);
      sent.insert(sent.end(), bytes.begin(), bytes.end());
      pin->QueueBuffer(bytes);
    }
    pin->SetState(KSSTATE_RUN);
    ASSERT_TRUE(run.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 20 * sim::kTicksPerSecond))
        << "latency " << latency;
    EXPECT_TRUE(run.violations.empty()) << "latency " << latency << ": " << Joined(run.violations);
    const bool clean = run.PlaybackChannel().GetUnderruns().episodes <= 1 &&  // the final drain
                       std::equal(sent.begin(), sent.end(), run.Dac().begin());
    if (clean && latency == largestClean + (latency ? kMillisecond / 2 : 0)) largestClean = latency;
  }
  RecordProperty("largest_glitch_free_latency_us", static_cast<int>(largestClean / sim::kTicksPerMicrosecond));
  std::printf("largest glitch-free service latency: %llu us\n",
              static_cast<unsigned long long>(largestClean / sim::kTicksPerMicrosecond));
  EXPECT_GE(largestClean, 5 * kMillisecond);
}

}  // namespace
}  // namespace wavetest
