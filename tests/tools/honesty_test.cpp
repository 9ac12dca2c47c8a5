// The program says what happened: cut-short and oddly ordered WAV files,
// levels the mixer could not take as asked, late services and tiny buffers
// that are the client's business and not the driver's fault.
#include <regex>

#include "tools/tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST_F(ToolTest, ACutShortWavPlaysWhatIsThereAndSaysSo) {
  Wav in;
  in.data = NoiseBytes(284168, 31);
  std::vector<std::uint8_t> file = WavBytes(in);
  file.resize(44 + 142062);  // half the data and half a frame
  WriteFile(Path("cut.wav"), file);
  for (const char* input : {"cut.wav", "-"}) {
    stdin_ = input == std::string("-") ? "cut.wav" : "";
    const ToolRun run = Tool({"play", input, "--out", "dac.wav"});
    SCOPED_TRACE(input);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("its data chunk claims 284,168 bytes but 142,062 are present"));
    EXPECT_THAT(run.out, HasSubstr("bit-exact with the 142,060 bytes present"));
    const Wav dac = ReadWav(Path("dac.wav"));
    ASSERT_EQ(dac.data.size(), 142060u);
    EXPECT_TRUE(std::equal(dac.data.begin(), dac.data.end(), in.data.begin()));
  }
}

TEST_F(ToolTest, ChunksMayComeInAnyOrder) {
  Wav in;
  in.data = NoiseBytes(4 * 2400, 32);
  const std::vector<std::uint8_t> plain = WavBytes(in);
  // RIFF header, a LIST chunk, the data chunk, then the fmt chunk.
  std::vector<std::uint8_t> file(plain.begin(), plain.begin() + 12);
  const std::vector<std::uint8_t> list = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
  file.insert(file.end(), list.begin(), list.end());
  file.insert(file.end(), plain.begin() + 36, plain.end());       // data
  file.insert(file.end(), plain.begin() + 12, plain.begin() + 36);  // fmt
  Put32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
  WriteFile(Path("late.wav"), file);
  ToolRun run = Tool({"play", "late.wav", "--out", "dac.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("bit-exact with the input"));
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data);
  // A pipe cannot go back for the samples: a clear refusal, not a guess.
  stdin_ = "late.wav";
  run = Tool({"play", "-"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("standard input has its fmt chunk after the data chunk"));
}

struct LevelCase {
  std::string name;
  std::string control, value;
  std::string shown;  // what the program prints for the control afterwards
};

class MixerLevels : public ToolTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(MixerLevels, ASetPrintsTheLevelTheDriverReports) {
  const LevelCase& c = GetParam();
  const ToolRun run = Tool({"mixer", "set", c.control, c.value});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr(c.control + ": " + c.shown + "\n"));
  // The next process reads back what was reported.
  const ToolRun list = Tool({"mixer", "list"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(list.out, m, std::regex(c.control + " +volume +[^\n]*?([-+]?[0-9.]+ dB)\n"))) << list.out;
  EXPECT_EQ(c.shown.substr(0, c.shown.find(" dB") + 3), m[1].str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MixerLevels,
    ::testing::Values(LevelCase{"OnAStep", "Master Volume", "-12", "-12 dB"},
                      LevelCase{"BetweenSteps", "Wave Volume", "0.1", "0 dB (rounded to the 1.5 dB step)"},
                      LevelCase{"NearerTheUpperStep", "Master Volume", "-4", "-4.5 dB (rounded to the 1.5 dB step)"},
                      LevelCase{"BelowTheRange", "Master Volume", "-100", "-94.5 dB (clamped)"},
                      LevelCase{"AboveTheRange", "Wave Volume", "+12.5dB", "+12 dB (clamped)"}),
    [](const auto& info) { return info.param.name; });

struct LateCase {
  std::string latency;
  std::string bufferBytes;
};

class LateOrTiny : public ToolTest, public ::testing::WithParamInterface<LateCase> {};

// A late service or a tiny buffer costs gaps at the DAC, never data, and is
// no driver fault.
TEST_P(LateOrTiny, PlaysToTheEndBitExactly) {
  const LateCase& c = GetParam();
  Wav in;
  in.data = NoiseBytes(4 * 9600 + 8, 33);  // 200 ms and two frames
  WriteFile(Path("in.wav"), WavBytes(in));
  std::vector<std::string> args = {"play", "in.wav", "--out", "dac.wav"};
  if (!c.latency.empty()) args.insert(args.end(), {"--latency", c.latency});
  if (!c.bufferBytes.empty()) args.insert(args.end(), {"--buffer-bytes", c.bufferBytes});
  const ToolRun run = Tool(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("bit-exact with the input"));
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data);
  if (!c.latency.empty()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("underruns (\\d+)"))) << run.out;
    EXPECT_GT(std::stoi(m[1]), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LateOrTiny,
                         ::testing::Values(LateCase{"25", ""}, LateCase{"100", ""}, LateCase{"", "1"},
                                           LateCase{"", "4095"}),
                         [](const auto& info) {
                           return (info.param.latency.empty() ? "" : "Latency" + info.param.latency) +
                                  (info.param.bufferBytes.empty() ? "" : "Buffer" + info.param.bufferBytes);
                         });

TEST_F(ToolTest, AnAllocationNumberPastTheRunSaysItFailedNothing) {
  const ToolRun run = Tool({"topology", "--fail-allocation", "100000000"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("--fail-allocation 100000000 failed nothing: the run made only"));
}

TEST_F(ToolTest, VersionAndSeedSayWhatTheyAre) {
  const ToolRun version = Tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("zatac97 [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  // --seed changes what record's noise source produces.
  ASSERT_EQ(Tool({"record", "--out", "a.wav", "--seconds", "0.02", "--source", "noise", "--seed", "1"}).status, 0);
  ASSERT_EQ(Tool({"record", "--out", "b.wav", "--seconds", "0.02", "--source", "noise", "--seed", "2"}).status, 0);
  ASSERT_EQ(Tool({"record", "--out", "c.wav", "--seconds", "0.02", "--source", "noise", "--seed", "1"}).status, 0);
  EXPECT_FALSE(ReadWav(Path("a.wav")).data == ReadWav(Path("b.wav")).data);
  EXPECT_TRUE(ReadWav(Path("a.wav")).data == ReadWav(Path("c.wav")).data);
}

}  // namespace
}  // namespace tooltest
