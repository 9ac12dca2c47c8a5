// The wave miniport and its streams as the framework sees them: formats and
// variable-rate detection, stream admission and lifetime, state sequences,
// positions, time and framing arithmetic, and revocation.
#include <cstring>

#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

using S = host::WavePciPin::MappingState;
constexpr ULONG kStreamTag = 0x774E6350;  // "PcNw"
constexpr ULONG kRecordTag = 0x206D6457;  // "Wdm "

CMiniportWavePciZATAC97* Miniport(WaveDevice& device) {
  return static_cast<CMiniportWavePciZATAC97*>(device.Miniport());
}

// ---- Formats --------------------------------------------------------------------------------

struct FormatCase {
  const char* name;
  bool vra;
  Format format;
  void (*edit)(KSDATAFORMAT_WAVEFORMATEX&);
  NTSTATUS expected;
};

void NoEdit(KSDATAFORMAT_WAVEFORMATEX&) {}

class StreamFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(StreamFormats, AreAdmittedOrRefusedWithNothingLeftBehind) {
  const FormatCase& c = GetParam();
  sim::MachineConfig config;
  config.codec.hasVra = c.vra;
  WaveDevice device(config);
  ASSERT_STARTED(device);
  KSDATAFORMAT_WAVEFORMATEX format = host::MakePcmFormat(c.format.rate, c.format.channels, c.format.bits);
  c.edit(format);
  NTSTATUS status;
  device.OpenRaw(kRenderPin, format, &status);
  EXPECT_EQ(status, c.expected);
  if (!NT_SUCCESS(c.expected)) {
    EXPECT_EQ(device.LiveBlocks(kStreamTag), 0u);
  }
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamFormats,
    testing::Values(
        FormatCase{"fixed_48k", false, {48000, 2, 16}, NoEdit, STATUS_SUCCESS},
        FormatCase{"fixed_44k", false, {44100, 2, 16}, NoEdit, STATUS_INVALID_PARAMETER},
        FormatCase{"vra_44k", true, {44100, 2, 16}, NoEdit, STATUS_SUCCESS},
        FormatCase{"vra_32k", true, {32000, 2, 16}, NoEdit, STATUS_INVALID_PARAMETER},
        FormatCase{"vra_8k_mono_8bit", true, {8000, 1, 8}, NoEdit, STATUS_SUCCESS},
        FormatCase{"24bit", true, {48000, 2, 24}, NoEdit, STATUS_INVALID_PARAMETER},
        FormatCase{"3_channels", true, {48000, 3, 16}, NoEdit, STATUS_INVALID_PARAMETER},
        FormatCase{"extensible_tag", true, {48000, 2, 16},
                   [](KSDATAFORMAT_WAVEFORMATEX& f) { f.WaveFormatEx.wFormatTag = 0xFFFE; }, STATUS_INVALID_PARAMETER},
        FormatCase{"size_81", true, {48000, 2, 16},
                   [](KSDATAFORMAT_WAVEFORMATEX& f) { f.DataFormat.FormatSize = 81; }, STATUS_INVALID_PARAMETER},
        FormatCase{"analog_subtype", true, {48000, 2, 16},
                   [](KSDATAFORMAT_WAVEFORMATEX& f) { f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG; },
                   STATUS_INVALID_PARAMETER},
        FormatCase{"odd_block_align_ignored", true, {48000, 2, 16},
                   [](KSDATAFORMAT_WAVEFORMATEX& f) { f.WaveFormatEx.nBlockAlign = 3; }, STATUS_SUCCESS}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

// Extended Audio ID decides variable-rate audio once, at Init.
struct VraCase {
  std::uint16_t extendedId;
  bool vra;
};

class VariableRateDetection : public testing::TestWithParam<VraCase> {};

TEST_P(VariableRateDetection, FollowsExtendedAudioId) {
  const VraCase& c = GetParam();
  sim::MachineConfig config;
  config.codec.hasVra = (c.extendedId & 1) != 0;
  config.codec.extendedIdExtraBits = static_cast<std::uint16_t>(c.extendedId & ~1u);
  WaveDevice device(config);
  ASSERT_STARTED(device);
  ASSERT_EQ(device.Machine().GetCodec().Peek(sim::ac97::kExtendedAudioId), c.extendedId);
  sim::Trace& trace = device.Machine().GetTrace();

  EXPECT_EQ((device.Machine().GetCodec().Peek(sim::ac97::kExtendedAudioStatus) & 1) != 0, c.vra);
  EXPECT_EQ((device.Machine().Pci().Peek(0x41) & 0x08) != 0, c.vra);
  if (!c.vra) {
    EXPECT_TRUE(trace.CodecWrites(sim::ac97::kExtendedAudioStatus).empty());
    for (const auto& write : trace.ConfigWrites(0x41)) EXPECT_EQ(write.value & 0x08, 0u);
  }
  // The filter offers exactly the rates the codec was set up for, on both streaming pins.
  PPCFILTER_DESCRIPTOR description = nullptr;
  ASSERT_EQ(device.Miniport()->GetDescription(&description), STATUS_SUCCESS);
  const std::vector<ULONG> rates = c.vra ? std::vector<ULONG>{48000, 44100, 22050, 11025, 8000}
                                         : std::vector<ULONG>{48000};
  for (ULONG p : {kCapturePin, kRenderPin}) {
    const KSPIN_DESCRIPTOR& ks = description->Pins[p].KsPinDescriptor;
    ASSERT_EQ(ks.DataRangesCount, rates.size()) << "pin " << p;
    EXPECT_EQ(ks.DataRanges[rates.size()], nullptr) << "pin " << p;
    for (std::size_t i = 0; i < rates.size(); i++) {
      const auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(ks.DataRanges[i]);
      EXPECT_EQ(range->MinimumSampleFrequency, rates[i]) << "pin " << p << " range " << i;
      EXPECT_EQ(range->MaximumSampleFrequency, rates[i]) << "pin " << p << " range " << i;
    }
  }
  NTSTATUS status;
  host::WavePciPin* pin = device.Open(kRenderPin, {44100, 2, 16}, &status);
  EXPECT_EQ(status, c.vra ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
  if (pin) device.Close(pin);
  device.Open(kRenderPin, kCd, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(trace.CodecWrites(sim::ac97::kPcmFrontDacRate).empty(), !c.vra);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(Table, VariableRateDetection,
                         testing::Values(VraCase{0x0001, true}, VraCase{0x0041, false}, VraCase{0x0081, false},
                                         VraCase{0x0000, false}, VraCase{0xFFFF, false}),
                         [](const testing::TestParamInfo<VraCase>& info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "id_%04X", info.param.extendedId);
                           return std::string(name);
                         });

// ---- Admission and lifetime -------------------------------------------------------------------

class Streams : public testing::Test {
 protected:
  void SetUp() override { ASSERT_STARTED(device); }
  void TearDown() override { EXPECT_TRUE(device.violations.empty()) << Joined(device.violations); }

  // Sends `count` buffers of `bytes` each; returns all their bytes in order.
  std::vector<std::uint8_t> Send(host::WavePciPin* pin, int count, ULONG bytes) {
    std::vector<std::uint8_t> all;
    for (int i = 0; i < count; i++) {
      auto part = Pattern(bytes, 1000 + i);
      pin->QueueBuffer(part);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }
  ULONGLONG Position(host::WavePciPin* pin) {
    ULONGLONG position = ~0ull;
    pin->Stream()->GetPosition(&position);
    return position;
  }
  KSALLOCATOR_FRAMING Framing(host::WavePciPin* pin) {
    KSALLOCATOR_FRAMING framing{};
    pin->Stream()->GetAllocatorFraming(&framing);
    return framing;
  }

  WaveDevice device;
};

TEST_F(Streams, EachPinTakesOneStreamOnItsOwnChannelAndReopensAfterClose) {
  NTSTATUS status;
  host::WavePciPin* render = device.Open(kRenderPin, kCd, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  host::WavePciPin* capture = device.Open(kCapturePin, kCd, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  CMiniportWavePciZATAC97* miniport = Miniport(device);
  EXPECT_EQ(render->DmaChannel(), miniport->PlaybackDmaChannel);
  EXPECT_EQ(render->ServiceGroup(), miniport->ServiceGroups[0]);
  EXPECT_EQ(capture->DmaChannel(), miniport->CaptureDmaChannel);
  EXPECT_EQ(capture->ServiceGroup(), miniport->ServiceGroups[1]);

  device.Open(kRenderPin, kCd, &status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  for (ULONG bridge : {1u, 3u}) {
    device.Open(bridge, kCd, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "pin " << bridge;
  }
  device.Close(render);
  EXPECT_EQ(miniport->ServiceGroups[0], nullptr);
  device.Open(kRenderPin, kCd, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

// Every allocation of an open, failed in turn: the open fails cleanly (or,
// for the framework's own optional ones, succeeds) and leaves nothing behind,
// whether the pin aggregates the stream or not.
class StreamLifetime : public Streams, public testing::WithParamInterface<bool> {};

TEST_P(StreamLifetime, AFailedOpenOrACloseLeavesNothingBehind) {
  host::WavePciPinOptions options;
  options.aggregate = GetParam();
  host::Pool& pool = device.Kernel().GetPool();
  const std::uint64_t before = pool.Attempts();
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  const std::uint64_t attempts = pool.Attempts() - before;
  device.Close(pin);
  EXPECT_EQ(device.LiveBlocks(kStreamTag) + device.LiveBlocks(kRecordTag), 0u);
  ASSERT_GT(attempts, 3u);

  for (std::uint64_t n = 1; n <= attempts; n++) {
    pool.FailNth(n);
    NTSTATUS status;
    pin = device.Open(kRenderPin, kCd, &status, options);
    pool.ClearFaults();
    if (pin) {
      device.Close(pin);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    }
    EXPECT_EQ(device.LiveBlocks(kStreamTag) + device.LiveBlocks(kRecordTag), 0u) << "allocation " << n;
    EXPECT_EQ(Miniport(device)->Streams[0], nullptr) << "allocation " << n;
    EXPECT_EQ(Miniport(device)->ServiceGroups[0], nullptr) << "allocation " << n;
  }
  pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  auto sent = Send(pin, 4, 3000);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// The framework calls the stream through NewStream's out-parameter, whether
// or not it aggregates the stream: it must be the IMiniportWavePciStream.
TEST_P(StreamLifetime, TheOutParameterIsTheStreamItself) {
  host::WavePciPinOptions options;
  options.aggregate = GetParam();
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  ASSERT_NE(pin, nullptr);
  PMINIPORTWAVEPCISTREAM stream = pin->Stream();
  auto mono = host::MakePcmFormat(48000, 1, 16);
  EXPECT_EQ(stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(&mono)), STATUS_SUCCESS);
  auto sent = Send(pin, 3, 2000);
  EXPECT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ULONGLONG position = 0;
  EXPECT_EQ(stream->GetPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, sent.size());
  EXPECT_EQ(device.PlaybackChannel().Format().channels, 1);
  EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(stream->GetPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, 0u);
}

// COM's rule for every object the driver hands out: an interface it does not
// have is refused, and the out-parameter is cleared, not left as it was.
TEST_F(Streams, AnInterfaceAnObjectDoesNotHaveIsRefusedWithANullOutParameter) {
  // {5A7C0D3E-1B2F-4E6A-9C8D-7F6E5D4C3B2A}: nobody's interface
  static const GUID kNobodys = {0x5A7C0D3E, 0x1B2F, 0x4E6A, {0x9C, 0x8D, 0x7F, 0x6E, 0x5D, 0x4C, 0x3B, 0x2A}};
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  ASSERT_NE(pin, nullptr);
  auto topology = device.Harness().Subdevice(L"Topology");
  ASSERT_TRUE(topology);
  const std::pair<const char*, PUNKNOWN> objects[] = {
      {"adapter", device.Adapter()},
      {"wave miniport", device.Miniport()},
      {"stream", pin->Stream()},
      {"topology miniport", topology->miniport},
  };
  for (const auto& [name, object] : objects) {
    PVOID out = &out;
    EXPECT_FALSE(NT_SUCCESS(object->QueryInterface(kNobodys, &out))) << name;
    EXPECT_EQ(out, nullptr) << name;
  }
}

// Joining the service group is the last allocation of an open: when it fails
// the open fails with it and leaves nothing behind, and the pin opens later.
TEST_F(Streams, AFailedServiceGroupJoinFailsTheOpen) {
  host::Pool& pool = device.Kernel().GetPool();
  const std::uint64_t before = pool.Attempts();
  device.Close(device.Open(kRenderPin, kCd));
  const std::uint64_t attempts = pool.Attempts() - before;
  pool.FailNth(attempts);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(device.Open(kRenderPin, kCd, &status), nullptr);
  pool.ClearFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device.LiveBlocks(kStreamTag) + device.LiveBlocks(kRecordTag), 0u);
  EXPECT_EQ(Miniport(device)->Streams[0], nullptr);
  EXPECT_EQ(Miniport(device)->ServiceGroups[0], nullptr);
  EXPECT_NE(device.Open(kRenderPin, kCd, &status), nullptr);
}

INSTANTIATE_TEST_SUITE_P(OuterUnknown, StreamLifetime, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "aggregated" : "standalone");
                         });

// ---- States ---------------------------------------------------------------------------------------

// A paused stream keeps its place: the mappings that played in full go
// back, the position is the bytes played, and the next run goes on from the
// first byte that did not play, wherever the pause fell in a block.
// The service may come late: then the events of both armed blocks can be
// waiting when the pause comes, and both blocks played.
struct PauseCase {
  sim::Ticks at;
  sim::Ticks serviceLatency;
};

class PauseAndRun : public Streams, public testing::WithParamInterface<PauseCase> {};

TEST_P(PauseAndRun, GoesOnFromTheFirstByteThatDidNotPlay) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto sent = Send(pin, 30, 1000);
  device.Kernel().SetServiceLatency(GetParam().serviceLatency);
  pin->SetState(KSSTATE_RUN);
  device.RunFor(GetParam().at);
  pin->SetState(KSSTATE_PAUSE);
  device.Kernel().SetServiceLatency(0);
  const std::size_t played = device.Dac().size();
  ASSERT_GT(played, 0u);

  // Released: a prefix of the mappings, every one of them played; kept: the rest.
  std::size_t released = 0;
  for (const auto& m : pin->Mappings()) {
    if (m.state == S::Released) {
      EXPECT_EQ(m.sequence, released) << "a mapping was handed back out of order";
      released++;
    }
  }
  EXPECT_LE(pin->BytesReleased(), played) << "a mapping that did not play in full was handed back";
  EXPECT_GT(pin->BytesReleased() + 1000, played) << "a mapping that played in full was kept";
  EXPECT_GT(pin->CountIn(S::HandedOut), 0u);
  EXPECT_EQ(Position(pin), played);
  device.RunFor(20 * kMillisecond);
  EXPECT_EQ(device.Dac().size(), played) << "the paused stream played on";

  const std::uint64_t gaps = device.PlaybackChannel().GetUnderruns().episodes;
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::Released) == pin->Mappings().size(); }));
  ASSERT_EQ(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
  EXPECT_EQ(Position(pin), sent.size());
  // The run after the pause plays on without a gap; the channel runs dry once, at the end of the data.
  EXPECT_EQ(device.PlaybackChannel().GetUnderruns().episodes, gaps + 1);
}

// At once (nothing played yet beyond the start), inside the first block,
// at a block's end, inside the second block; and after both blocks played
// with neither event serviced yet.
INSTANTIATE_TEST_SUITE_P(At, PauseAndRun,
                         testing::Values(PauseCase{kMillisecond / 10, 0}, PauseCase{5 * kMillisecond, 0},
                                         PauseCase{10 * kMillisecond, 0}, PauseCase{15 * kMillisecond, 0},
                                         PauseCase{27 * kMillisecond, 0},
                                         PauseCase{25 * kMillisecond, 18 * kMillisecond}));

TEST_F(Streams, AcquireHandsBackUnstartedMappingsStopZeroesThePositionAndARunAfterPlaysOn) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto sent = Send(pin, 30, 1000);
  pin->SetState(KSSTATE_RUN);
  device.RunFor(15 * kMillisecond);
  pin->SetState(KSSTATE_PAUSE);
  const std::size_t played = device.Dac().size();
  const ULONGLONG paused = Position(pin);
  pin->SetState(KSSTATE_ACQUIRE);
  EXPECT_EQ(pin->CountIn(S::HandedOut), 0u);
  EXPECT_EQ(Position(pin), paused);
  pin->SetState(KSSTATE_STOP);
  EXPECT_EQ(Position(pin), 0u);

  // What the stream never pulled plays on a new run, from a position of 0.
  const std::size_t next = pin->BytesReleased();
  ASSERT_LT(next, sent.size());
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::Released) == pin->Mappings().size(); }));
  std::vector<std::uint8_t> expected(sent.begin(), sent.begin() + played);
  expected.insert(expected.end(), sent.begin() + next, sent.end());
  ASSERT_EQ(device.Dac().size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), device.Dac().begin()));
  EXPECT_EQ(Position(pin), sent.size() - next);
}

// One SetState call that spans several states walks every state between,
// as the framework's one-step calls would: the same sound, the same end.
TEST_F(Streams, ASetStateAcrossSeveralStatesWalksEveryStateBetween) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  auto sent = Send(pin, 30, 1000);
  ASSERT_EQ(pin->Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);  // stop to run in one call
  ASSERT_TRUE(device.RunUntil([&] { return device.Dac().size() >= 3 * kCdBlock; }));
  EXPECT_TRUE(std::equal(device.Dac().begin(), device.Dac().end(), sent.begin()));
  ASSERT_EQ(pin->Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);  // run to stop in one call
  EXPECT_EQ(pin->CountIn(S::HandedOut), 0u) << "acquire handed back what was pulled";
  EXPECT_EQ(Position(pin), 0u) << "stop zeroes the position";
  const std::size_t played = device.Dac().size();
  device.RunFor(30 * kMillisecond);
  EXPECT_FALSE(device.PlaybackChannel().Active());
  EXPECT_EQ(device.Dac().size(), played) << "nothing plays after the stop";
}

TEST_F(Streams, NoMappingIsPulledOutsideTheRunStateOrByARepeatedState) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  pin->SetState(KSSTATE_PAUSE);
  Send(pin, 3, 1000);  // MappingAvailable while paused
  EXPECT_EQ(pin->CountIn(S::HandedOut), 0u);
  EXPECT_EQ(pin->Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(pin->CountIn(S::HandedOut), 0u);
  pin->SetState(KSSTATE_RUN);
  const std::size_t out = pin->CountIn(S::HandedOut);
  EXPECT_EQ(out, 3u);
  Send(pin, 3, 1000);
  const std::size_t pulled = pin->CountIn(S::HandedOut);
  EXPECT_EQ(pin->Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(pin->CountIn(S::HandedOut), pulled);
}

TEST_F(Streams, FormatChangesAreRefusedWhileRunningAndTakeEffectAtOnceWhenPaused) {
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  KSDATAFORMAT_WAVEFORMATEX same = host::MakePcmFormat(48000, 2, 16);
  KSDATAFORMAT_WAVEFORMATEX other = host::MakePcmFormat(22050, 1, 8);
  pin->SetState(KSSTATE_RUN);
  EXPECT_EQ(pin->Stream()->SetFormat(reinterpret_cast<PKSDATAFORMAT>(&same)), STATUS_INVALID_DEVICE_REQUEST);
  pin->SetState(KSSTATE_PAUSE);
  EXPECT_EQ(pin->Stream()->SetFormat(reinterpret_cast<PKSDATAFORMAT>(&other)), STATUS_SUCCESS);
  EXPECT_EQ(Framing(pin).FrameSize, 220u);

  auto sent = Send(pin, 5, 333);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  EXPECT_EQ(device.PlaybackChannel().Format(), (sim::PcmFormat{22050, 1, 8}));
  EXPECT_EQ(device.Machine().GetTrace().CodecWrites(sim::ac97::kPcmFrontDacRate).back().value, 22050u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

// ---- Positions ------------------------------------------------------------------------------------

struct PositionCase {
  bool capture;
  sim::Ticks latency;
};

class StreamPositions : public Streams, public testing::WithParamInterface<PositionCase> {};

// Sampled every half millisecond: never backwards while running. Playback is
// never more than one block from the bytes the converter has actually moved.
// Capture never runs ahead of the bytes in the client's buffers, is a whole
// number of frames, and lags the converter by at most a block and the
// service latency.
TEST_P(StreamPositions, AreMonotonicAndWithinOneBlockOfTheConverter) {
  const PositionCase& c = GetParam();
  device.Kernel().SetServiceLatency(c.latency);
  host::WavePciPin* pin = device.Open(c.capture ? kCapturePin : kRenderPin, kCd);
  sim::SgdChannel& channel = c.capture ? device.CaptureChannel() : device.PlaybackChannel();
  const std::size_t total = 192000;
  for (std::size_t queued = 0; queued < total; queued += 1000) {
    if (c.capture) pin->QueueCaptureBuffer(1000);
    else pin->QueueBuffer(Pattern(1000, static_cast<std::uint32_t>(queued)));
  }
  pin->SetState(KSSTATE_RUN);
  ULONGLONG previous = 0;
  int samples = 0;
  while (pin->BytesReleased() < total && samples < 4000) {
    device.RunFor(kMillisecond / 2);
    const ULONGLONG position = Position(pin);  // syncs the channel: its count is read
    const auto moved = static_cast<long long>(channel.BytesTransferred());
    ASSERT_GE(position, previous) << "backwards at sample " << samples;
    if (c.capture) {
      ASSERT_EQ(position % kCd.FrameBytes(), 0u) << "sample " << samples << ": position " << position;
      // Delivered bytes: those of released buffers, and less than one more buffer being filled.
      ASSERT_LT(position, pin->BytesReleased() + 1000) << "sample " << samples << ": ahead of the delivered bytes";
      const long long latencyBytes = static_cast<long long>(c.latency * 192000 / sim::kTicksPerSecond);
      ASSERT_LE(moved - static_cast<long long>(position), static_cast<long long>(kCdBlock) + latencyBytes)
          << "sample " << samples << ": position " << position << ", converter " << moved;
    } else {
      ASSERT_LE(std::llabs(static_cast<long long>(position) - moved), static_cast<long long>(kCdBlock))
          << "sample " << samples << ": position " << position << ", converter " << moved;
    }
    previous = position;
    samples++;
  }
  EXPECT_EQ(pin->BytesReleased(), total);
}

INSTANTIATE_TEST_SUITE_P(Table, StreamPositions,
                         testing::Values(PositionCase{false, 0}, PositionCase{false, 6 * kMillisecond},
                                         PositionCase{true, 0}, PositionCase{true, 6 * kMillisecond}),
                         [](const testing::TestParamInfo<PositionCase>& info) {
                           return std::string(info.param.capture ? "capture" : "playback") + "_latency_" +
                                  std::to_string(info.param.latency / kMillisecond) + "ms";
                         });

// Worked examples of the format arithmetic: framing and bytes to time.
struct ArithmeticCase {
  Format format;
  ULONG frameSize;
  LONGLONG bytes;
  LONGLONG time;  // 100-ns units
};

class FormatArithmetic : public testing::TestWithParam<ArithmeticCase> {};

TEST_P(FormatArithmetic, FramingAndTimeOfAPosition) {
  const ArithmeticCase& c = GetParam();
  WaveDevice device;
  ASSERT_STARTED(device);
  host::WavePciPin* pin = device.Open(kRenderPin, c.format);
  ASSERT_NE(pin, nullptr);
  KSALLOCATOR_FRAMING framing;
  std::memset(&framing, 0x5A, sizeof framing);  // every field but Reserved is the stream's to write
  pin->Stream()->GetAllocatorFraming(&framing);
  EXPECT_EQ(framing.FrameSize, c.frameSize);
  EXPECT_EQ(framing.Frames, 2u);
  EXPECT_EQ(framing.RequirementsFlags, 0x80000002u);
  EXPECT_EQ(framing.PoolType, static_cast<ULONG>(NonPagedPool));
  EXPECT_EQ(framing.FileAlignment, 3u);
  EXPECT_EQ(framing.Reserved, 0x5A5A5A5Au);
  LONGLONG position = c.bytes;
  EXPECT_EQ(pin->Stream()->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, c.time);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatArithmetic,
    testing::Values(ArithmeticCase{{48000, 1, 8}, 480, 48000, 10000000},
                    ArithmeticCase{{48000, 2, 16}, 1920, 192000, 10000000},
                    ArithmeticCase{{44100, 2, 16}, 1764, 176400, 10000000},
                    ArithmeticCase{{22050, 1, 8}, 220, 22050, 10000000},
                    ArithmeticCase{{22050, 2, 8}, 440, 1, 226},
                    ArithmeticCase{{11025, 1, 16}, 220, 0, 0},
                    ArithmeticCase{{8000, 1, 8}, 80, 1, 1250},
                    // A day and a half of stream: no overflow in the product.
                    ArithmeticCase{{48000, 2, 16}, 1920, 1LL << 40, 57266230613333LL}),
    [](const testing::TestParamInfo<ArithmeticCase>& info) {
      return info.param.format.Name() + "_" + std::to_string(info.index);
    });

// ---- Revocation ---------------------------------------------------------------------------------

// Forty 500-byte mappings; right after the run transition the stream holds
// #0-#6 copied into the blocks, #7 with 340 of its bytes copied, #8-#15
// queued, and the rest has not been handed out.
struct RevokeCase {
  const char* name;
  std::uint64_t first, last;
  NTSTATUS status;
  ULONG count;
};

class Revocation : public Streams, public testing::WithParamInterface<RevokeCase> {};

TEST_P(Revocation, TakesBackExactlyTheRangeAndPlaysEverythingElse) {
  const RevokeCase& c = GetParam();
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;  // page-aligned: one mapping per buffer, as the table counts them
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  auto sent = Send(pin, 40, 500);
  pin->SetState(KSSTATE_RUN);
  ASSERT_EQ(pin->CountIn(S::HandedOut), 16u);

  ULONG count = 99;
  EXPECT_EQ(pin->Revoke(c.first, c.last, &count), c.status);
  EXPECT_EQ(count, c.count);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::HandedOut) + pin->CountIn(S::Waiting) == 0; }));
  device.RunFor(30 * kMillisecond);

  // A revoked mapping plays only what was in a block before the revocation.
  std::vector<std::uint8_t> expected;
  for (const auto& m : pin->Mappings()) {
    const std::size_t start = m.sequence * 500;
    const std::size_t end = m.state == S::Revoked ? std::clamp<std::size_t>(2 * kCdBlock, start, start + 500)
                                                  : start + 500;
    expected.insert(expected.end(), sent.begin() + start, sent.begin() + end);
  }
  EXPECT_EQ(pin->CountIn(S::Revoked), NT_SUCCESS(c.status) ? c.last - c.first + 1 : 0);
  ASSERT_EQ(device.Dac().size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), device.Dac().begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Revocation,
    testing::Values(RevokeCase{"both_tags_unknown", 30, 31, STATUS_UNSUCCESSFUL, 0},
                    RevokeCase{"first_queued_last_unknown", 9, 30, STATUS_UNSUCCESSFUL, 0},
                    RevokeCase{"first_current_last_unknown", 7, 30, STATUS_UNSUCCESSFUL, 0},
                    RevokeCase{"range_in_the_queue", 9, 11, STATUS_SUCCESS, 3},
                    RevokeCase{"first_is_the_current_mapping", 7, 10, STATUS_SUCCESS, 4},
                    RevokeCase{"current_mapping_alone", 7, 7, STATUS_SUCCESS, 1},
                    RevokeCase{"first_copied_last_queued", 3, 12, STATUS_SUCCESS, 10},
                    RevokeCase{"first_copied_last_current", 3, 7, STATUS_SUCCESS, 5},
                    RevokeCase{"copied_mappings_only", 1, 2, STATUS_SUCCESS, 2}),
    [](const testing::TestParamInfo<RevokeCase>& info) { return std::string(info.param.name); });

// #9 revoked first leaves a hole: a range named from #9 says nothing about
// where it starts, and #8 and older are still out with the framework.
TEST_F(Streams, ARangeWhoseFirstMappingIsGoneIsRefusedWhole) {
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  Send(pin, 40, 500);
  pin->SetState(KSSTATE_RUN);
  ULONG count = 99;
  ASSERT_EQ(pin->Revoke(9, 9, &count), STATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(pin->Revoke(9, 11, &count), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(S::HandedOut) + pin->CountIn(S::Waiting) == 0; }));
  EXPECT_EQ(pin->CountIn(S::Revoked), 1u);
  EXPECT_EQ(pin->CountIn(S::Released), 39u);
}

// The buffers start 100 bytes before a page boundary: two mappings each. The
// framework cancels the second buffer the moment its first or its second
// mapping is handed out; with the second, the range runs from a queued
// mapping to the one being pulled.
class CancelWhilePulling : public Streams, public testing::WithParamInterface<int> {};

TEST_P(CancelWhilePulling, ABufferCancelledWhileItsMappingIsBeingPulledIsNeverUsedOrReleased) {
  host::WavePciPinOptions options;
  options.firstPageOffset = PAGE_SIZE - 100;
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  auto keep = Pattern(4000, 1);
  pin->QueueBuffer(keep);
  host::WavePciPin::BufferId doomed = 0;
  bool cancelled = false;
  int handedOut = 0;
  ULONG revoked = 0, expected = 0;
  pin->onHandOut = [&](const host::WavePciPin::Mapping& m) {
    if (m.buffer == doomed && !cancelled && handedOut++ == GetParam()) {
      cancelled = true;
      pin->CancelBuffer(doomed, &revoked, &expected);
    }
  };
  doomed = pin->QueueBuffer(Pattern(3000, 2));
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == keep.size(); }));
  device.RunFor(30 * kMillisecond);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(expected, GetParam() + 1u);
  EXPECT_EQ(revoked, expected);
  ASSERT_EQ(device.Dac().size(), keep.size()) << "a revoked mapping's bytes were played";
  EXPECT_TRUE(std::equal(keep.begin(), keep.end(), device.Dac().begin()));
}

INSTANTIATE_TEST_SUITE_P(, CancelWhilePulling, testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "at_its_second_mapping" : "at_its_first_mapping"; });

// A run after a pause arms its first block before it starts the channel, and
// drops the lock for each mapping it pulls on the way: a position asked for
// then (here from inside GetMapping) is where the pause left off, not a sum
// with the stopped channel's count, which the run would hold on to. The small
// buffers use up the record reserve, and the one pool record the run asks for
// first is refused, so the block's fill is what pulls the next mapping.
TEST_F(Streams, APositionAskedForWhileARunArmsItsFirstBlockIsWhereThePauseLeftOff) {
  host::WavePciPinOptions options;
  options.firstPageOffset = 0;  // one mapping per buffer
  host::WavePciPin* pin = device.Open(kRenderPin, kCd, nullptr, options);
  for (int i = 0; i < 12; i++) pin->QueueBuffer(Pattern(100, i));
  pin->SetState(KSSTATE_RUN);
  device.RunFor(2 * kMillisecond);
  pin->SetState(KSSTATE_PAUSE);
  const ULONGLONG paused = Position(pin);
  ASSERT_GT(paused, 0u);
  ASSERT_LT(paused, 1200u) << "the pause must leave mappings to play";
  Send(pin, 4, 1000);
  std::vector<std::uint64_t> seen;
  pin->onHandOut = [&](const host::WavePciPin::Mapping&) { seen.push_back(Position(pin)); };
  device.Kernel().GetPool().FailNth(1);
  pin->SetState(KSSTATE_RUN);
  pin->onHandOut = nullptr;
  ASSERT_FALSE(seen.empty()) << "no mapping was pulled while the run armed its blocks";
  for (std::uint64_t p : seen) EXPECT_EQ(p, paused);
  device.RunFor(20 * kMillisecond);
  const ULONGLONG later = Position(pin);
  EXPECT_GT(later, paused);
  EXPECT_LE(later, 1200u + 4000u);
}

}  // namespace
}  // namespace wavetest

namespace wavetest {
namespace {

// A channel that does not stop within half a second: the pause says so
// (status and marker 0x97) and the next start terminates it again and starts
// afresh, or, if it never stops, fails and leaves the stream paused.
struct StuckStopCase {
  const char* name;
  sim::Ticks terminateTicks;
  bool neverStops;
};

class StuckChannel : public testing::TestWithParam<StuckStopCase> {};

TEST_P(StuckChannel, PauseReportsItAndTheNextStartRecoversOrSaysWhy) {
  const StuckStopCase& c = GetParam();
  sim::MachineConfig config;
  config.controller.terminateTicks = c.terminateTicks;
  config.controller.channelNeverStops = c.neverStops;
  WaveDevice device(config);
  ASSERT_STARTED(device);
  host::WavePciPin* pin = device.Open(kRenderPin, kCd);
  pin->QueueBuffer(Pattern(20 * kCdBlock, 1));
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  device.RunFor(15 * kMillisecond);

  // The half second of waiting is spent at passive level: a processor held at
  // dispatch level (MappingLock taken) would block GetPosition and RevokeMappings.
  bool pausing = false;
  sim::Ticks last = device.Machine().GetClock().Now(), raised = 0;
  device.Machine().GetClock().AddAdvanceListener([&](sim::Ticks now) {
    if (pausing && device.Kernel().Irql() >= DISPATCH_LEVEL) raised += now - last;
    last = now;
  });
  pausing = true;
  EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_IO_DEVICE_ERROR);
  pausing = false;
  EXPECT_LT(raised, kMillisecond) << "time spent at dispatch level or above while the pause waited";
  EXPECT_EQ(device.MarkersOn(0x91), std::vector<std::uint8_t>{0x97});
  ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS) << "the stream is paused all the same";
  // What reached the blocks may still be playing and goes back; the rest of the buffer is kept.
  EXPECT_EQ(pin->CountIn(host::WavePciPin::MappingState::HandedOut), 1u);

  const std::size_t dacBefore = device.Dac().size();
  auto second = Pattern(3 * kCdBlock, 2);
  pin->QueueBuffer(second);
  if (c.neverStops) {
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(device.MarkersOn(0x91), (std::vector<std::uint8_t>{0x97, 0x97}));
    device.RunFor(50 * kMillisecond);
    EXPECT_EQ(device.Dac().size(), dacBefore) << "nothing plays on a channel that never stopped";
  } else {
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(host::WavePciPin::MappingState::Waiting) == 0 &&
                                             pin->CountIn(host::WavePciPin::MappingState::HandedOut) == 0; }));
    const std::vector<std::uint8_t> played(device.Dac().end() - static_cast<long>(second.size()), device.Dac().end());
    EXPECT_TRUE(played == second) << "the restarted stream plays the new data";
    EXPECT_EQ(device.MarkersOn(0x91), std::vector<std::uint8_t>{0x97});
  }
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(Cases, StuckChannel,
                         testing::Values(StuckStopCase{"StopsLate", 800 * kMillisecond, false},
                                         StuckStopCase{"NeverStops", 2 * sim::kTicksPerMicrosecond, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wavetest

