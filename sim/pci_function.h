// Configuration space of the audio controller's PCI function (function 5 of
// its device), with the controller's own bytes 0x40-0x43:
//   0x40 CodecLinkStatus   read only; 0x01 the link is up and the codec
//                          ready, 0x02 the link is asleep (the codec shut it
//                          down with PR4, or the function sleeps in D1/D2)
//                          and waits for a warm reset, 0x00 otherwise (off,
//                          held in reset, or still coming up)
//   0x41 CodecLinkControl  bit 7 link enable, bit 6 codec reset released
//                          (0 holds the codec in cold reset), bit 5 SYNC:
//                          raising it while the link sleeps is a warm reset,
//                          bit 3 variable-rate slots (the channels follow the
//                          codec's rates; without it they run at 48 kHz),
//                          bit 2 PCM slots enabled (without it the channels
//                          exchange no samples with the codec and stall);
//                          bits 4, 1 and 0 are stored and mean nothing.
//                          The link (re)starts only when bits 7 and 6 become
//                          both set; a (re)start from down is a cold reset.
//   0x42 MidiControl       bit 1 = MPU-401 port enabled
//   0x43 MidiPortSelect    bits 3-2 pick 0x300/0x310/0x320/0x330
// The function's device power state (set by the bus driver): in D1 and D2
// the link sleeps with the codec keeping its registers; in D3 the codec
// loses power, and the return to D0 brings the link control byte back at
// its power-on value, which cold-starts the link.
// BAR0 (0x10) places the 256-byte controller block, BAR1 (0x14) the second
// small range; the command register's bit 0 enables their decoding.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "sim/clock.h"
#include "sim/machine_config.h"
#include "sim/trace.h"

namespace sim {

enum class ConfigPath { Bus, Bios };

namespace cfg {
constexpr std::uint8_t kVendorId = 0x00;
constexpr std::uint8_t kDeviceId = 0x02;
constexpr std::uint8_t kCommand = 0x04;
constexpr std::uint8_t kRevision = 0x08;
constexpr std::uint8_t kBar0 = 0x10;
constexpr std::uint8_t kBar1 = 0x14;
constexpr std::uint8_t kInterruptLine = 0x3C;
constexpr std::uint8_t kCodecLinkStatus = 0x40;
constexpr std::uint8_t kCodecLinkControl = 0x41;
constexpr std::uint8_t kMidiControl = 0x42;
constexpr std::uint8_t kMidiPortSelect = 0x43;
}  // namespace cfg

class Codec;

class PciFunction {
 public:
  enum class LinkState { Off, Starting, Ready, Asleep, Waking };
  enum class PowerState { D0, D1, D2, D3 };

  // `down` when the link stops carrying commands (coldReset: the codec
  // lost its registers), `changed` after every change of the link's state
  // or of the control bits the channels follow.
  struct LinkObserver {
    std::function<void(bool coldReset)> down;
    std::function<void()> changed;
  };

  PciFunction(const MachineConfig& config, Clock& clock, Trace& trace);

  // width 1, 2 or 4; an access that does not fit in 256 bytes or has another
  // width reads all-ones, writes nothing, and is recorded as a fault.
  std::uint32_t Read(std::uint32_t offset, int width, ConfigPath path = ConfigPath::Bus);
  void Write(std::uint32_t offset, int width, std::uint32_t value, ConfigPath path = ConfigPath::Bus);

  // Untraced, side-effect-free views for tests and tools.
  std::uint8_t Peek(std::uint8_t offset) const;
  void Poke(std::uint8_t offset, std::uint8_t value) { space_[offset] = value; }

  void SetLinkObserver(LinkObserver observer) { observer_ = std::move(observer); }
  void SetCodec(Codec* codec) { codec_ = codec; }
  bool LinkReady() const { return state_ == LinkState::Ready; }
  LinkState GetLinkState() const { return state_; }
  // The channels exchange samples with the codec only while this holds.
  bool LinkCarriesData() const;
  bool VariableRateSlots() const { return (space_[cfg::kCodecLinkControl] & 0x08) != 0; }
  // The codec set PR4: the link sleeps until a warm reset.
  void CodecShutLinkDown();
  // The bus driver's change of the function's device power state.
  void SetPowerState(PowerState state);
  PowerState GetPowerState() const { return power_; }

  std::uint8_t Revision() const { return space_[cfg::kRevision]; }
  bool IoDecodeEnabled() const { return (space_[cfg::kCommand] & 0x01) != 0; }
  std::uint16_t IoBase() const;
  std::uint16_t IoBase2() const;
  std::uint8_t InterruptLine() const { return space_[cfg::kInterruptLine]; }
  bool MidiEnabled() const { return (space_[cfg::kMidiControl] & 0x02) != 0; }
  std::uint16_t MidiBase() const;

  static constexpr std::uint32_t kControllerBlockSize = 256;
  static constexpr std::uint32_t kSecondRangeSize = 4;

 private:
  std::uint8_t ReadByte(std::uint8_t offset) const;
  void WriteByte(std::uint8_t offset, std::uint8_t value);
  void ColdStart();
  void GoDown(LinkState state, bool coldReset);
  void BecomeReadyAfter(LinkState passing, bool warm);
  void Changed();

  const LinkConfig link_;
  Clock& clock_;
  Trace& trace_;
  std::array<std::uint8_t, 256> space_{};
  std::array<std::uint8_t, 256> writable_{};
  LinkState state_ = LinkState::Off;
  PowerState power_ = PowerState::D0;
  Clock::EventId linkEvent_ = 0;
  LinkObserver observer_;
  Codec* codec_ = nullptr;
};

}  // namespace sim
