// The wave data path's cost: a plain copy of one 10 ms block (the floor any
// Service event pays), and whole-pipeline playback through the simulated
// machine in seconds of audio per second of real time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "wave/wave_fixture.h"

namespace {

constexpr std::size_t kBlock = 1920;  // 10 ms of 48 kHz 16-bit stereo

void BM_PlainBlockCopy(benchmark::State& state) {
  std::vector<std::uint8_t> from(kBlock, 0x5A), to(kBlock);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBlock);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_PlainBlockCopy);

// One second of audio per iteration, played end to end through the driver.
void BM_PlaybackPipeline(benchmark::State& state) {
  const wavetest::Format cd{48000, 2, 16};
  for (auto _ : state) {
    wavetest::WaveDevice device;
    if (!NT_SUCCESS(device.Start())) {
      state.SkipWithError("device start failed");
      return;
    }
    host::WavePciPin* pin = device.Open(wavetest::kRenderPin, cd);
    const std::size_t total = cd.rate * cd.FrameBytes();
    for (std::size_t sent = 0; sent < total; sent += 4096) pin->QueueBuffer(wavetest::Pattern(4096, 1));
    pin->SetState(KSSTATE_RUN);
    device.RunUntil([&] { return pin->BytesReleased() >= total; });
  }
  state.counters["audio_seconds_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlaybackPipeline)->Unit(benchmark::kMillisecond);

}  // namespace
