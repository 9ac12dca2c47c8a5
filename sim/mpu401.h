// A minimal MPU-401 at the MIDI base: data port (+0) and status/command port
// (+1). Status bit 7 clear = a byte is waiting to be read; bit 6 clear =
// ready to accept. Reset (0xFF) and UART mode (0x3F) answer the 0xFE ack.
// Bytes written to the data port are kept as MIDI out. It raises no
// interrupt: nothing arrives on its MIDI in.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

class Mpu401 {
 public:
  static constexpr std::uint8_t kAck = 0xFE;
  static constexpr std::uint8_t kDataNotAvailable = 0x80;

  std::uint8_t Read(std::uint16_t offset);
  void Write(std::uint16_t offset, std::uint8_t value);

  bool UartMode() const { return uart_; }
  const std::vector<std::uint8_t>& MidiOut() const { return out_; }
  void InjectMidiIn(std::uint8_t byte) { in_.push_back(byte); }

 private:
  std::deque<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  bool uart_ = false;
};

}  // namespace sim
