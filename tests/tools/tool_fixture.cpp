#include "tools/tool_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tooltest {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
std::uint32_t Get16(const std::vector<std::uint8_t>& b, std::size_t at) { return b[at] | b[at + 1] << 8; }
std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

}  // namespace

std::vector<std::uint8_t> WavBytes(const Wav& wav) {
  std::vector<std::uint8_t> out = {'R', 'I', 'F', 'F'};
  Put32(out, static_cast<std::uint32_t>(36 + wav.data.size() + (wav.data.size() & 1)));
  for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<std::uint8_t>(c));
  Put32(out, 16);
  Put16(out, wav.formatTag);
  Put16(out, wav.channels);
  Put32(out, wav.rate);
  const std::uint32_t align = wav.channels * ((wav.bits + 7) / 8);
  Put32(out, wav.rate * align);
  Put16(out, align);
  Put16(out, wav.bits);
  for (char c : std::string("data")) out.push_back(static_cast<std::uint8_t>(c));
  Put32(out, static_cast<std::uint32_t>(wav.data.size()));
  out.insert(out.end(), wav.data.begin(), wav.data.end());
  if (wav.data.size() & 1) out.push_back(0);
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << path;
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

Wav ReadWav(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> b = ReadFile(path);
  Wav wav;
  wav.formatTag = 0;
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
    ADD_FAILURE() << path << " is not a RIFF WAVE file";
    return wav;
  }
  bool haveData = false;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const std::uint32_t size = Get32(b, at + 4);
    const std::size_t body = at + 8;
    if (body + size > b.size()) break;
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
      wav.formatTag = static_cast<std::uint16_t>(Get16(b, body));
      wav.channels = static_cast<std::uint16_t>(Get16(b, body + 2));
      wav.rate = Get32(b, body + 4);
      wav.bits = static_cast<std::uint16_t>(Get16(b, body + 14));
    } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
      wav.data.assign(b.begin() + static_cast<std::ptrdiff_t>(body), b.begin() + static_cast<std::ptrdiff_t>(body + size));
      haveData = true;
    }
    at = body + size + (size & 1);
  }
  EXPECT_TRUE(haveData) << path << " has no data chunk";
  return wav;
}

std::vector<std::uint8_t> NoiseBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

void ToolTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zatac97-tool-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void ToolTest::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

ToolRun ToolTest::Tool(std::vector<std::string> args) {
  if (addRegistry_ && std::find(args.begin(), args.end(), "--registry") == args.end()) {
    args.push_back("--registry");
    args.push_back(Path("registry.reg").string());
  }
  const std::string outPath = Path(".stdout").string(), errPath = Path(".stderr").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (stdin_.empty()) {
      dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    } else {
      // Standard input is a pipe, as in `cat file | zatac97 ...`: it cannot be seeked.
      int pipeEnds[2];
      if (pipe(pipeEnds) != 0) _exit(125);
      if (fork() == 0) {
        close(pipeEnds[0]);
        const std::vector<std::uint8_t> bytes = ReadFile(dir_ / stdin_);
        for (std::size_t done = 0; done < bytes.size();) {
          const ssize_t n = write(pipeEnds[1], bytes.data() + done, bytes.size() - done);
          if (n <= 0) break;
          done += static_cast<std::size_t>(n);
        }
        _exit(0);
      }
      close(pipeEnds[1]);
      dup2(pipeEnds[0], STDIN_FILENO);
    }
    if (chdir(dir_.c_str()) != 0) _exit(126);
    setenv("HOME", dir_.c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(ZATAC97_TOOL_PATH)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(ZATAC97_TOOL_PATH, argv.data());
    _exit(127);
  }
  ToolRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto out = ReadFile(outPath), err = ReadFile(errPath);
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  std::filesystem::remove(outPath);
  std::filesystem::remove(errPath);
  return run;
}

std::vector<std::string> ToolTest::Listing() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tooltest
