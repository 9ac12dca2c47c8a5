// The audio controller's I/O block (256 bytes at BAR0):
//   0x00-0x0F playback SGD channel, 0x10-0x1F capture SGD channel,
//   0x80-0x83 codec access port, 0x84 SgdStatusShadow (read only: playback
//   events in bits 0 and 4, capture events in bits 1 and 5).
// Everything else in the block reads 0 and ignores writes. The interrupt
// line is asserted while a channel has an event bit set whose interrupt
// enable (ChannelType bit 0 for FLAG, bit 1 for EOL) is on.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/codec.h"
#include "sim/codec_port.h"
#include "sim/sgd_channel.h"

namespace sim {

namespace reg {
constexpr std::uint16_t kPlaybackChannel = 0x00;
constexpr std::uint16_t kCaptureChannel = 0x10;
constexpr std::uint16_t kChannelStatus = 0x00;
constexpr std::uint16_t kChannelControl = 0x01;
constexpr std::uint16_t kChannelType = 0x02;
constexpr std::uint16_t kChannelTableAddress = 0x04;
constexpr std::uint16_t kChannelCurrentCount = 0x0C;
constexpr std::uint16_t kCodecDataPort = 0x80;
constexpr std::uint16_t kCodecIndexPort = 0x82;
constexpr std::uint16_t kCodecStatusPort = 0x83;
constexpr std::uint16_t kSgdStatusShadow = 0x84;
}  // namespace reg

class Controller {
 public:
  Controller(const MachineConfig& config, Clock& clock, Trace& trace, PhysicalMemory& memory, Codec& codec,
             const PciFunction& pci);

  std::uint8_t ReadByte(std::uint16_t offset);
  void WriteByte(std::uint16_t offset, std::uint8_t value);
  static const char* RegisterName(std::uint16_t offset);

  std::uint8_t SgdStatusShadow() const;
  bool InterruptLine() const { return line_; }
  void SetInterruptListener(std::function<void(bool asserted)> listener) { listener_ = std::move(listener); }

  // The link started or stopped carrying samples: the channels follow.
  void LinkChanged();
  // No codec command is on its way over the link.
  bool CodecIdle() const;

  SgdChannel& Playback() { return playback_; }
  SgdChannel& Capture() { return capture_; }
  CodecPort& Port() { return codecPort_; }

 private:
  void UpdateInterrupt();

  Trace& trace_;
  std::uint8_t shadowUnusedBits_;
  CodecPort codecPort_;
  SgdChannel playback_;
  SgdChannel capture_;
  bool line_ = false;
  std::function<void(bool)> listener_;
};

}  // namespace sim
