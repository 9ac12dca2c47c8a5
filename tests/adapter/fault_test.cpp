// Fault injection over every pool allocation of a full start and release of
// the device with the driver's own miniports: each failure ends in a clean
// status, nothing leaks (the kernel's teardown checks), nothing crashes.
#include "adapter_fixture.h"

namespace adaptertest {
namespace {

class FaultTest : public AdapterTest, public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  FaultTest() { config_.revision = GetParam(); }  // 0x1F takes the requirements rewrite, 0x20 the MIDI touch
  // Start and release; returns the start's status.
  NTSTATUS StartAndRelease() {
    const NTSTATUS status = StartDriver();
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
      EXPECT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
    }
    Harness().RemoveDevice();
    return status;
  }
};

TEST_P(FaultTest, EveryAllocationFailingInTurnEndsCleanly) {
  ASSERT_EQ(StartAndRelease(), STATUS_SUCCESS) << Harness().LastError();
  EXPECT_EQ(GetKernel().GetPool().LiveCount(), 0u) << host::Pool::Describe(GetKernel().GetPool().Live());
  const std::uint64_t attempts = GetKernel().GetPool().Attempts();
  ASSERT_GT(attempts, 10u);
  RecordProperty("allocations", static_cast<int>(attempts));

  int failedStarts = 0;
  for (std::uint64_t n = 1; n <= attempts; ++n) {
    Reboot();  // the previous run's teardown checks run here
    GetKernel().GetPool().FailNth(n);
    const NTSTATUS status = StartAndRelease();
    if (!NT_SUCCESS(status)) {
      ++failedStarts;
      // One status carried through the start: the failed allocation's own, or
      // (the firmware window cannot be mapped) the controller not found.
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DEVICE_CONFIGURATION_ERROR)
          << "allocation " << n << ": " << std::hex << status;
    }
    EXPECT_EQ(GetKernel().GetPool().LiveCount(), 0u)
        << "allocation " << n << ": " << host::Pool::Describe(GetKernel().GetPool().Live());
    if (HasFailure()) break;
  }
  EXPECT_GT(failedStarts, 0) << "some allocation must be one the start cannot do without";
}

INSTANTIATE_TEST_SUITE_P(, FaultTest, ::testing::Values(0x1F, 0x20));

}  // namespace
}  // namespace adaptertest
