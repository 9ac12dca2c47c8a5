// Every refusal of the program: a clear message on standard error, a
// non-zero status, no output file (not even a temporary one), and a
// malformed registry file left exactly as it was.
#include "tools/tool_fixture.h"

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
        ErrorCase{"VolumeTooLow", {"mixer", "set", "Master Volume", "-100"}, "out of range for Master Volume", 1},
        ErrorCase{"VolumeTooHigh", {"mixer", "set", "Wave Volume", "+12.5dB"}, "out of range for Wave Volume", 1},
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
  EXPECT_NE(Tool({"mixer", "set", "Master Volume", "-200"}).status, 0);
  EXPECT_EQ(ReadFile(Path("registry.reg")), saved);
}

}  // namespace
}  // namespace tooltest
