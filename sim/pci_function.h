// Configuration space of the audio controller's PCI function (function 5 of
// its device), with the controller's own bytes 0x40-0x43:
//   0x40 CodecLinkStatus   read only; bit 0 = codec ready
//   0x41 CodecLinkControl  writing bits 7 and 6 set (re)starts the link
//   0x42 MidiControl       bit 1 = MPU-401 port enabled
//   0x43 MidiPortSelect    bits 3-2 pick 0x300/0x310/0x320/0x330
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

class PciFunction {
 public:
  // Called when the link goes down for a restart (coldReset when the codec
  // was held in reset before: its registers return to their reset values),
  // and when it comes up again.
  struct LinkObserver {
    std::function<void(bool coldReset)> down;
    std::function<void()> up;
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
  bool LinkReady() const { return linkReady_; }

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
  void RestartLink(bool coldReset);

  const LinkConfig link_;
  Clock& clock_;
  Trace& trace_;
  std::array<std::uint8_t, 256> space_{};
  std::array<std::uint8_t, 256> writable_{};
  bool linkReady_ = false;
  Clock::EventId linkEvent_ = 0;
  LinkObserver observer_;
};

}  // namespace sim
