// A machine with an SGD table of two entries over two 4 KiB blocks, driven
// the way a driver drives the channels, for the channel and converter tests.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/machine.h"

namespace sim::test {

constexpr std::uint32_t kFlag = 0x40000000;
constexpr std::uint32_t kEol = 0x80000000;

struct Rig {
  explicit Rig(MachineConfig config = {}) : m(config) {
    base = m.Pci().IoBase();
    m.ConfigWrite(0x41, 1, 0xCC);  // PCM slots on, variable-rate slots, as a driver sets the link up
    table = *m.Memory().Allocate(16, 8);
    block[0] = *m.Memory().Allocate(4096, 32);
    block[1] = *m.Memory().Allocate(4096, 32);
    for (std::uint16_t ch : {std::uint16_t{0x00}, std::uint16_t{0x10}}) m.PortWrite(base + ch + 4, 4, table);
    m.Memory().Write32(table + 0, block[0]);
    m.Memory().Write32(table + 8, block[1]);
  }
  void Arm(int entry, std::uint32_t word) { m.Memory().Write32(table + 8 * entry + 4, word); }
  void Fill(int entry, const std::vector<std::uint8_t>& bytes) {
    m.Memory().Write(block[entry], bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }
  // type: bits 0-1 interrupt enables, 4 stereo, 5 16-bit.
  void Type(std::uint16_t ch, std::uint8_t type) { m.PortWrite(base + ch + 2, 1, type); }
  void Start(std::uint16_t ch = 0) { m.PortWrite(base + ch + 1, 1, 0x80); }
  void Terminate(std::uint16_t ch = 0) { m.PortWrite(base + ch + 1, 1, 0x40); }
  std::uint8_t Status(std::uint16_t ch = 0) { return static_cast<std::uint8_t>(m.PortRead(base + ch, 1)); }
  std::uint32_t Count(std::uint16_t ch = 0) { return m.PortRead(base + ch + 0x0C, 4); }
  std::uint8_t Shadow() { return static_cast<std::uint8_t>(m.PortRead(base + 0x84, 1)); }
  void RunFor(Ticks t) { m.GetClock().Advance(t); }
  const std::vector<std::uint8_t>& Dac() { return m.GetCodec().Dac().Bytes(); }

  Machine m;
  std::uint16_t base = 0;
  PhysicalAddress table = 0;
  PhysicalAddress block[2] = {};
};

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

inline Ticks DurationOf(std::uint64_t bytes, std::uint64_t byteRate) {
  return (bytes * kTicksPerSecond + byteRate - 1) / byteRate;
}

}  // namespace sim::test
