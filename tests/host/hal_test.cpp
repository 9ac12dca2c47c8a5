// Physical-memory mappings and calls into the firmware through them.
#include <wdm.h>
#include <zatplatform.h>

#include "host/testing.h"

namespace {

class HalTest : public host::testing::KernelTest {
 protected:
  PHYSICAL_ADDRESS Bios() {
    PHYSICAL_ADDRESS p;
    p.QuadPart = sim::kBiosBase;
    return p;
  }
};

TEST_F(HalTest, FirmwareIsCalledThroughTheMapping) {
  auto* window = static_cast<PUCHAR>(MmMapIoSpace(Bios(), sim::kBiosSize, MmCached));
  ASSERT_NE(window, nullptr);
  FIRMWARE_REGISTERS r{};
  r.Eax = sim::bios::kPciServiceId;
  CallFirmwareEntry(window + (sim::bios::kDirectoryEntry - sim::kBiosBase), &r);
  EXPECT_FALSE(r.Carry);
  EXPECT_EQ(r.Eax & 0xFF, 0u);  // "$PCI" is present
  EXPECT_EQ(r.Ebx + r.Edx, sim::bios::kPciEntry);
  MmUnmapIoSpace(window, sim::kBiosSize);
  EXPECT_EQ(GetKernel().IoSpaceMappings(), 0u);
}

TEST_F(HalTest, ACallOutsideEveryMappingIsRefused) {
  ExpectViolation("firmware: call to");
  FIRMWARE_REGISTERS r{};
  UCHAR notFirmware[16] = {};
  CallFirmwareEntry(notFirmware, &r);
  EXPECT_TRUE(r.Carry);
  EXPECT_EQ(Machine().GetFirmware().Calls(), 0u);
}

TEST_F(HalTest, UnmappingMustMatchTheMapping) {
  ExpectViolation("io space: MmUnmapIoSpace of");
  ExpectViolation("which is not mapped");
  PVOID window = MmMapIoSpace(Bios(), 0x1000, MmNonCached);
  MmUnmapIoSpace(window, 0x2000);  // wrong size: refused, still mapped
  EXPECT_EQ(GetKernel().IoSpaceMappings(), 1u);
  MmUnmapIoSpace(window, 0x1000);
  MmUnmapIoSpace(window, 0x1000);  // no longer mapped
}

TEST_F(HalTest, AMappingLeftAtTeardownIsALeak) {
  ExpectViolation("io space: leak of 1 mapping(s) at teardown");
  MmMapIoSpace(Bios(), 16, MmCached);
}

TEST_F(HalTest, UnbackedPhysicalMemoryCannotBeMapped) {
  PHYSICAL_ADDRESS nowhere;
  nowhere.QuadPart = 0x7000'0000;
  EXPECT_EQ(MmMapIoSpace(nowhere, 16, MmCached), nullptr);
}

TEST_F(HalTest, BugCheckIsAViolation) {
  ExpectViolation("bug check: 0xc4");
  KeBugCheckEx(0xC4, 1, 2, 3, 4);
}

}  // namespace
