// The mixer and topology commands end to end: settings survive into the
// next process through the .reg file, and the topology picture is valid
// Graphviz input.
#include <cstdlib>
#include <regex>
#include <sstream>

#include "tools/tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

// The list's line for a control, by its name.
std::string ControlLine(const std::string& list, const std::string& name) {
  std::istringstream lines(list);
  std::string line;
  while (std::getline(lines, line))
    if (line.find("  " + name + "  ") != std::string::npos) return line;
  ADD_FAILURE() << "no control " << name << " in\n" << list;
  return "";
}

std::string RegisterValue(const std::string& list, const std::string& reg) {
  std::smatch m;
  if (std::regex_search(list, m, std::regex("  " + reg + " [A-Za-z0-9 ]+ (0x[0-9A-F]{4})"))) return m[1];
  ADD_FAILURE() << "no codec register " << reg << " in\n" << list;
  return "";
}

TEST_F(ToolTest, MixerListShowsEveryControlWithRangeAndValue) {
  const ToolRun run = Tool({"mixer", "list"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(ControlLine(run.out, "Master Volume"), HasSubstr("-94.5 dB to 0 dB, step 1.5 dB"));
  EXPECT_THAT(ControlLine(run.out, "Master Mute"), HasSubstr("on/off"));
  EXPECT_THAT(ControlLine(run.out, "Recording Source"),
              HasSubstr("Microphone|CD Audio|Video|Aux|Line In|Stereo Mix  Microphone"));
  EXPECT_THAT(ControlLine(run.out, "Microphone Volume"), HasSubstr(" 1  "));  // mono
  EXPECT_THAT(ControlLine(run.out, "Wave Volume"), HasSubstr(" 2  "));        // stereo
  EXPECT_THAT(run.out, HasSubstr("3D Depth Level"));
  const ToolRun no3d = Tool({"mixer", "list", "--no-3d"});
  ASSERT_EQ(no3d.status, 0) << no3d.err;
  EXPECT_EQ(no3d.out.find("3D"), std::string::npos);
}

TEST_F(ToolTest, MixerSettingsPersistIntoTheNextProcess) {
  ASSERT_EQ(Tool({"mixer", "set", "Master Volume", "-12dB"}).status, 0);
  ASSERT_EQ(Tool({"mixer", "set", "21", "on"}).status, 0);  // Master Mute by node number
  const ToolRun source = Tool({"mixer", "set", "recording source", "cd audio"});
  ASSERT_EQ(source.status, 0) << source.err;
  EXPECT_THAT(source.out, HasSubstr("Recording Source: CD Audio"));
  ASSERT_EQ(Tool({"mixer", "set", "Wave Volume", "-3", "--channel", "right"}).status, 0);

  const std::vector<std::uint8_t> reg = ReadFile(Path("registry.reg"));
  ASSERT_FALSE(reg.empty());

  const ToolRun list = Tool({"mixer", "list", "--registers"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(ControlLine(list.out, "Master Mute"), HasSubstr("on"));
  EXPECT_THAT(ControlLine(list.out, "Recording Source"), testing::EndsWith("CD Audio"));
  // Levels of the new process are the codec's restored ones, not fixed start values.
  EXPECT_THAT(ControlLine(list.out, "Master Volume"), testing::EndsWith(" -12 dB"));
  EXPECT_THAT(ControlLine(list.out, "Mono Out Volume"), testing::EndsWith(" -46.5 dB"));
  EXPECT_THAT(ControlLine(list.out, "PC Speaker Volume"), testing::EndsWith(" 0 dB"));
  // The codec holds what the registry restored: 8 steps down on both sides with
  // the mute bit, CD on both record-select fields, PCM Out right side 2 steps down.
  EXPECT_EQ(RegisterValue(list.out, "0x02"), "0x8808");
  EXPECT_EQ(RegisterValue(list.out, "0x1A"), "0x0101");
  EXPECT_EQ(RegisterValue(list.out, "0x18"), "0x070A");
}

TEST_F(ToolTest, TheDefaultRegistryFileIsPerUser) {
  ASSERT_EQ(Tool({"mixer", "set", "Master Mute", "on", "--registry", ""}).status, 0);
  EXPECT_TRUE(std::filesystem::exists(Path("state/zatac97/registry.reg")));
  const ToolRun list = Tool({"mixer", "list", "--registry", ""});
  EXPECT_THAT(ControlLine(list.out, "Master Mute"), HasSubstr("on"));
}

TEST_F(ToolTest, TopologyTextNamesFiltersAndPhysicalConnections) {
  const ToolRun run = Tool({"topology"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Filter \"Topology\": 14 pins, 39 nodes, 45 connections"));
  EXPECT_THAT(run.out, HasSubstr("Filter \"Wave\": 4 pins, 2 nodes, 4 connections"));
  EXPECT_THAT(run.out, HasSubstr("Topology pin 11 -> Wave pin 1"));
  EXPECT_THAT(run.out, HasSubstr("Wave pin 3 -> Topology pin 0"));
  const ToolRun small = Tool({"topology", "--no-3d", "--no-vra"});
  EXPECT_THAT(small.out, HasSubstr("Filter \"Topology\": 12 pins, 36 nodes, 43 connections"));
  EXPECT_THAT(small.out, HasSubstr("PCM 8-16 bit, 1-2 channels, 48000 Hz]"));
}

TEST_F(ToolTest, TopologyDotIsAcceptedByGraphviz) {
  const ToolRun run = Tool({"topology", "--format", "dot"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("digraph", 0), 0u);
  EXPECT_THAT(run.out, HasSubstr("\"topology_pin11\" -> \"wave_pin1\""));
  if (std::system("command -v dot >/dev/null 2>&1") != 0) GTEST_SKIP() << "Graphviz is not installed";
  WriteText(Path("graph.dot"), run.out);
  const std::string command = "dot -Tsvg " + Path("graph.dot").string() + " -o " + Path("graph.svg").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_GT(std::filesystem::file_size(Path("graph.svg")), 1000u);
}

TEST_F(ToolTest, PowerCycleShowsTheCodecWorkAndKeepsTheStream) {
  Wav in;
  in.data = NoiseBytes(48000 * 4 / 2, 11);  // half a second
  WriteFile(Path("in.wav"), WavBytes(in));
  const ToolRun run = Tool({"power", "d3,d0", "--play", "in.wav"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("D0 -> D3"));
  EXPECT_THAT(run.out, HasSubstr("D3 -> D0"));
  // Going down sets the powerdown bit in register 0x26; coming back clears the high byte.
  EXPECT_TRUE(std::regex_search(run.out, std::regex("codec.w 0x26 <- 0x00[0-9A-F][0-9A-F]")));
  EXPECT_THAT(run.out, HasSubstr("Played 'in.wav' across the cycle"));
}

}  // namespace
}  // namespace tooltest
