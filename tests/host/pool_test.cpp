// The pool's rules and its fault injection.
#include <wdm.h>

#include <set>

#include "host/pool.h"
#include "host/testing.h"

namespace {

constexpr ULONG kTagA = host::MakeTag("PcCr");
constexpr ULONG kTagB = host::MakeTag("Wdm ");

class PoolTest : public host::testing::KernelTest {};

TEST_F(PoolTest, LeakReportGroupsByTagAndSize) {
  ExpectViolation("pool: leak of 3 allocations at teardown: PcCr 2 x 3120 bytes, Wdm  1 x 20 bytes");
  ExAllocatePoolWithTag(NonPagedPool, 3120, kTagA);
  ExAllocatePoolWithTag(NonPagedPool, 3120, kTagA);
  ExAllocatePoolWithTag(PagedPool, 20, kTagB);
  void* freed = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
  ExFreePool(freed);
}

TEST_F(PoolTest, DoubleFreeIsCaughtAndNamesTheTag) {
  ExpectViolation("pool: double free of");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
  ExFreePool(p);
  ExFreePool(p);
  EXPECT_TRUE(SawViolation("(tag PcCr)"));
  EXPECT_EQ(GetKernel().GetPool().LiveCount(), 0u);
}

TEST_F(PoolTest, ForeignFreeTouchesNothing) {
  ExpectViolation("pool: free of");
  int local[4] = {1, 2, 3, 4};
  ExFreePool(local);
  char* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTagA));
  ExFreePool(block + 8);  // inside a block, not its start
  EXPECT_EQ(local[2], 3);
  EXPECT_EQ(Violations().Count("which is not the start of a pool allocation"), 2u);
  ExFreePool(block);
}

TEST_F(PoolTest, OverrunPastTheBlockIsReportedAtFree) {
  ExpectViolation("pool: buffer overrun past");
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagA));
  p[10] = 0;
  ExFreePool(p);
}

TEST_F(PoolTest, FreeWithTheWrongTag) {
  ExpectViolation("pool: ExFreePoolWithTag of");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
  ExFreePoolWithTag(p, kTagB);
  EXPECT_EQ(GetKernel().GetPool().LiveCount(), 0u);  // freed all the same
}

TEST_F(PoolTest, PagedPoolAtDispatchLevelIsRefused) {
  ExpectViolation("pool: paged pool allocation at DISPATCH_LEVEL (tag Wdm ");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 20, kTagB), nullptr);
  void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 20, kTagB);
  EXPECT_NE(nonPaged, nullptr);
  ExFreePool(nonPaged);
  KeLowerIrql(old);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed) {
  // The driver zero-fills its objects itself; the pool must not hide a
  // missing fill.
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 4, kTagA));
  EXPECT_EQ(p[0], host::Pool::kFreshFill);
  ExFreePool(p);
}

TEST_F(PoolTest, FailNthFailsExactlyThatAttempt) {
  host::Pool& pool = GetKernel().GetPool();
  pool.FailNth(3);
  std::vector<void*> got;
  for (int i = 0; i < 5; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
  EXPECT_NE(got[0], nullptr);
  EXPECT_NE(got[1], nullptr);
  EXPECT_EQ(got[2], nullptr);
  EXPECT_NE(got[3], nullptr);
  EXPECT_NE(got[4], nullptr);
  EXPECT_EQ(pool.InjectedFailures(), 1u);
  for (void* p : got)
    if (p) ExFreePool(p);
}

TEST_F(PoolTest, FailTagOnlyHitsThatTag) {
  GetKernel().GetPool().FailTag(kTagB);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  GetKernel().GetPool().ClearFaults();
  void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
}

TEST_F(PoolTest, RandomFailuresRepeatForTheSameSeed) {
  auto run = [&](std::uint64_t seed) {
    host::Pool& pool = GetKernel().GetPool();
    pool.FailRandomly(seed, 0.5);
    std::vector<bool> pattern;
    for (int i = 0; i < 64; ++i) {
      void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
      pattern.push_back(p != nullptr);
      if (p) ExFreePool(p);
    }
    pool.ClearFaults();
    return pattern;
  };
  const auto first = run(7);
  EXPECT_EQ(run(7), first);
  EXPECT_NE(run(8), first);
  const auto failures = std::count(first.begin(), first.end(), false);
  EXPECT_GT(failures, 10);
  EXPECT_LT(failures, 54);
}

TEST_F(PoolTest, ExemptAllocationsAreCountedNeitherAsAttemptsNorFailed) {
  host::Pool& pool = GetKernel().GetPool();
  pool.FailTag(kTagA);
  const auto before = pool.Attempts();
  void* p = pool.Allocate(NonPagedPool, 8, kTagA, /*exempt=*/true);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(pool.Attempts(), before);
  pool.Free(p, std::nullopt);
}

}  // namespace
