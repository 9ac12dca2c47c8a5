// Physical-memory mappings and calls into the firmware through them.
#include <wdm.h>
#include <zatplatform.h>

#include "host/dma.h"
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

namespace {

// Common buffers of a master channel: each must go back exactly as it was
// handed out (length, both addresses, cache setting), and none may outlive
// the channel.
class CommonBufferTest : public host::testing::KernelTest {
 protected:
  void SetUp() override {
    host::testing::KernelTest::SetUp();
    ASSERT_EQ(host::DmaChannel::Create(&channel_, 0x10000, true, true), STATUS_SUCCESS);
    adapter_ = channel_->GetAdapterObject();
  }
  void TearDown() override {
    if (channel_) channel_->Release();
    host::testing::KernelTest::TearDown();
  }
  PVOID Allocate(ULONG length, PHYSICAL_ADDRESS* physical, BOOLEAN cached) {
    return adapter_->DmaOperations->AllocateCommonBuffer(adapter_, length, physical, cached);
  }
  void Free(ULONG length, PHYSICAL_ADDRESS physical, PVOID address, BOOLEAN cached) {
    adapter_->DmaOperations->FreeCommonBuffer(adapter_, length, physical, address, cached);
  }
  PDMACHANNEL channel_ = nullptr;
  PDMA_ADAPTER adapter_ = nullptr;
};

TEST_F(CommonBufferTest, AFreeThatDiffersFromTheAllocationIsRefused) {
  ExpectViolation("with length 64 and address");
  ExpectViolation("with CacheEnabled TRUE; it was allocated with FALSE");
  ExpectViolation("which is no live common buffer of this channel (freed twice, or never allocated)");
  PHYSICAL_ADDRESS physical{};
  PVOID address = Allocate(128, &physical, FALSE);
  ASSERT_NE(address, nullptr);
  Free(64, physical, address, FALSE);    // wrong length: refused, still allocated
  Free(128, physical, address, TRUE);    // wrong cache setting: refused, still allocated
  Free(128, physical, address, FALSE);
  Free(128, physical, address, FALSE);  // twice
  EXPECT_EQ(host::DmaChannel::FromAdapter(adapter_)->LiveCommonBuffers(), 0u);
}

TEST_F(CommonBufferTest, ABufferLeftWhenTheChannelGoesIsALeak) {
  ExpectViolation("dma: common buffer of 256 bytes at physical");
  PHYSICAL_ADDRESS physical{};
  ASSERT_NE(Allocate(256, &physical, TRUE), nullptr);
  channel_->Release();
  channel_ = nullptr;
}

}  // namespace
