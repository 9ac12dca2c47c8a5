// The PnP harness and the framework's device-level services, driven by a
// small fake driver.
#include <portcls.h>
#include <ksmedia.h>

#include <cstring>

#include "fake_driver.h"
#include "host/requirements.h"
#include "host/resource_list.h"
#include "host/testing.h"

namespace {

class PnpTest : public host::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    fake::Driver::current = &driver_;
  }
  void TearDown() override {
    KernelTest::TearDown();
    EXPECT_EQ(fake::Miniport::live, 0) << "a miniport outlived the device";
    fake::Driver::current = nullptr;
  }
  fake::Driver driver_;
};

TEST_F(PnpTest, StartGivesTheBusResourcesInListOrderTranslated) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated, raw;
  driver_.start = [&](PDEVICE_OBJECT, PIRP, PRESOURCELIST list) {
    translated = host::ResourceList::TranslatedEntries(list);
    raw = host::ResourceList::UntranslatedEntries(list);
    return STATUS_SUCCESS;
  };
  auto& device = Harness();
  ASSERT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(driver_.revision, Machine().Config().revision);
  ASSERT_EQ(translated.size(), 3u);
  EXPECT_EQ(translated[0].Type, CmResourceTypePort);
  EXPECT_EQ(static_cast<LONGLONG>(translated[0].u.Port.Start.QuadPart), Machine().Config().ioBase);
  EXPECT_EQ(translated[0].u.Port.Length, 256u);
  EXPECT_EQ(static_cast<LONGLONG>(translated[1].u.Port.Start.QuadPart), Machine().Config().ioBase2);
  EXPECT_EQ(translated[2].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(translated[2].u.Interrupt.Vector, host::Kernel::TranslatedVector(Machine().Config().irq));
  EXPECT_EQ(translated[2].u.Interrupt.Level, static_cast<ULONG>(DEVICE_LEVEL));
  EXPECT_EQ(raw[2].u.Interrupt.Vector, Machine().Config().irq);
  EXPECT_TRUE(device.Started());
}

TEST_F(PnpTest, PendedConfigurationRequestsTakeTheWaitPath) {
  auto& device = Harness();
  device.GetOptions().pendConfigRequests = true;
  ASSERT_EQ(device.LoadDriver(fake::Driver::Entry), STATUS_SUCCESS);
  const sim::Ticks before = GetKernel().Now();
  ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(driver_.revision, Machine().Config().revision);
  EXPECT_EQ(driver_.configStatus, STATUS_SUCCESS);
  EXPECT_GE(GetKernel().Now() - before, device.GetOptions().pendDelay);
}

TEST_F(PnpTest, AFailedConfigurationRequestReadsNothing) {
  auto& device = Harness();
  device.GetOptions().failConfigRequests = true;
  ASSERT_EQ(device.LoadDriver(fake::Driver::Entry), STATUS_SUCCESS);
  ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(driver_.revision, 0);
  EXPECT_EQ(driver_.configStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(PnpTest, AConfigurationRequestSentWithAnotherStatusThanNotSupportedIsReported) {
  ExpectViolation("irp: a configuration request sent with the status 0x0,");
  driver_.configSentWith = STATUS_SUCCESS;
  auto& device = Harness();
  ASSERT_EQ(device.LoadDriver(fake::Driver::Entry), STATUS_SUCCESS);
  ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
}

TEST_F(PnpTest, AReplacedRequirementsListMustFreeTheOldOne) {
  ExpectViolation("pnp: the driver replaced the requirements list");
  driver_.filter = [](PDEVICE_OBJECT, PIRP irp) {
    auto* old = IoGetCurrentIrpStackLocation(irp)->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    auto* copy = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, old->ListSize, host::MakeTag("Wdm ")));
    std::memcpy(copy, old, old->ListSize);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  auto& device = Harness();
  EXPECT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(device.Assigned().translated.size(), 3u);
}

TEST_F(PnpTest, AMalformedFilteredListFailsTheStartClearly) {
  driver_.filter = [](PDEVICE_OBJECT, PIRP irp) {
    auto* list = IoGetCurrentIrpStackLocation(irp)->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    list->List[0].Count += 3;  // claims descriptors the list has no room for
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  auto& device = Harness();
  EXPECT_EQ(device.Start(fake::Driver::Entry), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_NE(device.LastError().find("too small for list 0's Count of 10"), std::string::npos) << device.LastError();
  EXPECT_FALSE(device.Started());
}

// The framework reads the filter description when a subdevice registers: a
// node input fed from two filter pins is reported there, by subdevice.
TEST_F(PnpTest, AFilterWithAnInputFedTwiceIsAViolationAtRegistration) {
  ExpectViolation("filter: \"Mixer\": connection 1 (filter pin 1 -> node 0 pin 1): input fed twice");
  static PCPIN_DESCRIPTOR pins[3] = {};
  pins[0].KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
  pins[1].KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
  pins[2].KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  static const PCNODE_DESCRIPTOR nodes[] = {{0, nullptr, &KSNODETYPE_VOLUME, nullptr}};
  static const PCCONNECTION_DESCRIPTOR connections[] = {
      {KSFILTER_NODE, 0, 0, 1}, {KSFILTER_NODE, 1, 0, 1}, {0, 0, KSFILTER_NODE, 2}};
  static const PCFILTER_DESCRIPTOR filter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 3, pins,
                                             sizeof(PCNODE_DESCRIPTOR), 1, nodes, 3, connections, 0, nullptr};
  fake::Miniport::description = &filter;
  driver_.start = [](PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST list) {
    return fake::Install(device, irp, const_cast<PWCHAR>(L"Mixer"), list, nullptr);
  };
  EXPECT_EQ(Harness().Start(fake::Driver::Entry), STATUS_SUCCESS) << Harness().LastError();
  fake::Miniport::description = nullptr;
  EXPECT_EQ(Violations().Count("filter:"), 1u);
}

TEST_F(PnpTest, SubdevicesConnectionsAndStopRelease) {
  driver_.maxObjects = 2;
  std::vector<NTSTATUS> results;
  driver_.start = [&](PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST list) {
    PUNKNOWN a = nullptr, b = nullptr;
    results.push_back(fake::Install(device, irp, const_cast<PWCHAR>(L"A"), list, &a));
    results.push_back(fake::Install(device, irp, const_cast<PWCHAR>(L"A"), list, nullptr));  // name taken
    results.push_back(fake::Install(device, irp, const_cast<PWCHAR>(L"B"), list, &b));
    results.push_back(fake::Install(device, irp, const_cast<PWCHAR>(L"C"), list, nullptr));  // MaxObjects is 2
    results.push_back(PcRegisterPhysicalConnection(device, a, 1, b, 0));
    results.push_back(PcRegisterPhysicalConnection(device, a, 2, b, 0));  // the filter has pins 0 and 1
    a->Release();
    b->Release();
    return STATUS_SUCCESS;
  };
  auto& device = Harness();
  ASSERT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_OBJECT_NAME_COLLISION, STATUS_SUCCESS,
                                            STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, STATUS_INVALID_PARAMETER}));
  ASSERT_EQ(device.Subdevices().size(), 2u);
  EXPECT_EQ(device.Subdevice(L"B")->translated.size(), 3u);
  EXPECT_EQ(device.PhysicalConnections(), (std::vector<host::PhysicalConnectionInfo>{{L"A", 1, L"B", 0}}));
  EXPECT_EQ(fake::Miniport::live, 2);
  EXPECT_EQ(device.StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(fake::Miniport::live, 0);
  EXPECT_TRUE(device.Subdevices().empty());
  // A second start on the same device object installs afresh.
  results.clear();
  EXPECT_EQ(device.StartDevice(), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(device.Subdevices().size(), 2u);
}

// The power object: the query comes first, a refused query stops the change.
class PowerObject final : public IAdapterPowerManagement {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override {
    if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IAdapterPowerManagement)) {
      *out = this;
      AddRef();
      return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override { calls.push_back(state.DeviceState); }
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE state) override {
    calls.push_back(-static_cast<int>(state.DeviceState));
    return veto ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }
  ULONG refs = 1;
  bool veto = false;
  std::vector<int> calls;
};

TEST_F(PnpTest, PowerRequestsQueryThenChangeAndTheObjectIsReleasedAtRemoval) {
  PowerObject power;
  driver_.start = [&](PDEVICE_OBJECT device, PIRP, PRESOURCELIST) {
    return PcRegisterAdapterPowerManagement(&power, device);
  };
  auto& device = Harness();
  ASSERT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(power.refs, 2u);
  EXPECT_EQ(device.SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  power.veto = true;
  EXPECT_EQ(device.SetPowerState(PowerDeviceD0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(power.calls, (std::vector<int>{-PowerDeviceD3, PowerDeviceD3, -PowerDeviceD0}));
  EXPECT_EQ(device.PowerState(), PowerDeviceD3);
  EXPECT_EQ(device.RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(power.refs, 1u);
}

// ---- The framework's MPU-401 UART miniport -------------------------------------------------

class UartTest : public host::testing::KernelTest {
 protected:
  NTSTATUS InstallUart(bool withPort) {
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    fake::Driver::current = &driver_;
    driver_.start = [&](PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST list) {
      PRESOURCELIST sublist = nullptr;
      NTSTATUS status = PcNewResourceSublist(&sublist, nullptr, PagedPool, list, 2);
      if (!NT_SUCCESS(status)) return status;
      sublist->AddInterruptFromParent(list, 0);
      if (withPort) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR mpu{};
        mpu.Type = CmResourceTypePort;
        mpu.u.Port.Start.QuadPart = 0x300 + 0x10 * Machine().Config().midiPortSelect;
        mpu.u.Port.Length = 4;
        sublist->AddEntry(&mpu, &mpu);
      }
      PPORT port = nullptr;
      PMINIPORT miniport = nullptr;
      PcNewPort(&port, CLSID_PortMidi);
      PcNewMiniport(&miniport, CLSID_MiniportDriverUart);
      result = port->Init(device, irp, miniport, nullptr, sublist);
      if (NT_SUCCESS(result)) result = PcRegisterSubdevice(device, const_cast<PWCHAR>(L"Uart"), port);
      miniport->Release();
      port->Release();
      sublist->Release();
      return STATUS_SUCCESS;
    };
    auto& device = Harness();
    EXPECT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
    return result;
  }
  fake::Driver driver_;
};

TEST_F(UartTest, ResetsTheMpu401IntoUartMode) {
  EXPECT_EQ(InstallUart(true), STATUS_SUCCESS);
  EXPECT_TRUE(Machine().Mpu().UartMode());
  EXPECT_TRUE(Harness().Subdevice(L"Uart").has_value());
}

TEST_F(UartTest, FailsCleanlyWithoutAPort) {
  EXPECT_EQ(InstallUart(false), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_FALSE(Machine().Mpu().UartMode());
  EXPECT_FALSE(Harness().Subdevice(L"Uart").has_value());
}

}  // namespace
