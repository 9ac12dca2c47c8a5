// Every refusal of the program: a clear message on standard error, a
// non-zero status, no output file (not even a temporary one), and a
// malformed registry file left exactly as it was.
#include <unistd.h>

#include "tools/errors.h"
#include "tools/tool_fixture.h"
#include "tools/wav.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

struct ErrorCase {
  std::string name;
  std::vector<std::string> args;
  std::string message;
  int status;
};

class Refusals : public ToolTest, public ::testing::WithParamInterface<ErrorCase> {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    Wav good;
    good.data = NoiseBytes(4800, 1);
    WriteFile(Path("good.wav"), WavBytes(good));
    Wav deep = good;  // 24-bit
    deep.bits = 24;
    deep.data = NoiseBytes(3 * 2 * 480, 2);
    WriteFile(Path("deep.wav"), WavBytes(deep));
    Wav cd = good;  // 44100 Hz: fine with VRA only
    cd.rate = 44100;
    WriteFile(Path("cd.wav"), WavBytes(cd));
    Wav odd = good;  // 32000 Hz: never
    odd.rate = 32000;
    WriteFile(Path("odd.wav"), WavBytes(odd));
    Wav three = good;
    three.channels = 3;
    three.data = NoiseBytes(6 * 100, 3);
    WriteFile(Path("three.wav"), WavBytes(three));
    Wav many = good;  // more channels than a stream format can count
    many.channels = 256;
    many.data = NoiseBytes(512 * 10, 5);
    WriteFile(Path("many.wav"), WavBytes(many));
    Wav floating = good;  // IEEE float samples
    floating.formatTag = 3;
    floating.bits = 32;
    floating.data = NoiseBytes(8 * 100, 4);
    WriteFile(Path("float.wav"), WavBytes(floating));
    WriteText(Path("notes.txt"), "these are not samples\n");
    std::filesystem::create_directory(Path("folder.wav"));
  }
};

TEST_P(Refusals, FailWithAMessageAndLeaveNoOutput) {
  const ErrorCase& c = GetParam();
  const std::vector<std::string> before = Listing();
  const ToolRun run = Tool(c.args);
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_THAT(run.err, HasSubstr(c.message));
  EXPECT_EQ(run.err.rfind("zatac97: ", 0), 0u) << run.err;
  // Nothing new: no output, no temporary, no registry file.
  EXPECT_EQ(Listing(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(
        ErrorCase{"MissingFile", {"play", "missing.wav", "--out", "o.wav"}, "cannot read 'missing.wav': no such file", 1},
        ErrorCase{"Directory", {"play", "folder.wav", "--out", "o.wav"}, "it is a directory", 1},
        ErrorCase{"NotWav", {"play", "notes.txt", "--out", "o.wav"}, "'notes.txt' is not a WAV file", 1},
        ErrorCase{"TwentyFourBit",
                  {"play", "deep.wav", "--out", "o.wav", "--line-out", "l.wav"},
                  "is 48000 Hz 24-bit PCM stereo, which the device does not play; it accepts PCM WAV, 8 or 16 bits, "
                  "mono or stereo, at 48000, 44100, 22050, 11025 or 8000 Hz",
                  1},
        ErrorCase{"RateWithoutVra",
                  {"play", "cd.wav", "--out", "o.wav", "--no-vra"},
                  "it accepts PCM WAV, 8 or 16 bits, mono or stereo, at 48000 Hz",
                  1},
        ErrorCase{"OddRate", {"play", "odd.wav", "--out", "o.wav"}, "32000 Hz 16-bit PCM stereo, which the device", 1},
        ErrorCase{"ThreeChannels", {"play", "three.wav"}, "3 channels, which the device does not play", 1},
        ErrorCase{"ManyChannels", {"play", "many.wav"}, "256 channels, which the device does not play", 1},
        ErrorCase{"RecordUnsupported",
                  {"record", "--out", "o.wav", "--rate", "32000"},
                  "does not accept 32000 Hz 16-bit stereo for recording",
                  1},
        ErrorCase{"RecordSourceMismatch",
                  {"record", "--out", "o.wav", "--source", "good.wav", "--rate", "8000"},
                  "leave out --rate, --bits and --channels",
                  1},
        ErrorCase{"RecordFloatSource",
                  {"record", "--out", "o.wav", "--source", "float.wav"},
                  "is 48000 Hz 32-bit float stereo; a source must be 8- or 16-bit PCM",
                  1},
        ErrorCase{"RecordBadTone", {"record", "--out", "o.wav", "--source", "tone:loud"}, "tone:HZ needs a frequency", 2},
        ErrorCase{"RecordIntoNowhere", {"record", "--out", "no/such/dir/o.wav"}, "cannot write 'no/such/dir/o.wav'", 1},
        ErrorCase{"UnknownControl", {"mixer", "set", "Turbo Boost", "on"}, "no control is called 'Turbo Boost'", 1},
        ErrorCase{"UnknownNode", {"mixer", "set", "18", "on"}, "node 18 is not a control", 1},
        ErrorCase{"OutputIsTheInput", {"play", "good.wav", "--out", "good.wav"}, "cannot write 'good.wav': it is an input of this run", 1},
        ErrorCase{"TwoOutputsOnStdout", {"play", "good.wav", "--out", "-", "--line-out", "-"}, "only one output can be standard output", 1},
        ErrorCase{"NotALevel", {"mixer", "set", "Master Volume", "loud"}, "'loud' is not a level", 1},
        ErrorCase{"NotASwitch", {"mixer", "set", "Master Mute", "maybe"}, "'maybe' is not a setting", 1},
        ErrorCase{"NoSuchSource", {"mixer", "set", "Recording Source", "Radio"}, "'Radio' is not a source", 1},
        ErrorCase{"SourceOutOfRange", {"mixer", "set", "Recording Source", "7"}, "source 7 is out of range", 1},
        ErrorCase{"FixedMix", {"mixer", "set", "22", "0"}, "cannot be set", 1},
        ErrorCase{"BadPowerState", {"power", "d3,d5"}, "'d5' is not a device power state", 2},
        ErrorCase{"BadMidi", {"--midi", "0x340"}, "--midi takes off, 0x300, 0x310, 0x320 or 0x330", 2},
        ErrorCase{"UnknownCommand", {"dance"}, "dance", 2}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST_F(ToolTest, HelpNamesEveryCommandAndExitsCleanly) {
  const ToolRun run = Tool({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* command : {"play", "record", "mixer", "topology", "power", "--registry", "--trace"})
    EXPECT_THAT(run.out, HasSubstr(command));
  EXPECT_FALSE(std::filesystem::exists(Path("registry.reg")));
}

TEST_F(ToolTest, AMalformedRegistryFileIsRefusedAndNeverOverwritten) {
  const std::string garbage = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=dword:zz\r\n";
  WriteText(Path("registry.reg"), garbage);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"mixer", "set", "Master Mute", "on"}, {"mixer", "list"}, {}, {"topology"}}) {
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("registry file"));
    EXPECT_THAT(run.err, HasSubstr("is malformed"));
  }
  const std::vector<std::uint8_t> after = ReadFile(Path("registry.reg"));
  EXPECT_EQ(std::string(after.begin(), after.end()), garbage);
}

// Two files a person could hand the program: a UTF-8 file with a lead byte
// cut off before the closing quote is refused by line on every run; a
// REGEDIT4 file in the editor's ANSI code page is read, and what the first
// run saves the second reads with the name intact.
TEST_F(ToolTest, RegistryFilesAreRefusedByLineOrReadAndSavedLosslessly) {
  const std::string cut =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"Option\xCA\"=dword:00000001\n";
  WriteText(Path("y.reg"), cut);
  for (int run = 0; run < 2; ++run) {
    const ToolRun result = Tool({"mixer", "list", "--registry", "y.reg"});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("line 4: invalid UTF-8"));
  }
  const std::vector<std::uint8_t> kept = ReadFile(Path("y.reg"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), cut);

  WriteText(Path("latin.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n\"Caf\xE9 Noir\"=\"cr\xE8me\"\r\n");
  for (int run = 0; run < 2; ++run) {
    const ToolRun result = Tool({"mixer", "list", "--registry", "latin.reg"});
    ASSERT_EQ(result.status, 0) << result.err;
  }
  const std::vector<std::uint8_t> saved = ReadFile(Path("latin.reg"));
  const std::string text(saved.begin(), saved.end());
  // UTF-16LE as the editor writes it: "Café Noir"="crème".
  const std::u16string expected = u"\"Caf\u00E9 Noir\"=\"cr\u00E8me\"";
  std::string wide;
  for (char16_t u : expected) wide += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  EXPECT_NE(text.find(wide), std::string::npos);
}

TEST_F(ToolTest, AnAllocationFailureAnywhereEndsCleanOrAsADriverFault) {
  Wav in;
  in.data = NoiseBytes(4 * 4800, 5);  // 100 ms
  WriteFile(Path("in.wav"), WavBytes(in));
  ASSERT_EQ(Tool({"play", "in.wav"}).status, 0);
  std::vector<std::uint8_t> registry = ReadFile(Path("registry.reg"));
  int faults = 0;
  for (int n = 1; n <= 80; ++n) {
    std::filesystem::remove(Path("dac.wav"));
    const ToolRun run = Tool({"play", "in.wav", "--out", "dac.wav", "--fail-allocation", std::to_string(n)});
    SCOPED_TRACE("allocation " + std::to_string(n) + ": " + run.err);
    // Never a crash and never blamed on the input: it worked, or the driver failed loudly.
    ASSERT_TRUE(run.status == 0 || run.status == 3);
    if (run.status == 0) {
      EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in.data);
    } else {
      // A failed run writes nothing: no output and no registry.
      ++faults;
      EXPECT_EQ(run.err.rfind("zatac97: ", 0), 0u);
      EXPECT_FALSE(std::filesystem::exists(Path("dac.wav")));
      EXPECT_EQ(ReadFile(Path("registry.reg")), registry);
    }
    for (const std::string& name : Listing())  // no temporary left behind
      EXPECT_TRUE(name == "dac.wav" || name == "in.wav" || name == "registry.reg") << name;
    registry = ReadFile(Path("registry.reg"));
  }
  EXPECT_GT(faults, 0) << "no allocation of a start and a stream could be failed";
}

TEST_F(ToolTest, ARefusedSettingChangesNothingInTheRegistry) {
  ASSERT_EQ(Tool({"mixer", "set", "Master Volume", "-6"}).status, 0);
  const std::vector<std::uint8_t> saved = ReadFile(Path("registry.reg"));
  EXPECT_NE(Tool({"mixer", "set", "Master Volume", "loud"}).status, 0);
  EXPECT_EQ(ReadFile(Path("registry.reg")), saved);
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A long session (or a fuzzer) refuses thousands of files; each refusal must
// give its descriptor back or the process runs out of them.
TEST_F(ToolTest, ARefusedWavFileKeepsNoDescriptorOpen) {
  WriteText(Path("notes.txt"), "not a wave\n");
  std::vector<std::uint8_t> noFmt = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
  WriteFile(Path("nofmt.wav"), noFmt);
  const int before = OpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    for (const char* name : {"notes.txt", "nofmt.wav"}) {
      try {
        tool::WavReader reader(Path(name).string());
        ADD_FAILURE() << name << " was accepted";
      } catch (const tool::ToolError& error) {
        EXPECT_THAT(error.what(), HasSubstr(name));
      }
    }
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace tooltest
