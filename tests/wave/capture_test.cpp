// Capture from the ADC into the framework's mappings: a known source arrives
// bit-exact for every admitted format and mapping-size class, and a block
// that finds no mapping is dropped whole without disturbing what follows.
#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

sim::PcmFormat SimFormat(const Format& f) {
  return {f.rate, static_cast<std::uint8_t>(f.channels), static_cast<std::uint8_t>(f.bits)};
}

struct CaptureCase {
  Format format;
  bool vra;
  double blocks;  // capture buffer size in blocks
  int extra;      // plus a few bytes
};

std::vector<CaptureCase> AllCaptureCases() {
  std::vector<CaptureCase> cases;
  for (ULONG rate : {48000, 44100, 22050, 11025, 8000})
    for (USHORT bits : {8, 16})
      for (USHORT channels : {1, 2})
        for (double blocks : {0.4, 1.0, 3.3}) cases.push_back({{rate, channels, bits}, true, blocks, blocks == 1.0 ? 0 : 1});
  for (USHORT bits : {8, 16})
    for (USHORT channels : {1, 2}) cases.push_back({{48000, channels, bits}, false, 2.5, 2});
  return cases;
}

class CaptureFormats : public testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureFormats, RecordTheSourceBitExactIntoMappings) {
  const CaptureCase& c = GetParam();
  sim::MachineConfig config;
  config.codec.hasVra = c.vra;
  WaveDevice device(config);
  ASSERT_STARTED(device);
  NTSTATUS status;
  host::WavePciPin* pin = device.Open(kCapturePin, c.format, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);

  const sim::PcmFormat format = SimFormat(c.format);
  const std::size_t total = format.ByteRate();  // one second
  device.Machine().GetCodec().Adc().SetSamples(Pattern(total + 4 * kCdBlock, 9));
  const ULONG bufferBytes = static_cast<ULONG>(c.format.BlockSize() * c.blocks) + c.extra;
  std::size_t queued = 0;
  while (queued < total) {
    pin->QueueCaptureBuffer(bufferBytes);
    queued += bufferBytes;
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == queued; }));

  const std::vector<std::uint8_t> expected = device.Machine().GetCodec().Adc().Render(queued, format);
  ASSERT_EQ(pin->CapturedBytes().size(), queued);
  EXPECT_TRUE(pin->CapturedBytes() == expected) << "the mappings do not hold the source's bytes";
  const auto rateWrites = device.Machine().GetTrace().CodecWrites(sim::ac97::kPcmAdcRate);
  if (c.vra) {
    ASSERT_FALSE(rateWrites.empty());
    EXPECT_EQ(rateWrites.back().value, c.format.rate);
  } else {
    EXPECT_TRUE(rateWrites.empty());
  }
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, CaptureFormats, testing::ValuesIn(AllCaptureCases()),
                         [](const testing::TestParamInfo<CaptureCase>& info) {
                           const CaptureCase& c = info.param;
                           return c.format.Name() + (c.vra ? "_vra_" : "_fixed_") +
                                  std::to_string(static_cast<int>(c.blocks * 10)) + "tenths";
                         });

TEST(Capture, ABlockWithNoMappingIsDroppedWholeAndRearmedInFull) {
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  const sim::PcmFormat format = SimFormat(kCd);
  device.Machine().GetCodec().Adc().SetSamples(Pattern(40 * kCdBlock, 3));
  const std::vector<std::uint8_t> source = device.Machine().GetCodec().Adc().Render(40 * kCdBlock, format);

  // One and a half blocks: the second block fills half a mapping and drops the rest.
  const ULONG first = kCdBlock + kCdBlock / 2;
  pin->QueueCaptureBuffer(first);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first; }));
  // Five blocks come and go with nowhere to put them.
  const std::uint64_t entries = device.CaptureChannel().EntriesCompleted();
  device.RunFor(50 * kMillisecond);
  EXPECT_GE(device.CaptureChannel().EntriesCompleted(), entries + 4);
  EXPECT_TRUE(device.CaptureChannel().Active()) << "capture stopped for want of mappings";

  pin->QueueCaptureBuffer(kCdBlock);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first + kCdBlock; }));
  const std::vector<std::uint8_t>& captured = pin->CapturedBytes();
  ASSERT_EQ(captured.size(), first + kCdBlock);
  EXPECT_TRUE(std::equal(source.begin(), source.begin() + first, captured.begin()));
  // The second mapping holds one whole later block of the source: the blocks
  // between were dropped, not shifted into it.
  int block = -1;
  for (int k = 1; k < 40; k++)
    if (std::equal(source.begin() + k * kCdBlock, source.begin() + (k + 1) * kCdBlock, captured.begin() + first))
      block = k;
  EXPECT_GT(block, 5) << "the second mapping does not hold a later block of the source";
  // Every entry the controller recorded was armed in full, mapping or not.
  const auto done = device.Machine().GetTrace().Matching([](const sim::TraceEntry& e) {
    return e.kind == sim::TraceKind::Sgd && e.text.starts_with("rec entry") && e.text.find("done") != e.text.npos;
  });
  ASSERT_GE(done.size(), 8u);
  for (const auto& entry : done) EXPECT_NE(entry.text.find("count=1920"), entry.text.npos) << entry.text;

  // Only the bytes that reached a mapping count.
  pin->SetState(KSSTATE_PAUSE);
  ULONGLONG position = 0;
  pin->Stream()->GetPosition(&position);
  EXPECT_EQ(position, first + kCdBlock);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

struct CaptureLatencyRun {
  bool complete = false;
  bool exact = false;
  std::uint64_t overruns = 0;    // while the measured buffers were still being filled
  std::uint64_t framesLost = 0;
  std::vector<std::string> violations;
};

// Records 100 buffers of 1600 bytes (0.83 s) of a known source with the
// service group running `latency` after each interrupt. Ten more buffers
// keep the channel going past the measured ones, so the stream's own end is
// not counted as lost input.
CaptureLatencyRun RecordWithServiceLatency(sim::Ticks latency) {
  constexpr std::size_t kBuffers = 100, kBytes = 1600;
  CaptureLatencyRun run;
  WaveDevice device;
  if (!NT_SUCCESS(device.Start())) {
    run.violations = device.violations;
    return run;
  }
  device.violations.clear();
  device.Kernel().SetServiceLatency(latency);
  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  device.Machine().GetCodec().Adc().SetNoise(7);
  for (std::size_t i = 0; i < kBuffers + 10; i++) pin->QueueCaptureBuffer(kBytes);
  pin->SetState(KSSTATE_RUN);
  const std::size_t measured = kBuffers * kBytes;
  run.complete = device.RunUntil([&] { return pin->BytesReleased() >= measured; }, 20 * sim::kTicksPerSecond);
  const auto overruns = device.Machine().GetController().Capture().GetOverruns();
  run.overruns = overruns.episodes;
  run.framesLost = overruns.framesLost;
  const std::vector<std::uint8_t> expected = device.Machine().GetCodec().Adc().Render(measured, SimFormat(kCd));
  const std::vector<std::uint8_t>& captured = pin->CapturedBytes();
  run.exact = captured.size() >= measured && std::equal(expected.begin(), expected.end(), captured.begin());
  pin->SetState(KSSTATE_PAUSE);
  run.violations.insert(run.violations.end(), device.violations.begin(), device.violations.end());
  return run;
}

// The capture edge: the largest delay between the interrupt and the stream's
// service at which no input is lost, to 10 us. Below it the recording is the
// source bit-exactly with no overrun; beyond it overruns are counted and the
// recording is never the source. Either way the stream goes on to the end.
TEST(ServiceLatency, CaptureLosesNoInputUpToMostOfABlockAndCountsWhatItLosesBeyond) {
  auto check = [](sim::Ticks latency) {
    const CaptureLatencyRun run = RecordWithServiceLatency(latency);
    const double ms = static_cast<double>(latency) / kMillisecond;
    EXPECT_TRUE(run.complete) << "stuck at a service latency of " << ms << " ms";
    EXPECT_TRUE(run.violations.empty()) << "at " << ms << " ms: " << Joined(run.violations);
    EXPECT_EQ(run.exact, run.overruns == 0) << "at " << ms << " ms: " << run.overruns << " overruns, "
                                            << run.framesLost << " frames lost";
    EXPECT_EQ(run.overruns == 0, run.framesLost == 0) << "at " << ms << " ms";
    return run.overruns == 0;
  };
  sim::Ticks clean = 0, lossy = 0;
  bool cleanSoFar = true;
  for (sim::Ticks latency = 0; latency <= 25 * kMillisecond; latency += kMillisecond / 2) {
    const bool lossless = check(latency);
    if (lossless && cleanSoFar) clean = latency;
    if (!lossless && cleanSoFar) lossy = latency;
    cleanSoFar = cleanSoFar && lossless;
  }
  ASSERT_GT(lossy, clean) << "no latency in the sweep lost input";
  while (lossy - clean > 10 * sim::kTicksPerMicrosecond) {
    const sim::Ticks middle = (clean + lossy) / 2;
    (check(middle) ? clean : lossy) = middle;
  }
  std::printf("largest lossless capture service latency: %.3f ms\n", static_cast<double>(clean) / kMillisecond);
  RecordProperty("largest_lossless_capture_latency_us", static_cast<int>(clean / sim::kTicksPerMicrosecond));
  EXPECT_GE(clean, 9 * kMillisecond);
  EXPECT_LT(clean, 11 * kMillisecond);
}

}  // namespace
}  // namespace wavetest

namespace wavetest {
namespace {

// Every allocation a running capture makes, failing in turn: the recording is
// bit-exact, or the driver has said it lost input (marker 0x9C). Buffers of
// the framing's frame size need no allocation at all once the stream runs.
struct AllocationRun {
  std::size_t attempts = 0;  // pool allocations while running
  bool bitExact = false;
  std::size_t lossMarkers = 0;
  std::uint64_t injected = 0;  // failures that hit the running stream
  bool finished = false;
  std::vector<std::string> violations;
};

AllocationRun CaptureWithFailure(ULONG bufferBytes, std::uint64_t failAt) {
  AllocationRun run;
  WaveDevice device;
  if (!NT_SUCCESS(device.Start())) {
    run.violations = device.violations;
    return run;
  }
  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  const sim::PcmFormat format = SimFormat(kCd);
  const std::size_t total = 10 * kCdBlock;
  device.Machine().GetCodec().Adc().SetSamples(Pattern(total + 40 * kCdBlock, 4));
  // A client that keeps two frames of the framing with the stream, in buffers of bufferBytes.
  std::size_t queued = 0;
  const std::size_t inFlight = 2 * std::max<std::size_t>(bufferBytes, pin->Framing().FrameSize);
  auto topUp = [&] {
    while (queued < total && queued - pin->BytesReleased() < inFlight) {
      pin->QueueCaptureBuffer(bufferBytes);
      queued += bufferBytes;
    }
  };
  topUp();
  host::Pool& pool = device.Kernel().GetPool();
  const std::uint64_t before = pool.Attempts();
  if (failAt) pool.FailNth(failAt);
  pin->SetState(KSSTATE_RUN);
  const sim::Ticks step = kMillisecond / 2;
  for (sim::Ticks waited = 0; pin->BytesReleased() < total && waited < 2 * sim::kTicksPerSecond; waited += step) {
    device.RunFor(step);
    topUp();
  }
  run.finished = pin->BytesReleased() == queued;
  run.attempts = pool.Attempts() - before;
  run.injected = pool.InjectedFailures();
  pool.ClearFaults();
  run.bitExact = pin->CapturedBytes() == device.Machine().GetCodec().Adc().Render(queued, format);
  for (std::uint8_t marker : device.MarkersOn(0x91)) run.lossMarkers += marker == 0x9C;
  pin->SetState(KSSTATE_STOP);
  run.violations = device.violations;
  return run;
}

TEST(CaptureAllocation, FramingSizedBuffersNeedNoAllocationWhileRunning) {
  const AllocationRun run = CaptureWithFailure(kCdBlock, 0);
  EXPECT_TRUE(run.finished);
  EXPECT_TRUE(run.bitExact);
  EXPECT_EQ(run.attempts, 0u);
  EXPECT_TRUE(run.violations.empty()) << Joined(run.violations);
}

// A pause, or a revocation of the mapping being filled, takes that mapping
// back with its unfilled rest; the rest must leave the stream's count of
// queued bytes too, or after a few of them the stream believes it holds
// enough and pulls no more mappings.
class CaptureInterruptedInsideAMapping : public ::testing::TestWithParam<bool> {};

TEST_P(CaptureInterruptedInsideAMapping, LeavesTheStreamPullingMappings) {
  using S = host::WavePciPin::MappingState;
  const bool revoke = GetParam();
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;  // one mapping per buffer
  host::WavePciPin* pin = device.Open(kCapturePin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  for (int i = 0; i < 40; i++) pin->QueueCaptureBuffer(kCdBlock * 3 / 2);
  pin->SetState(KSSTATE_RUN);
  constexpr ULONG kRecordTag = 0x206D6457;  // "Wdm ": the stream's record pools and the records past them
  const std::size_t records = device.LiveBlocks(kRecordTag);
  for (int cycle = 0; cycle < 12; cycle++) {
    device.RunFor(15 * kMillisecond);  // one block in: the mapping is two thirds full
    if (revoke) {
      std::uint32_t current = 0;
      for (const auto& m : pin->Mappings())
        if (m.state == S::HandedOut) {
          current = m.sequence;
          break;
        }
      ULONG count = 0;
      ASSERT_EQ(pin->Revoke(current, current, &count), STATUS_SUCCESS) << "cycle " << cycle;
    } else {
      pin->SetState(KSSTATE_PAUSE);
      pin->SetState(KSSTATE_RUN);
    }
  }
  const std::size_t before = pin->CapturedBytes().size();
  device.RunFor(100 * kMillisecond);
  pin->SetState(KSSTATE_PAUSE);
  EXPECT_GE(pin->CapturedBytes().size() - before, 8u * kCdBlock) << "the recording went on afterwards";
  // More interruptions than the stream's reserve has records: none is kept back, so the
  // buffers of this size never need a record from the pool.
  EXPECT_EQ(device.LiveBlocks(kRecordTag), records) << "the records of taken-back mappings stay with the stream";
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(, CaptureInterruptedInsideAMapping, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Revoked" : "Paused"); });

// Input nobody queued a buffer for is the client's own overrun: dropped, and
// never reported as input the driver lost (marker 0x9C).
TEST(Capture, AClientThatStopsQueuingOverrunsWithoutADriverLossMarker) {
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  device.Machine().GetCodec().Adc().SetSamples(Pattern(40 * kCdBlock, 4));
  pin->QueueCaptureBuffer(2 * kCdBlock);
  pin->SetState(KSSTATE_RUN);
  device.RunFor(20 * kMillisecond * 10);
  EXPECT_EQ(pin->BytesReleased(), 2 * kCdBlock);
  EXPECT_EQ(pin->CapturedBytes(), device.Machine().GetCodec().Adc().Render(2 * kCdBlock, SimFormat(kCd)));
  const auto markers = device.MarkersOn(0x91);
  EXPECT_EQ(std::count(markers.begin(), markers.end(), 0x9C), 0);
  pin->SetState(KSSTATE_STOP);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

// Buffers of one block (the framing's frame size), or small ones: more
// mappings at once than the stream's reserve holds.
class CaptureAllocationInTurn : public testing::TestWithParam<ULONG> {};

TEST_P(CaptureAllocationInTurn, EachAllocationFailingInTurnLosesNothingOrReportsTheLoss) {
  const ULONG bufferBytes = GetParam();
  const AllocationRun baseline = CaptureWithFailure(bufferBytes, 0);
  ASSERT_TRUE(baseline.finished && baseline.bitExact) << "the run without faults must be clean";
  if (bufferBytes < kCdBlock) {
    ASSERT_GT(baseline.attempts, 0u) << "nothing exercises the allocation path";
  }
  for (std::uint64_t n = 1; n <= baseline.attempts; ++n) {
    const AllocationRun run = CaptureWithFailure(bufferBytes, n);
    EXPECT_EQ(run.injected, 1u) << "allocation " << n << " was not failed";
    EXPECT_TRUE(run.finished) << "allocation " << n;
    EXPECT_TRUE(run.bitExact || run.lossMarkers > 0) << "allocation " << n << " lost input without a word";
    EXPECT_TRUE(run.violations.empty()) << "allocation " << n << ": " << Joined(run.violations);
  }
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, CaptureAllocationInTurn, testing::Values(kCdBlock, 200u),
                         [](const auto& info) { return std::to_string(info.param) + "bytes"; });

// A capture position counts whole frames of the bytes delivered into buffers:
// buffers whose sizes cut a frame leave the cut frame out, and the converter's
// progress in the block being recorded is in no buffer yet.
TEST(Capture, ThePositionIsWholeFramesOfTheBytesInTheBuffers) {
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPin* pin = device.Open(kCapturePin, kCd);
  for (int i = 0; i < 3; ++i) pin->QueueCaptureBuffer(1001);  // 3003 bytes: 750 frames and 3 bytes
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ULONGLONG position = ~0ull;
  device.RunFor(15 * kMillisecond);  // the first block is in, the second half recorded
  pin->Stream()->GetPosition(&position);
  EXPECT_EQ(pin->BytesReleased(), 1001u);
  EXPECT_EQ(position, 1920u) << "the first block, all in buffers; not the converter's 2880 bytes";
  device.RunFor(15 * kMillisecond);
  ASSERT_EQ(pin->BytesReleased(), 3003u);
  pin->Stream()->GetPosition(&position);
  EXPECT_EQ(position, 3000u);
  pin->SetState(KSSTATE_STOP);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

// Revoking queued capture mappings takes back exactly that range; the
// recording goes on into the mappings after it without a gap.
TEST(Capture, RevokedMappingsAreTakenBackAndTheRecordingGoesOnIntoTheRest) {
  using S = host::WavePciPin::MappingState;
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;  // one mapping per buffer
  host::WavePciPin* pin = device.Open(kCapturePin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  device.Machine().GetCodec().Adc().SetSamples(Pattern(40 * 500 + 4 * kCdBlock, 5));
  for (int i = 0; i < 40; ++i) pin->QueueCaptureBuffer(500);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_GE(pin->CountIn(S::HandedOut), 8u) << "mappings #5 and #6 are with the stream, not yet filled";

  ULONG count = 0;
  ASSERT_EQ(pin->Revoke(5, 6, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::HandedOut) + pin->CountIn(S::Waiting) == 0; }));
  EXPECT_EQ(pin->CountIn(S::Revoked), 2u);
  EXPECT_EQ(pin->CountIn(S::Released), 38u);
  for (const auto& m : pin->Mappings())
    EXPECT_EQ(m.state == S::Revoked, m.sequence == 5 || m.sequence == 6) << "mapping " << m.sequence;
  const auto& captured = pin->CapturedBytes();
  ASSERT_EQ(captured.size(), 38u * 500u);
  const auto expected = device.Machine().GetCodec().Adc().Render(captured.size(), {48000, 2, 16});
  EXPECT_TRUE(captured == expected) << "the recording has a gap or a repeat where the revoked mappings were";
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

}  // namespace
}  // namespace wavetest
