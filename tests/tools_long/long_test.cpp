// An hour of audio through the real program, generated on the fly and never
// stored: it plays and records bit-exactly while its peak resident memory,
// as the kernel counts it for the process, stays under 64 MB.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kSeconds = 3600;
constexpr std::uint64_t kBytes = kSeconds * 48000 * 4;  // 48 kHz 16-bit stereo
constexpr long kLimitKiB = 64 * 1024;

// The audio: a cheap, seeded sequence in which a lost, repeated or moved byte shows.
std::uint8_t AudioByte(std::uint64_t at) {
  std::uint64_t x = at * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return static_cast<std::uint8_t>(x >> 7);
}

std::vector<std::uint8_t> Header(std::uint64_t dataBytes) {
  std::vector<std::uint8_t> h(44);
  auto put = [&](std::size_t at, std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  std::memcpy(h.data(), "RIFF", 4);
  put(4, static_cast<std::uint32_t>(36 + dataBytes), 4);
  std::memcpy(h.data() + 8, "WAVEfmt ", 8);
  put(16, 16, 4);
  put(20, 1, 2);
  put(22, 2, 2);
  put(24, 48000, 4);
  put(28, 192000, 4);
  put(32, 4, 2);
  put(34, 16, 2);
  std::memcpy(h.data() + 36, "data", 4);
  put(40, static_cast<std::uint32_t>(dataBytes), 4);
  return h;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

struct LongRun {
  int status = -1;
  long peakKiB = 0;
  std::uint64_t outBytes = 0;       // after the 44-byte header
  std::uint64_t firstMismatch = UINT64_MAX;
  std::string err;
};

// Runs zatac97 with the generated WAV on standard input and reads the WAV it
// writes to standard output, checking every sample against the generator.
LongRun RunProgram(std::vector<std::string> args) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string registry = (dir / ("zatac97-long-" + std::to_string(getpid()) + ".reg")).string();
  const std::string errPath = registry + ".err";
  args.insert(args.end(), {"--registry", registry});
  int in[2], out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    close(in[1]);
    close(out[0]);
    std::vector<char*> argv{const_cast<char*>(ZATAC97_TOOL_PATH)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(ZATAC97_TOOL_PATH, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  std::thread feeder([fd = in[1]] {
    const std::vector<std::uint8_t> header = Header(kBytes);
    std::vector<std::uint8_t> chunk(1 << 16);
    bool ok = WriteAll(fd, header.data(), header.size());
    for (std::uint64_t at = 0; ok && at < kBytes; at += chunk.size()) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), kBytes - at));
      for (std::size_t i = 0; i < n; ++i) chunk[i] = AudioByte(at + i);
      ok = WriteAll(fd, chunk.data(), n);
    }
    close(fd);
  });
  LongRun run;
  std::vector<std::uint8_t> chunk(1 << 16);
  std::uint64_t total = 0;
  for (ssize_t n; (n = read(out[0], chunk.data(), chunk.size())) > 0;) {
    for (ssize_t i = 0; i < n; ++i, ++total)
      if (total >= 44 && run.firstMismatch == UINT64_MAX && chunk[static_cast<std::size_t>(i)] != AudioByte(total - 44))
        run.firstMismatch = total - 44;
  }
  close(out[0]);
  feeder.join();
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peakKiB = usage.ru_maxrss;
  run.outBytes = total >= 44 ? total - 44 : 0;
  std::FILE* err = std::fopen(errPath.c_str(), "r");
  if (err) {
    char line[512];
    while (std::fgets(line, sizeof(line), err)) run.err += line;
    std::fclose(err);
  }
  std::filesystem::remove(errPath);
  std::filesystem::remove(registry);
  return run;
}

TEST(LongRuns, AnHourOfPlaybackIsBitExactInBoundedMemory) {
  const LongRun run = RunProgram({"play", "-", "--out", "-"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.outBytes, kBytes);
  EXPECT_EQ(run.firstMismatch, UINT64_MAX) << "first wrong byte at the DAC: " << run.firstMismatch;
  EXPECT_NE(run.err.find("bit-exact with the input"), std::string::npos) << run.err;
  EXPECT_LT(run.peakKiB, kLimitKiB);
  std::printf("play, one hour: peak resident memory %ld KiB\n", run.peakKiB);
}

TEST(LongRuns, AnHourOfRecordingIsBitExactInBoundedMemory) {
  const LongRun run = RunProgram({"record", "--source", "-", "--out", "-"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.outBytes, kBytes);
  EXPECT_EQ(run.firstMismatch, UINT64_MAX) << "first wrong byte recorded: " << run.firstMismatch;
  EXPECT_NE(run.err.find("holds the source's samples bit-exactly"), std::string::npos) << run.err;
  EXPECT_LT(run.peakKiB, kLimitKiB);
  std::printf("record, one hour: peak resident memory %ld KiB\n", run.peakKiB);
}

}  // namespace
