// The firmware window as a driver finds it: scan the BIOS window for the
// BIOS32 directory, check the first header, ask for "$PCI", find the device.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/machine.h"

namespace sim {
namespace {

constexpr std::uint16_t kVendor = 0x1AF4;
constexpr std::uint16_t kDevice = 0x10F7;

// What a driver does: the first "_32_" on a 4-byte boundary decides.
struct Search {
  bool directoryFound = false;
  bool pciFound = false;
  std::uint32_t pciEntry = 0;
};

Search FindPciBios(Machine& m) {
  Search s;
  const std::uint8_t* window = m.Memory().HostPointer(kBiosBase, kBiosSize);
  if (!window) return s;
  for (std::uint32_t off = 0; off < kBiosSize; off += 4) {
    if (std::memcmp(window + off, "_32_", 4) != 0) continue;
    std::uint8_t sum = 0;
    for (int i = 0; i < 16; ++i) sum = static_cast<std::uint8_t>(sum + window[off + i]);
    if (window[off + 9] != 1 || sum != 0) return s;
    s.directoryFound = true;
    std::uint32_t entry;
    std::memcpy(&entry, window + off + 4, 4);
    Registers r;
    r.eax = bios::kPciServiceId;
    r.ebx = 0;
    m.GetFirmware().Call(entry, r);
    if ((r.eax & 0xFF) != 0) return s;
    s.pciFound = true;
    s.pciEntry = r.ebx + r.edx;
    return s;
  }
  return s;
}

struct LayoutCase {
  FirmwareLayout layout;
  bool found;
};

class FirmwareLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(FirmwareLayoutTest, DirectoryFoundOnlyWhenTheFirstHeaderIsValid) {
  MachineConfig config;
  config.firmware.layout = GetParam().layout;
  Machine m(config);
  const Search s = FindPciBios(m);
  EXPECT_EQ(s.directoryFound, GetParam().found);
  EXPECT_EQ(s.pciFound, GetParam().found);
  if (s.pciFound) {
    EXPECT_EQ(s.pciEntry, bios::kPciEntry);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FirmwareLayoutTest,
                         ::testing::Values(LayoutCase{FirmwareLayout::Normal, true},
                                           LayoutCase{FirmwareLayout::None, false},
                                           LayoutCase{FirmwareLayout::BadChecksum, false},
                                           LayoutCase{FirmwareLayout::BadLength, false},
                                           LayoutCase{FirmwareLayout::FourByteAligned, true},
                                           LayoutCase{FirmwareLayout::BadFirstThenGood, false}));

TEST(Firmware, FourByteAlignedHeaderIsNotOnASixteenByteBoundary) {
  MachineConfig config;
  config.firmware.layout = FirmwareLayout::FourByteAligned;
  Machine m(config);
  EXPECT_EQ(m.GetFirmware().HeaderAddress() % 4, 0u);
  EXPECT_NE(m.GetFirmware().HeaderAddress() % 16, 0u);
}

TEST(Firmware, DirectoryWithoutPciServiceAnswers0x80) {
  MachineConfig config;
  config.firmware.pciServicePresent = false;
  Machine m(config);
  Registers r;
  r.eax = bios::kPciServiceId;
  m.GetFirmware().Call(bios::kDirectoryEntry, r);
  EXPECT_EQ(r.eax & 0xFF, 0x80u);
  // Its code is not there either: calling the usual entry is a fault.
  Registers call;
  call.eax = 0xB102;
  m.GetFirmware().Call(bios::kPciEntry, call);
  EXPECT_TRUE(call.carry);
  EXPECT_EQ(m.GetFirmware().Faults(), 1u);
}

Registers FindDevice(Machine& m, std::uint16_t vendor, std::uint16_t device, std::uint16_t index = 0) {
  Registers r;
  r.eax = 0xB102;
  r.ecx = device;
  r.edx = vendor;
  r.esi = index;
  m.GetFirmware().Call(bios::kPciEntry, r);
  return r;
}

struct FindCase {
  FindDeviceResult knob;
  bool carry;
  std::uint8_t ah;
  std::uint8_t function;
};

class FindDeviceTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindDeviceTest, AnswersWithTheBiosReturnConvention) {
  MachineConfig config;
  config.firmware.findDevice = GetParam().knob;
  config.pciBus = 2;
  config.pciDevice = 9;
  Machine m(config);
  const Registers r = FindDevice(m, kVendor, kDevice);
  EXPECT_EQ(r.carry, GetParam().carry);
  EXPECT_EQ((r.eax >> 8) & 0xFF, GetParam().ah);
  if (!r.carry) {
    EXPECT_EQ((r.ebx >> 8) & 0xFF, 2u);
    EXPECT_EQ(r.ebx & 0xFF, (9u << 3) | GetParam().function);
  }
}

INSTANTIATE_TEST_SUITE_P(Knobs, FindDeviceTest,
                         ::testing::Values(FindCase{FindDeviceResult::Found, false, 0x00, 5},
                                           FindCase{FindDeviceResult::AtFunction0, false, 0x00, 0},
                                           FindCase{FindDeviceResult::NotFound, true, 0x86, 0}));

TEST(Firmware, FindDeviceRejectsOtherIdsAndIndices) {
  Machine m;
  EXPECT_TRUE(FindDevice(m, kVendor, 0x1234).carry);
  EXPECT_TRUE(FindDevice(m, kVendor, kDevice, 1).carry);
  const Registers bad = FindDevice(m, 0xFFFF, kDevice);
  EXPECT_TRUE(bad.carry);
  EXPECT_EQ((bad.eax >> 8) & 0xFF, 0x83u);
}

Registers ConfigCall(Machine& m, std::uint8_t function, std::uint16_t address, std::uint16_t reg,
                     std::uint32_t value = 0) {
  Registers r;
  r.eax = 0xB100u | function;
  r.ebx = address;
  r.edi = reg;
  r.ecx = value;
  m.GetFirmware().Call(bios::kPciEntry, r);
  return r;
}

TEST(Firmware, ConfigAccessReachesFunction5Only) {
  Machine m;  // bus 0, device 7
  const std::uint16_t fn5 = 7 << 3 | 5;
  const std::uint16_t fn0 = 7 << 3;
  EXPECT_EQ(ConfigCall(m, 0x08, fn5, 0x08).ecx & 0xFF, 0x08u);                    // revision
  EXPECT_EQ(ConfigCall(m, 0x0A, fn5, 0x00).ecx, 0x10F71AF4u);                     // ids
  EXPECT_EQ(ConfigCall(m, 0x09, fn5, 0x02).ecx & 0xFFFF, 0x10F7u);
  EXPECT_EQ(ConfigCall(m, 0x08, fn0, 0x08, 0x12345600).ecx, 0x123456FFu);          // CL only
  EXPECT_EQ(ConfigCall(m, 0x0A, fn0, 0x00).ecx, 0xFFFFFFFFu);

  ConfigCall(m, 0x0B, fn0, 0x42, 0x00);  // another function: ignored
  EXPECT_TRUE(m.Pci().MidiEnabled());
  ConfigCall(m, 0x0B, fn5, 0x42, 0x00);
  EXPECT_FALSE(m.Pci().MidiEnabled());
  ASSERT_EQ(m.GetTrace().ConfigWrites(0x42).size(), 1u);
  EXPECT_EQ(m.GetTrace().ConfigWrites(0x42)[0].note, "bios");
}

TEST(Firmware, MisalignedRegisterAndUnknownFunctionFailWithCarry) {
  Machine m;
  const std::uint16_t fn5 = 7 << 3 | 5;
  const Registers word = ConfigCall(m, 0x09, fn5, 0x41);
  EXPECT_TRUE(word.carry);
  EXPECT_EQ((word.eax >> 8) & 0xFF, 0x87u);
  const Registers unknown = ConfigCall(m, 0x55, fn5, 0);
  EXPECT_TRUE(unknown.carry);
  EXPECT_EQ((unknown.eax >> 8) & 0xFF, 0x81u);
  Registers stray;
  m.GetFirmware().Call(0xE0000, stray);
  EXPECT_TRUE(stray.carry);
  EXPECT_EQ(m.GetFirmware().Faults(), 2u);
}

TEST(Firmware, EveryCallCostsVirtualTime) {
  // A driver polling config 0x40 through the BIOS must see time pass.
  Machine m;
  const Ticks before = m.GetClock().Now();
  ConfigCall(m, 0x08, 7 << 3 | 5, 0x40);
  EXPECT_EQ(m.GetClock().Now() - before, Firmware::kCallTicks);
}

}  // namespace
}  // namespace sim
