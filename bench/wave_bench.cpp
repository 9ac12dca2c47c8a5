// The wave data path's cost, for 48 kHz 16-bit stereo (10 ms blocks of 1920
// bytes):
//   BM_PlainBlockCopy   memcpy of one block: the floor any block event pays.
//   BM_ServiceEvent     one steady-state Service call handling one block
//                       event (playback: refill and release; capture: copy
//                       out and release), with its ratio to the block copy.
//   BM_Pipeline         the whole driver on the simulated machine, the
//                       framework's service included: seconds of audio moved
//                       per second of real time.
//   BM_HostPortRead,    what the host's stand-ins cost the driver per port
//   BM_HostSpinLock     read and per spin-lock pair, for reading the above.
//
//   build-<dir>/bench/wave_bench --benchmark_min_time=2s
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "wave/wave_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = wavetest::kCdBlock;
constexpr ULONG kBufferBytes = 4096;

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

// One running stream with client buffers kept topped up, on a machine whose
// history is not kept (long runs would otherwise grow without bound).
class RunningStream {
 public:
  RunningStream(bool capture, sim::Ticks serviceLatency) : capture_(capture) {
    if (!NT_SUCCESS(device_.Start())) return;
    device_.Machine().GetTrace().SetCapacity(256);
    device_.Machine().GetCodec().Dac().SetKeepBytes(false);
    device_.Machine().GetCodec().Adc().SetNoise(7);
    device_.Kernel().SetServiceLatency(serviceLatency);
    host::WavePciPinOptions options;
    options.keepCapturedBytes = false;
    pin_ = device_.Open(capture ? wavetest::kCapturePin : wavetest::kRenderPin, wavetest::kCd, nullptr, options);
    if (!pin_) return;
    payload_ = wavetest::Pattern(kBufferBytes, 1);
    TopUp();
    pin_->SetState(KSSTATE_RUN);
  }
  bool Ready() const { return pin_ != nullptr && device_.violations.empty(); }

  // Keeps about eight blocks of client buffers with the stream.
  void TopUp() {
    while (queued_ - pin_->BytesReleased() < 8 * kBlock) {
      if (capture_) pin_->QueueCaptureBuffer(kBufferBytes);
      else pin_->QueueBuffer(payload_);
      queued_ += kBufferBytes;
    }
  }
  // Runs the machine until the channel finishes its next block.
  void NextEvent() {
    const std::uint64_t entries = Channel().EntriesCompleted();
    device_.RunUntil([&] { return Channel().EntriesCompleted() > entries; });
  }
  // Plays (or records) until `bytes` more have been released.
  void Move(std::uint64_t bytes) {
    const std::uint64_t target = pin_->BytesReleased() + bytes;
    while (pin_->BytesReleased() < target) {
      TopUp();
      device_.RunFor(10 * wavetest::kMillisecond);
    }
  }
  sim::SgdChannel& Channel() { return capture_ ? device_.CaptureChannel() : device_.PlaybackChannel(); }
  wavetest::WaveDevice& Device() { return device_; }
  host::WavePciPin* Pin() { return pin_; }

 private:
  bool capture_;
  wavetest::WaveDevice device_;
  host::WavePciPin* pin_ = nullptr;
  std::vector<std::uint8_t> payload_;
  std::uint64_t queued_ = 0;
};

// The framework's own service is held back (its latency outlasts the run),
// so each iteration runs the machine to the next block event untimed and
// then times the one Service call that handles it.
void BM_ServiceEvent(benchmark::State& state) {
  const bool capture = state.range(0) != 0;
  RunningStream stream(capture, 3600 * sim::kTicksPerSecond);
  if (!stream.Ready()) {
    state.SkipWithError("the stream did not start");
    return;
  }
  host::Kernel& kernel = stream.Device().Kernel();
  std::vector<std::uint8_t> from(kBlock, 0x5A), to(kBlock);
  double serviceSeconds = 0, copySeconds = 0;
  std::uint64_t copies = 0;
  const std::uint64_t releasedBefore = stream.Pin()->BytesReleased();
  for (auto _ : state) {
    stream.TopUp();
    stream.NextEvent();
    KIRQL old;
    kernel.RaiseIrql(DISPATCH_LEVEL, &old, "benchmark");
    const auto start = Clock::now();
    stream.Pin()->Stream()->Service();
    const auto end = Clock::now();
    kernel.LowerIrql(old, "benchmark");
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    serviceSeconds += seconds;

    // The baseline, measured alongside under the same conditions.
    const auto copyStart = Clock::now();
    for (int i = 0; i < 64; i++) {
      std::memcpy(to.data(), from.data(), kBlock);
      benchmark::ClobberMemory();
    }
    copySeconds += std::chrono::duration<double>(Clock::now() - copyStart).count();
    copies += 64;
  }
  const double moved = static_cast<double>(stream.Pin()->BytesReleased() - releasedBefore);
  if (!stream.Device().violations.empty()) state.SkipWithError(wavetest::Joined(stream.Device().violations).c_str());
  const double iterations = static_cast<double>(state.iterations());
  state.counters["block_copy_ns"] = copySeconds / static_cast<double>(copies) * 1e9;
  state.counters["ratio_to_block_copy"] =
      (serviceSeconds / iterations) / (copySeconds / static_cast<double>(copies));
  state.counters["bytes_per_event"] = moved / iterations;
}
BENCHMARK(BM_ServiceEvent)->ArgName("capture")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// One second of audio per iteration through the driver and the simulated
// controller, the framework's service group running the stream.
void BM_Pipeline(benchmark::State& state) {
  const bool capture = state.range(0) != 0;
  RunningStream stream(capture, 0);
  if (!stream.Ready()) {
    state.SkipWithError("the stream did not start");
    return;
  }
  const std::uint64_t second = wavetest::kCd.rate * wavetest::kCd.FrameBytes();
  for (auto _ : state) stream.Move(second);
  if (stream.Channel().GetUnderruns().episodes != 0) state.SkipWithError("the channel ran dry");
  if (!stream.Device().violations.empty()) state.SkipWithError(wavetest::Joined(stream.Device().violations).c_str());
  state.counters["audio_seconds_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Pipeline)->ArgName("capture")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// One READ_PORT_UCHAR of the playback channel's status through the host and
// the simulated controller.
void BM_HostPortRead(benchmark::State& state) {
  wavetest::WaveDevice device;
  if (!NT_SUCCESS(device.Start())) {
    state.SkipWithError("device start failed");
    return;
  }
  device.Machine().GetTrace().SetCapacity(256);
  const auto port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(device.Machine().Config().ioBase));
  for (auto _ : state) benchmark::DoNotOptimize(READ_PORT_UCHAR(port));
}
BENCHMARK(BM_HostPortRead);

void BM_HostSpinLock(benchmark::State& state) {
  wavetest::WaveDevice device;
  if (!NT_SUCCESS(device.Start())) {
    state.SkipWithError("device start failed");
    return;
  }
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
  }
}
BENCHMARK(BM_HostSpinLock);

}  // namespace
