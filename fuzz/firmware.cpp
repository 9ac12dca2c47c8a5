// The driver's search for the PCI BIOS over arbitrary BIOS window images:
// BIOS32 directory headers anywhere (aligned or not, valid or not, several),
// checksums, lengths and entry points inside, outside and at the window's
// edges. The device is started on each image and the outcome is compared
// with a reference search written from the BIOS32 rules:
//
//   the first "_32_" on a 4-byte boundary whose 16 bytes lie in the window
//   is the only candidate; it counts when its length is 1 paragraph and its
//   bytes add up to 0; its entry point is called only when it lies in the
//   window; the device starts exactly when that entry is the directory's.
//
// Whatever the image, the driver reads nothing outside the window (ASan),
// leaks nothing on the failed starts, and breaks no kernel rule.
#include <array>
#include <cstring>
#include <vector>

#include "adapter/common.h"
#include "fuzz_device.h"
#include "fuzz_input.h"
#include "sim/firmware.h"

namespace {

constexpr std::uint32_t kWindow = 0xE0000;
constexpr std::uint32_t kWindowSize = 0x20000;
constexpr NTSTATUS kConfigurationError = static_cast<NTSTATUS>(0xC0000182L);  // STATUS_DEVICE_CONFIGURATION_ERROR

static_assert(kWindow == BiosWindowPhysical && kWindowSize == BiosWindowSize);

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// What a correct search makes of `image`.
struct Expected {
  bool calls = false;     // the directory entry is called
  std::uint32_t entry = 0;
  bool starts = false;
};

Expected Reference(const std::vector<std::uint8_t>& image) {
  Expected e;
  for (std::uint32_t at = 0; at + 16 <= kWindowSize; at += 4) {
    if (std::memcmp(&image[at], "_32_", 4) != 0) continue;
    std::uint8_t sum = 0;
    for (int i = 0; i < 16; ++i) sum = static_cast<std::uint8_t>(sum + image[at + i]);
    if (image[at + 9] != 1 || sum != 0) return e;
    e.entry = Le32(&image[at + 4]);
    e.calls = e.entry >= kWindow && e.entry - kWindow < kWindowSize;
    e.starts = e.calls && e.entry == sim::bios::kDirectoryEntry;
    return e;
  }
  return e;
}

std::uint32_t EntryPoint(fuzz::Input& in) {
  switch (in.Byte() % 6) {
    case 0: return sim::bios::kDirectoryEntry;
    case 1: return sim::bios::kPciEntry;
    case 2: return kWindow + in.U32() % kWindowSize;
    case 3: return kWindow + kWindowSize - in.Byte() % 4;  // at and just inside the end
    case 4: return kWindow - 1 - in.Byte() % 4;             // just below the start
    default: return in.U32();
  }
}

void Build(fuzz::Input& in, std::vector<std::uint8_t>& image) {
  for (int step = 0; step < 16 && !in.Empty(); ++step) {
    std::uint32_t at = in.U32() % kWindowSize;
    switch (in.Byte() % 4) {
      case 0: {  // a BIOS32 header, its checksum usually right
        if (!in.Bool()) at &= ~3u;
        std::array<std::uint8_t, 16> h{'_', '3', '2', '_'};
        PutLe32(&h[4], EntryPoint(in));
        h[8] = in.Byte();
        h[9] = in.Byte() % 4 ? 1 : in.Byte();
        for (int i = 11; i < 16; ++i) h[i] = in.Bool() ? in.Byte() : 0;
        std::uint8_t sum = 0;
        for (auto b : h) sum = static_cast<std::uint8_t>(sum + b);
        h[10] = static_cast<std::uint8_t>(in.Byte() % 4 ? -sum : in.Byte());
        for (std::size_t i = 0; i < h.size() && at + i < kWindowSize; ++i) image[at + i] = h[i];
        break;
      }
      case 1:  // a bare signature
        for (std::size_t i = 0; i < 4 && at + i < kWindowSize; ++i) image[at + i] = "_32_"[i];
        break;
      case 2: {  // raw bytes
        for (std::uint8_t n = in.Byte() % 32; n > 0 && at < kWindowSize; --n) image[at++] = in.Byte();
        break;
      }
      default: {  // a run of one byte
        const std::uint8_t value = in.Byte();
        for (std::uint32_t n = in.U16() % 4096; n > 0 && at < kWindowSize; --n) image[at++] = value;
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  fuzz::Device device;
  sim::PhysicalMemory& memory = device.Machine().Memory();
  std::vector<std::uint8_t> image(kWindowSize);
  // Either the machine's own image or an empty window, then the edits.
  if (in.Bool()) memory.Read(kWindow, image.data(), kWindowSize);
  Build(in, image);
  memory.Load(kWindow, image.data(), kWindowSize);

  const Expected expected = Reference(image);
  const NTSTATUS status = device.Start();
  const sim::Firmware& firmware = device.Machine().GetFirmware();
  if (expected.starts != NT_SUCCESS(status))
    fuzz::Fail(std::string(expected.starts ? "the device did not start on a valid directory: " : "the device started on an image without one: ") +
               device.Harness().LastError());
  if (!expected.starts && status != kConfigurationError)
    fuzz::Fail("a missing PCI BIOS reported with status " + host::Hex(static_cast<std::uint32_t>(status)));
  if (expected.calls != (firmware.Calls() > 0))
    fuzz::Fail(expected.calls ? "the directory's entry point was never called" : "firmware was called on an image without a valid directory");
  const bool strayCall = expected.calls && expected.entry != sim::bios::kDirectoryEntry;
  if (strayCall != (firmware.Faults() > 0)) fuzz::Fail("a firmware call reached no routine");
  device.Finish();
  // A call to an entry point that holds no routine is the image's fault, not the driver's.
  device.RequireNoViolations(strayCall ? std::vector<std::string>{"firmware"} : std::vector<std::string>{});
  return 0;
}
