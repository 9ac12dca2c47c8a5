// Reads a fuzzer's bytes as a stream of small decisions. Past the end every
// read yields zero, so any input decodes to some complete scenario.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Remaining() const { return at_ < size_ ? size_ - at_ : 0; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Low part first, in separate statements: the operands of | may be evaluated in
  // either order, and an input must decode alike in every build.
  std::uint16_t U16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | static_cast<std::uint32_t>(U16()) << 16;
  }
  bool Bool() { return Byte() & 1; }
  // A value in [0, bound) (bound > 0).
  std::uint32_t Below(std::uint32_t bound) { return bound <= 256 ? Byte() % bound : U32() % bound; }
  template <typename T, std::size_t N>
  const T& Pick(const T (&options)[N]) {
    return options[Below(N)];
  }
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& b : out) b = Byte();
    return out;
  }
  // What is left, as it stands.
  std::vector<std::uint8_t> Rest() {
    std::vector<std::uint8_t> out(data_ + (at_ < size_ ? at_ : size_), data_ + size_);
    at_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Stops the run with a message libFuzzer keeps next to the crashing input.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fuzz
