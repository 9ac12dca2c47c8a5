// The start-up paths a good day never takes: each step of the adapter's Init
// failing in turn ends Init with that step's own status, before the link is
// touched and with no interrupt left connected; DriverEntry puts its PnP hook
// in place even when the framework refuses the driver.
#include "adapter_fixture.h"

namespace adaptertest {
namespace {

struct InitStep {
  const char* name;
  std::uint64_t failAllocation;  // the Init's nth allocation attempt fails (0: none)
  bool wrongVector;              // the interrupt resource names a vector the machine does not raise
  NTSTATUS status;
};

void PrintTo(const InitStep& step, std::ostream* os) { *os << step.name; }

class InitFailure : public AdapterTest, public ::testing::WithParamInterface<InitStep> {};

TEST_P(InitFailure, EndsInitWithItsStatusBeforeTheLinkIsTouched) {
  const InitStep& step = GetParam();
  PRESOURCELIST resources = AssignedResourceList();
  ASSERT_NE(resources, nullptr);
  if (step.wrongVector) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt = resources->FindTranslatedEntry(CmResourceTypeInterrupt, 0);
    ASSERT_NE(interrupt, nullptr);
    interrupt->u.Interrupt.Vector += 1;
  }
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(NewAdapterCommon(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_SUCCESS);
  PADAPTERCOMMON adapter = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter)), STATUS_SUCCESS);
  unknown->Release();
  ClearTrace();
  if (step.failAllocation) GetKernel().GetPool().FailNth(step.failAllocation);

  EXPECT_EQ(adapter->Init(resources, Harness().Fdo()), step.status);
  GetKernel().GetPool().ClearFaults();
  EXPECT_TRUE(Machine().GetTrace().ConfigWrites(0x41).empty()) << "no controller reset after a failed step";
  if (auto* sync = host::InterruptSync::FromInterface(adapter->GetInterruptSync())) {
    EXPECT_FALSE(sync->Connected()) << "the routine is connected only once it is registered";
  }
  adapter->Release();
  resources->Release();
}

INSTANTIATE_TEST_SUITE_P(Steps, InitFailure,
                         ::testing::Values(InitStep{"PcNewInterruptSync", 1, false, STATUS_INSUFFICIENT_RESOURCES},
                                           InitStep{"RegisterServiceRoutine", 2, false, STATUS_INSUFFICIENT_RESOURCES},
                                           InitStep{"Connect", 0, true, STATUS_INVALID_PARAMETER}),
                         [](const auto& info) { return std::string(info.param.name); });

NTSTATUS NTAPI FrameworkPnpStandIn(PDEVICE_OBJECT, PIRP) { return STATUS_NOT_SUPPORTED; }

TEST_F(AdapterTest, DriverEntryHooksPnpEvenWhenTheFrameworkRefusesTheDriver) {
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  driver.DriverExtension = &extension;
  driver.MajorFunction[IRP_MJ_PNP] = FrameworkPnpStandIn;
  // No registry path: the framework refuses with STATUS_INVALID_PARAMETER.
  EXPECT_EQ(DriverEntry(&driver, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(driver.MajorFunction[IRP_MJ_PNP], MiniDispatchPnp);
  EXPECT_EQ(PortDispatchPnp, FrameworkPnpStandIn);
}

}  // namespace
}  // namespace adaptertest
