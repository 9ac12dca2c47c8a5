// Playback through the SGD channel to the DAC: every admitted format and
// buffer-size class arrives bit-exact, mappings come back when (and only
// when) the block holding their last byte has played, and the stream
// survives running dry.
#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

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
  START_OR_SKIP(device);
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
  ASSERT_GE(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin())) << "the DAC did not get the bytes sent";
  EXPECT_EQ(device.Machine().GetCodec().Read(sim::ac97::kPcmFrontDacRate), c.vra ? c.format.rate : 48000u);
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, PlaybackFormats, testing::ValuesIn(AllPlaybackCases()), CaseName);

class Playback : public testing::Test {
 protected:
  void SetUp() override { START_OR_SKIP(device); }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
    }
  }

  WaveDevice device;
  const Format cd{48000, 2, 16};  // BlockSize 1920
};

TEST_F(Playback, MappingLongerThanABlockIsReleasedAtTheEventOfItsLastBlock) {
  host::WavePciPinOptions options;
  options.mappingBound = 8192;  // large pages: one 5000-byte mapping
  host::WavePciPin* pin = device.Open(kRenderPin, cd, nullptr, options);
  std::vector<std::size_t> dacAtRelease;
  pin->onRelease = [&](const host::WavePciPin::Mapping&) { dacAtRelease.push_back(device.Dac().size()); };
  pin->QueueBuffer(Pattern(5000, 1));
  pin->QueueBuffer(Pattern(5000, 2));
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return dacAtRelease.size() == 2; }));
  // Bytes 0-4999 end in block three (bytes 3840-5759): released when it has played, not before.
  EXPECT_GE(dacAtRelease[0], 3u * 1920);
  EXPECT_LT(dacAtRelease[0], 4u * 1920);
  // Bytes 5000-9999 end in block six (9600-11519).
  EXPECT_GE(dacAtRelease[1], 6u * 1920);
  EXPECT_LT(dacAtRelease[1], 7u * 1920);
}

TEST_F(Playback, MappingsEndingInOneBlockAreReleasedTogetherAndNoneOfTheNext) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  std::vector<std::pair<std::uint64_t, std::size_t>> releases;  // sequence, DAC bytes then
  pin->onRelease = [&](const host::WavePciPin::Mapping& m) { releases.push_back({m.sequence, device.Dac().size()}); };
  // 500-byte buffers: three end in block one (500, 1000, 1500), the fourth (2000) in block two.
  for (int i = 0; i < 12; i++) pin->QueueBuffer(Pattern(500, i));
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return releases.size() == 12; }));
  for (int i = 0; i < 12; i++) EXPECT_EQ(releases[i].first, static_cast<std::uint64_t>(i));
  EXPECT_EQ(releases[0].second, releases[2].second);
  EXPECT_GE(releases[0].second, 1920u);
  EXPECT_GT(releases[3].second, releases[2].second);
  EXPECT_GE(releases[3].second, 2u * 1920);
}

TEST_F(Playback, DataRunningOutMidBlockPlaysTheShortBlockAndResumesWhenDataComes) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  auto first = Pattern(3000, 7);  // one full block and 1080 bytes of the next
  pin->QueueBuffer(first);
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == 3000; }));
  device.RunFor(50 * kMillisecond);  // idle, starved
  EXPECT_EQ(device.Dac().size(), 3000u) << "the short block must play only the bytes it has";

  std::vector<std::uint8_t> sent = first;
  for (int i = 0; i < 20; i++) {
    auto more = Pattern(1234, 100 + i);
    pin->QueueBuffer(more);
    sent.insert(sent.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == sent.size(); }));
  ASSERT_GE(device.Dac().size(), sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, StartWithNoDataStartsTheChannelAndPlaysWhatComesLater) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  pin->SetState(KSSTATE_RUN);
  device.RunFor(5 * kMillisecond);
  // The start command went out: the channel ran through its empty entry.
  EXPECT_GE(device.PlaybackChannel().EntriesCompleted(), 1u);
  EXPECT_TRUE(device.Dac().empty());

  auto bytes = Pattern(10000, 3);
  pin->QueueBuffer(bytes);
  ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == bytes.size(); }));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), device.Dac().begin()));
}

TEST_F(Playback, ZeroLengthMappingsAreHandedBackInOrderAndNeverStall) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
  auto a = Pattern(2500, 1);
  auto b = Pattern(700, 2);
  pin->QueueBuffer(a);
  pin->QueueBuffer({});
  pin->QueueBuffer(b);
  pin->QueueBuffer({});  // the last thing the client sends
  pin->SetState(KSSTATE_RUN);
  ASSERT_TRUE(device.RunUntil([&] { return pin->CountIn(host::WavePciPin::MappingState::Released) == 4; }));
  std::vector<std::uint8_t> sent = a;
  sent.insert(sent.end(), b.begin(), b.end());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

TEST_F(Playback, AFrameworkThatQueuesFromInsideReleaseMappingLosesNothing) {
  host::WavePciPin* pin = device.Open(kRenderPin, cd);
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
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), device.Dac().begin()));
}

}  // namespace
}  // namespace wavetest
