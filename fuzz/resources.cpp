// The MIDI resource-requirements rewrite, the PnP manager's assignment and
// the device start, with arbitrary requirement lists: the bus's own
// descriptors dropped, duplicated, reordered and changed (types, options,
// ranges), several alternative lists, and headers whose sizes and counts lie
// (always inside the memory the list occupies, as the PnP manager's are),
// on older and newer controllers with the MIDI port on or off.
//
//   the driver rewrites only on an older controller with its MIDI port on;
//   any list it does not rewrite reaches the framework byte for byte;
//   a rewritten list is the old one plus one copy of a port group whose
//   preferred range is exactly the MPU-401's four ports, and when assigned
//   the MPU-401 range is the second port;
//   the unchanged bus list always starts the device;
//   no kernel rule is broken and nothing leaks, whether the start succeeds or not.
#include <algorithm>
#include <cstring>
#include <vector>

#include "adapter/driver.h"
#include "fuzz_device.h"
#include "fuzz_input.h"
#include "host/com.h"
#include "host/requirements.h"

namespace {

constexpr SIZE_T kHeader = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) + offsetof(IO_RESOURCE_LIST, Descriptors);
constexpr SIZE_T kListHeader = offsetof(IO_RESOURCE_LIST, Descriptors);
constexpr SIZE_T kDescriptor = sizeof(IO_RESOURCE_DESCRIPTOR);

using Descriptors = std::vector<IO_RESOURCE_DESCRIPTOR>;

IO_RESOURCE_DESCRIPTOR FromBus(const sim::RequirementDescriptor& s) {
  IO_RESOURCE_DESCRIPTOR d;
  std::memset(&d, 0, sizeof d);
  d.Option = s.option;
  d.Type = s.type;
  d.ShareDisposition = s.shareDisposition;
  d.Flags = s.flags;
  if (s.type == CmResourceTypeInterrupt) {
    d.u.Interrupt.MinimumVector = static_cast<ULONG>(s.minimum);
    d.u.Interrupt.MaximumVector = static_cast<ULONG>(s.maximum);
  } else {
    d.u.Generic.Length = s.length;
    d.u.Generic.Alignment = s.alignment;
    d.u.Generic.MinimumAddress.QuadPart = static_cast<LONGLONG>(s.minimum);
    d.u.Generic.MaximumAddress.QuadPart = static_cast<LONGLONG>(s.maximum);
  }
  return d;
}

void Mutate(fuzz::Input& in, Descriptors& list) {
  static const UCHAR kTypes[] = {CmResourceTypePort, CmResourceTypeInterrupt, CmResourceTypeMemory,
                                 CmResourceTypeDma, CmResourceTypeNull, 0x81};
  static const UCHAR kOptions[] = {0, IO_RESOURCE_PREFERRED, IO_RESOURCE_ALTERNATIVE,
                                   IO_RESOURCE_PREFERRED | IO_RESOURCE_ALTERNATIVE};
  for (std::uint8_t steps = in.Byte() % 8; steps > 0; --steps) {
    if (list.empty()) {
      list.push_back({});
      continue;
    }
    const std::size_t i = in.Below(static_cast<std::uint32_t>(list.size()));
    switch (in.Byte() % 7) {
      case 0: list.erase(list.begin() + static_cast<std::ptrdiff_t>(i)); break;
      case 1: list.insert(list.begin() + static_cast<std::ptrdiff_t>(in.Below(static_cast<std::uint32_t>(list.size() + 1))), list[i]); break;
      case 2: std::swap(list[i], list[in.Below(static_cast<std::uint32_t>(list.size()))]); break;
      case 3: list[i].Option = in.Byte() % 4 ? in.Pick(kOptions) : in.Byte(); break;
      case 4: list[i].Type = in.Pick(kTypes); break;
      case 5:
        list[i].u.Generic.Length = in.Bool() ? in.U32() : in.Byte();
        list[i].u.Generic.Alignment = in.Bool() ? 1u << (in.Byte() % 32) : in.U32();
        break;
      default:
        list[i].u.Generic.MinimumAddress.QuadPart = static_cast<LONGLONG>(in.U32()) << (in.Bool() ? 16 : 0);
        list[i].u.Generic.MaximumAddress.QuadPart = static_cast<LONGLONG>(in.U32());
        break;
    }
  }
}

bool Same(const IO_RESOURCE_DESCRIPTOR& a, const IO_RESOURCE_DESCRIPTOR& b) { return std::memcmp(&a, &b, kDescriptor) == 0; }

Descriptors Read(const std::vector<unsigned char>& bytes, std::size_t count) {
  Descriptors out(count);
  if (count) std::memcpy(out.data(), bytes.data() + kHeader, count * kDescriptor);
  return out;
}

// The rewritten list holds the old descriptors and three more: a copy of a
// port group whose preferred port is moved to the MPU-401's range.
void CheckRewrite(const std::vector<unsigned char>& before, const std::vector<unsigned char>& after, ULONG mpu) {
  const auto* old = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(before.data());
  const auto* now = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(after.data());
  const ULONG count = old->List[0].Count;
  if (old->AlternativeLists != 1 || now->AlternativeLists != 1) fuzz::Fail("a list of several alternatives rewritten");
  if (now->List[0].Count != count + 3 || now->ListSize != old->ListSize + 3 * kDescriptor ||
      after.size() < kHeader + (count + 3) * kDescriptor)
    fuzz::Fail("a rewritten list does not grow by exactly one port group");
  Descriptors extra = Read(after, count + 3);
  for (const IO_RESOURCE_DESCRIPTOR& d : Read(before, count)) {
    auto found = std::find_if(extra.begin(), extra.end(), [&](const auto& e) { return Same(e, d); });
    if (found == extra.end()) fuzz::Fail("a descriptor of the bus's list was lost or changed in the rewrite");
    extra.erase(found);
  }
  const auto midi = std::count_if(extra.begin(), extra.end(), [&](const IO_RESOURCE_DESCRIPTOR& d) {
    return d.Type == CmResourceTypePort && d.Option == IO_RESOURCE_PREFERRED &&
           d.u.Port.MinimumAddress.QuadPart == mpu && d.u.Port.MaximumAddress.QuadPart == mpu + 3;
  });
  if (extra.size() != 3 || midi != 1) fuzz::Fail("the added group does not carry the MPU-401 range as its preferred port");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  sim::MachineConfig config;
  config.revision = in.Bool() ? 0x08 : static_cast<std::uint8_t>(0x20 + in.Byte() % 8);
  config.midiEnabled = in.Byte() % 4 != 0;
  config.midiPortSelect = in.Byte() % 4;
  fuzz::Device device(config);
  host::DeviceHarness& harness = device.Harness();
  if (!NT_SUCCESS(harness.LoadDriver(DriverEntry)) || !NT_SUCCESS(harness.AddDevice()))
    fuzz::Fail("the driver did not load: " + harness.LastError());

  // Alternative lists built from the bus's own descriptors.
  Descriptors bus;
  for (const auto& s : device.Machine().ResourceRequirements()) bus.push_back(FromBus(s));
  const bool untouched = in.Empty();
  std::vector<Descriptors> alternatives(in.Byte() % 8 == 7 ? 1 + in.Byte() % 3 : 1, bus);
  for (Descriptors& list : alternatives) Mutate(in, list);

  SIZE_T bytes = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
  for (const Descriptors& list : alternatives) bytes += kListHeader + std::max<std::size_t>(list.size(), 1) * kDescriptor;
  // A header that lies, within the memory it sits in.
  const std::uint8_t lie = in.Byte();
  auto* list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
      device.Kernel().GetPool().Allocate(PagedPool, bytes, host::kTagPnp, true));
  std::memset(list, 0, bytes);
  list->ListSize = static_cast<ULONG>(bytes);
  list->InterfaceType = PCIBus;
  list->SlotNumber = static_cast<ULONG>(config.pciDevice) << 3 | 5;
  list->AlternativeLists = static_cast<ULONG>(alternatives.size());
  auto* at = reinterpret_cast<unsigned char*>(&list->List[0]);
  for (const Descriptors& alternative : alternatives) {
    auto* header = reinterpret_cast<IO_RESOURCE_LIST*>(at);
    header->Version = 1;
    header->Revision = 1;
    header->Count = static_cast<ULONG>(alternative.size());
    if (!alternative.empty()) std::memcpy(at + kListHeader, alternative.data(), alternative.size() * kDescriptor);
    at += kListHeader + std::max<std::size_t>(alternative.size(), 1) * kDescriptor;
  }
  if (lie % 8 == 1) list->ListSize = static_cast<ULONG>(in.Below(static_cast<std::uint32_t>(bytes + 1)));
  if (lie % 8 == 2) list->AlternativeLists = in.U32();
  if (lie % 8 == 3) list->List[0].Count = in.Bool() ? in.U32() : in.Byte();
  const std::vector<unsigned char> before(reinterpret_cast<unsigned char*>(list),
                                          reinterpret_cast<unsigned char*>(list) + std::min<SIZE_T>(bytes, list->ListSize));

  const NTSTATUS filtered = harness.FilterResourceRequirements(list);
  const std::vector<unsigned char>& after = harness.FilteredRequirements();
  const bool mayRewrite = config.revision < 0x20 && config.midiEnabled;
  if (after != before) {
    if (!mayRewrite) fuzz::Fail("a list was changed on a controller that needs no MIDI range");
    CheckRewrite(before, after, MPUStartPort);
    const auto& assigned = harness.Assigned().untranslated;
    std::vector<uint64_t> ports;  // the element type must not carry ULONGLONG's alignment attribute
    for (const auto& d : assigned)
      if (d.Type == CmResourceTypePort) ports.push_back(static_cast<uint64_t>(d.u.Port.Start.QuadPart));
    if (NT_SUCCESS(filtered) && (ports.size() < 2 || ports[1] != MPUStartPort))
      fuzz::Fail("the MPU-401 range is not the second port assigned");
  } else if (untouched && mayRewrite) {
    fuzz::Fail("the bus's own list was not rewritten for the MIDI port");
  }
  if (NT_SUCCESS(filtered)) {
    const NTSTATUS started = harness.StartDevice();
    if (untouched && !NT_SUCCESS(started)) fuzz::Fail("the bus's own list did not start the device: " + harness.LastError());
  }
  device.Finish();
  device.RequireNoViolations();
  return 0;
}
