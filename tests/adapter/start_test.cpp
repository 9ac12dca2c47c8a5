// AddDevice's configuration reads, device start with its resource split,
// subdevices and wiring, and the ways a start fails.
#include "adapter_fixture.h"

#include "host/com.h"
#include "host/requirements.h"
#include "host/resource_list.h"

namespace adaptertest {
namespace {

// The descriptors are packed: read the 64-bit start by value.
std::uint64_t PortStart(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) { return static_cast<std::uint64_t>(d.u.Port.Start.QuadPart); }

struct MidiCase {
  const char* name;
  std::uint8_t revision;
  bool midi;
  std::uint8_t select;
};

class MidiConfigurationTest : public AdapterTest, public ::testing::WithParamInterface<MidiCase> {
 protected:
  MidiConfigurationTest() {
    config_.revision = GetParam().revision;
    config_.midiEnabled = GetParam().midi;
    config_.midiPortSelect = GetParam().select;
  }
  bool Newer() const { return GetParam().revision >= 0x20; }
  std::uint32_t MidiBase() const { return 0x300u + 0x10u * GetParam().select; }
};

TEST_P(MidiConfigurationTest, AddDeviceReadsTheFlagsAndTouchesTheMidiPortOnlyOnANewerChip) {
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  const std::uint8_t midiControl = Machine().Pci().Peek(0x42);
  ClearTrace();
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS) << Harness().LastError();

  EXPECT_EQ(MPUEnable, GetParam().midi ? TRUE : FALSE);
  EXPECT_EQ(NewChip, Newer() ? TRUE : FALSE);
  if (GetParam().midi) {
    EXPECT_EQ(MPUStartPort, MidiBase());
  }

  const auto writes = Machine().GetTrace().ConfigWrites(0x42);
  const auto mpuReads = Machine().GetTrace().PortReads(static_cast<std::uint16_t>(MidiBase()));
  if (Newer() && GetParam().midi) {
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, (midiControl & 0x3Fu) | 0x80u);
    ASSERT_EQ(mpuReads.size(), 1u);
    EXPECT_LT(mpuReads[0].time, writes[0].time) << "the MPU-401 is read before MidiControl changes";
  } else {
    EXPECT_TRUE(writes.empty());
    EXPECT_TRUE(mpuReads.empty());
  }
}

TEST_P(MidiConfigurationTest, StartInstallsSplitsAndWires) {
  ASSERT_EQ(StartDriver(), STATUS_SUCCESS) << Harness().LastError();

  std::vector<std::wstring> names;
  for (const auto& s : Harness().Subdevices()) names.push_back(s.name);
  std::vector<std::wstring> expected = {L"Topology", L"Wave"};
  if (GetParam().midi) expected.push_back(L"Uart");
  EXPECT_EQ(names, expected);

  const auto topology = Harness().Subdevice(L"Topology")->translated;
  ASSERT_EQ(topology.size(), 1u);
  EXPECT_EQ(topology[0].Type, CmResourceTypePort);
  EXPECT_EQ(PortStart(topology[0]), config_.ioBase);
  const auto wave = Harness().Subdevice(L"Wave")->translated;
  ASSERT_EQ(wave.size(), 2u);
  EXPECT_EQ(PortStart(wave[0]), config_.ioBase);
  EXPECT_EQ(wave[1].Type, CmResourceTypeInterrupt);
  if (GetParam().midi) {
    // Port 1 on an older chip (the range the driver added), port 2 on a newer one (the bus's own).
    const auto uart = Harness().Subdevice(L"Uart")->translated;
    ASSERT_EQ(uart.size(), 2u);
    EXPECT_EQ(uart[0].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(uart[1].Type, CmResourceTypePort);
    EXPECT_EQ(PortStart(uart[1]), MidiBase());
  }

  const std::vector<host::PhysicalConnectionInfo> wiring = {{L"Topology", 11, L"Wave", 1},
                                                            {L"Wave", 3, L"Topology", 0}};
  EXPECT_EQ(Harness().PhysicalConnections(), wiring);

  const auto* filtered = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(Harness().FilteredRequirements().data());
  const bool rewritten = GetParam().midi && !Newer();
  const ULONG busCount = Newer() && GetParam().midi ? 10 : 7;
  EXPECT_EQ(filtered->List[0].Count, rewritten ? busCount + 3 : busCount);
  EXPECT_EQ(filtered->ListSize, host::RequirementsListBytes(busCount) + (rewritten ? 96 : 0));
}

INSTANTIATE_TEST_SUITE_P(, MidiConfigurationTest,
                         ::testing::Values(MidiCase{"MidiOff", 0x08, false, 3}, MidiCase{"Old300", 0x1F, true, 0},
                                           MidiCase{"Old310", 0x1F, true, 1}, MidiCase{"Old320", 0x1F, true, 2},
                                           MidiCase{"Old330", 0x1F, true, 3}, MidiCase{"New320", 0x20, true, 2},
                                           MidiCase{"NewMidiOff", 0x20, false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, RewriteMovesTheInterruptFirstAndPutsTheMidiGroupBetweenThePortGroups) {
  config_.revision = 0x1F;
  config_.midiPortSelect = 2;
  Reboot();
  ASSERT_EQ(StartDriver(), STATUS_SUCCESS) << Harness().LastError();
  const auto bus = Machine().ResourceRequirements();  // group 1, group 2, interrupt
  ASSERT_EQ(bus.size(), 7u);
  const auto* list = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(Harness().FilteredRequirements().data());
  ASSERT_EQ(list->List[0].Count, 10u);
  const IO_RESOURCE_DESCRIPTOR* d = list->List[0].Descriptors;
  // new:   0      1 2 3   4 5 6                  7 8 9
  // from:  irq    group 1 group 2 moved to MPU   group 2
  const int from[10] = {6, 0, 1, 2, 3, 4, 5, 3, 4, 5};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(d[i].Type, bus[from[i]].type) << i;
    EXPECT_EQ(d[i].Option, bus[from[i]].option) << i;
    if (d[i].Type != CmResourceTypePort) continue;
    EXPECT_EQ(d[i].u.Port.Length, bus[from[i]].length) << i;
    const std::uint64_t minimum = i == 4 ? 0x320 : bus[from[i]].minimum;
    const std::uint64_t maximum = i == 4 ? 0x323 : bus[from[i]].maximum;
    EXPECT_EQ(static_cast<std::uint64_t>(d[i].u.Port.MinimumAddress.QuadPart), minimum) << i;
    EXPECT_EQ(static_cast<std::uint64_t>(d[i].u.Port.MaximumAddress.QuadPart), maximum) << i;
  }
}

TEST_F(AdapterTest, NoPortOrNoInterruptFailsTheStartAndCreatesNothing) {
  for (bool keepPorts : {false, true}) {
    config_.midiEnabled = false;
    Reboot();
    auto bus = Machine().ResourceRequirements();
    std::erase_if(bus, [&](const sim::RequirementDescriptor& d) {
      return keepPorts ? d.type == CmResourceTypeInterrupt : d.type == CmResourceTypePort;
    });
    ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Harness().FilterResourceRequirements(host::BuildRequirementsList(GetKernel(), bus, 0, 0)),
              STATUS_SUCCESS)
        << Harness().LastError();
    EXPECT_EQ(Harness().StartDevice(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(Harness().Subdevices().empty());
    EXPECT_EQ(Harness().PowerManagement(), nullptr);
    for (const auto& block : GetKernel().GetPool().Live()) EXPECT_NE(block.tag, PoolTagObject);
    EXPECT_EQ(GetKernel().IoSpaceMappings(), 0u);
  }
}

// Every sublist allocation failing in turn: the outputs are all null and nothing stays allocated.
TEST_F(AdapterTest, ASublistThatCannotBeCreatedReleasesTheOthers) {
  PRESOURCELIST full = AssignedResourceList();
  auto& pool = GetKernel().GetPool();
  const std::size_t before = pool.LiveCount();
  const std::uint64_t start = pool.Attempts();
  PRESOURCELIST lists[4];
  ASSERT_EQ(AssignResources(full, &lists[0], &lists[1], &lists[2], &lists[3]), STATUS_SUCCESS);
  for (PRESOURCELIST l : lists) {
    ASSERT_NE(l, nullptr) << "the assigned list has every subdevice's resources";
    l->Release();
  }
  const std::uint64_t attempts = pool.Attempts() - start;
  ASSERT_GT(attempts, 4u);
  for (std::uint64_t n = 1; n <= attempts; ++n) {
    pool.FailNth(n);
    EXPECT_EQ(AssignResources(full, &lists[0], &lists[1], &lists[2], &lists[3]), STATUS_INSUFFICIENT_RESOURCES);
    for (PRESOURCELIST l : lists) EXPECT_EQ(l, nullptr) << "failure " << n;
    EXPECT_EQ(pool.LiveCount(), before) << "failure " << n;
    pool.ClearFaults();
  }
  full->Release();
}

TEST_F(AdapterTest, AnAdapterWithoutFirmwareFailsInitButKeepsItsInterruptUntilReleased) {
  config_.firmware.layout = sim::FirmwareLayout::None;
  Reboot();
  auto standalone = NewStandaloneAdapter();
  EXPECT_EQ(standalone.initStatus, STATUS_DEVICE_CONFIGURATION_ERROR);
  auto* sync = host::InterruptSync::FromInterface(standalone.adapter->GetInterruptSync());
  ASSERT_NE(sync, nullptr);
  EXPECT_TRUE(sync->Connected());
  standalone.Release();  // teardown reports a connected interrupt or a mapping left behind
  EXPECT_EQ(GetKernel().IoSpaceMappings(), 0u);

  Reboot();
  EXPECT_EQ(StartDriver(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_TRUE(Harness().Subdevices().empty());
}

// "Uart" gets port 1 of an older chip only when the rewrite put the MPU-401
// range there: otherwise port 1 is the controller's own second range, and an
// MPU-401 reset byte must not go into it.
TEST_F(AdapterTest, AnUnrewrittenListOnAnOlderChipInstallsNoUartAndLeavesPortOneAlone) {
  config_.revision = 0x1F;  // the MIDI range reaches the bus only through the rewrite
  Reboot();
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
  // Without memory for the enlarged list the bus's list goes on unchanged: port 1 is no MPU-401.
  GetKernel().GetPool().FailTag(PoolTagScratch);
  ASSERT_EQ(Harness().FilterResourceRequirements(), STATUS_SUCCESS) << Harness().LastError();
  GetKernel().GetPool().ClearFaults();
  EXPECT_EQ(reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(Harness().FilteredRequirements().data())
                ->List[0].Count, 7u);
  ASSERT_EQ(Harness().StartDevice(), STATUS_SUCCESS) << Harness().LastError();
  EXPECT_FALSE(Harness().Subdevice(L"Uart").has_value());
  EXPECT_TRUE(Harness().Subdevice(L"Topology").has_value());
  EXPECT_TRUE(Harness().Subdevice(L"Wave").has_value());
  EXPECT_EQ(Harness().PhysicalConnections().size(), 2u);
  for (const auto& write : Entries(sim::TraceKind::PortWrite))
    EXPECT_FALSE(write.address >= config_.ioBase2 && write.address < config_.ioBase2 + 4u)
        << "write to the controller's second range at 0x" << std::hex << write.address;
}

TEST_F(AdapterTest, AFailedTopologyInstallSkipsTheRestAndWiresNothing) {
  Miniports().topology.createStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(StartWithStandIns(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(Harness().Subdevices().empty());
  EXPECT_TRUE(Harness().PhysicalConnections().empty());
}

// The interrupt routine cannot notify a wave port it has no IPortWavePci of:
// the start fails, "Uart" is skipped, but both filters are there and wired.
TEST_F(AdapterTest, AFailedWavePortQuerySkipsTheUartButStillWiresAndFailsTheStart) {
  ASSERT_TRUE(config_.midiEnabled);
  GetKernel().RefusePortInterface(IID_IPortWavePci, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(StartWithStandIns(), STATUS_NOT_SUPPORTED);
  std::vector<std::wstring> names;
  for (const auto& s : Harness().Subdevices()) names.push_back(s.name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Topology", L"Wave"}));
  const std::vector<host::PhysicalConnectionInfo> wiring = {{L"Topology", 11, L"Wave", 1},
                                                            {L"Wave", 3, L"Topology", 0}};
  EXPECT_EQ(Harness().PhysicalConnections(), wiring);
}

}  // namespace
}  // namespace adaptertest
