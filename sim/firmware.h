// The firmware window: a BIOS image in 0xE0000-0xFFFFF holding a BIOS32
// Service Directory header, and emulated "code" at the directory's entry
// point and at the PCI BIOS entry point. Call() stands for a 32-bit far call
// with the PCI BIOS's 32-bit register convention.
#pragma once

#include <cstdint>

#include "sim/clock.h"
#include "sim/machine_config.h"
#include "sim/pci_function.h"
#include "sim/physical_memory.h"
#include "sim/trace.h"

namespace sim {

struct Registers {
  std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0;
  bool carry = false;
};

namespace bios {
constexpr std::uint32_t kPciServiceId = 0x49435024;  // "$PCI"
constexpr std::uint32_t kPciSignature = 0x20494350;  // "PCI " (0xB101 answer)
constexpr std::uint8_t kSuccessful = 0x00;
constexpr std::uint8_t kFunctionNotSupported = 0x81;
constexpr std::uint8_t kBadVendorId = 0x83;
constexpr std::uint8_t kDeviceNotFound = 0x86;
constexpr std::uint8_t kBadRegisterNumber = 0x87;
constexpr std::uint8_t kDirectoryServiceMissing = 0x80;
constexpr std::uint8_t kDirectoryBadSelector = 0x81;
// Where things sit in the window (physical addresses).
constexpr std::uint32_t kHeaderAddress = 0xFA510;        // 16-byte aligned
constexpr std::uint32_t kHeaderAddress4 = 0xFA514;       // 4- but not 16-byte aligned
constexpr std::uint32_t kEarlyBadHeaderAddress = 0xE8000;
constexpr std::uint32_t kDirectoryEntry = 0xF1A00;
constexpr std::uint32_t kPciServiceBase = 0xF0000;
constexpr std::uint32_t kPciServiceLength = 0x10000;
constexpr std::uint32_t kPciEntryOffset = 0x1B20;
constexpr std::uint32_t kPciEntry = kPciServiceBase + kPciEntryOffset;
}  // namespace bios

class Firmware {
 public:
  Firmware(const MachineConfig& config, Clock& clock, Trace& trace, PhysicalMemory& memory, PciFunction& pci);

  // Writes the image into the BIOS region (which must exist by then).
  void Install();

  // Emulates a call to `physicalEntry`. A call to an address that holds no
  // emulated routine, or an unknown function, is recorded as a firmware
  // fault and returns with CF set. Each call costs 2 us of virtual time (a
  // configuration cycle is two I/O cycles).
  void Call(std::uint32_t physicalEntry, Registers& r);

  std::uint64_t Faults() const { return faults_; }
  std::uint64_t Calls() const { return calls_; }
  // The address the valid header sits at, or 0 when the layout has none.
  std::uint32_t HeaderAddress() const { return headerAddress_; }

  static constexpr Ticks kCallTicks = 2 * kTicksPerMicrosecond;

 private:
  void PutHeader(std::uint32_t address, bool goodChecksum, std::uint8_t paragraphs,
                 std::uint32_t entry = bios::kDirectoryEntry);
  void Directory(Registers& r);
  void PciBios(Registers& r);
  void Fault(std::uint32_t entry, const Registers& r, const char* why);
  bool AddressesFunction5(std::uint16_t bx) const;

  const MachineConfig config_;
  Clock& clock_;
  Trace& trace_;
  PhysicalMemory& memory_;
  PciFunction& pci_;
  std::uint32_t headerAddress_ = 0;
  std::uint64_t faults_ = 0;
  std::uint64_t calls_ = 0;
};

}  // namespace sim
