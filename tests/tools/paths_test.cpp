// Where the program writes, as a Unix tool would: standard streams, FIFOs,
// symlinks, existing modes, read-only files and outputs that are inputs.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "tools/tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

class Paths : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    in_.data = NoiseBytes(4 * 4800 + 12, 21);  // 100 ms and three frames
    WriteFile(Path("in.wav"), WavBytes(in_));
  }
  mode_t Mode(const std::string& name) const {
    struct stat st {};
    EXPECT_EQ(stat(Path(name).c_str(), &st), 0) << name;
    return st.st_mode & 07777;
  }
  // Nothing but the named entries and no temporary file is left.
  void ExpectNoTemporaries() const {
    for (const std::string& name : Listing()) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
  }
  Wav in_;
};

// What a case sees of its scratch directory.
struct Scratch {
  fs::path dir;
  Wav in;                 // the contents of in.wav
  std::string stdinFile;  // the program's standard input, when set
  fs::path Path(const std::string& name) const { return dir / name; }
  mode_t Mode(const std::string& name) const {
    struct stat st {};
    EXPECT_EQ(stat(Path(name).c_str(), &st), 0) << name;
    return st.st_mode & 07777;
  }
};

struct PathCase {
  std::string name;
  std::function<void(Scratch&)> prepare;
  std::vector<std::string> args;
  int status;
  std::string message;  // on standard error, when not empty
  std::function<void(Scratch&, const ToolRun&)> check;
};

class PathCases : public Paths, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathCases, WriteWhereAUnixToolWould) {
  const PathCase& c = GetParam();
  Scratch scratch{dir_, in_, ""};
  if (c.prepare) c.prepare(scratch);
  stdin_ = scratch.stdinFile;
  const ToolRun run = Tool(c.args);
  EXPECT_EQ(run.status, c.status) << run.err;
  if (!c.message.empty()) {
    EXPECT_THAT(run.err, HasSubstr(c.message));
  }
  if (c.check) c.check(scratch, run);
  ExpectNoTemporaries();
}

Wav ParseWav(const std::string& bytes, const fs::path& scratch) {
  WriteFile(scratch, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  return ReadWav(scratch);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathCases,
    ::testing::Values(
        PathCase{"DashIsStandardOutput", nullptr, {"play", "in.wav", "--out", "-"}, 0, "bit-exact with the input",
                 [](Scratch& t, const ToolRun& run) {
                   // The report moves to standard error so the WAV stays clean.
                   EXPECT_TRUE(ParseWav(run.out, t.Path("copy.wav")).data == t.in.data);
                 }},
        PathCase{"DashIsStandardInputForPlay", [](Scratch& t) { t.stdinFile = "in.wav"; }, {"play", "-", "--out", "dac.wav"},
                 0, "",
                 [](Scratch& t, const ToolRun& run) {
                   EXPECT_THAT(run.out, HasSubstr("Played standard input"));
                   EXPECT_TRUE(ReadWav(t.Path("dac.wav")).data == t.in.data);
                 }},
        PathCase{"DashIsStandardInputForTheSource", [](Scratch& t) { t.stdinFile = "in.wav"; },
                 {"record", "--out", "rec.wav", "--source", "-"}, 0, "",
                 [](Scratch& t, const ToolRun& run) {
                   EXPECT_THAT(run.out, HasSubstr("holds the source's samples bit-exactly"));
                   EXPECT_TRUE(ReadWav(t.Path("rec.wav")).data == t.in.data);
                 }},
        PathCase{"ASymlinkIsFollowedAndItsTargetReplaced",
                 [](Scratch& t) {
                   fs::create_directory(t.Path("real"));
                   WriteText(t.Path("real/dac.wav"), "old");
                   fs::create_symlink("real/dac.wav", t.Path("link.wav"));
                 },
                 {"play", "in.wav", "--out", "link.wav"}, 0, "",
                 [](Scratch& t, const ToolRun&) {
                   EXPECT_TRUE(fs::is_symlink(fs::symlink_status(t.Path("link.wav"))));
                   EXPECT_TRUE(ReadWav(t.Path("real/dac.wav")).data == t.in.data);
                   // The temporary lived beside the target, not beside the link.
                   for (const auto& e : fs::directory_iterator(t.Path("real")))
                     EXPECT_EQ(e.path().filename(), "dac.wav");
                 }},
        PathCase{"ASymlinkedRegistryStaysALink",
                 [](Scratch& t) {
                   fs::create_directory(t.Path("conf"));
                   fs::create_symlink("conf/mixer.reg", t.Path("registry.reg"));
                 },
                 {"mixer", "set", "Master Volume", "-6"}, 0, "",
                 [](Scratch& t, const ToolRun&) {
                   EXPECT_TRUE(fs::is_symlink(fs::symlink_status(t.Path("registry.reg"))));
                   EXPECT_GT(fs::file_size(t.Path("conf/mixer.reg")), 100u);
                 }},
        PathCase{"AnExistingFileKeepsItsMode",
                 [](Scratch& t) {
                   WriteText(t.Path("dac.wav"), "old");
                   chmod(t.Path("dac.wav").c_str(), 0640);
                 },
                 {"play", "in.wav", "--out", "dac.wav"}, 0, "",
                 [](Scratch& t, const ToolRun&) {
                   EXPECT_EQ(t.Mode("dac.wav"), 0640u);
                   EXPECT_TRUE(ReadWav(t.Path("dac.wav")).data == t.in.data);
                 }},
        PathCase{"AReadOnlyTargetIsRefused",
                 [](Scratch& t) {
                   WriteText(t.Path("dac.wav"), "keep me");
                   chmod(t.Path("dac.wav").c_str(), 0444);
                 },
                 {"play", "in.wav", "--out", "dac.wav"}, 1, "cannot write 'dac.wav': it is read-only",
                 [](Scratch& t, const ToolRun&) {
                   const auto bytes = ReadFile(t.Path("dac.wav"));
                   EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "keep me");
                   EXPECT_EQ(t.Mode("dac.wav"), 0444u);
                 }},
        PathCase{"AHardLinkToTheInputIsRefused", [](Scratch& t) { fs::create_hard_link(t.Path("in.wav"), t.Path("alias.wav")); },
                 {"play", "in.wav", "--line-out", "alias.wav"}, 1, "is the same file as 'in.wav', an input of this run",
                 [](Scratch& t, const ToolRun&) { EXPECT_TRUE(ReadWav(t.Path("in.wav")).data == t.in.data); }},
        PathCase{"TwoOutputsThatAreOneFileAreRefused", nullptr, {"play", "in.wav", "--out", "x.wav", "--line-out", "./x.wav"},
                 1, "another output of this run is the same file",
                 [](Scratch& t, const ToolRun&) { EXPECT_FALSE(fs::exists(t.Path("x.wav"))); }}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return info.param.name; });

// A FIFO is written in place: its reader gets the whole WAV and the FIFO stays one.
TEST_F(Paths, AFifoIsWrittenInPlace) {
  ASSERT_EQ(mkfifo(Path("dac.fifo").c_str(), 0600), 0);
  std::vector<std::uint8_t> received;
  std::thread reader([&] { received = ReadFile(Path("dac.fifo")); });
  const ToolRun run = Tool({"play", "in.wav", "--out", "dac.fifo"});
  reader.join();
  ASSERT_EQ(run.status, 0) << run.err;
  struct stat st {};
  ASSERT_EQ(lstat(Path("dac.fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  WriteFile(Path("received.wav"), received);
  EXPECT_TRUE(ReadWav(Path("received.wav")).data == in_.data);
  ExpectNoTemporaries();
}

// A read-only registry file is left as it is; the outputs are still written.
TEST_F(Paths, AReadOnlyRegistryIsAWarningAndNotALostOutput) {
  ASSERT_EQ(Tool({"mixer", "set", "Master Volume", "-6"}).status, 0);
  const std::vector<std::uint8_t> before = ReadFile(Path("registry.reg"));
  chmod(Path("registry.reg").c_str(), 0444);
  const ToolRun run = Tool({"play", "in.wav", "--out", "dac.wav"});
  EXPECT_EQ(run.status, 1);  // the file was named with --registry
  EXPECT_THAT(run.err, HasSubstr("warning: the mixer settings were not saved: cannot write '" +
                                 Path("registry.reg").string() + "': it is read-only"));
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in_.data);
  EXPECT_EQ(ReadFile(Path("registry.reg")), before);
  EXPECT_EQ(Mode("registry.reg"), 0444u);
  ExpectNoTemporaries();
}

// The default registry's directory cannot be made (a file stands where it
// should be): every command still does its work and writes its outputs.
TEST_F(Paths, AnUnwritableDefaultRegistryLosesNoOutput) {
  WriteText(Path("notadir"), "a file where the state directory should be");
  env_ = {{"XDG_STATE_HOME", Path("notadir").string()}};
  addRegistry_ = false;
  const std::string expected = "warning: the mixer settings were not saved: cannot create the directory '" +
                               Path("notadir").string() + "/zatac97'";
  ToolRun run = Tool({"play", "in.wav", "--out", "dac.wav", "--line-out", "line.wav", "--trace", "trace.txt"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr(expected));
  EXPECT_TRUE(ReadWav(Path("dac.wav")).data == in_.data);
  EXPECT_EQ(ReadWav(Path("line.wav")).data.size(), in_.data.size() / 4 * 4);
  EXPECT_GT(fs::file_size(Path("trace.txt")), 1000u);
  run = Tool({"record", "--out", "rec.wav", "--seconds", "0.05"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr(expected));
  EXPECT_EQ(ReadWav(Path("rec.wav")).data.size(), 9600u);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"mixer", "list"}, {"topology"}, {"mixer", "set", "Master Mute", "on"}}) {
    run = Tool(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr(expected));
    EXPECT_THAT(run.out, HasSubstr("Master"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("Saved in")));
  }
  // Named explicitly, the same failure is the run's status.
  run = Tool({"mixer", "list", "--registry", Path("notadir/registry.reg").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("Master Volume"));
  ExpectNoTemporaries();
}

}  // namespace
}  // namespace tooltest
