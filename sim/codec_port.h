// The controller's codec access port (offsets 0x80-0x83 of the block): one
// command at a time travels over the AC-link to the codec.
//   0x80 CodecDataPort   16 bits: data for a write command; a read's answer
//   0x82 CodecIndexPort  bits 6-0 register, bit 7 read; writing issues it
//   0x83 CodecStatusPort bit 0 busy, bit 1 read data ready (write 1 clears);
//                        the byte reads 0 when a new command can be issued
// A command keeps the port busy for a few microseconds; a command issued
// while the port is busy (or the link is down) is lost and counted.
#pragma once

#include <cstdint>

#include "sim/clock.h"
#include "sim/codec.h"
#include "sim/machine_config.h"
#include "sim/pci_function.h"
#include "sim/trace.h"

namespace sim {

class CodecPort {
 public:
  static constexpr std::uint8_t kBusy = 0x01;
  static constexpr std::uint8_t kDataReady = 0x02;

  CodecPort(const CodecConfig& config, Clock& clock, Trace& trace, Codec& codec, const PciFunction& pci);

  // offset 0-3 relative to CodecDataPort.
  std::uint8_t ReadByte(std::uint16_t offset) const;
  void WriteByte(std::uint16_t offset, std::uint8_t value);

  void LinkDown(bool coldReset);
  bool Busy() const { return busy_; }
  std::uint64_t LostCommands() const { return lost_; }

 private:
  std::uint8_t Status() const;
  void Issue(std::uint8_t index);
  void Complete();

  const CodecConfig config_;
  Clock& clock_;
  Trace& trace_;
  Codec& codec_;
  const PciFunction& pci_;
  std::uint16_t data_ = 0;
  bool busy_ = false;
  bool dataReady_ = false;
  std::uint8_t index_ = 0;
  std::uint16_t latched_ = 0;
  Clock::EventId completion_ = 0;
  std::uint64_t lost_ = 0;
};

}  // namespace sim
