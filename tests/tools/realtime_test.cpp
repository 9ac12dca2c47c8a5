// The program over a machine that runs in real time: what a listener hears
// through an underrun, input lost to a late capture service, the codec's
// registers as set, and a stream kept playing across D3.
#include <regex>

#include "tools/tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::int16_t> Samples(const Wav& wav) {
  std::vector<std::int16_t> out(wav.data.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::int16_t>(wav.data[2 * i] | wav.data[2 * i + 1] << 8);
  return out;
}

struct LineOutCase {
  const char* latency;
  bool gaps;  // the service comes after the other block has run out
};

class LineOut : public ToolTest, public ::testing::WithParamInterface<LineOutCase> {};

TEST_P(LineOut, IsAsLongAsTheRunAndHoldsSilenceWhereTheDacRanDry) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 5, 21);  // 200 ms
  WriteFile(Path("in.wav"), WavBytes(in));
  // Unity gain on the way out: the line output is the DAC's input.
  ASSERT_EQ(Tool({"mixer", "set", "Master Volume", "0"}).status, 0);
  ASSERT_EQ(Tool({"mixer", "set", "Wave Volume", "0"}).status, 0);
  const ToolRun run = Tool({"play", "in.wav", "--latency", GetParam().latency, "--line-out", "line.wav", "--out", "dac.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data) << "the DAC gets every byte, late or not";
  const std::vector<std::int16_t> line = Samples(ReadWav(Path("line.wav")));
  const std::vector<std::int16_t> input = Samples(in);
  std::smatch m;
  if (!GetParam().gaps) {
    EXPECT_EQ(line, input) << "on time, the line output is the input at unity gain";
    EXPECT_THAT(run.out, Not(HasSubstr("of silence")));
    return;
  }
  ASSERT_TRUE(std::regex_search(run.out, m, std::regex("played (\\d+) frames .* of silence"))) << run.out;
  const std::size_t silent = std::stoul(m[1]);
  ASSERT_TRUE(std::regex_search(run.out, m, std::regex("\\((\\d+) frames missed\\)"))) << run.out;
  EXPECT_EQ(std::stoul(m[1]), silent);
  EXPECT_EQ(line.size(), input.size() + 2 * silent) << "the run lasted the input plus its gaps";
  // Removing the silent stretches gives the input back, in order.
  std::vector<std::int16_t> heard;
  std::size_t zeros = 0;
  for (std::size_t i = 0; i + 1 < line.size(); i += 2) {
    const bool quiet = line[i] == 0 && line[i + 1] == 0;
    zeros += quiet;
    if (!quiet) heard.insert(heard.end(), {line[i], line[i + 1]});
  }
  EXPECT_GE(zeros, silent);
  std::vector<std::int16_t> loud;
  for (std::size_t i = 0; i + 1 < input.size(); i += 2)
    if (input[i] != 0 || input[i + 1] != 0) loud.insert(loud.end(), {input[i], input[i + 1]});
  EXPECT_EQ(heard, loud);
}

INSTANTIATE_TEST_SUITE_P(Latencies, LineOut,
                         ::testing::Values(LineOutCase{"0", false}, LineOutCase{"9", false}, LineOutCase{"15", true},
                                           LineOutCase{"25", true}));

struct CaptureCase {
  const char* latency;
  bool lossless;
};

class CaptureLatency : public ToolTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(CaptureLatency, ALateServiceLosesInputAndTheRecordingIsNotCalledBitExact) {
  Wav source;
  source.data = NoiseBytes(48000 * 4 / 4, 5);  // 250 ms
  WriteFile(Path("source.wav"), WavBytes(source));
  const ToolRun run =
      Tool({"record", "--source", "source.wav", "--out", "r.wav", "--latency", GetParam().latency, "--trace", "t.txt"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.out, m, std::regex("overruns (\\d+)"))) << run.out << run.err;
  if (GetParam().lossless) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(m[1], "0");
    EXPECT_THAT(run.out, HasSubstr("holds the source's samples bit-exactly"));
    EXPECT_TRUE(ReadWav(Path("r.wav")).data == source.data);
  } else {
    EXPECT_EQ(run.status, 3);
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_THAT(run.out, HasSubstr("NOT bit-exact"));
    EXPECT_THAT(run.out, Not(HasSubstr("bit-exactly")));
    const std::vector<std::uint8_t> trace = ReadFile(Path("t.txt"));
    EXPECT_THAT(std::string(trace.begin(), trace.end()), HasSubstr("rec overrun"));
  }
}

INSTANTIATE_TEST_SUITE_P(Latencies, CaptureLatency,
                         ::testing::Values(CaptureCase{"0", true}, CaptureCase{"10.3", true}, CaptureCase{"10.4", false},
                                           CaptureCase{"15", false}));

TEST_F(ToolTest, MixerSetWithRegistersShowsTheRegisterAsSetInTheSameRun) {
  const ToolRun run = Tool({"mixer", "set", "Master Volume", "-12", "--registers"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("0x02 Master Volume        0x0808"));
}

TEST_F(ToolTest, AStreamAcrossD3WaitsWithTheLinkAndResumesBitExact) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 5, 31);  // 200 ms: playing when D3 comes at 50 ms
  WriteFile(Path("in.wav"), WavBytes(in));
  const ToolRun run = Tool({"power", "d3,d0", "--play", "in.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("the DAC received 38400 bytes: bit-exact with the input"));
}

struct PowerPathCase {
  const char* sequence;
  const char* slow;           // "--slow-codec" or ""
  const char* expected;       // an access the way back must show
  bool restores;              // the stored mixer settings are written back
};

class PowerPath : public ToolTest, public ::testing::WithParamInterface<PowerPathCase> {};

TEST_P(PowerPath, TheWayBackFollowsWhatTheLinkReallyLost) {
  const PowerPathCase& c = GetParam();
  ASSERT_EQ(Tool({"mixer", "set", "Line Volume", "-6"}).status, 0);
  std::vector<std::string> args = {"power", c.sequence};
  if (*c.slow) args.push_back(c.slow);
  const ToolRun run = Tool(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr(c.expected)) << run.out;
  // The stored level, not the driver's default (0x8808), goes back into a codec that lost it.
  if (c.restores) EXPECT_THAT(run.out, HasSubstr("codec.w 0x10 <- 0x8C0C"));
  else EXPECT_THAT(run.out, Not(HasSubstr("codec.w 0x10")));
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, PowerPath,
    ::testing::Values(PowerPathCase{"d3,d0", "", "cfg.r8  0x40 -> 0x01", true},
                      PowerPathCase{"d3,d0", "--slow-codec", "cfg.r8  0x40 -> 0x00", true},  // waited for
                      PowerPathCase{"d2,d0", "", "cfg.w8  0x41 <- 0xEC", false},             // the warm pulse: bit 5 raised on the running byte
                      PowerPathCase{"d1,d0", "--slow-codec", "cfg.w8  0x41 <- 0xEC", false}));

}  // namespace
}  // namespace tooltest
