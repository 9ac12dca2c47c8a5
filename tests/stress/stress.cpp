// Seeded stress of the driver on the threaded host (meant for the
// ThreadSanitizer build): each sequence opens a playback and/or a capture
// stream and drives them from passive threads of their own with random
// buffers, state changes, pauses, revocations and position queries, while a
// mixer thread sends property requests and a power thread cycles the device,
// all against a random service latency. At the end of each sequence:
//  - the DAC got the frames sent once each and in order; a frame missing
//    belongs to a buffer that was cancelled or stopped before it played, or
//    is one of those the machine counted as played into a codec that was
//    powered down or settling (a stream running across a power cycle);
//  - the capture mappings hold the ADC's frames once each and in order;
//  - every mapping came back (released once and in order: the port checks);
//  - the mixer register holds the last value asked for;
//  - no rule violation.
// Every frame carries a 32-bit serial number, so a doubled, reordered or
// foreign frame shows at once.
//
//   zatac97_stress [--seed N] [--sequences N] [--seconds S] [--no-playback] [--no-capture]
//                  [--no-power] [--no-revoke] [--verbose]
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/property.h"
#include "wave/wave_fixture.h"

namespace {

using wavetest::kCapturePin;
using wavetest::kCd;
using wavetest::kCdBlock;
using wavetest::kRenderPin;

constexpr ULONG kMasterVolumeNode = 20;
constexpr ULONG kMasterMuteNode = 21;
constexpr std::uint8_t kMasterRegister = 0x02;
constexpr std::uint32_t kUnfilled = 0xEEEEEEEE;  // the port's pattern in a capture buffer not written yet
constexpr ULONG kFrame = 4;

struct Options {
  std::uint32_t seed = 1;
  std::uint64_t sequences = 100;
  double seconds = 0;  // when set: run sequences until this much real time has passed
  bool capture = true;
  bool playback = true;
  bool power = true;
  bool revoke = true;
  bool verbose = false;
};

// Counted from the driving threads at once.
struct Figures {
  std::atomic<std::uint64_t> sequences{0}, streams{0}, stateChanges{0}, pauses{0}, revocations{0}, positions{0},
      properties{0}, powerCycles{0}, buffers{0}, framesPlayed{0}, framesCancelled{0}, framesUnheard{0}, framesCaptured{0},
      interrupts{0}, failures{0};
};

std::uint32_t FrameAt(const std::uint8_t* bytes) {
  std::uint32_t v;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

// One device, many sequences: the device lives on across them (and across
// its power cycles), as a machine does across the streams it plays.
class Stress {
 public:
  Stress(const Options& options, Figures& figures) : options_(options), figures_(figures) {
    device_.Kernel().SetViolationHandler([this](const host::Violation& v) {
      std::lock_guard lock(mutex_);
      violations_.push_back(v.message);
    });
  }

  bool Start() {
    if (device_.Start() != STATUS_SUCCESS) {
      std::fprintf(stderr, "stress: the device did not start\n");
      return false;
    }
    auto topology = device_.Harness().Subdevice(L"Topology");
    if (!topology) return false;
    mixer_ = std::make_unique<host::PropertyDispatcher>(topology->miniport);
    // The ADC's frames carry serial numbers from 1, as the playback frames do.
    device_.Machine().GetCodec().Adc().SetStream([this](std::span<std::uint8_t> out) {
      for (std::size_t i = 0; i + kFrame <= out.size(); i += kFrame) {
        const std::uint32_t serial = ++adcSerial_;
        std::memcpy(out.data() + i, &serial, kFrame);
      }
      return out.size() - out.size() % kFrame;
    });
    return true;
  }

  std::uint64_t Interrupts() { return device_.Kernel().InterruptsDelivered(); }

  // One sequence; false when it found a fault (described on stderr).
  bool Run(std::uint32_t seed) {
    seed_ = seed;
    journal_.clear();
    journalPrinted_ = false;
    std::mt19937 random(seed);
    const bool play = options_.playback && (!options_.capture || random() % 4 != 0);
    const bool record = options_.capture && (!play || random() % 2 == 0);
    host::ThreadOptions threads;
    threads.seed = seed;
    threads.patience = std::uniform_int_distribution<unsigned>(0, 3000)(random);
    threads.hardwareStep = (5 + random() % 60) * sim::kTicksPerMicrosecond;
    const int steps = 4 + static_cast<int>(random() % 10);
    const bool power = random() % 4 == 0 && options_.power;
    const bool mixer = random() % 2 == 0;

    host::WavePciPinOptions pinOptions;
    pinOptions.firstPageOffset = (random() % 1024) * kFrame;  // frames never split across mappings
    host::WavePciPin* render = play ? device_.Open(kRenderPin, kCd, nullptr, pinOptions) : nullptr;
    host::WavePciPin* capture = record ? device_.Open(kCapturePin, kCd, nullptr, pinOptions) : nullptr;
    if ((play && !render) || (record && !capture)) return Fail("a stream did not open");
    figures_.streams += play + record;
    const std::size_t dacStart = device_.Dac().size();
    const std::uint64_t silentAtStart = device_.Machine().GetCodec().Dac().SilentFrames();

    device_.Kernel().StartThreads(threads);
    std::vector<std::thread> workers;
    RenderLog renderLog;
    if (render) workers.emplace_back([&, s = random()] { DriveRender(render, s, steps, renderLog); });
    if (capture) workers.emplace_back([&, s = random()] { DriveCapture(capture, s, steps); });
    if (mixer) workers.emplace_back([&, s = random()] { DriveMixer(s, steps); });
    if (power) workers.emplace_back([&, s = random()] { DrivePower(s); });
    for (std::thread& worker : workers) worker.join();

    bool ok = true;
    // The end: playback runs until every buffer is back, capture is stopped.
    if (render) {
      renderLog.Queue(render, 2 * kCdBlock, frameSerial_);
      if (render->SetState(KSSTATE_RUN) != STATUS_SUCCESS) ok = Fail("the final run failed");
      const bool drained = device_.Kernel().RunUntil(
          [&] {
            for (const auto& b : renderLog.buffers)
              if (!render->BufferDone(b.id)) return false;
            return true;
          },
          5 * sim::kTicksPerSecond);
      if (!drained) ok = Fail("the playback stream never handed every buffer back");
    }
    if (capture && capture->SetState(KSSTATE_STOP) != STATUS_SUCCESS) ok = Fail("capture did not stop");
    if (render && render->SetState(KSSTATE_STOP) != STATUS_SUCCESS) ok = Fail("playback did not stop");
    device_.Kernel().StopThreads();

    if (render) ok = CheckRender(render, renderLog, dacStart, silentAtStart) && ok;
    if (capture) ok = CheckCapture(capture) && ok;
    if (mixer) ok = CheckMixer() && ok;
    if (render) device_.Close(render);
    if (capture) device_.Close(capture);
    // Fail takes mutex_ itself: take the violations out first.
    std::vector<std::string> violations;
    {
      std::lock_guard lock(mutex_);
      violations.swap(violations_);
    }
    for (const std::string& v : violations) ok = Fail("violation: " + v);
    figures_.sequences++;
    return ok;
  }

 private:
  struct RenderBuffer {
    host::WavePciPin::BufferId id;
    std::uint32_t firstFrame;
    std::uint32_t frames;
    bool cancelled = false;
    std::uint64_t stopsAtQueue;
  };
  struct RenderLog {
    std::vector<RenderBuffer> buffers;
    std::uint64_t stops = 0;  // transitions below pause: what was queued before may go back unplayed
    void Queue(host::WavePciPin* pin, std::size_t bytes, std::atomic<std::uint32_t>& serial) {
      const std::uint32_t frames = static_cast<std::uint32_t>(bytes / kFrame);
      const std::uint32_t first = serial.fetch_add(frames) + 1;
      std::vector<std::uint8_t> data(frames * kFrame);
      for (std::uint32_t i = 0; i < frames; i++) {
        const std::uint32_t v = first + i;
        std::memcpy(data.data() + i * kFrame, &v, kFrame);
      }
      buffers.push_back({pin->QueueBuffer(data), first, frames, false, stops});
    }
  };

  static KSSTATE RandomState(std::mt19937& random) {
    static const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_RUN};
    return states[random() % 5];
  }
  void Latency(std::mt19937& random) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
  }
  std::size_t RandomBytes(std::mt19937& random) {
    return (1 + random() % (3 * kCdBlock / kFrame)) * kFrame;
  }

  void DriveRender(host::WavePciPin* pin, std::uint32_t seed, int steps, RenderLog& log) {
    device_.Kernel().NameThread("render");
    std::mt19937 random(seed);
    for (int i = 0; i < steps; i++) {
      switch (random() % 6) {
        case 0:
        case 1: {
          log.Queue(pin, RandomBytes(random), frameSerial_);
          const RenderBuffer& b = log.buffers.back();
          Note("queued buffer " + std::to_string(b.id) + ": frames " + std::to_string(b.firstFrame) + ".." +
               std::to_string(b.firstFrame + b.frames - 1));
          figures_.buffers++;
          break;
        }
        case 2: {
          const KSSTATE before = pin->State();
          const KSSTATE next = RandomState(random);
          if (next < KSSTATE_PAUSE && before >= KSSTATE_PAUSE) log.stops++;
          if (before == KSSTATE_RUN && next < KSSTATE_RUN) figures_.pauses++;
          const NTSTATUS status = pin->SetState(next);
          Note("playback state " + std::to_string(before) + " -> " + std::to_string(next) + ": " + Hex(status));
          figures_.stateChanges++;
          break;
        }
        case 3:
          if (options_.revoke && !log.buffers.empty()) {
            RenderBuffer& b = log.buffers[random() % log.buffers.size()];
            if (!b.cancelled && !pin->BufferDone(b.id)) {
              b.cancelled = true;
              ULONG revoked = 0;
              const NTSTATUS status = pin->CancelBuffer(b.id, &revoked);
              Note("cancelled buffer " + std::to_string(b.id) + ": " + std::to_string(revoked) + " revoked, " +
                   Hex(status));
              figures_.revocations++;
            }
          }
          break;
        case 4: {
          ULONGLONG position = 0;
          pin->Stream()->GetPosition(&position);
          figures_.positions++;
          break;
        }
        default: {
          const KSSTATE before = pin->State();
          const NTSTATUS status = pin->SetState(KSSTATE_RUN);
          Note("playback state " + std::to_string(before) + " -> 3: " + Hex(status));
          figures_.stateChanges++;
          break;
        }
      }
      Latency(random);
    }
  }

  void DriveCapture(host::WavePciPin* pin, std::uint32_t seed, int steps) {
    device_.Kernel().NameThread("capture");
    std::mt19937 random(seed);
    std::vector<host::WavePciPin::BufferId> ids;
    for (int i = 0; i < steps; i++) {
      switch (random() % 5) {
        case 0:
        case 1: {
          const ULONG bytes = static_cast<ULONG>(RandomBytes(random));
          ids.push_back(pin->QueueCaptureBuffer(bytes));
          Note("queued capture buffer " + std::to_string(ids.back()) + ": " + std::to_string(bytes) + " bytes");
          figures_.buffers++;
          break;
        }
        case 2: {
          const KSSTATE before = pin->State();
          const KSSTATE next = RandomState(random);
          const NTSTATUS status = pin->SetState(next);
          Note("capture state " + std::to_string(before) + " -> " + std::to_string(next) + ": " + Hex(status));
          figures_.stateChanges++;
          break;
        }
        case 3:
          if (options_.revoke && !ids.empty()) {
            const auto id = ids[random() % ids.size()];
            if (!pin->BufferDone(id)) {
              ULONG revoked = 0;
              const NTSTATUS status = pin->CancelBuffer(id, &revoked);
              Note("cancelled capture buffer " + std::to_string(id) + ": " + std::to_string(revoked) + " revoked, " +
                   Hex(status));
              figures_.revocations++;
            }
          }
          break;
        default: {
          ULONGLONG position = 0;
          pin->Stream()->GetPosition(&position);
          figures_.positions++;
          break;
        }
      }
      Latency(random);
    }
  }

  void DriveMixer(std::uint32_t seed, int steps) {
    device_.Kernel().NameThread("mixer");
    std::mt19937 random(seed);
    for (int i = 0; i < steps; i++) {
      if (random() % 2) {
        const int step = static_cast<int>(random() % 32);
        if (mixer_->SetAudio(kMasterVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -step * 3 * 65536 / 2).status ==
            STATUS_SUCCESS)
          volumeSteps_ = step;
      } else {
        const bool mute = random() % 2;
        if (mixer_->SetAudio(kMasterMuteNode, KSPROPERTY_AUDIO_MUTE, 0, mute).status == STATUS_SUCCESS) muted_ = mute;
      }
      figures_.properties++;
      Latency(random);
    }
  }

  void DrivePower(std::uint32_t seed) {
    device_.Kernel().NameThread("power");
    std::mt19937 random(seed);
    Latency(random);
    Note("to D3");
    if (device_.Harness().SetPowerState(PowerDeviceD3) != STATUS_SUCCESS) Fail("the way to D3 failed");
    Note("in D3");
    Latency(random);
    Note("to D0");
    if (device_.Harness().SetPowerState(PowerDeviceD0) != STATUS_SUCCESS) Fail("the way back to D0 failed");
    Note("in D0");
    figures_.powerCycles++;
  }

  bool CheckRender(host::WavePciPin* pin, const RenderLog& log, std::size_t dacStart, std::uint64_t silentAtStart) {
    bool ok = true;
    if (pin->CountIn(host::WavePciPin::MappingState::HandedOut) != 0) ok = Fail("playback mappings still out");
    const std::vector<std::uint8_t>& dac = device_.Dac();
    if ((dac.size() - dacStart) % kFrame) ok = Fail("the DAC got a part of a frame");
    std::vector<bool> played;
    const std::uint32_t base = log.buffers.empty() ? 0 : log.buffers.front().firstFrame;
    const std::uint32_t end = log.buffers.empty() ? 0 : log.buffers.back().firstFrame + log.buffers.back().frames;
    played.resize(end - base);
    std::uint32_t last = 0;
    for (std::size_t i = dacStart; i + kFrame <= dac.size(); i += kFrame) {
      const std::uint32_t frame = FrameAt(&dac[i]);
      if (frame < base || frame >= end) return Fail("the DAC played frame " + std::to_string(frame) + ", never sent");
      if (frame <= last)
        return Fail("the DAC played frame " + std::to_string(frame) + " after frame " + std::to_string(last));
      last = frame;
      played[frame - base] = true;
      figures_.framesPlayed++;
    }
    // Frames the channel moved while the codec was powered down or settling
    // are played as silence, and the machine counts them: that many frames
    // may be missing from buffers that were neither cancelled nor stopped.
    std::uint64_t unheard = device_.Machine().GetCodec().Dac().SilentFrames() - silentAtStart;
    for (const RenderBuffer& b : log.buffers) {
      const bool mayBeLost = b.cancelled || b.stopsAtQueue < log.stops;
      for (std::uint32_t f = b.firstFrame; f < b.firstFrame + b.frames; f++) {
        if (played[f - base]) continue;
        if (!mayBeLost && unheard > 0) {
          unheard--;
          figures_.framesUnheard++;
          continue;
        }
        if (!mayBeLost) {
          std::string mappings;
          for (const auto& m : pin->Mappings())
            if (m.buffer == b.id)
              mappings += " #" + std::to_string(m.sequence) + " " + std::to_string(m.bytes) + " bytes state " +
                          std::to_string(static_cast<int>(m.state)) + ";";
          std::uint32_t to = f;
          while (to + 1 < b.firstFrame + b.frames && !played[to + 1 - base]) ++to;
          return Fail("frames " + std::to_string(f) + ".." + std::to_string(to) + " of buffer " + std::to_string(b.id) +
                      " (neither cancelled nor stopped) never played; its mappings:" + mappings);
        }
        figures_.framesCancelled++;
      }
    }
    return ok;
  }

  bool CheckCapture(host::WavePciPin* pin) {
    bool ok = true;
    if (pin->CountIn(host::WavePciPin::MappingState::HandedOut) != 0) ok = Fail("capture mappings still out");
    std::vector<std::uint8_t> captured = pin->TakeCapturedBytes();
    std::uint32_t last = capturedLast_;
    for (std::size_t i = 0; i + kFrame <= captured.size(); i += kFrame) {
      const std::uint32_t frame = FrameAt(&captured[i]);
      if (frame == kUnfilled) continue;  // the part of a mapping a stop left unfilled
      if (frame <= last || frame > adcSerial_.load())
        return Fail("capture frame " + std::to_string(frame) + " after frame " + std::to_string(last) +
                    (frame <= last ? " (twice or out of order)" : " (never sampled)"));
      last = frame;
      figures_.framesCaptured++;
    }
    capturedLast_ = last;
    return ok;
  }

  static std::string Hex(unsigned v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", v);
    return text;
  }

  bool CheckMixer() {
    device_.RunFor(sim::kTicksPerMillisecond);  // the last command crosses the link
    const std::uint16_t reg = device_.Machine().GetCodec().Read(kMasterRegister);
    bool ok = true;
    if (volumeSteps_ >= 0 && ((reg >> 8) & 0x3F) != volumeSteps_.load())
      ok = Fail("master volume register " + Hex(reg) + " does not hold the last volume asked for (" +
                std::to_string(volumeSteps_) + " steps)");
    if (muted_ >= 0 && ((reg & 0x8000) != 0) != (muted_ == 1))
      ok = Fail("master register " + Hex(reg) + " does not hold the last mute asked for");
    return ok;
  }

  bool Fail(const std::string& what) {
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "stress: seed %u: %s\n", seed_, what.c_str());
    if (!journalPrinted_) {
      journalPrinted_ = true;
      std::fprintf(stderr, "stress: seed %u: what the sequence did:\n", seed_);
      for (const std::string& line : journal_) std::fprintf(stderr, "  %s\n", line.c_str());
    }
    return false;
  }
  // What the driving threads did, in the order they did it (printed with a failure).
  void Note(const std::string& what) {
    const auto now = device_.Kernel().Now();
    std::lock_guard lock(mutex_);
    journal_.push_back(std::to_string(now / sim::kTicksPerMicrosecond) + " us " + device_.Kernel().ThreadName() +
                       ": " + what);
  }

  const Options& options_;
  Figures& figures_;
  wavetest::WaveDevice device_;
  std::unique_ptr<host::PropertyDispatcher> mixer_;
  std::mutex mutex_;
  std::vector<std::string> violations_;
  std::vector<std::string> journal_;
  bool journalPrinted_ = false;
  std::uint32_t seed_ = 0;
  std::atomic<std::uint32_t> frameSerial_{0};
  std::atomic<std::uint32_t> adcSerial_{0};
  std::uint32_t capturedLast_ = 0;
  std::atomic<int> volumeSteps_{-1};
  std::atomic<int> muted_{-1};
};

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--seed" || a == "--sequences" || a == "--seconds") {
      const char* v = value();
      if (!v) return false;
      if (a == "--seed") o.seed = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 0));
      else if (a == "--sequences") o.sequences = std::strtoull(v, nullptr, 0);
      else o.seconds = std::strtod(v, nullptr);
    } else if (a == "--no-capture") {
      o.capture = false;
    } else if (a == "--no-playback") {
      o.playback = false;
    } else if (a == "--no-revoke") {
      o.revoke = false;
    } else if (a == "--no-power") {
      o.power = false;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--seed N] [--sequences N] [--seconds S] [--no-playback] [--no-capture] [--no-power] "
                 "[--no-revoke] [--verbose]\n",
                 argv[0]);
    return 2;
  }
  Figures figures;
  const auto begin = std::chrono::steady_clock::now();
  auto timeLeft = [&] {
    return options.seconds <= 0 ||
           std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() < options.seconds;
  };
  // A fresh device every so many sequences, so a fault does not follow into every later one.
  constexpr std::uint64_t kSequencesPerDevice = 50;
  std::uint64_t done = 0;
  while ((options.seconds > 0 ? timeLeft() : done < options.sequences)) {
    Stress stress(options, figures);
    if (!stress.Start()) return 1;
    for (std::uint64_t i = 0; i < kSequencesPerDevice && (options.seconds > 0 ? timeLeft() : done < options.sequences);
         i++, done++) {
      const std::uint32_t seed = options.seed + static_cast<std::uint32_t>(done);
      if (!stress.Run(seed)) figures.failures++;
      if (options.verbose) std::fprintf(stderr, "seed %u done\n", seed);
    }
    figures.interrupts += stress.Interrupts();
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf(
      "stress: %llu sequences (seeds %u..%llu), %llu streams, %llu buffers, %llu state changes (%llu pauses), "
      "%llu revocations, %llu position queries, %llu property requests, %llu power cycles, %llu interrupts; "
      "%llu frames played, %llu cancelled or stopped unplayed, %llu unheard while the codec was down, %llu captured; "
      "%.1f s; %llu failed\n",
      (unsigned long long)figures.sequences.load(), options.seed, (unsigned long long)(options.seed + done - 1),
      (unsigned long long)figures.streams.load(), (unsigned long long)figures.buffers.load(),
      (unsigned long long)figures.stateChanges.load(), (unsigned long long)figures.pauses.load(),
      (unsigned long long)figures.revocations.load(), (unsigned long long)figures.positions.load(),
      (unsigned long long)figures.properties.load(), (unsigned long long)figures.powerCycles.load(),
      (unsigned long long)figures.interrupts.load(), (unsigned long long)figures.framesPlayed.load(),
      (unsigned long long)figures.framesCancelled.load(), (unsigned long long)figures.framesUnheard.load(), (unsigned long long)figures.framesCaptured.load(), elapsed,
      (unsigned long long)figures.failures.load());
  return figures.failures == 0 ? 0 : 1;
}
