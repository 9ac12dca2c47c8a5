// Every call between the host and a loaded image is checked against its
// calling convention: where ESP must be on return, the registers the callee
// must preserve and the direction flag. First the check itself on routines
// built here with a known wrong convention, then the image's own calls.
#include <portcls.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "adapter/driver.h"
#include "host/driver_under_test.h"
#include "host/image/pe_image.h"
#include "host/image_boundary.h"
#include "host/testing.h"
#include "wave/wave_fixture.h"

namespace {

using host::Convention;

int __attribute__((stdcall)) SumStdcall(int a, int b, int c) { return a + 2 * b + 3 * c; }
int __attribute__((cdecl)) SumCdecl(int a, int b, int c) { return a + 2 * b + 3 * c; }
int __attribute__((fastcall)) SumFastcall(int a, int b, int c) { return a + 2 * b + 3 * c; }

using Stdcall = int(__attribute__((stdcall)) *)(int, int, int);
using Cdecl = int(__attribute__((cdecl)) *)(int, int, int);
using Fastcall = int(__attribute__((fastcall)) *)(int, int, int);

class CheckedCall : public host::testing::KernelTest {
 protected:
  template <typename F>
  F Checked(F target, Convention convention, const char* name) {
    return reinterpret_cast<F>(host::CheckedRoutine(reinterpret_cast<void*>(target), convention, 12, name));
  }
};

TEST_F(CheckedCall, EachConventionKeptPassesUntouched) {
  const std::uint64_t before = host::CheckedCalls("test stdcall");
  EXPECT_EQ(Checked(&SumStdcall, Convention::kStdcall, "test stdcall")(1, 2, 3), 14);
  EXPECT_EQ(Checked(&SumCdecl, Convention::kCdecl, "test cdecl")(1, 2, 3), 14);
  // The first two arguments arrive in ECX and EDX through the check.
  EXPECT_EQ(Checked(&SumFastcall, Convention::kFastcall, "test fastcall")(4, 5, 6), 32);
  EXPECT_EQ(host::CheckedCalls("test stdcall"), before + 1);
  EXPECT_EQ(Violations().All().size(), 0u);
}

// A routine declared one way and built another is named, with the bytes the
// stack is off by; the caller then goes on with its stack as it expects.
TEST_F(CheckedCall, CdeclRoutineCalledAsStdcallIsCaught) {
  ExpectViolation("calling convention: test SumCdecl returned with ESP off by -12 bytes");
  auto routine = reinterpret_cast<Stdcall>(Checked(&SumCdecl, Convention::kStdcall, "test SumCdecl"));
  int total = 0;
  for (int i = 0; i < 3; ++i) total += routine(1, 2, 3);
  EXPECT_EQ(total, 42);
  EXPECT_EQ(Violations().All().size(), 3u);
}

TEST_F(CheckedCall, StdcallRoutineCalledAsCdeclIsCaught) {
  ExpectViolation("calling convention: test SumStdcall returned with ESP off by 12 bytes");
  auto routine = reinterpret_cast<Cdecl>(Checked(&SumStdcall, Convention::kCdecl, "test SumStdcall"));
  EXPECT_EQ(routine(1, 2, 3), 14);
}

TEST_F(CheckedCall, StdcallRoutineCalledAsFastcallIsCaught) {
  // Two arguments in registers: the callee pops 12 where 4 were pushed.
  ExpectViolation("calling convention: test SumStdcall as fastcall returned with ESP off by 8 bytes");
  auto routine = reinterpret_cast<Fastcall>(
      Checked(&SumStdcall, Convention::kFastcall, "test SumStdcall as fastcall"));
  routine(1, 2, 3);
}

}  // namespace

// Routines that break the rule on the registers, each a stdcall routine of
// no arguments (ESP is right: only the register is wrong).
extern "C" {
void ClobbersEbx();
void ClobbersEsi();
void ClobbersEdi();
void ClobbersEbp();
void SetsDirectionFlag();
}
asm("    .text\n"
    "ClobbersEbx: movl $0x0BADF00D, %ebx\n ret\n"
    "ClobbersEsi: movl $0x0BADF00D, %esi\n ret\n"
    "ClobbersEdi: movl $0x0BADF00D, %edi\n ret\n"
    "ClobbersEbp: movl $0x0BADF00D, %ebp\n ret\n"
    "SetsDirectionFlag: std\n ret\n");

namespace {

struct Breaker {
  const char* name;
  void (*routine)();
  const char* message;
};

const Breaker kBreakers[] = {
    {"ebx", &ClobbersEbx, "test ebx (stdcall, 0 bytes of arguments) returned with EBX changed"},
    {"esi", &ClobbersEsi, "test esi (stdcall, 0 bytes of arguments) returned with ESI changed"},
    {"edi", &ClobbersEdi, "test edi (stdcall, 0 bytes of arguments) returned with EDI changed"},
    {"ebp", &ClobbersEbp, "test ebp (stdcall, 0 bytes of arguments) returned with EBP changed"},
    {"df", &SetsDirectionFlag, "test df (stdcall, 0 bytes of arguments) returned with the direction flag set"},
};

class CalleeSaved : public host::testing::KernelTest, public ::testing::WithParamInterface<Breaker> {};

// The caller's own registers come back as they were: it keeps running on
// EBX (the position-independent code's base here), EBP and the others.
TEST_P(CalleeSaved, ChangeIsCaughtAndUndone) {
  ExpectViolation(std::string("calling convention: ") + GetParam().message);
  using Routine = void(__attribute__((stdcall)) *)();
  auto routine = reinterpret_cast<Routine>(host::CheckedRoutine(reinterpret_cast<void*>(GetParam().routine),
                                                                Convention::kStdcall, 0,
                                                                std::string("test ") + GetParam().name));
  volatile int kept = 7;
  routine();
  EXPECT_EQ(kept, 7);
  unsigned flags = 0;
  asm volatile("pushfl\n popl %0" : "=r"(flags));
  EXPECT_EQ(flags & (1u << 10), 0u) << "the direction flag came back set";
}

INSTANTIATE_TEST_SUITE_P(Registers, CalleeSaved, ::testing::ValuesIn(kBreakers),
                         [](const ::testing::TestParamInfo<Breaker>& info) { return std::string(info.param.name); });

// ---- The image's calls ---------------------------------------------------------

std::string MapPath() {
  std::string path = ZATAC97_KERNEL_IMAGE;
  return path.substr(0, path.size() - 4) + ".map";
}

// The host's memory allocation built as cdecl: the image pops nothing where
// it expects the callee to have popped its 12 bytes.
PVOID __attribute__((cdecl)) AllocateCdecl(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  return ExAllocatePoolWithTag(type, bytes, tag);
}

class ImageConvention : public host::testing::KernelTest {};

TEST_F(ImageConvention, HostRoutineOfTheWrongConventionIsCaughtWhenTheImageCallsIt) {
  ExpectViolation("calling convention: ntoskrnl.exe!ExAllocatePoolWithTag returned with ESP off by -12 bytes");
  std::vector<host::ImageExport> exports = host::ImageExports();
  for (host::ImageExport& e : exports)
    if (std::string(e.name) == "ExAllocatePoolWithTag") e.address = reinterpret_cast<void*>(&AllocateCdecl);
  std::string error;
  auto image = host::PeImage::Load(ZATAC97_KERNEL_IMAGE, exports, &error);
  ASSERT_TRUE(image) << error;
  ASSERT_TRUE(image->ReadLinkMap(MapPath(), &error)) << error;
  ASSERT_TRUE(image->CheckImportConventions(&error)) << error;
  host::TrapImageInstructions(*image);
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(host::CheckedRoutine(
      reinterpret_cast<void*>(image->EntryPoint()), Convention::kStdcall, 8, "image DriverEntry"));
  auto& device = Harness();
  // The stack is given back as the image expects it: the device starts.
  ASSERT_EQ(device.Start(entry), STATUS_SUCCESS) << device.LastError();
  device.RemoveDevice();
  ResetHarness();
  // Kept mapped: the check's records name its routines for the process.
  image.release();
}

// Every import is checked with the convention the image calls it with; a
// map that does not say it for one import is refused with its name.
TEST_F(ImageConvention, EveryImportNeedsItsDecorationInTheMap) {
  std::string error;
  auto image = host::PeImage::Load(ZATAC97_KERNEL_IMAGE, host::ImageExports(), &error);
  ASSERT_TRUE(image) << error;
  std::ifstream in(MapPath());
  std::ostringstream kept;
  std::string line;
  bool dropped = false;
  while (std::getline(in, line)) {
    if (line.find("_imp__KeStallExecutionProcessor@4") != std::string::npos) {
      dropped = true;
      continue;
    }
    kept << line << '\n';
  }
  ASSERT_TRUE(dropped) << "the map does not decorate KeStallExecutionProcessor as stdcall with 4 bytes";
  const std::string path = ::testing::TempDir() + "zatac97_partial.map";
  std::ofstream(path) << kept.str();
  ASSERT_TRUE(image->ReadLinkMap(path, &error)) << error;
  EXPECT_FALSE(image->CheckImportConventions(&error));
  // The module as the image names it, in its own case.
  EXPECT_NE(error.find("names no import slot for "), std::string::npos) << error;
  EXPECT_NE(error.find("!KeStallExecutionProcessor"), std::string::npos) << error;
}

// Started and played from the image, the calls each way went through the
// check: the host's routines the image imports, and the image's entry,
// routines and interface methods the host calls.
TEST_F(ImageConvention, CallsBothWaysGoThroughTheCheck) {
  std::string error;
  PDRIVER_INITIALIZE entry = host::LoadDriverImage(ZATAC97_KERNEL_IMAGE, &error);
  ASSERT_TRUE(entry) << error;
  EXPECT_EQ(host::CheckedRoutineName(reinterpret_cast<void*>(entry)), "image DriverEntry");
  const char* names[] = {"image DriverEntry",
                         "image AddDevice",
                         "image StartDevice",
                         "image dispatch routine",
                         "image IUnknown::QueryInterface",
                         "image IMiniportWavePci::Init",
                         "image IMiniportTopology::Init",
                         "ntoskrnl.exe!ExAllocatePoolWithTag",
                         "HAL.dll!WRITE_PORT_USHORT",
                         "ntoskrnl.exe!InterlockedIncrement",
                         "ntoskrnl.exe!memset"};
  std::vector<std::uint64_t> before;
  for (const char* name : names) before.push_back(host::CheckedCalls(name));
  auto& device = Harness();
  ASSERT_EQ(device.Start(entry), STATUS_SUCCESS) << device.LastError();
  device.RemoveDevice();
  for (std::size_t i = 0; i < std::size(names); ++i)
    EXPECT_GT(host::CheckedCalls(names[i]), before[i]) << names[i] << " was not called through the check";
}

// A stream played from the image: its creation, its methods and the
// interrupts that drive it all cross through the check.
TEST(ImageStreamConvention, PlaybackGoesThroughTheCheck) {
  using wavetest::Joined;
  ASSERT_EQ(setenv("ZATAC97_IMAGE", ZATAC97_KERNEL_IMAGE, 1), 0);
  const char* names[] = {"image IMiniportWavePci::NewStream", "image IMiniportWavePciStream::SetState",
                         "image IMiniportWavePciStream::GetAllocatorFraming", "image interrupt service routine"};
  std::vector<std::uint64_t> before;
  for (const char* name : names) before.push_back(host::CheckedCalls(name));
  {
    wavetest::WaveDevice device{sim::MachineConfig{}};
    ASSERT_STARTED(device);
    const wavetest::Format format{48000, 2, 16};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::WavePciPin* pin = device.Open(wavetest::kRenderPin, format, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const auto bytes = wavetest::Pattern(format.BlockSize() * 2, 1);
    pin->QueueBuffer(bytes);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(device.RunUntil([&] { return pin->BytesReleased() == bytes.size(); }));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), device.Dac().begin()));
    EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
  }
  unsetenv("ZATAC97_IMAGE");
  for (std::size_t i = 0; i < std::size(names); ++i)
    EXPECT_GT(host::CheckedCalls(names[i]), before[i]) << names[i] << " was not called through the check";
}

}  // namespace
