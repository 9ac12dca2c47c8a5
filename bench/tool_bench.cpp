// Throughput of the zatac97 program's own streaming code: `play IN.wav --out
// DAC.wav` and `record --source IN.wav --out REC.wav` run in-process through
// the same functions the program calls (WAV reader, stream client, DAC sink
// or ADC source, incremental verdict, WAV writer), on 60 s of 48 kHz 16-bit
// stereo. Reported as seconds of audio per second of real time.
//
//   build/bench/tool_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/commands.h"

namespace {

constexpr std::uint32_t kSeconds = 60;

struct Scratch {
  std::filesystem::path dir;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zatac97-bench-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    const std::uint32_t bytes = kSeconds * 48000 * 4;
    std::vector<std::uint8_t> wav(44 + bytes);
    auto put = [&](std::size_t at, std::uint32_t v, int size) {
      for (int i = 0; i < size; ++i) wav[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    std::memcpy(wav.data(), "RIFF", 4);
    put(4, 36 + bytes, 4);
    std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
    put(16, 16, 4), put(20, 1, 2), put(22, 2, 2), put(24, 48000, 4), put(28, 192000, 4), put(32, 4, 2), put(34, 16, 2);
    std::memcpy(wav.data() + 36, "data", 4);
    put(40, bytes, 4);
    std::uint32_t x = 1;
    for (std::size_t i = 44; i < wav.size(); ++i) wav[i] = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    std::ofstream(dir / "in.wav", std::ios::binary).write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
};

// The program's report goes to standard output; keep it out of the benchmark's.
class Quiet {
 public:
  Quiet() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~Quiet() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

void BM_ProgramStream(benchmark::State& state) {
  const bool capture = state.range(0) != 0;
  Scratch scratch;
  tool::CommonOptions common;
  common.registryFile = (scratch.dir / "registry.reg").string();
  int status = 0;
  for (auto _ : state) {
    Quiet quiet;
    if (capture) {
      tool::RecordOptions options;
      options.source = (scratch.dir / "in.wav").string();
      options.out = (scratch.dir / "rec.wav").string();
      status = tool::RunRecord(common, options);
    } else {
      tool::PlayOptions options;
      options.input = (scratch.dir / "in.wav").string();
      options.out = (scratch.dir / "dac.wav").string();
      status = tool::RunPlay(common, options);
    }
    if (status != 0) break;
  }
  if (status != 0) state.SkipWithError("the program's run failed");
  state.counters["audio_seconds_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kSeconds), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProgramStream)->ArgName("capture")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
