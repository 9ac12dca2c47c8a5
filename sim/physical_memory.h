// Simulated physical memory: 32-bit addresses backed by regions, each one
// contiguous host buffer, so a physical range inside one region can be handed
// to the host as a direct pointer (what the kernel's mapping services give).
// An access that leaves every region is a bus fault: counted and traced,
// never undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/trace.h"

namespace sim {

using PhysicalAddress = std::uint32_t;

constexpr PhysicalAddress kBiosBase = 0xE0000;
constexpr std::uint32_t kBiosSize = 0x20000;

class PhysicalMemory {
 public:
  explicit PhysicalMemory(Trace& trace) : trace_(trace) {}

  // Adds a zero-filled region. Fails (false) if it overlaps another region,
  // is empty, or wraps past 4 GiB.
  bool AddRegion(PhysicalAddress base, std::uint32_t size, std::string name, bool readOnly = false);
  // The DMA arena: common buffers and client audio buffers come from here.
  // Pages are committed lazily by the host OS, so a large arena is cheap.
  bool AddArena(PhysicalAddress base, std::uint32_t size);

  // A direct pointer to [phys, phys + length) if it lies inside one region,
  // else nullptr. length 0 asks only whether phys is backed.
  std::uint8_t* HostPointer(PhysicalAddress phys, std::uint32_t length);
  // The reverse, for pointers the host got from HostPointer.
  std::optional<PhysicalAddress> PhysicalOf(const void* host) const;

  // Reads outside every region return all-ones bytes (what a master abort
  // gives) and record a bus fault; writes there are dropped and recorded.
  // Writes to a read-only region (the BIOS) are dropped and recorded too.
  bool Read(PhysicalAddress phys, void* out, std::uint32_t length);
  bool Write(PhysicalAddress phys, const void* data, std::uint32_t length);
  std::uint8_t Read8(PhysicalAddress phys);
  std::uint16_t Read16(PhysicalAddress phys);
  std::uint32_t Read32(PhysicalAddress phys);
  void Write8(PhysicalAddress phys, std::uint8_t value);
  void Write16(PhysicalAddress phys, std::uint16_t value);
  void Write32(PhysicalAddress phys, std::uint32_t value);
  // A bus master's reads and writes (the controller's DMA). The machine's
  // owner may say which ranges a device may reach at a time (the common
  // buffers it allocated and the mappings it handed out): an access that
  // leaves them is a "dma" fault ("read outside any mapping ..."), and still
  // happens, as it would on the bus. Without a check every range is open.
  using DmaWindowCheck = std::function<bool(PhysicalAddress, std::uint32_t)>;
  void SetDmaWindowCheck(DmaWindowCheck check);
  bool DmaRead(PhysicalAddress phys, void* out, std::uint32_t length);
  bool DmaWrite(PhysicalAddress phys, const void* data, std::uint32_t length);
  // Firmware loading: writes even into a read-only region.
  bool Load(PhysicalAddress phys, const void* data, std::uint32_t length);

  // Arena allocator. alignment must be a power of two (0 means 8). Returns
  // nullopt when bytes is 0, the alignment is bad, or the arena is full.
  std::optional<PhysicalAddress> Allocate(std::uint32_t bytes, std::uint32_t alignment = 8);
  // Returns false (and records a fault) for an address that is not the start
  // of a live allocation. Freed memory is filled with 0xDD so that a stale
  // DMA pointer plays an obvious pattern.
  bool Free(PhysicalAddress phys);
  std::size_t LiveAllocations() const;
  std::uint64_t LiveBytes() const;
  std::optional<std::uint32_t> AllocationSize(PhysicalAddress phys) const;

  std::uint64_t BusFaults() const;

 private:
  struct Region {
    PhysicalAddress base = 0;
    std::uint32_t size = 0;
    std::string name;
    bool readOnly = false;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> bytes{nullptr, &std::free};
  };
  struct Arena {
    PhysicalAddress base = 0;
    std::uint32_t size = 0;
    std::map<PhysicalAddress, std::uint32_t> free;  // start -> length
    std::map<PhysicalAddress, std::uint32_t> used;  // start -> length
  };

  Region* Find(PhysicalAddress phys, std::uint32_t length);
  const Region* Find(PhysicalAddress phys, std::uint32_t length) const;
  void Fault(const char* what, PhysicalAddress phys, std::uint32_t length, const char* whose = "bus");
  void CheckDmaWindow(const char* what, PhysicalAddress phys, std::uint32_t length);

  Trace& trace_;
  DmaWindowCheck dmaWindowCheck_;
  mutable std::recursive_mutex mutex_;
  std::vector<Region> regions_;
  std::optional<Arena> arena_;
  std::uint64_t busFaults_ = 0;
};

}  // namespace sim
