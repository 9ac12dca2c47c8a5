// Operation sequences on one wave stream of a started device: client buffers
// of any size at any page offset, state changes (one step at a time, as the
// framework walks them), cancelled buffers and revoked mapping ranges,
// position queries, stretches of machine time, service latencies and pool
// allocation failures, on the render or the capture pin in any format the
// pin accepts.
//
// Render data is a counter, one 16-bit value per two bytes, that never reads
// as silence. At the end, with the stream stopped and closed:
//   every mapping was released once and in order, or revoked (the port's
//   rules; a mapping still out is a violation);
//   every byte of every mapping released while the stream ran or paused
//   reached the DAC, once and in order (the DAC's non-silent values only
//   ever increase);
//   the position never went back between two stops;
//   nothing leaked and no kernel rule was broken.
//
// A paused stream keeps its place: a run after a pause goes on from the
// first byte that did not play, so a mapping handed back on the way into
// pause has played in full. Going from pause down to acquire is the way to
// stop: the stream hands back what it holds without playing it (the
// position then goes to 0 at the stop), so only the mappings handed back in
// that step, or in the step from acquire to stop, may be unheard.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "fuzz_device.h"
#include "fuzz_input.h"
#include "host/wavepci.h"

namespace {

struct Format {
  ULONG rate;
  USHORT channels;
  USHORT bits;
};

const Format kFormats[] = {{48000, 2, 16}, {48000, 1, 16}, {48000, 2, 8}, {48000, 1, 8},
                           {44100, 2, 16}, {22050, 1, 8},  {11025, 2, 16}, {8000, 1, 16}};

// The counter value `n` (from 0) as two bytes, skipping the pairs that
// read as silence in either width (0x0000, 0x8080).
std::uint16_t CounterValue(std::uint32_t n) {
  std::uint32_t v = n + 1;
  if (v >= 0x8080) ++v;
  return static_cast<std::uint16_t>(v);
}

class Stream {
 public:
  Stream(fuzz::Device& device, bool capture, const Format& format, host::WavePciPinOptions options)
      : capture_(capture), frame_(format.channels * format.bits / 8u) {
    auto wave = device.Harness().Subdevice(L"Wave");
    if (!wave) fuzz::Fail("no Wave subdevice");
    wave->port->QueryInterface(IID_IPortWavePci, reinterpret_cast<PVOID*>(&port_));
    wave->miniport->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&miniport_));
    status_ = host::WavePciPin::Open(port_, miniport_, capture ? 0 : 2, capture,
                                     host::MakePcmFormat(format.rate, format.channels, format.bits), &pin_, options);
    // A buffer's memory goes back to the framework once its last mapping
    // does: keep what each mapping held when it was handed out.
    if (pin_) {
      pin_->onHandOut = [this](const host::WavePciPin::Mapping& m) {
        handedOut_[m.sequence].assign(m.virtualAddress, m.virtualAddress + m.bytes);
      };
      pin_->onRelease = [this](const host::WavePciPin::Mapping& m) {
        released_.push_back({m.sequence, handedOut_[m.sequence]});
        // The pin moves to the next state once the stream's step returns.
        if (stopping_ && pin_->State() <= KSSTATE_PAUSE) unplayed_.push_back(m.sequence);
      };
    }
  }
  ~Stream() {
    if (pin_) {
      pin_->Close();
      pin_->Release();
    }
    if (port_) port_->Release();
    if (miniport_) miniport_->Release();
  }

  NTSTATUS OpenStatus() const { return status_; }
  host::WavePciPin& Pin() { return *pin_; }

  void Queue(std::uint32_t frames) {
    const std::uint32_t bytes = std::max<std::uint32_t>(frames, 1) * frame_;
    if (counterBytes_ + bytes > 2 * 60000u) return;  // the counter stays unique
    host::WavePciPin::BufferId id;
    if (capture_) {
      id = pin_->QueueCaptureBuffer(bytes);
    } else {
      std::vector<std::uint8_t> data(bytes);
      for (std::uint32_t i = 0; i < bytes; ++i) {
        const std::uint64_t at = counterBytes_ + i;
        const std::uint16_t value = CounterValue(static_cast<std::uint32_t>(at / 2));
        data[i] = static_cast<std::uint8_t>(at % 2 ? value >> 8 : value);
      }
      id = pin_->QueueBuffer(data);
    }
    counterBytes_ += bytes;
    buffers_.push_back(id);
  }

  void Cancel(std::uint32_t pick) {
    if (buffers_.empty()) return;
    const auto id = buffers_[pick % buffers_.size()];
    if (!pin_->BufferDone(id)) pin_->CancelBuffer(id);
  }

  void Revoke(std::uint32_t first, std::uint32_t span) {
    const auto& mappings = pin_->Mappings();
    if (mappings.empty()) return;
    const std::uint64_t base = mappings.front().sequence;
    const std::uint64_t a = base + first % mappings.size();
    ULONG revoked = 0;
    pin_->Revoke(a, a + span % 4, &revoked);
  }

  // The steps from pause to acquire and from acquire to stop hand back
  // what is still out without playing it; the step from run to pause does not.
  void SetState(KSSTATE state) {
    stopping_ = state < KSSTATE_PAUSE;
    pin_->SetState(state);
    stopping_ = false;
    if (pin_->State() == KSSTATE_STOP) lastPosition_ = 0;
  }
  const std::vector<std::uint64_t>& ReleasedByStop() const { return unplayed_; }
  struct Released {
    std::uint64_t sequence;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Released>& ReleasedMappings() const { return released_; }

  void QueryPosition() {
    ULONGLONG position = 0;
    if (!NT_SUCCESS(pin_->Stream()->GetPosition(&position))) return;
    if (pin_->State() != KSSTATE_STOP && position < lastPosition_)
      fuzz::Fail("the position went back from " + std::to_string(lastPosition_) + " to " + std::to_string(position));
    lastPosition_ = position;
  }

 private:
  const bool capture_;
  const std::uint32_t frame_;
  PPORTWAVEPCI port_ = nullptr;
  PMINIPORTWAVEPCI miniport_ = nullptr;
  host::WavePciPin* pin_ = nullptr;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
  std::uint64_t counterBytes_ = 0;
  std::vector<host::WavePciPin::BufferId> buffers_;
  ULONGLONG lastPosition_ = 0;
  bool stopping_ = false;
  std::vector<std::uint64_t> unplayed_;
  std::vector<Released> released_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> handedOut_;
};

// Every released mapping's counter values appear among the DAC's non-silent
// values, and those only ever increase (nothing doubled or reordered).
void CheckDac(const Stream& stream, const std::vector<std::uint8_t>& dac) {
  const std::vector<std::uint64_t>& unplayed = stream.ReleasedByStop();
  std::vector<std::uint16_t> heard;
  for (std::size_t i = 0; i + 1 < dac.size(); i += 2) {
    const std::uint16_t v = static_cast<std::uint16_t>(dac[i] | dac[i + 1] << 8);
    if (v != 0 && v != 0x8080) heard.push_back(v);
  }
  for (std::size_t i = 1; i < heard.size(); ++i)
    if (heard[i] <= heard[i - 1])
      fuzz::Fail("the DAC played value " + std::to_string(heard[i]) + " after " + std::to_string(heard[i - 1]) +
                 ": a byte doubled or out of order");
  std::size_t at = 0;
  for (const auto& m : stream.ReleasedMappings()) {
    if (std::find(unplayed.begin(), unplayed.end(), m.sequence) != unplayed.end()) continue;
    for (std::size_t i = 0; i + 1 < m.bytes.size(); i += 2) {
      const std::uint16_t v = static_cast<std::uint16_t>(m.bytes[i] | m.bytes[i + 1] << 8);
      while (at < heard.size() && heard[at] < v) ++at;
      if (at == heard.size() || heard[at] != v)
        fuzz::Fail("a released mapping's value " + std::to_string(v) + " never reached the DAC");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const bool capture = in.Byte() % 4 == 0;
  const Format format = in.Pick(kFormats);
  host::WavePciPinOptions options;
  options.firstPageOffset = in.Bool() ? 0 : in.U16() % PAGE_SIZE & ~1u;
  fuzz::Device device;
  if (!NT_SUCCESS(device.Start())) fuzz::Fail("the device did not start: " + device.Harness().LastError());
  const bool checkDac = !capture && format.bits * format.channels >= 16;
  {
    Stream stream(device, capture, format, options);
    if (!NT_SUCCESS(stream.OpenStatus())) {
      device.Finish();
      device.RequireNoViolations();
      return 0;
    }
    for (int step = 0; step < 48 && !in.Empty(); ++step) {
      switch (in.Byte() % 10) {
        case 0:
        case 1: stream.Queue(in.Byte() % 4 ? in.U16() % 2048 : in.U16()); break;
        case 2: stream.SetState(static_cast<KSSTATE>(in.Byte() % 4)); break;
        case 3: stream.Cancel(in.Byte()); break;
        case 4: {
          const std::uint8_t first = in.Byte();  // arguments are evaluated in no fixed order
          stream.Revoke(first, in.Byte());
          break;
        }
        case 5: stream.QueryPosition(); break;
        case 6: device.Kernel().SetServiceLatency((in.Byte() % 16) * sim::kTicksPerMillisecond / 2); break;
        case 7:
          // One of the next allocations fails; the driver must cope.
          device.Kernel().GetPool().FailNth(1 + in.Byte() % 8);
          break;
        default: device.Kernel().RunFor((1 + in.Byte() % 32) * sim::kTicksPerMillisecond); break;
      }
      stream.QueryPosition();
    }
    device.Kernel().RunFor(20 * sim::kTicksPerMillisecond);
    stream.SetState(KSSTATE_STOP);
    device.Kernel().GetPool().ClearFaults();
    if (checkDac) CheckDac(stream, device.Machine().GetCodec().Dac().Bytes());
  }
  device.Finish();
  device.RequireNoViolations();
  return 0;
}
