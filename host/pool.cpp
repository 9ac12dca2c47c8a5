#include "host/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "host/kernel.h"

namespace host {

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  return name;
}

namespace {

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

bool KnownType(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
      return true;
    default:
      return false;
  }
}

std::string BlockText(const void* address, ULONG tag) { return Hex(address) + " (tag " + TagName(tag) + ")"; }

}  // namespace

Pool::~Pool() { ReleaseAll(); }

void* Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool exempt) {
  if (!KnownType(type)) {
    kernel_.Violate("pool", "ExAllocatePoolWithTag with unknown pool type " + std::to_string(type) + " (tag " +
                                TagName(tag) + ")");
    return nullptr;
  }
  if (type == NonPagedPoolMustSucceed || type == DontUseThisType) {
    kernel_.Violate("pool", "ExAllocatePoolWithTag with NonPagedPoolMustSucceed (tag " + TagName(tag) + ")");
  }
  const KIRQL irql = kernel_.Irql();
  if (irql > DISPATCH_LEVEL) {
    kernel_.Violate("pool", "ExAllocatePoolWithTag at " + IrqlName(irql) + " (tag " + TagName(tag) + ")");
    return nullptr;
  }
  if (IsPaged(type) && irql >= DISPATCH_LEVEL) {
    kernel_.Violate("pool", "paged pool allocation at " + IrqlName(irql) + " (tag " + TagName(tag) + ", " +
                                std::to_string(bytes) + " bytes)");
    return nullptr;
  }
  if (bytes == 0) {
    kernel_.Violate("pool", "zero-byte allocation (tag " + TagName(tag) + ")");
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  if (!exempt && ShouldFailLocked(tag)) return nullptr;
  if (bytes > (SIZE_T{1} << 31)) return nullptr;  // more than the target's address space could give
  unsigned char* raw = static_cast<unsigned char*>(std::malloc(bytes + 2 * kGuardBytes));
  if (!raw) return nullptr;
  std::memset(raw, kGuardFill, kGuardBytes);
  std::memset(raw + kGuardBytes, kFreshFill, bytes);
  std::memset(raw + kGuardBytes + bytes, kGuardFill, kGuardBytes);
  void* address = raw + kGuardBytes;
  // The address may have been quarantined before (released when the
  // quarantine was full); it is live again now.
  freed_.erase(address);
  live_.emplace(address, LiveBlock{bytes, tag, type, ++serial_, raw});
  return address;
}

void Pool::CheckGuards(const void* address, const LiveBlock& block) {
  const unsigned char* raw = block.raw;
  for (SIZE_T i = 0; i < kGuardBytes; ++i) {
    if (raw[i] != kGuardFill) {
      kernel_.Violate("pool", "buffer underrun before " + BlockText(address, block.tag) + ", " +
                                  std::to_string(block.size) + " bytes");
      break;
    }
  }
  for (SIZE_T i = 0; i < kGuardBytes; ++i) {
    if (raw[kGuardBytes + block.size + i] != kGuardFill) {
      kernel_.Violate("pool", "buffer overrun past " + BlockText(address, block.tag) + ", " +
                                  std::to_string(block.size) + " bytes");
      break;
    }
  }
}

void Pool::Quarantine(void* address, const LiveBlock& block) {
  std::memset(address, kFreedFill, block.size);
  freed_[address] = Freed{block.size, block.tag, block.raw};
  quarantineOrder_.push_back(address);
  quarantineBytes_ += block.size;
  while (quarantineBytes_ > kQuarantineBytes && !quarantineOrder_.empty()) {
    const void* oldest = quarantineOrder_.front();
    quarantineOrder_.pop_front();
    auto found = freed_.find(oldest);
    if (found == freed_.end()) continue;
    quarantineBytes_ -= found->second.size;
    std::free(found->second.raw);
    freed_.erase(found);
  }
}

void Pool::Free(void* address, std::optional<ULONG> expectedTag) {
  if (!address) {
    kernel_.Violate("pool", "ExFreePool of a null pointer");
    return;
  }
  LiveBlock block{};
  {
    std::lock_guard lock(mutex_);
    auto found = live_.find(address);
    if (found == live_.end()) {
      auto freed = freed_.find(address);
      if (freed != freed_.end()) {
        kernel_.Violate("pool", "double free of " + BlockText(address, freed->second.tag));
      } else {
        kernel_.Violate("pool", "free of " + Hex(address) + ", which is not the start of a pool allocation");
      }
      return;  // never touch memory the pool does not own
    }
    block = found->second;
  }
  const KIRQL irql = kernel_.Irql();
  if (irql > DISPATCH_LEVEL || (IsPaged(block.type) && irql >= DISPATCH_LEVEL)) {
    kernel_.Violate("pool", "free of " + BlockText(address, block.tag) + (IsPaged(block.type) ? " (paged)" : "") +
                                " at " + IrqlName(irql));
  }
  if (expectedTag && *expectedTag != block.tag) {
    kernel_.Violate("pool", "ExFreePoolWithTag of " + BlockText(address, block.tag) + " with tag " +
                                TagName(*expectedTag));
  }
  CheckGuards(address, block);
  kernel_.ForgetObjectsIn(address, block.size, "freed pool block");
  std::lock_guard lock(mutex_);
  live_.erase(address);
  Quarantine(address, block);
}

std::optional<Pool::Block> Pool::Find(const void* address) const {
  std::lock_guard lock(mutex_);
  auto next = live_.upper_bound(address);
  if (next == live_.begin()) return std::nullopt;
  --next;
  const auto* start = static_cast<const unsigned char*>(next->first);
  const auto* p = static_cast<const unsigned char*>(address);
  if (p >= start + next->second.size) return std::nullopt;
  return Block{next->first, next->second.size, next->second.tag, next->second.type, next->second.serial};
}

std::vector<Pool::Block> Pool::Live() const {
  std::lock_guard lock(mutex_);
  std::vector<Block> blocks;
  for (const auto& [address, b] : live_) blocks.push_back({address, b.size, b.tag, b.type, b.serial});
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.serial < b.serial; });
  return blocks;
}

std::size_t Pool::LiveCount() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

std::string Pool::Describe(const std::vector<Block>& blocks) {
  std::map<std::pair<std::string, SIZE_T>, int> groups;
  for (const Block& b : blocks) ++groups[{TagName(b.tag), b.size}];
  std::ostringstream out;
  bool first = true;
  for (const auto& [key, count] : groups) {
    if (!first) out << ", ";
    first = false;
    out << key.first << " " << count << " x " << key.second << " bytes";
  }
  return out.str();
}

void Pool::FailNth(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  failAt_ = attempts_ + n;
}

void Pool::FailTag(ULONG tag) {
  std::lock_guard lock(mutex_);
  failTags_.insert(tag);
}

void Pool::FailRandomly(std::uint64_t seed, double probability) {
  std::lock_guard lock(mutex_);
  random_.seed(seed);
  failProbability_ = probability;
}

void Pool::ClearFaults() {
  std::lock_guard lock(mutex_);
  failAt_.reset();
  failTags_.clear();
  failProbability_.reset();
}

std::uint64_t Pool::Attempts() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}

std::uint64_t Pool::InjectedFailures() const {
  std::lock_guard lock(mutex_);
  return injected_;
}

bool Pool::ShouldFail(ULONG tag) {
  std::lock_guard lock(mutex_);
  return ShouldFailLocked(tag);
}

bool Pool::ShouldFailLocked(ULONG tag) {
  ++attempts_;
  bool fail = failTags_.count(tag) != 0;
  if (failAt_ && attempts_ == *failAt_) fail = true;
  if (failProbability_) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (uniform(random_) < *failProbability_) fail = true;
  }
  if (fail) ++injected_;
  return fail;
}

void Pool::ReleaseAll() {
  std::lock_guard lock(mutex_);
  for (auto& [address, b] : live_) std::free(b.raw);
  for (auto& [address, f] : freed_) std::free(f.raw);
  live_.clear();
  freed_.clear();
  quarantineOrder_.clear();
  quarantineBytes_ = 0;
}

}  // namespace host
