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

}  // namespace
}  // namespace wavetest
