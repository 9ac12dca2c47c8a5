// The program's streaming commands end to end: the default job, play and
// record, checked on the files they write.
#include <map>
#include <regex>
#include <sstream>

#include "tools/tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

TEST_F(ToolTest, DefaultJobPrintsTheInstallationAndALoopbackVerdict) {
  const ToolRun run = Tool({});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("MPUEnable TRUE, MPUStartPort 0x330, NewChip FALSE"));
  for (const char* subdevice : {"\"Topology\"", "\"Wave\"", "\"Uart\""}) EXPECT_THAT(run.out, HasSubstr(subdevice));
  EXPECT_THAT(run.out, HasSubstr("\"Topology\" pin 11 -> \"Wave\" pin 1"));
  EXPECT_THAT(run.out, HasSubstr("\"Wave\" pin 3 -> \"Topology\" pin 0"));
  // The Uart's sublist: interrupt, then the MPU-401 range at 0x330 on an older controller.
  EXPECT_THAT(run.out, HasSubstr("\"Uart\" on the MIDI port, resources: interrupt 5"));
  // The verdict comes last, after the installation.
  EXPECT_LT(run.out.find("Physical connections"), run.out.find("Loopback:"));
  EXPECT_THAT(run.out, HasSubstr("both bit-exact"));
}

TEST_F(ToolTest, DefaultJobFollowsTheMidiAndRevisionOptions) {
  const ToolRun off = Tool({"--midi", "off"});
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_THAT(off.out, HasSubstr("MPUEnable FALSE"));
  EXPECT_EQ(off.out.find("\"Uart\""), std::string::npos);

  const ToolRun newer = Tool({"--revision", "0x20", "--midi", "0x320"});
  ASSERT_EQ(newer.status, 0) << newer.err;
  EXPECT_THAT(newer.out, HasSubstr("MPUStartPort 0x320, NewChip TRUE"));
  EXPECT_THAT(newer.out, HasSubstr("\"Uart\""));
}

struct PlayCase {
  std::uint32_t rate;
  std::uint16_t bits, channels;
  std::string bufferBytes;  // empty: the program's default
  bool noVra;
};

class PlayFormats : public ToolTest, public ::testing::WithParamInterface<PlayCase> {};

TEST_P(PlayFormats, TheDacReceivesTheFileBitExactly) {
  const PlayCase& c = GetParam();
  Wav in;
  in.rate = c.rate;
  in.bits = c.bits;
  in.channels = c.channels;
  // A third of a second of noise and an odd tail, so partial blocks and buffers occur.
  const std::size_t frame = c.channels * c.bits / 8;
  in.data = NoiseBytes((c.rate / 3 + 37) * frame, c.rate + c.bits + c.channels);
  WriteFile(Path("in.wav"), WavBytes(in));
  std::vector<std::string> args = {"play", "in.wav", "--out", "dac.wav"};
  if (!c.bufferBytes.empty()) args.insert(args.end(), {"--buffer-bytes", c.bufferBytes});
  if (c.noVra) args.push_back("--no-vra");
  const ToolRun run = Tool(args);
  ASSERT_EQ(run.status, 0) << run.err;
  const Wav dac = ReadWav(Path("dac.wav"));
  EXPECT_EQ(dac.rate, c.rate);
  EXPECT_EQ(dac.bits, c.bits);
  EXPECT_EQ(dac.channels, c.channels);
  EXPECT_TRUE(dac.data == in.data) << "the DAC's bytes differ from the file (" << dac.data.size() << " vs "
                                    << in.data.size() << " bytes)";
  EXPECT_THAT(run.out, HasSubstr("bit-exact with the input"));
  EXPECT_THAT(run.out, HasSubstr("underruns 0"));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayFormats,
    ::testing::Values(PlayCase{48000, 16, 2, "", false}, PlayCase{44100, 16, 2, "1000", false},
                      PlayCase{22050, 8, 1, "333", false}, PlayCase{11025, 16, 1, "4096", false},
                      PlayCase{8000, 8, 2, "7", false}, PlayCase{48000, 8, 1, "65536", true},
                      PlayCase{48000, 16, 1, "3841", true}, PlayCase{48000, 16, 2, "1", false}),
    [](const auto& info) {
      const PlayCase& c = info.param;
      return std::to_string(c.rate) + "Hz_" + std::to_string(c.bits) + "bit_" + std::to_string(c.channels) + "ch_" +
             (c.bufferBytes.empty() ? std::string("default") : c.bufferBytes) + (c.noVra ? "_novra" : "");
    });

TEST_F(ToolTest, PlaySummaryCountsTheStreamsWork) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 10, 7);  // 100 ms at 48000 Hz 16-bit stereo
  WriteFile(Path("in.wav"), WavBytes(in));
  const ToolRun run = Tool({"play", "in.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.out, m, std::regex("interrupts (\\d+), service calls (\\d+)"))) << run.out;
  // Ten 10 ms blocks: about one interrupt and one service call each.
  EXPECT_GE(std::stoi(m[1]), 9);
  EXPECT_GE(std::stoi(m[2]), 9);
  EXPECT_THAT(run.out, HasSubstr("4800 frames"));
  EXPECT_THAT(run.out, HasSubstr("final position 19200 bytes"));
}

TEST_F(ToolTest, LateServiceShowsAsUnderrunsInTheSummary) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 5, 9);  // 200 ms
  WriteFile(Path("in.wav"), WavBytes(in));
  const ToolRun onTime = Tool({"play", "in.wav", "--latency", "2"});
  ASSERT_EQ(onTime.status, 0) << onTime.err;
  EXPECT_THAT(onTime.out, HasSubstr("underruns 0,"));
  // Blocks are 10 ms long: a service that comes 20 ms late lets the DAC run dry.
  const ToolRun late = Tool({"play", "in.wav", "--latency", "20", "--out", "dac.wav"});
  ASSERT_EQ(late.status, 0) << late.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(late.out, m, std::regex("underruns (\\d+) \\((\\d+) frames missed\\)"))) << late.out;
  EXPECT_GT(std::stoi(m[1]), 0);
  EXPECT_GT(std::stoi(m[2]), 0);
  // A late service delays the data; it loses none of it.
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data);
}

struct RecordCase {
  std::uint32_t rate;
  std::uint16_t bits, channels;
  std::string bufferBytes;
};

class RecordFormats : public ToolTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordFormats, ARecordingFromAWavSourceHoldsItsSamples) {
  const RecordCase& c = GetParam();
  Wav source;
  source.rate = c.rate;
  source.bits = c.bits;
  source.channels = c.channels;
  source.data = NoiseBytes((c.rate / 4 + 11) * c.channels * c.bits / 8, c.rate ^ 0x5A5A);
  WriteFile(Path("source.wav"), WavBytes(source));
  std::vector<std::string> args = {"record", "--out", "rec.wav", "--source", "source.wav"};
  if (!c.bufferBytes.empty()) args.insert(args.end(), {"--buffer-bytes", c.bufferBytes});
  const ToolRun run = Tool(args);
  ASSERT_EQ(run.status, 0) << run.err;
  const Wav rec = ReadWav(Path("rec.wav"));
  EXPECT_EQ(rec.rate, c.rate);
  EXPECT_EQ(rec.bits, c.bits);
  EXPECT_EQ(rec.channels, c.channels);
  EXPECT_TRUE(rec.data == source.data) << "recorded " << rec.data.size() << " bytes of " << source.data.size();
  EXPECT_THAT(run.out, HasSubstr("holds the source's samples bit-exactly"));
  EXPECT_THAT(run.out, HasSubstr("overruns 0,")) << "a bit-exact recording lost no input";
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordFormats,
                         ::testing::Values(RecordCase{48000, 16, 2, ""}, RecordCase{44100, 8, 1, "500"},
                                           RecordCase{8000, 16, 2, "8192"}),
                         [](const auto& info) {
                           const RecordCase& c = info.param;
                           return std::to_string(c.rate) + "Hz_" + std::to_string(c.bits) + "bit_" +
                                  std::to_string(c.channels) + "ch_" +
                                  (c.bufferBytes.empty() ? std::string("default") : c.bufferBytes);
                         });

TEST_F(ToolTest, RecordingATakesTheRequestedLengthAndFormat) {
  const ToolRun run = Tool({"record", "--out", "tone.wav", "--seconds", "0.25", "--rate", "22050", "--bits", "8",
                        "--channels", "1", "--source", "tone:440"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Wav rec = ReadWav(Path("tone.wav"));
  EXPECT_EQ(rec.rate, 22050u);
  EXPECT_EQ(rec.bits, 8);
  EXPECT_EQ(rec.channels, 1);
  ASSERT_EQ(rec.data.size(), 5513u);  // 0.25 s at 22050 Hz, rounded
  // A tone, not silence: 8-bit samples swing around 128.
  const auto [low, high] = std::minmax_element(rec.data.begin(), rec.data.end());
  EXPECT_LT(*low, 100);
  EXPECT_GT(*high, 156);
}

TEST_F(ToolTest, LineOutIsSilentWhenTheMasterIsMuted) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 20, 3);
  WriteFile(Path("in.wav"), WavBytes(in));
  auto peak = [&](const char* name) {
    const Wav line = ReadWav(Path(name));
    EXPECT_EQ(line.channels, 2);
    EXPECT_EQ(line.bits, 16);
    int most = 0;
    for (std::size_t i = 0; i + 1 < line.data.size(); i += 2)
      most = std::max(most, std::abs(static_cast<int>(static_cast<std::int16_t>(line.data[i] | line.data[i + 1] << 8))));
    return most;
  };
  ASSERT_EQ(Tool({"play", "in.wav", "--line-out", "audible.wav"}).status, 0);
  EXPECT_GT(peak("audible.wav"), 1000);

  ASSERT_EQ(Tool({"mixer", "set", "Master Mute", "on"}).status, 0);
  const ToolRun run = Tool({"play", "in.wav", "--line-out", "muted.wav", "--out", "dac.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(peak("muted.wav"), 0);
  EXPECT_THAT(run.out, HasSubstr("the line output is muted"));
  // Muting is analog: the DAC still received every byte.
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data);
}

TEST_F(ToolTest, TraceHasOneTimedLinePerAccess) {
  ASSERT_EQ(Tool({"record", "--out", "r.wav", "--seconds", "0.05", "--trace", "trace.txt"}).status, 0);
  const std::vector<std::uint8_t> bytes = ReadFile(Path("trace.txt"));
  std::istringstream lines(std::string(bytes.begin(), bytes.end()));
  const std::regex line("^ *(\\d+\\.\\d{3}) (\\S+) +.*$");
  std::string text;
  double last = 0;
  std::map<std::string, int> tags;
  while (std::getline(lines, text)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const double time = std::stod(m[1]);
    EXPECT_GE(time, last) << text;
    last = time;
    ++tags[m[2]];
  }
  for (const char* tag : {"io.r8", "io.w8", "cfg.r8", "codec.w", "irq", "sgd"}) EXPECT_GT(tags[tag], 0) << tag;
}

}  // namespace
}  // namespace tooltest
