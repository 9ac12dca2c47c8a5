#include "sim/mpu401.h"

namespace sim {

std::uint8_t Mpu401::Read(std::uint16_t offset) {
  switch (offset) {
    case 0: {
      if (in_.empty()) return 0xFF;
      const std::uint8_t b = in_.front();
      in_.pop_front();
      return b;
    }
    case 1:
      return in_.empty() ? kDataNotAvailable : 0x00;
    default:
      return 0xFF;
  }
}

void Mpu401::Write(std::uint16_t offset, std::uint8_t value) {
  if (offset == 0) {
    out_.push_back(value);
    return;
  }
  if (offset != 1) return;
  if (value == 0xFF) {
    // Reset leaves UART mode; the ack comes either way.
    uart_ = false;
    in_.clear();
    in_.push_back(kAck);
  } else if (value == 0x3F && !uart_) {
    uart_ = true;
    in_.push_back(kAck);
  }
}

}  // namespace sim
