// Playback through the SGD channel to the DAC: every admitted format and
// buffer-size class arrives bit-exact, mappings come back when (and only
// when) the block holding their last byte has played, the stream survives
// running dry, and late service costs a glitch but never a mapping.
#include "wave/wave_fixture.h"

#include <optional>
#include <set>

namespace wavetest {
namespace {

using S = host::WavePciPin::MappingState;

struct PlaybackCase {
  Format format;
  bool vra;
  // Client buffer size as a multiple of the block, plus a few bytes.
  double blocks;
  int extra;
};

std::string CaseName(const testing::TestParamInfo<PlaybackCase>& info) {
  const PlaybackCase& c = info.param;
  std::string size = c.blocks < 1 ? "small" : c.blocks == 1 ? "block" : "large";
  return c.format.Name() + (c.vra ? "_vra_" : "_fixed_") + size + "_plus" + std::to_string(c.extra);
}

std::vector<PlaybackCase> AllPlaybackCases() {
  std::vector<PlaybackCase> cases;
  const ULONG rates[] = {48000, 44100, 22050, 11025, 8000};
  const double sizes[] = {0.3, 1.0, 2.7};
  for (ULONG rate : rates)
    for (USHORT bits : {8, 16})
      for (USHORT channels : {1, 2})
        for (double blocks : sizes) {
          // Sizes that are not multiples of 4 for the copies' tail bytes.
          const int extra = blocks == 1.0 ? 0 : 3;
          cases.push_back({{rate, channels, bits}, true, blocks, extra});
        }
  for (USHORT bits : {8, 16})
    for (USHORT channels : {1, 2}) cases.push_back({{48000, channels, bits}, false, 1.5, 1});
  return cases;
}

class PlaybackFormats : public testing::TestWithParam<PlaybackCase> {};

TEST_P(PlaybackFormats, ArriveBitExactAtTheDacWithoutUnderrun) {
  const PlaybackCase& c = GetParam();
  sim::MachineConfig config;
  config.codec.hasVra = c.vra;
  WaveDevice device(config);
  ASSERT_STARTED(device);
  NTSTATUS status;
  host::WavePciPin* pin = device.Open(kRenderPin, c.format, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);

  const ULONG bufferBytes = static_cast<ULONG>(c.format.BlockSize() * c.blocks) + c.extra;
  // Two seconds' worth of audio in client buffers, all queued up front.
  const std::size_t total = 2 * c.format.rate * c.format.FrameBytes();
  std::vector<std::uint8_t> sent;
  for (std::uint32_t i = 0; sent.size() < total; i++) {
    auto bytes = Pattern(bufferBytes, i);
    pin->QueueBuffer(bytes);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);

  // Halfway through, the channel has never waited for data.
  device.RunUntil([&] { return device.Dac().size() >= sent.size() / 2; });
  EXPECT_EQ(device.PlaybackChannel().GetUnderruns().episodes, 0u);

  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin())) << "the DAC did not get the bytes sent";
  EXPECT_EQ(device.PlaybackChannel().Format().rate, c.format.rate);
  const auto rateWrites = device.Machine().GetTrace().CodecWrites(sim::ac97::kPcmFrontDacRate);
  if (c.vra) {
    ASSERT_FALSE(rateWrites.empty());
    EXPECT_EQ(rateWrites.back().value, c.format.rate);
  } else {
    EXPECT_TRUE(rateWrites.empty()) << "a codec without variable-rate audio had its DAC rate written";
  }
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, PlaybackFormats, testing::ValuesIn(AllPlaybackCases()), CaseName);

class Playback : public testing::Test {
 protected:
  void SetUp() override { ASSERT_STARTED(device); }
  void TearDown() override { EXPECT_TRUE(device.violations.empty()) << Joined(device.violations); }

  std::vector<std::uint8_t> QueueAll(host::WavePciPin* pin, std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) {
      pin->QueueBuffer(part);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }
  std::size_t Markers(std::uint16_t port, std::uint8_t value) {
    auto values = device.MarkersOn(port);
    return static_cast<std::size_t>(std::count(values.begin(), values.end(), value));
  }

  WaveDevice device;
};

TEST_F(Playback, MappingLongerThanABlockIsReleasedAtTheEventOfItsLastBlock) {
  host::WavePciPinOptions options;
  options.mappingBound = 8192;  // large pages, buffers page-aligned: each 5000-byte buffer is one mapping
  options.firstPageOffset = 0;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  std::vector<std::size_t> dacAtRelease;
  pin->onRelease = [&](const host::WavePciPin::Mapping&) { dacAtRelease.push_back(device.Dac().size()); };
  auto sent = QueueAll(pin, {Pattern(5000, 1), Pattern(5000, 2), Pattern(5000, 3)});
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return dacAtRelease.size() == 3; }));
  // Bytes 0-4999 end in block three (3840-5759): released once it has played, not before.
  EXPECT_GE(dacAtRelease[0], 3u * kCdBlock);
  EXPECT_LT(dacAtRelease[0], 4u * kCdBlock);
  // Bytes 5000-9999 end in block six (9600-11519).
  EXPECT_GE(dacAtRelease[1], 6u * kCdBlock);
  EXPECT_LT(dacAtRelease[1], 7u * kCdBlock);
  // The last one ends in the short block eight, the end of the data.
  EXPECT_EQ(dacAtRelease[2], sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, MappingsEndingInOneBlockAreReleasedTogetherAndNoneOfTheNext) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::pair<std::uint64_t, std::size_t>> releases;  // sequence, DAC bytes then
  pin->onRelease = [&](const host::WavePciPin::Mapping& m) { releases.push_back({m.sequence, device.Dac().size()}); };
  // 500-byte buffers: three end in block one (500, 1000, 1500), the fourth (2000) in block two.
  for (int i = 0; i < 12; i++) pin->QueueBuffer(Pattern(500, i));
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return releases.size() == 12; }));
  for (int i = 0; i < 12; i++) EXPECT_EQ(releases[i].first, static_cast<std::uint64_t>(i));
  EXPECT_EQ(releases[0].second, releases[2].second);
  EXPECT_GE(releases[0].second, kCdBlock);
  EXPECT_LT(releases[0].second, 2u * kCdBlock);
  EXPECT_GE(releases[3].second, 2u * kCdBlock);
  pin->onRelease = nullptr;  // mappings handed back at close must not reach this test's gone locals
}

// Data that ends at various points: the last entry is armed short with EOL
// (or empty), the channel stops after it, and the next buffer resumes
// playback right behind the old data.
struct RunOutCase {
  const char* name;
  ULONG bytes;
  const char* lastEntry;  // the controller's last entry, as it traced it
  sim::Ticks latency = 0;  // from an interrupt to its service
};

class PlaybackRunsOut : public Playback, public testing::WithParamInterface<RunOutCase> {};

TEST_P(PlaybackRunsOut, StopsAfterTheLastByteAndResumesWhenDataComes) {
  const RunOutCase& c = GetParam();
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto first = Pattern(c.bytes, 7);
  pin->QueueBuffer(first);
  device.Kernel().SetServiceLatency(c.latency);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == c.bytes; }));
  device.RunFor(50 * kMillisecond);
  EXPECT_EQ(device.Dac().size(), c.bytes) << "the last block played more than the bytes it had";
  EXPECT_FALSE(device.PlaybackChannel().Active());
  const auto done = device.Machine().GetTrace().Matching([](const sim::TraceEntry& e) {
    return e.kind == sim::TraceKind::Sgd && e.text.starts_with("play entry") && e.text.find("done") != e.text.npos;
  });
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.back().text, std::string("play ") + c.lastEntry);
  EXPECT_EQ(Markers(0x91, 0x99), 0u) << "an event was left without its record";

  std::vector<std::uint8_t> sent = first;
  for (int i = 0; i < 20; i++) {
    auto more = Pattern(1234, 100 + i);
    pin->QueueBuffer(more);
    sent.insert(sent.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
  EXPECT_EQ(Markers(0x91, 0x99), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlaybackRunsOut,
    testing::Values(RunOutCase{"short_first_block", 100, "entry 0 done count=100 eol"},
                    RunOutCase{"one_full_block", kCdBlock, "entry 0 done count=1920 eol"},
                    RunOutCase{"mid_second_block", 3000, "entry 1 done count=1080 eol"},
                    RunOutCase{"exactly_three_blocks", 3 * kCdBlock, "entry 1 done count=0 eol"},
                    RunOutCase{"mid_fourth_block", 3 * kCdBlock + 11, "entry 1 done count=11 eol"},
                    // Entry 1's event is serviced after the short block behind it (0.5 ms) has played: its
                    // event is counted already and is that block's own, not one to make up.
                    RunOutCase{"mid_fifth_block_late_service", 4 * kCdBlock + 100, "entry 0 done count=100 eol",
                               2 * kMillisecond}),
    [](const testing::TestParamInfo<RunOutCase>& info) { return std::string(info.param.name); });

// Client buffers start anywhere in a page, so a buffer's first and last
// mappings are partial pages; the stream still plays every byte once, in order.
struct PlacementCase {
  const char* name;
  std::optional<ULONG> firstPageOffset;  // unset: the pin's seeded choice per buffer
  ULONG bytes;
};

class BufferPlacement : public Playback, public testing::WithParamInterface<PlacementCase> {};

TEST_P(BufferPlacement, EveryByteArrivesOnceWhereverTheBuffersStart) {
  const PlacementCase& c = GetParam();
  host::WavePciPinOptions options;
  options.firstPageOffset = c.firstPageOffset;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  std::vector<std::uint8_t> sent;
  for (std::uint32_t i = 0; sent.size() < 3 * kCdBlock + 500; i++) {
    auto part = Pattern(c.bytes, 40 + i);
    pin->QueueBuffer(part);
    sent.insert(sent.end(), part.begin(), part.end());
  }
  std::set<ULONG> starts;  // page offsets of the buffers' first bytes
  for (const auto& m : pin->Mappings()) {
    if (m.sequence == 0 || pin->Mappings()[m.sequence - 1].buffer != m.buffer) starts.insert(m.physical % PAGE_SIZE);
    EXPECT_LE(m.physical % PAGE_SIZE + m.bytes, PAGE_SIZE) << "mapping #" << m.sequence << " crosses a page";
  }
  if (c.firstPageOffset) EXPECT_EQ(starts, std::set<ULONG>{*c.firstPageOffset});
  else EXPECT_GT(*starts.rbegin(), 0u) << "the seeded placement put every buffer at a page start";
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, BufferPlacement,
    testing::Values(PlacementCase{"seeded_one_byte", std::nullopt, 1},
                    PlacementCase{"seeded_block_and_a_bit", std::nullopt, kCdBlock + 7},
                    PlacementCase{"seeded_over_two_pages", std::nullopt, 2 * PAGE_SIZE + 5},
                    PlacementCase{"page_aligned", 0u, 3000},
                    PlacementCase{"last_byte_of_page_one_byte", PAGE_SIZE - 1, 1},
                    PlacementCase{"last_byte_of_page", PAGE_SIZE - 1, 3000}),
    [](const testing::TestParamInfo<PlacementCase>& info) { return std::string(info.param.name); });

// An event with no record behind it (a count the controller never earned)
// is reported on the diagnostic port and changes nothing else.
TEST_F(Playback, AnEventWithoutARecordLeavesItsMarker) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto sent = Pattern(100, 3);
  pin->QueueBuffer(sent);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  device.RunFor(30 * kMillisecond);
  ASSERT_EQ(Markers(0x91, 0x99), 0u);
  auto* miniport = static_cast<CMiniportWavePciZATAC97*>(device.Miniport());
  device.AtDispatch([&] {
    miniport->AdapterCommon->WriteIntTimes(0, 1);
    pin->Stream()->Service();
  });
  EXPECT_EQ(Markers(0x91, 0x99), 1u);
  EXPECT_EQ(device.Dac().size(), sent.size());
}

// Buffers of the allocator framing's frame size, each across a page boundary
// (two mappings): every record the stream holds at once comes from its
// reserve, so a running stream allocates nothing.
TEST_F(Playback, FramingSizedBuffersAcrossPagesNeedNoAllocationWhileRunning) {
  host::WavePciPinOptions options;
  options.firstPageOffset = PAGE_SIZE - 100;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  KSALLOCATOR_FRAMING framing{};
  pin->Stream()->GetAllocatorFraming(&framing);
  std::vector<std::uint8_t> sent;
  for (std::uint32_t i = 0; i < 12; i++) {
    auto part = Pattern(framing.FrameSize, 70 + i);
    pin->QueueBuffer(part);
    sent.insert(sent.end(), part.begin(), part.end());
  }
  host::Pool& pool = device.Kernel().GetPool();
  const std::uint64_t before = pool.Attempts();
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  EXPECT_EQ(pool.Attempts() - before, 0u);
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// The platform calls MappingAvailable once a buffer arrives after GetMapping
// was refused, and only then: a stream that starves restarts on it, and
// buffers queued while the stream still had work bring no call at all.
TEST_F(Playback, MappingAvailableComesOnlyAfterARefusalAndRestartsAStarvedStream) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::uint8_t> sent;
  auto queue = [&](ULONG bytes, std::uint32_t seed) {
    auto part = Pattern(bytes, seed);
    pin->QueueBuffer(part);
    sent.insert(sent.end(), part.begin(), part.end());
  };
  for (std::uint32_t i = 0; i < 12; i++) queue(1000, i);
  EXPECT_EQ(pin->MappingAvailableCalls(), 0u) << "no GetMapping had been refused";
  pin->SetState(KSSTATE_RUN);
  for (int round = 0; round < 3; round++) {
    ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
    device.RunFor(30 * kMillisecond);
    ASSERT_GT(pin->MappingRefusals(), 0u);
    // What the stream was told: with nothing queued, STATUS_NOT_FOUND.
    device.AtDispatch([&] {
      PHYSICAL_ADDRESS physical;
      PVOID address;
      ULONG bytes, flags;
      EXPECT_EQ(pin->GetMapping(&physical, &physical, &address, &bytes, &flags), STATUS_NOT_FOUND);
    });
    const std::uint64_t calls = pin->MappingAvailableCalls();
    queue(1500, 100 * round);
    EXPECT_EQ(pin->MappingAvailableCalls(), calls + 1) << "round " << round;
    for (std::uint32_t i = 1; i < 3; i++) queue(1500, 100 * round + i);
    EXPECT_LE(pin->MappingAvailableCalls(), pin->MappingRefusals()) << "round " << round;
  }
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, StartWithNoDataArmsTwoEmptyEntriesAndStillStartsTheChannel) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  pin->SetState(KSSTATE_RUN);
  EXPECT_EQ(device.CountWords(device.PlaybackChannel()), std::make_pair(kSgdEol, kSgdEol));
  const auto starts = device.Machine().GetTrace().Matching([&](const sim::TraceEntry& e) {
    return e.kind == sim::TraceKind::PortWrite && e.address == device.Machine().Config().ioBase + 1u &&
           e.value == 0x80;
  });
  EXPECT_EQ(starts.size(), 1u) << "the start command was not written";
  device.RunFor(5 * kMillisecond);
  EXPECT_TRUE(device.Dac().empty());

  auto bytes = Pattern(10000, 3);
  pin->QueueBuffer(bytes);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == bytes.size(); }));
  ASSERT_EQ(device.Dac().size(), bytes.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), device.Dac().begin()));
}

TEST_F(Playback, AStarvedStreamWaitsThroughAnEmptyMappingAvailableAndRestartsOnData) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto first = Pattern(2 * kCdBlock, 1);
  pin->QueueBuffer(first);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first.size(); }));
  device.RunFor(30 * kMillisecond);
  const std::uint64_t entries = device.PlaybackChannel().EntriesCompleted();

  // The framework says mappings came, but it has none: nothing to start with.
  device.AtDispatch([&] { pin->Stream()->MappingAvailable(); });
  device.RunFor(30 * kMillisecond);
  EXPECT_FALSE(device.PlaybackChannel().Active());
  EXPECT_EQ(device.PlaybackChannel().EntriesCompleted(), entries) << "the channel ran without data";

  auto second = Pattern(5000, 2);
  pin->QueueBuffer(second);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first.size() + second.size(); }));
  std::vector<std::uint8_t> sent = first;
  sent.insert(sent.end(), second.begin(), second.end());
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// Once the channel starts, the stream tops its queue up at once if less than
// a quarter of the queue limit (960 bytes here) is left after arming: at the
// run transition, and after MappingAvailable restarts a starved stream.
struct TopUpCase {
  const char* name;
  bool restart;    // a starved stream restarted by MappingAvailable, not a run transition
  ULONG bytes;     // each client buffer
  ULONG mappings;  // its mappings (page-aligned, of at most `bound` bytes)
  ULONG bound;
  std::size_t handedOut;  // held by the stream right after the start
};

void PrintTo(const TopUpCase& c, std::ostream* os) { *os << c.name; }

class PlaybackTopUp : public Playback, public testing::WithParamInterface<TopUpCase> {};

TEST_P(PlaybackTopUp, PullsMoreOnlyBelowAQuarterOfTheQueueLimitLeft) {
  const TopUpCase& c = GetParam();
  host::WavePciPinOptions options;
  options.mappingBound = c.bound;
  options.firstPageOffset = 0;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  std::vector<std::uint8_t> sent;
  if (c.restart) {
    sent = QueueAll(pin, {Pattern(100, 1)});
    pin->SetState(KSSTATE_RUN);
    ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
    device.RunFor(20 * kMillisecond);
  }
  const std::size_t before = pin->Mappings().size();
  for (std::uint32_t i = 0; i < 3; i++) {
    auto part = Pattern(c.bytes, 10 + i);
    sent.insert(sent.end(), part.begin(), part.end());
    pin->QueueBuffer(part);
    if (c.restart) break;  // MappingAvailable restarts on the first buffer
  }
  ASSERT_EQ(pin->Mappings().size(), before + (c.restart ? c.mappings : 3 * c.mappings));
  if (!c.restart) pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.PlaybackChannel().Active());
  EXPECT_EQ(pin->CountIn(S::HandedOut), c.handedOut);

  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::Released) == pin->Mappings().size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlaybackTopUp,
    testing::Values(TopUpCase{"run_a_quarter_left", false, 2 * kCdBlock + 960, 1, 8192, 1},
                    TopUpCase{"run_less_than_a_quarter_left", false, 2 * kCdBlock + 959, 1, 8192, 2},
                    TopUpCase{"restart_less_than_a_quarter_left", true, 3 * PAGE_SIZE, 3, PAGE_SIZE, 2}),
    [](const testing::TestParamInfo<TopUpCase>& info) { return std::string(info.param.name); });

// After refilling a block for an event, the stream pulls more only if less
// than half a block (960 bytes) is left queued; otherwise it waits for the
// next event. Client buffers of `mapping` bytes, one mapping each: the
// queue is topped up to the limit (3840) whenever the rule says, and each
// block takes 1920 bytes, so the case's name says what is left after `event`.
struct RefillTopUpCase {
  const char* name;
  ULONG mapping;
  std::uint64_t event;  // counted from 0: 1 is entry 1's first event, 2 entry 0's second
  bool pulls;
};

void PrintTo(const RefillTopUpCase& c, std::ostream* os) { *os << c.name; }

class RefillTopUp : public Playback, public testing::WithParamInterface<RefillTopUpCase> {};

TEST_P(RefillTopUp, PullsMoreOnlyBelowHalfABlockLeft) {
  const RefillTopUpCase& c = GetParam();
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  std::vector<std::uint8_t> sent;
  for (std::uint32_t i = 0; i < 30; i++) {
    auto part = Pattern(c.mapping, 20 + i);
    sent.insert(sent.end(), part.begin(), part.end());
    pin->QueueBuffer(part);
  }
  auto pulled = [&] { return pin->Mappings().size() - pin->CountIn(S::Waiting); };
  // Each event's service is done a millisecond after it, long before the next one.
  auto afterEvent = [&](std::uint64_t n) {
    EXPECT_TRUE(device.RunUntil([&] { return device.PlaybackChannel().EntriesCompleted() == n; }));
    device.RunFor(kMillisecond);
    return pulled();
  };
  pin->SetState(KSSTATE_RUN);
  const std::size_t before = afterEvent(c.event);
  const std::size_t after = afterEvent(c.event + 1);
  EXPECT_EQ(after > before, c.pulls) << "mappings pulled by the service of event " << c.event << ": "
                                     << after - before;

  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::Released) == pin->Mappings().size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// 1080: 4320 queued, 480 after arming, 4800 after the top-up, 2880 after event 0, 960 after event 1;
// 1076: 928 after event 1. 1760: 5280 queued, 1440 after arming, 4800 after event 0 (its fill ran the
// queue dry and pulled), 2880 after event 1, 960 after event 2; 1756: 936 after event 2.
INSTANTIATE_TEST_SUITE_P(
    Table, RefillTopUp,
    testing::Values(RefillTopUpCase{"entry1_960_left", 1080, 1, false},
                    RefillTopUpCase{"entry1_928_left", 1076, 1, true},
                    RefillTopUpCase{"entry0_960_left", 1760, 2, false},
                    RefillTopUpCase{"entry0_936_left", 1756, 2, true}),
    [](const testing::TestParamInfo<RefillTopUpCase>& info) { return std::string(info.param.name); });

// The run transition hands back a lone empty buffer; the client answers with
// data at once, and the framework's MappingAvailable comes while SetState
// still owns the queues. The work it left behind starts the stream after.
TEST_F(Playback, DataQueuedWhileTheRunTransitionOwnsTheQueuesStillPlays) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto data = Pattern(3000, 4);
  std::uint64_t callsInside = 0;
  pin->onRelease = [&](const host::WavePciPin::Mapping& m) {
    if (m.bytes != 0) return;
    const std::uint64_t calls = pin->MappingAvailableCalls();
    pin->QueueBuffer(data);
    callsInside = pin->MappingAvailableCalls() - calls;
  };
  pin->QueueBuffer({});
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(callsInside, 1u) << "MappingAvailable did not come inside the run transition";
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == data.size(); }, 200 * kMillisecond));
  ASSERT_EQ(device.Dac().size(), data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), device.Dac().begin()));
  pin->onRelease = nullptr;
}

// The interrupt routine can find both the FLAG and the EOL event set when it
// runs: one Service call then handles both, each with its own record.
NTSTATUS NTAPI HoldTheInterruptOff(PINTERRUPTSYNC, PVOID context) {
  KeStallExecutionProcessor(*static_cast<ULONG*>(context));
  return STATUS_SUCCESS;
}

TEST_F(Playback, FlagAndEolFromOneInterruptAreHandledInOneServiceCall) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 16; i++) {
    auto bytes = Pattern(kCdBlock / 2, i);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    pin->QueueBuffer(bytes);
  }
  std::vector<std::uint64_t> serviceAtRelease;
  pin->onRelease = [&](const host::WavePciPin::Mapping&) { serviceAtRelease.push_back(pin->ServiceCalls()); };
  pin->SetState(KSSTATE_RUN);
  // Something else holds the interrupt off while both blocks play out.
  ULONG microseconds = 25000;
  device.Adapter()->GetInterruptSync()->CallSynchronizedRoutine(HoldTheInterruptOff, &microseconds);
  device.RunFor(1);

  ASSERT_EQ(serviceAtRelease.size(), 4u) << "both blocks' mappings are handed back at once";
  EXPECT_EQ(serviceAtRelease.front(), serviceAtRelease.back());
  EXPECT_EQ(pin->ServiceCalls(), 1u);
  EXPECT_EQ(Markers(0x91, 0x96), 1u) << "the interrupt routine did not see both events";
  EXPECT_EQ(Markers(0x91, 0x99), 0u);
  EXPECT_EQ(device.Adapter()->ReadIntTimes(0), 0);

  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, AFullEntryRunningIntoAnEmptyOneRaisesBothEventsAndLosesNoRecord) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  // Three blocks: the third is refilled into entry 0 while entry 1 finds nothing.
  auto first = Pattern(3 * kCdBlock, 5);
  pin->QueueBuffer(first);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first.size(); }));
  EXPECT_EQ(Markers(0x91, 0x96), 1u);
  EXPECT_EQ(device.Adapter()->ReadIntTimes(0), 0);
  device.RunFor(20 * kMillisecond);

  auto second = Pattern(3 * kCdBlock + 5, 6);
  pin->QueueBuffer(second);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == first.size() + second.size(); }));
  std::vector<std::uint8_t> sent = first;
  sent.insert(sent.end(), second.begin(), second.end());
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
  EXPECT_EQ(Markers(0x91, 0x99), 0u);
}

TEST_F(Playback, ZeroLengthMappingsAreHandedBackInOrderAndNeverStall) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto sent = QueueAll(pin, {Pattern(2500, 1), {}, Pattern(700, 2), {}});
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::Released) == 4; }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, AFrameworkThatQueuesFromInsideReleaseMappingLosesNothing) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::uint8_t> sent;
  int queued = 0;
  auto queue = [&] {
    auto bytes = Pattern(1500, 50 + queued++);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    pin->QueueBuffer(bytes);
  };
  // Each release answers with a new buffer at once, into the stream that is releasing.
  pin->onRelease = [&](const host::WavePciPin::Mapping&) {
    if (queued < 40) queue();
  };
  queue();
  queue();
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return queued == 40 && pin->BytesReleased() == sent.size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// ---- Service latency --------------------------------------------------------------------

struct LatencyRun {
  bool complete = false;
  bool exact = false;
  std::uint64_t glitches = 0;  // underruns before the end of the data
  std::vector<std::string> violations;
};

// Plays 100 buffers of 1600 bytes (0.83 s) with the service group running
// `latency` after each interrupt.
LatencyRun PlayWithServiceLatency(sim::Ticks latency) {
  LatencyRun run;
  WaveDevice device;
  if (!NT_SUCCESS(device.Start())) {
    run.violations = device.violations;
    return run;
  }
  device.violations.clear();
  device.Kernel().SetServiceLatency(latency);
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 100; i++) {
    auto bytes = Pattern(1600, i);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    pin->QueueBuffer(bytes);
  }
  pin->SetState(KSSTATE_RUN);
  run.complete = device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }, 20 * sim::kTicksPerSecond);
  // The channel stops once at the end of the data; every other stop is a glitch.
  const std::uint64_t stops = device.PlaybackChannel().GetUnderruns().episodes;
  run.glitches = stops > 0 ? stops - 1 : 0;
  run.exact = device.Dac().size() == sent.size() && std::equal(sent.begin(), sent.end(), device.Dac().begin());
  for (const auto& m : pin->Mappings())
    if (m.state != S::Released) run.violations.push_back("mapping #" + std::to_string(m.sequence) + " not released");
  run.violations.insert(run.violations.end(), device.violations.begin(), device.violations.end());
  return run;
}

// Finds the largest delay between the interrupt and the stream's service at
// which playback has no underrun, to 10 us; at every delay tried, shorter or
// longer, every mapping is released once and in order and the DAC gets
// exactly the data.
TEST(ServiceLatency, PlaybackIsGlitchFreeUpToMostOfABlockAndRecoversBeyond) {
  auto check = [](sim::Ticks latency) {
    LatencyRun run = PlayWithServiceLatency(latency);
    const double ms = static_cast<double>(latency) / kMillisecond;
    EXPECT_TRUE(run.complete) << "stuck at a service latency of " << ms << " ms";
    EXPECT_TRUE(run.exact) << "data lost, doubled or reordered at " << ms << " ms";
    EXPECT_TRUE(run.violations.empty()) << "at " << ms << " ms: " << Joined(run.violations);
    return run.glitches == 0;
  };
  // A quarter-millisecond sweep to two and a half blocks...
  sim::Ticks clean = 0, glitching = 0;
  bool cleanSoFar = true;
  for (sim::Ticks latency = 0; latency <= 25 * kMillisecond; latency += kMillisecond / 4) {
    const bool glitchFree = check(latency);
    if (glitchFree && cleanSoFar) clean = latency;
    if (!glitchFree && cleanSoFar) glitching = latency;
    cleanSoFar = cleanSoFar && glitchFree;
  }
  ASSERT_GT(glitching, clean) << "no latency in the sweep glitched";
  // ...then the edge to 10 us.
  while (glitching - clean > 10 * sim::kTicksPerMicrosecond) {
    const sim::Ticks middle = (clean + glitching) / 2;
    (check(middle) ? clean : glitching) = middle;
  }
  std::printf("largest glitch-free service latency: %.3f ms\n", static_cast<double>(clean) / kMillisecond);
  RecordProperty("largest_glitch_free_latency_us", static_cast<int>(clean / sim::kTicksPerMicrosecond));
  // Most of one 10 ms block: the refill has until the other block ends.
  EXPECT_GE(clean, 9 * kMillisecond);
  EXPECT_LT(clean, 10 * kMillisecond);
}


// Uneven service: a block's event serviced quickly and the next one late, by
// a constant latency shifted by a pause or by a latency that depends on which
// entry's event comes next. Whatever the timing, the DAC gets the data sent,
// in order, once: a run after a pause goes on from the first byte that did
// not play, and the paused position is the bytes played.
struct UnevenServiceCase {
  const char* name;
  ULONG bufferBytes;
  sim::Ticks pauseAt;        // 0: no pause
  sim::Ticks afterEntry0;    // service latency for the event of entry 0...
  sim::Ticks afterEntry1;    // ...and of entry 1
};

void PrintTo(const UnevenServiceCase& c, std::ostream* os) { *os << c.name; }

class UnevenService : public Playback, public testing::WithParamInterface<UnevenServiceCase> {};

TEST_P(UnevenService, TheDacGetsEachSentByteOnceAndInOrder) {
  const UnevenServiceCase& c = GetParam();
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  std::vector<std::uint8_t> sent;
  for (std::uint32_t i = 0; sent.size() < 48000u * 4; i++) {
    auto bytes = Pattern(c.bufferBytes, i);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    pin->QueueBuffer(bytes);
  }
  // The latency is set while the channel is in an entry, before that entry's event is raised.
  auto pickLatency = [&] {
    const auto entry = device.PlaybackChannel().CurrentEntry();
    device.Kernel().SetServiceLatency(entry && *entry == 1 ? c.afterEntry1 : c.afterEntry0);
    return false;
  };
  pickLatency();
  pin->SetState(KSSTATE_RUN);

  std::size_t played = 0;
  if (c.pauseAt) {
    device.RunUntil(pickLatency, c.pauseAt);
    pin->SetState(KSSTATE_PAUSE);
    played = device.Dac().size();
    ULONGLONG position = 0;
    pin->Stream()->GetPosition(&position);
    EXPECT_EQ(position, played);
    EXPECT_LE(pin->BytesReleased(), played) << "a mapping that did not play in full was handed back";
    pin->SetState(KSSTATE_RUN);
  }
  ASSERT_TRUE(device.RunUntil([&] { return pickLatency() || pin->CountIn(S::Released) == pin->Mappings().size(); },
                              20 * sim::kTicksPerSecond));

  const std::vector<std::uint8_t>& expected = sent;
  const auto& dac = device.Dac();
  const std::size_t agreed = std::mismatch(dac.begin(), dac.end(), expected.begin(), expected.end()).first - dac.begin();
  EXPECT_EQ(agreed, expected.size()) << "the DAC got " << dac.size() << " bytes; the first one not as sent is byte "
                                     << agreed
                                     << (c.pauseAt ? " (paused after " + std::to_string(played) + " bytes)" : std::string());
  EXPECT_EQ(dac.size(), expected.size());
  EXPECT_EQ(Markers(0x91, 0x99), 0u) << "an event was left without its record";
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnevenService,
    testing::Values(UnevenServiceCase{"pause_at_11ms", 700, 11 * kMillisecond, 14 * kMillisecond, 14 * kMillisecond},
                    UnevenServiceCase{"pause_at_12_5ms", 700, 25 * kMillisecond / 2, 14 * kMillisecond,
                                      14 * kMillisecond},
                    UnevenServiceCase{"pause_at_35ms", 700, 35 * kMillisecond, 14 * kMillisecond, 14 * kMillisecond},
                    UnevenServiceCase{"pause_at_36_5ms", 700, 73 * kMillisecond / 2, 14 * kMillisecond,
                                      14 * kMillisecond},
                    UnevenServiceCase{"pause_at_35ms_block_buffers", kCdBlock, 35 * kMillisecond, 14 * kMillisecond,
                                      14 * kMillisecond},
                    UnevenServiceCase{"pause_at_35ms_large_buffers", 5000, 35 * kMillisecond, 14 * kMillisecond,
                                      14 * kMillisecond},
                    UnevenServiceCase{"entry0_1ms_entry1_14ms", 700, 0, kMillisecond, 14 * kMillisecond},
                    UnevenServiceCase{"entry0_3ms_entry1_12ms", 1920, 0, 3 * kMillisecond, 12 * kMillisecond},
                    UnevenServiceCase{"entry0_14ms_entry1_1ms", 700, 0, 14 * kMillisecond, kMillisecond},
                    UnevenServiceCase{"entry0_0ms_entry1_25ms", 5000, 0, 0, 25 * kMillisecond}),
    [](const testing::TestParamInfo<UnevenServiceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wavetest

namespace wavetest {
namespace {

// A client's empty buffer has nothing to wait for: it comes back as soon as
// every buffer before it has, also while nothing is armed to bring an event.
struct EmptyBufferCase {
  const char* name;
  bool capture;
  bool afterDrain;  // queued once earlier data has come and gone; otherwise alone at the start
};

class EmptyBuffer : public testing::TestWithParam<EmptyBufferCase> {
 protected:
  void SetUp() override { ASSERT_STARTED(device); }
  void TearDown() override { EXPECT_TRUE(device.violations.empty()) << Joined(device.violations); }
  WaveDevice device;
};

TEST_P(EmptyBuffer, IsHandedBackWithoutWaitingForData) {
  const EmptyBufferCase& c = GetParam();
  host::WavePciPin* pin = device.Open(c.capture ? kCapturePin : kRenderPin, kCd);
  std::size_t buffers = 0;
  if (c.afterDrain) {
    if (c.capture) {
      pin->QueueCaptureBuffer(2 * kCdBlock);
    } else {
      pin->QueueBuffer(Pattern(2 * kCdBlock + 100, 1));
    }
    ++buffers;
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(host::WavePciPin::MappingState::HandedOut) == 0 &&
                                             pin->CountIn(host::WavePciPin::MappingState::Waiting) == 0; }));
    device.RunFor(30 * kMillisecond);
  }
  const std::size_t releasedBefore = pin->CountIn(host::WavePciPin::MappingState::Released);
  if (c.capture) pin->QueueCaptureBuffer(0);
  else pin->QueueBuffer({});
  ++buffers;
  if (!c.afterDrain) {
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  device.RunFor(2 * kMillisecond);  // well inside one block: no block event comes to help
  EXPECT_EQ(pin->CountIn(host::WavePciPin::MappingState::Released), releasedBefore + 1);
  EXPECT_EQ(pin->CountIn(host::WavePciPin::MappingState::HandedOut), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmptyBuffer,
                         testing::Values(EmptyBufferCase{"PlaybackAloneAtStart", false, false},
                                         EmptyBufferCase{"PlaybackAfterDrain", false, true},
                                         EmptyBufferCase{"CaptureAloneAtStart", true, false},
                                         EmptyBufferCase{"CaptureAfterDrain", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wavetest
