// The whole driver started on the simulated machine through the PnP harness,
// with the real "Wave" subdevice: streams are opened on its port the way the
// framework opens them, and audio moves through the controller's SGD DMA.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "adapter/driver.h"
#include "host/dma.h"
#include "host/driver_under_test.h"
#include "host/kernel.h"
#include "host/pnp.h"
#include "host/wavepci.h"
#include "sim/machine.h"
#include "wave/miniport.h"

namespace wavetest {

constexpr ULONG kRenderPin = 2;
constexpr ULONG kCapturePin = 0;
constexpr sim::Ticks kMillisecond = sim::kTicksPerMillisecond;

struct Format {
  ULONG rate;
  USHORT channels;
  USHORT bits;
  ULONG FrameBytes() const { return channels * bits / 8u; }
  ULONG BlockSize() const { return rate / 100 * FrameBytes(); }
  std::string Name() const {
    return std::to_string(rate) + "Hz_" + std::to_string(bits) + "bit_" + (channels == 2 ? "stereo" : "mono");
  }
};

// 10 ms of 48 kHz 16-bit stereo: one block of 1920 bytes.
inline const Format kCd{48000, 2, 16};
constexpr ULONG kCdBlock = 1920;
constexpr std::uint32_t kSgdFlag = 0x40000000;
constexpr std::uint32_t kSgdEol = 0x80000000;

// Bytes that differ from block to block and never repeat within a run, so a
// lost, doubled or reordered piece shows at the DAC.
inline std::vector<std::uint8_t> Pattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

class WaveDevice {
 public:
  explicit WaveDevice(sim::MachineConfig config = {}) : machine_(config), kernel_(machine_), harness_(kernel_) {
    kernel_.SetViolationHandler([this](const host::Violation& v) { violations.push_back(v.message); });
  }
  // What closing and removing find (a mapping still out, a common buffer or
  // pool block left, a lock still held) fails the test that left it.
  ~WaveDevice() {
    const std::size_t before = violations.size();
    for (host::WavePciPin* pin : pins_) {
      pin->Close();
      pin->Release();
    }
    if (port_) port_->Release();
    if (miniport_) miniport_->Release();
    harness_.RemoveDevice();
    kernel_.Teardown();
    for (std::size_t i = before; i < violations.size(); i++) ADD_FAILURE() << "at teardown: " << violations[i];
  }

  NTSTATUS Start() {
    NTSTATUS status = harness_.Start(host::DriverUnderTest(DriverEntry));
    if (!NT_SUCCESS(status)) {
      violations.push_back("device start: " + harness_.LastError());
      return status;
    }
    auto wave = harness_.Subdevice(L"Wave");
    if (!wave) return STATUS_NOT_FOUND;
    wave->port->QueryInterface(IID_IPortWavePci, reinterpret_cast<PVOID*>(&port_));
    wave->miniport->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&miniport_));
    return port_ && miniport_ ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  }

  // Opens a stream; the device closes it at the end of the test.
  host::WavePciPin* Open(ULONG pin, const Format& f, NTSTATUS* status = nullptr,
                         host::WavePciPinOptions options = {}) {
    return OpenRaw(pin, host::MakePcmFormat(f.rate, f.channels, f.bits), status, options);
  }
  host::WavePciPin* OpenRaw(ULONG pin, const KSDATAFORMAT_WAVEFORMATEX& format, NTSTATUS* status = nullptr,
                            host::WavePciPinOptions options = {}) {
    host::WavePciPin* client = nullptr;
    NTSTATUS s = host::WavePciPin::Open(port_, miniport_, pin, pin == kCapturePin, format, &client, options);
    if (status) *status = s;
    if (NT_SUCCESS(s)) pins_.push_back(client);
    return client;
  }
  // Live pool blocks with `tag`.
  std::size_t LiveBlocks(ULONG tag) {
    std::size_t n = 0;
    for (const auto& block : kernel_.GetPool().Live()) n += block.tag == tag;
    return n;
  }
  void Close(host::WavePciPin* pin) {
    pin->Close();
    pin->Release();
    std::erase(pins_, pin);
  }

  void RunFor(sim::Ticks ticks) { kernel_.RunFor(ticks); }
  bool RunUntil(const std::function<bool()>& condition, sim::Ticks limit = 10 * sim::kTicksPerSecond) {
    return kernel_.RunUntil(condition, limit);
  }

  sim::Machine& Machine() { return machine_; }
  host::Kernel& Kernel() { return kernel_; }
  host::DeviceHarness& Harness() { return harness_; }
  const std::vector<std::uint8_t>& Dac() { return machine_.GetCodec().Dac().Bytes(); }
  sim::SgdChannel& PlaybackChannel() { return machine_.GetController().Playback(); }
  sim::SgdChannel& CaptureChannel() { return machine_.GetController().Capture(); }
  std::vector<std::uint8_t> MarkersOn(std::uint16_t port) {
    std::vector<std::uint8_t> values;
    for (const auto& m : machine_.Markers())
      if (m.port == port) values.push_back(m.value);
    return values;
  }
  PMINIPORTWAVEPCI Miniport() { return miniport_; }
  PADAPTERCOMMON Adapter() { return static_cast<CMiniportWavePciZATAC97*>(miniport_)->AdapterCommon; }

  // The two count words of a channel's SGD table, as the controller reads them.
  std::pair<std::uint32_t, std::uint32_t> CountWords(sim::SgdChannel& channel) {
    const std::uint32_t table = channel.TableAddress();
    return {machine_.Memory().Read32(table + 4), machine_.Memory().Read32(table + 12)};
  }

  // Runs `call` at DISPATCH_LEVEL, where the framework calls a stream from.
  void AtDispatch(const std::function<void()>& call) {
    KIRQL old;
    kernel_.RaiseIrql(DISPATCH_LEVEL, &old, "test");
    call();
    kernel_.LowerIrql(old, "test");
  }

  std::vector<std::string> violations;

 private:
  sim::Machine machine_;
  host::Kernel kernel_;
  host::DeviceHarness harness_;
  PPORTWAVEPCI port_ = nullptr;
  PMINIPORTWAVEPCI miniport_ = nullptr;
  std::vector<host::WavePciPin*> pins_;
};

// Every wave test runs on a started device; a start that fails is the test's
// failure, with the reasons the host recorded.
#define ASSERT_STARTED(device)                                                     \
  do {                                                                             \
    ASSERT_EQ((device).Start(), STATUS_SUCCESS) << Joined((device).violations);    \
    (device).violations.clear();                                                   \
  } while (0)

// Joins every violation for a failure message.
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

}  // namespace wavetest
