// The kernel's pool: every allocation tracked with its tag, pool type and
// size, guard bytes around it, freed blocks kept in quarantine so a double
// free is recognised, a leak report at teardown, and fault injection.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace host {

class Kernel;

// "PcCr" for 0x72436350: the bytes as a pool dump shows them.
std::string TagName(ULONG tag);
constexpr ULONG MakeTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(s[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(s[3])) << 24;
}

class Pool {
 public:
  struct Block {
    const void* address = nullptr;
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    std::uint64_t serial = 0;  // 1 for the first allocation of the run
  };

  static constexpr SIZE_T kGuardBytes = 16;
  static constexpr unsigned char kGuardFill = 0xA5;
  static constexpr unsigned char kFreshFill = 0xCD;  // what a new block holds
  static constexpr unsigned char kFreedFill = 0xDF;  // what a freed block holds
  static constexpr SIZE_T kQuarantineBytes = 8u << 20;

  explicit Pool(Kernel& kernel) : kernel_(kernel) {}
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // ExAllocatePoolWithTag. `exempt` allocations (the host's own, made on the
  // PnP manager's behalf) are tracked but never failed by fault injection.
  void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool exempt = false);
  // ExFreePool / ExFreePoolWithTag (expectedTag given).
  void Free(void* address, std::optional<ULONG> expectedTag);

  // The live block that contains `address`, if any.
  std::optional<Block> Find(const void* address) const;
  std::vector<Block> Live() const;
  std::size_t LiveCount() const;
  // "PcCr 1 x 3120 bytes, Wdm  1 x 20 bytes" (grouped by tag and size).
  static std::string Describe(const std::vector<Block>& blocks);

  // ---- Fault injection --------------------------------------------------------
  // Fail the nth allocation attempt counted from now (1 = the next one).
  void FailNth(std::uint64_t n);
  // Fail every allocation with this tag until cleared.
  void FailTag(ULONG tag);
  // Fail each allocation with `probability`, from a seeded generator.
  void FailRandomly(std::uint64_t seed, double probability);
  void ClearFaults();
  // Attempts counted so far (successful or failed, exempt ones excluded):
  // a test runs a scenario once, reads this, then fails 1..N in turn.
  std::uint64_t Attempts() const;
  std::uint64_t InjectedFailures() const;
  // Asks the injector whether an allocation-like operation (IoAllocateIrp)
  // should fail; counts as an attempt.
  bool ShouldFail(ULONG tag);

  // Frees every live and quarantined block without reports (teardown, after
  // the leak report).
  void ReleaseAll();

 private:
  struct LiveBlock {
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    std::uint64_t serial;
    unsigned char* raw;
  };
  struct Freed {
    SIZE_T size;
    ULONG tag;
    unsigned char* raw;
  };
  bool ShouldFailLocked(ULONG tag);
  void CheckGuards(const void* address, const LiveBlock& block);
  void Quarantine(void* address, const LiveBlock& block);

  Kernel& kernel_;
  mutable std::recursive_mutex mutex_;
  std::map<const void*, LiveBlock> live_;
  std::map<const void*, Freed> freed_;
  std::deque<const void*> quarantineOrder_;
  SIZE_T quarantineBytes_ = 0;
  std::uint64_t serial_ = 0;
  std::uint64_t attempts_ = 0;
  std::uint64_t injected_ = 0;
  std::optional<std::uint64_t> failAt_;
  std::set<ULONG> failTags_;
  std::optional<double> failProbability_;
  std::mt19937_64 random_;
};

}  // namespace host
