// The kernel image zatac97.sys, byte for byte as the kernel build produced it,
// loaded into the 32-bit host: mapped, relocated, bound to the host's
// routines by name, and started through the same PnP harness as the
// compiled-in driver.
#include <portcls.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "adapter/driver.h"
#include "host/driver_under_test.h"
#include "host/image/pe_image.h"
#include "host/testing.h"

namespace {

std::vector<std::uint8_t> ImageBytes() {
  std::ifstream in(ZATAC97_KERNEL_IMAGE, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ImageLoad, BindsEveryImportByNameAndRelocates) {
  std::string error;
  auto image = host::PeImage::Load(ZATAC97_KERNEL_IMAGE, host::ImageExports(), &error);
  ASSERT_TRUE(image) << error;
  const auto& imports = image->Imports();
  for (const char* expected : {"portcls.sys!PcNewPort", "ntoskrnl.exe!KeWaitForSingleObject",
                               "hal.dll!KfAcquireSpinLock", "ntoskrnl.exe!memcpy"}) {
    EXPECT_NE(std::find_if(imports.begin(), imports.end(),
                           [&](const std::string& s) {
                             return strcasecmp(s.c_str(), expected) == 0;
                           }),
              imports.end())
        << expected << " was not bound";
  }
  EXPECT_NE(image->Base(), image->PreferredBase()) << "the image must be placed away from its base to test relocation";
  EXPECT_GT(image->RelocationsApplied(), 0u);
  EXPECT_EQ(image->SectionOf(reinterpret_cast<std::uintptr_t>(image->EntryPoint())), "INIT");
}

// Every import the image has must be bound; one the host lacks is named.
class UnresolvedImport : public ::testing::TestWithParam<const char*> {};

TEST_P(UnresolvedImport, IsAnErrorNamingIt) {
  const std::string missing = GetParam();
  std::vector<host::ImageExport> exports = host::ImageExports();
  std::erase_if(exports, [&](const host::ImageExport& e) { return missing == std::string(e.module) + "!" + e.name; });
  std::string error;
  EXPECT_FALSE(host::PeImage::Load(ImageBytes(), exports, &error));
  EXPECT_NE(error.find("unresolved import"), std::string::npos) << error;
  // The image names its modules in its own case; the routine's name is exact.
  const std::string routine = missing.substr(missing.find('!'));
  EXPECT_NE(error.find(routine), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Host, UnresolvedImport,
                         ::testing::Values("hal.dll!KeStallExecutionProcessor", "ntoskrnl.exe!memset",
                                           "portcls.sys!PcRegisterSubdevice"));

// A damaged file is refused with the reason, never mapped half-way.
struct Damage {
  const char* name;
  void (*apply)(std::vector<std::uint8_t>&);
  const char* reason;
};

std::uint32_t PeOffset(const std::vector<std::uint8_t>& f) {
  std::uint32_t v;
  std::memcpy(&v, f.data() + 0x3C, 4);
  return v;
}

std::uint32_t Get32(const std::vector<std::uint8_t>& f, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, f.data() + at, 4);
  return v;
}

void Put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) { std::memcpy(f.data() + at, &v, 4); }

std::size_t OptionalHeader(const std::vector<std::uint8_t>& f) { return PeOffset(f) + 24; }

// The file offset of an address of the mapped image, through the section table.
std::size_t FileOffset(const std::vector<std::uint8_t>& f, std::uint32_t rva) {
  std::uint16_t sections = 0, optionalSize = 0;
  std::memcpy(&sections, f.data() + PeOffset(f) + 6, 2);
  std::memcpy(&optionalSize, f.data() + PeOffset(f) + 20, 2);
  const std::size_t table = OptionalHeader(f) + optionalSize;
  for (std::size_t i = 0; i < sections; ++i) {
    const std::size_t at = table + 40 * i;
    const std::uint32_t start = Get32(f, at + 12), span = std::max(Get32(f, at + 8), Get32(f, at + 16));
    if (rva >= start && rva - start < span) return Get32(f, at + 20) + (rva - start);
  }
  ADD_FAILURE() << "no section holds " << rva;
  return 0;
}

// The first base relocation block of the image.
std::size_t FirstRelocationBlock(const std::vector<std::uint8_t>& f) {
  return FileOffset(f, Get32(f, OptionalHeader(f) + 96 + 8 * 5));
}

// The first name slot of the first imported module.
std::size_t FirstImportSlot(const std::vector<std::uint8_t>& f) {
  const std::size_t descriptor = FileOffset(f, Get32(f, OptionalHeader(f) + 96 + 8 * 1));
  const std::uint32_t lookup = Get32(f, descriptor), iat = Get32(f, descriptor + 16);
  return FileOffset(f, lookup ? lookup : iat);
}

const Damage kDamages[] = {
    {"empty", [](std::vector<std::uint8_t>& f) { f.clear(); }, "not a PE image"},
    {"no_mz", [](std::vector<std::uint8_t>& f) { f[0] = 'X'; }, "not a PE image"},
    {"truncated_headers", [](std::vector<std::uint8_t>& f) { f.resize(PeOffset(f) + 30); }, "truncated"},
    {"x64_machine", [](std::vector<std::uint8_t>& f) { f[PeOffset(f) + 4] = 0x64; f[PeOffset(f) + 5] = 0x86; },
     "not 32-bit x86"},
    {"no_relocations",
     [](std::vector<std::uint8_t>& f) { std::memset(f.data() + PeOffset(f) + 24 + 96 + 8 * 5, 0, 8); },
     "no base relocations"},
    {"truncated_sections", [](std::vector<std::uint8_t>& f) { f.resize(0x600); }, "outside the file"},
    {"short_optional_header",
     [](std::vector<std::uint8_t>& f) { f[PeOffset(f) + 20] = 64; f[PeOffset(f) + 21] = 0; },
     "optional header of 64 bytes is too short"},
    {"entry_outside_the_image", [](std::vector<std::uint8_t>& f) { Put32(f, OptionalHeader(f) + 16, 0x7FFFFFF0); },
     "entry point 0x7FFFFFF0 is in no section"},
    {"section_outside_the_image",
     [](std::vector<std::uint8_t>& f) {
       std::uint16_t optionalSize = 0;
       std::memcpy(&optionalSize, f.data() + PeOffset(f) + 20, 2);
       Put32(f, OptionalHeader(f) + optionalSize + 12, 0x7FFFF000);
     },
     "lies outside the image"},
    {"relocation_of_unknown_type",
     [](std::vector<std::uint8_t>& f) {
       const std::size_t first = FirstRelocationBlock(f) + 8;
       f[first + 1] = static_cast<std::uint8_t>((f[first + 1] & 0x0F) | 0xA0);
     },
     "base relocation type 10"},
    {"relocation_block_too_short", [](std::vector<std::uint8_t>& f) { Put32(f, FirstRelocationBlock(f) + 4, 6); },
     "malformed base relocation block"},
    {"relocation_page_outside_the_image",
     [](std::vector<std::uint8_t>& f) { Put32(f, FirstRelocationBlock(f), 0xFFFFF000); }, "outside the image"},
    {"import_by_ordinal", [](std::vector<std::uint8_t>& f) { Put32(f, FirstImportSlot(f), 0x80000007); },
     "import of ordinal 7"},
    {"import_name_outside_the_image",
     [](std::vector<std::uint8_t>& f) { Put32(f, FirstImportSlot(f), 0x7FFFFFF0); }, "is outside the image"},
};

class DamagedImage : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedImage, IsRefusedWithTheReason) {
  std::vector<std::uint8_t> file = ImageBytes();
  ASSERT_GT(file.size(), 0x1000u);
  GetParam().apply(file);
  std::string error;
  EXPECT_FALSE(host::PeImage::Load(file, host::ImageExports(), &error));
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedImage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// The device started from the image registers what the compiled-in driver
// registers, and leaves nothing allocated once removed.
class ImageDevice : public host::testing::KernelTest {};

std::vector<std::wstring> SubdeviceNames(host::DeviceHarness& device) {
  std::vector<std::wstring> names;
  for (const wchar_t* name : {L"Topology", L"Wave", L"Uart"})
    if (device.Subdevice(name)) names.push_back(name);
  return names;
}

TEST_F(ImageDevice, StartsWithTheSubdevicesOfTheCompiledInDriver) {
  std::vector<std::wstring> compiledIn;
  {
    auto& device = Harness();
    ASSERT_EQ(device.Start(DriverEntry), STATUS_SUCCESS) << device.LastError();
    compiledIn = SubdeviceNames(device);
    device.RemoveDevice();
  }
  Boot(config_);
  std::string error;
  PDRIVER_INITIALIZE entry = host::LoadDriverImage(ZATAC97_KERNEL_IMAGE, &error);
  ASSERT_TRUE(entry) << error;
  EXPECT_NE(entry, reinterpret_cast<PDRIVER_INITIALIZE>(&DriverEntry));
  auto& device = Harness();
  ASSERT_EQ(device.Start(entry), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(SubdeviceNames(device), compiledIn);
  EXPECT_EQ(compiledIn.size(), 3u);
  device.RemoveDevice();
}

// The image's own variables, found through the link map beside it: set by
// its start, and back at the file's values in an image loaded afresh, as
// after a driver's unload and reload.
TEST_F(ImageDevice, EachLoadStartsFromTheFilesVariables) {
  MPUStartPort = 0;
  std::string error;
  PDRIVER_INITIALIZE first = host::LoadDriverImage(ZATAC97_KERNEL_IMAGE, &error);
  ASSERT_TRUE(first) << error;
  auto* port = static_cast<ULONG*>(host::ImageSymbol(first, "MPUStartPort"));
  ASSERT_TRUE(port) << "the link map beside the image does not name MPUStartPort";
  EXPECT_EQ(*port, 0u);
  EXPECT_EQ(host::ImageSymbol(first, "NoSuchVariable"), nullptr);
  EXPECT_EQ(host::ImageSymbol(reinterpret_cast<PDRIVER_INITIALIZE>(&DriverEntry), "MPUStartPort"), nullptr);
  auto& device = Harness();
  ASSERT_EQ(device.Start(first), STATUS_SUCCESS) << device.LastError();
  EXPECT_EQ(*port, 0x330u) << "the MIDI port the machine decodes";
  EXPECT_EQ(MPUStartPort, 0u) << "the compiled-in driver's variable was never touched";

  PDRIVER_INITIALIZE second = host::LoadDriverImage(ZATAC97_KERNEL_IMAGE, &error);
  ASSERT_TRUE(second) << error;
  EXPECT_NE(second, first);
  auto* fresh = static_cast<ULONG*>(host::ImageSymbol(second, "MPUStartPort"));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(*fresh, 0u);
  EXPECT_EQ(*port, 0x330u);
  device.RemoveDevice();
}

}  // namespace
