// Both roads to the configuration space: the firmware search and the PCI
// BIOS after start, configuration requests to the bus before it.
#include "adapter_fixture.h"

#include "host/io.h"

namespace adaptertest {
namespace {

struct FirmwareCase {
  const char* name;
  sim::FirmwareLayout layout;
  bool pciService;
  sim::FindDeviceResult find;
  bool found;
  bool missingServiceLeavesAddresses = false;
};

class FirmwareTest : public AdapterTest, public ::testing::WithParamInterface<FirmwareCase> {
 protected:
  FirmwareTest() {
    config_.firmware.layout = GetParam().layout;
    config_.firmware.pciServicePresent = GetParam().pciService;
    config_.firmware.findDevice = GetParam().find;
    config_.firmware.missingServiceLeavesAddresses = GetParam().missingServiceLeavesAddresses;
    config_.pciBus = 2;
    config_.pciDevice = 9;
  }
};

TEST_P(FirmwareTest, FindsTheControllerAtFunctionFiveOrFailsInit) {
  auto standalone = NewStandaloneAdapter();
  if (GetParam().found) {
    EXPECT_EQ(standalone.initStatus, STATUS_SUCCESS);
    EXPECT_EQ(standalone.adapter->GetPciDeviceAddress(), 2 << 8 | 9 << 3 | 5);
    // The BIOS path reaches the function: the reset rewrote CodecLinkControl through it.
    const auto writes = Machine().GetTrace().ConfigWrites(0x41);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().note, "bios");
  } else {
    EXPECT_EQ(standalone.initStatus, STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(standalone.adapter->ReadPCIRegB(0x41), 0) << "no BIOS, nothing to call";
  }
  standalone.Release();
  EXPECT_EQ(GetKernel().IoSpaceMappings(), 0u) << "the BIOS window goes with the adapter";
  EXPECT_EQ(Machine().GetFirmware().Faults(), 0u) << "the driver never called an address the firmware lacks";
}

INSTANTIATE_TEST_SUITE_P(
    , FirmwareTest,
    ::testing::Values(
        FirmwareCase{"Normal", sim::FirmwareLayout::Normal, true, sim::FindDeviceResult::Found, true},
        FirmwareCase{"FourByteAligned", sim::FirmwareLayout::FourByteAligned, true, sim::FindDeviceResult::Found, true},
        FirmwareCase{"AtFunction0", sim::FirmwareLayout::Normal, true, sim::FindDeviceResult::AtFunction0, true},
        FirmwareCase{"NoDirectory", sim::FirmwareLayout::None, true, sim::FindDeviceResult::Found, false},
        FirmwareCase{"BadChecksum", sim::FirmwareLayout::BadChecksum, true, sim::FindDeviceResult::Found, false},
        FirmwareCase{"BadLength", sim::FirmwareLayout::BadLength, true, sim::FindDeviceResult::Found, false},
        FirmwareCase{"BadFirstThenGood", sim::FirmwareLayout::BadFirstThenGood, true, sim::FindDeviceResult::Found,
                     false},
        FirmwareCase{"EntryPastWindow", sim::FirmwareLayout::EntryPastWindow, true, sim::FindDeviceResult::Found,
                     false},
        FirmwareCase{"NoPciService", sim::FirmwareLayout::Normal, false, sim::FindDeviceResult::Found, false},
        FirmwareCase{"NoPciServiceAddressesLeftOver", sim::FirmwareLayout::Normal, false,
                     sim::FindDeviceResult::Found, false, true},
        FirmwareCase{"DeviceNotFound", sim::FirmwareLayout::Normal, true, sim::FindDeviceResult::NotFound, false},
        FirmwareCase{"DeviceNotFoundInAhAlone", sim::FirmwareLayout::Normal, true,
                     sim::FindDeviceResult::NotFoundNoCarry, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, ConfigurationRegistersOfEveryWidthGoThroughTheBios) {
  auto standalone = NewStandaloneAdapter();
  ASSERT_EQ(standalone.initStatus, STATUS_SUCCESS);
  CAdapterCommon* a = standalone.adapter;
  EXPECT_EQ(a->ReadPCIRegW(0x00), config_.vendorId);
  EXPECT_EQ(a->ReadPCIRegDW(0x00), std::uint32_t(config_.deviceId) << 16 | config_.vendorId);
  EXPECT_EQ(a->ReadPCIRegB(0x08), config_.revision);
  a->WritePCIRegB(0x43, 0x08);
  EXPECT_EQ(Machine().Pci().Peek(0x43) & 0x0C, 0x08);
  a->WritePCIRegW(0x42, 0x0402);
  a->WritePCIRegDW(0x40, 0x0C02C400);
  EXPECT_EQ(Machine().GetTrace().ConfigWrites(0x42).size(), 1u);
  EXPECT_EQ(Machine().GetTrace().ConfigWrites(0x40).back().width, 4);
  standalone.Release();
}

struct ConfigCase {
  const char* name;
  bool pend;
  bool fail;
};

class ConfigRequestTest : public AdapterTest, public ::testing::WithParamInterface<ConfigCase> {
 protected:
  ConfigRequestTest() {
    config_.revision = 0x21;
    config_.midiPortSelect = 1;
  }
};

TEST_P(ConfigRequestTest, AddDeviceReadsTheSameBytesAtOnceOrPendingAndSeesZeroWhenTheBusFails) {
  Harness().GetOptions().pendConfigRequests = GetParam().pend;
  Harness().GetOptions().failConfigRequests = GetParam().fail;
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
  // A failed request leaves the transfer word as it was: 0, so no MIDI and an older chip.
  EXPECT_EQ(MPUEnable, GetParam().fail ? FALSE : TRUE);
  EXPECT_EQ(NewChip, GetParam().fail ? FALSE : TRUE);
  if (!GetParam().fail) {
    EXPECT_EQ(MPUStartPort, 0x310u);
    EXPECT_EQ(Machine().Pci().Peek(0x42) & 0xC0, 0x80) << "the newer chip's MidiControl write arrived";
  }
  EXPECT_EQ(Harness().ConfigRequests(), GetParam().fail ? 2u : 4u);
}

INSTANTIATE_TEST_SUITE_P(, ConfigRequestTest,
                         ::testing::Values(ConfigCase{"AtOnce", false, false}, ConfigCase{"Pending", true, false},
                                           ConfigCase{"BusFails", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, WithoutAnIrpAReadYieldsZeroAndNothingIsSent) {
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  GetKernel().Io().SetFailAllocations(true);
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
  GetKernel().Io().SetFailAllocations(false);
  EXPECT_EQ(MPUEnable, FALSE);
  EXPECT_EQ(NewChip, FALSE);
  EXPECT_EQ(Harness().ConfigRequests(), 0u);
}

}  // namespace
}  // namespace adaptertest
