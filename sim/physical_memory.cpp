#include "sim/physical_memory.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint8_t kFreedFill = 0xDD;

bool IsPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
}  // namespace

bool PhysicalMemory::AddRegion(PhysicalAddress base, std::uint32_t size, std::string name, bool readOnly) {
  std::lock_guard lock(mutex_);
  if (size == 0 || std::uint64_t{base} + size > 0x1'0000'0000ull) return false;
  for (const auto& r : regions_) {
    if (base < r.base + std::uint64_t{r.size} && r.base < base + std::uint64_t{size}) return false;
  }
  Region region;
  region.base = base;
  region.size = size;
  region.name = std::move(name);
  region.readOnly = readOnly;
  // calloc leaves untouched pages uncommitted: a big arena costs nothing.
  region.bytes.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  if (!region.bytes) return false;
  regions_.push_back(std::move(region));
  return true;
}

bool PhysicalMemory::AddArena(PhysicalAddress base, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  if (arena_ || !AddRegion(base, size, "dma-arena")) return false;
  Arena arena;
  arena.base = base;
  arena.size = size;
  arena.free.emplace(base, size);
  arena_ = std::move(arena);
  return true;
}

PhysicalMemory::Region* PhysicalMemory::Find(PhysicalAddress phys, std::uint32_t length) {
  return const_cast<Region*>(static_cast<const PhysicalMemory*>(this)->Find(phys, length));
}

const PhysicalMemory::Region* PhysicalMemory::Find(PhysicalAddress phys, std::uint32_t length) const {
  for (const auto& r : regions_) {
    if (phys >= r.base && std::uint64_t{phys} + length <= std::uint64_t{r.base} + r.size) {
      if (length == 0 && phys == r.base + std::uint64_t{r.size}) continue;
      return &r;
    }
  }
  return nullptr;
}

std::uint8_t* PhysicalMemory::HostPointer(PhysicalAddress phys, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  Region* r = Find(phys, length);
  return r ? r->bytes.get() + (phys - r->base) : nullptr;
}

std::optional<PhysicalAddress> PhysicalMemory::PhysicalOf(const void* host) const {
  std::lock_guard lock(mutex_);
  const auto* p = static_cast<const std::uint8_t*>(host);
  for (const auto& r : regions_) {
    const std::uint8_t* start = r.bytes.get();
    if (p >= start && p < start + r.size) return r.base + static_cast<std::uint32_t>(p - start);
  }
  return std::nullopt;
}

void PhysicalMemory::Fault(const char* what, PhysicalAddress phys, std::uint32_t length, const char* whose) {
  // Called without mutex_ held: the trace takes the machine's lock, and a
  // host thread may hold that one while it waits for ours.
  {
    std::lock_guard lock(mutex_);
    ++busFaults_;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%s 0x%08X length %u", what, static_cast<unsigned>(phys),
                static_cast<unsigned>(length));
  TraceEntry entry;
  entry.kind = TraceKind::Fault;
  entry.text = text;
  entry.note = whose;
  trace_.Record(std::move(entry));
}

void PhysicalMemory::SetDmaWindowCheck(DmaWindowCheck check) {
  std::lock_guard lock(mutex_);
  dmaWindowCheck_ = std::move(check);
}

// Called without mutex_ held: the check belongs to the host, which may hold
// its own locks around calls into this memory.
void PhysicalMemory::CheckDmaWindow(const char* what, PhysicalAddress phys, std::uint32_t length) {
  DmaWindowCheck check;
  {
    std::lock_guard lock(mutex_);
    check = dmaWindowCheck_;
  }
  if (check && length && !check(phys, length)) Fault(what, phys, length, "dma");
}

bool PhysicalMemory::DmaRead(PhysicalAddress phys, void* out, std::uint32_t length) {
  CheckDmaWindow("read outside any mapping", phys, length);
  return Read(phys, out, length);
}

bool PhysicalMemory::DmaWrite(PhysicalAddress phys, const void* data, std::uint32_t length) {
  CheckDmaWindow("write outside any mapping", phys, length);
  return Write(phys, data, length);
}

bool PhysicalMemory::Read(PhysicalAddress phys, void* out, std::uint32_t length) {
  if (length == 0) return true;
  {
    std::lock_guard lock(mutex_);
    if (const Region* r = Find(phys, length)) {
      std::memcpy(out, r->bytes.get() + (phys - r->base), length);
      return true;
    }
  }
  std::memset(out, 0xFF, length);
  Fault("memory read", phys, length);
  return false;
}

bool PhysicalMemory::Write(PhysicalAddress phys, const void* data, std::uint32_t length) {
  if (length == 0) return true;
  const char* fault = nullptr;
  {
    std::lock_guard lock(mutex_);
    Region* r = Find(phys, length);
    if (!r) {
      fault = "memory write";
    } else if (r->readOnly) {
      fault = "write to read-only memory";
    } else {
      std::memcpy(r->bytes.get() + (phys - r->base), data, length);
      return true;
    }
  }
  Fault(fault, phys, length);
  return false;
}

bool PhysicalMemory::Load(PhysicalAddress phys, const void* data, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  Region* r = Find(phys, length);
  if (!r) return false;
  std::memcpy(r->bytes.get() + (phys - r->base), data, length);
  return true;
}

std::uint8_t PhysicalMemory::Read8(PhysicalAddress phys) {
  std::uint8_t v;
  Read(phys, &v, 1);
  return v;
}

std::uint16_t PhysicalMemory::Read16(PhysicalAddress phys) {
  std::uint8_t b[2];
  Read(phys, b, 2);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t PhysicalMemory::Read32(PhysicalAddress phys) {
  std::uint8_t b[4];
  Read(phys, b, 4);
  return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

void PhysicalMemory::Write8(PhysicalAddress phys, std::uint8_t value) { Write(phys, &value, 1); }

void PhysicalMemory::Write16(PhysicalAddress phys, std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
  Write(phys, b, 2);
}

void PhysicalMemory::Write32(PhysicalAddress phys, std::uint32_t value) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  Write(phys, b, 4);
}

std::optional<PhysicalAddress> PhysicalMemory::Allocate(std::uint32_t bytes, std::uint32_t alignment) {
  std::lock_guard lock(mutex_);
  if (alignment == 0) alignment = 8;
  if (!arena_ || bytes == 0 || !IsPowerOfTwo(alignment)) return std::nullopt;
  for (auto it = arena_->free.begin(); it != arena_->free.end(); ++it) {
    const std::uint64_t start = it->first;
    const std::uint64_t end = start + it->second;
    const std::uint64_t aligned = (start + alignment - 1) & ~std::uint64_t{alignment - 1};
    if (aligned + bytes > end) continue;
    arena_->free.erase(it);
    if (aligned > start) arena_->free.emplace(static_cast<PhysicalAddress>(start), static_cast<std::uint32_t>(aligned - start));
    if (aligned + bytes < end)
      arena_->free.emplace(static_cast<PhysicalAddress>(aligned + bytes), static_cast<std::uint32_t>(end - aligned - bytes));
    const auto phys = static_cast<PhysicalAddress>(aligned);
    arena_->used.emplace(phys, bytes);
    std::memset(HostPointer(phys, bytes), 0, bytes);
    return phys;
  }
  return std::nullopt;
}

bool PhysicalMemory::Free(PhysicalAddress phys) {
  std::unique_lock lock(mutex_);
  if (!arena_) return false;
  auto used = arena_->used.find(phys);
  if (used == arena_->used.end()) {
    lock.unlock();
    Fault("free of unallocated memory", phys, 0);
    return false;
  }
  std::uint32_t length = used->second;
  arena_->used.erase(used);
  std::memset(HostPointer(phys, length), kFreedFill, length);
  PhysicalAddress start = phys;
  // Coalesce with the free neighbours on both sides.
  auto next = arena_->free.lower_bound(start);
  if (next != arena_->free.end() && next->first == start + length) {
    length += next->second;
    next = arena_->free.erase(next);
  }
  if (next != arena_->free.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == start) {
      start = prev->first;
      length += prev->second;
      arena_->free.erase(prev);
    }
  }
  arena_->free.emplace(start, length);
  return true;
}

std::size_t PhysicalMemory::LiveAllocations() const {
  std::lock_guard lock(mutex_);
  return arena_ ? arena_->used.size() : 0;
}

std::uint64_t PhysicalMemory::LiveBytes() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  if (arena_)
    for (const auto& [start, length] : arena_->used) total += length;
  return total;
}

std::optional<std::uint32_t> PhysicalMemory::AllocationSize(PhysicalAddress phys) const {
  std::lock_guard lock(mutex_);
  if (!arena_) return std::nullopt;
  auto used = arena_->used.find(phys);
  if (used == arena_->used.end()) return std::nullopt;
  return used->second;
}

std::uint64_t PhysicalMemory::BusFaults() const {
  std::lock_guard lock(mutex_);
  return busFaults_;
}

}  // namespace sim

#if defined(__SANITIZE_THREAD__)
// The controller's bus-master accesses are not processor accesses: the driver
// hands memory to the DMA engine by protocol (a table entry is written before
// the start command that makes the channel read it), not by a lock the engine
// could take. ThreadSanitizer would report every such hand-over between a
// driver thread and the hardware step that copies the bytes, so the engine's
// copies (and only they) are exempt.
extern "C" const char* __tsan_default_suppressions() {
  return "race:sim::PhysicalMemory::Read\n"
         "race:sim::PhysicalMemory::Write\n";
}
#endif
