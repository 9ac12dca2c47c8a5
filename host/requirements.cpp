#include "host/requirements.h"

#include <cstring>

#include "host/com.h"
#include "host/kernel.h"
#include "host/resource_list.h"

namespace host {

namespace {

constexpr SIZE_T kListHeaderBytes = offsetof(IO_RESOURCE_LIST, Descriptors);
constexpr SIZE_T kRequirementsHeaderBytes = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);

std::string At(ULONG list, ULONG index) {
  return "list " + std::to_string(list) + " descriptor " + std::to_string(index) + ": ";
}

struct Range {
  ULONGLONG start;
  ULONGLONG length;
  UCHAR type;
  ULONG index;
};

// Assigns one alternative list; returns an error text or "".
std::string AssignList(const IO_RESOURCE_LIST& list, ULONG listIndex, ULONG irq, ResourceAssignment& out) {
  std::vector<Range> ranges;
  bool haveGroup = false;
  for (ULONG i = 0; i < list.Count; ++i) {
    const IO_RESOURCE_DESCRIPTOR& d = list.Descriptors[i];
    if (d.Option & IO_RESOURCE_ALTERNATIVE) {
      if (!haveGroup) return At(listIndex, i) + "an alternative with no requirement before it";
      continue;  // the preferred descriptor of its group was taken
    }
    haveGroup = true;
    CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
    raw.Type = d.Type;
    raw.ShareDisposition = d.ShareDisposition;
    raw.Flags = d.Flags;
    CM_PARTIAL_RESOURCE_DESCRIPTOR translated = raw;
    switch (d.Type) {
      case CmResourceTypeNull:
        haveGroup = false;
        continue;
      case CmResourceTypePort:
      case CmResourceTypeMemory: {
        const ULONGLONG minimum = static_cast<ULONGLONG>(d.u.Generic.MinimumAddress.QuadPart);
        const ULONGLONG maximum = static_cast<ULONGLONG>(d.u.Generic.MaximumAddress.QuadPart);
        const ULONGLONG length = d.u.Generic.Length;
        const ULONGLONG alignment = d.u.Generic.Alignment ? d.u.Generic.Alignment : 1;
        if (length == 0) return At(listIndex, i) + "a range of length 0";
        if ((alignment & (alignment - 1)) != 0) return At(listIndex, i) + "alignment " + Hex(alignment) + " is no power of two";
        const ULONGLONG start = (minimum + alignment - 1) & ~(alignment - 1);
        if (minimum > maximum || start + length - 1 > maximum || start + length - 1 < start)
          return At(listIndex, i) + "a " + std::to_string(length) + "-byte range does not fit in " + Hex(minimum) +
                 "-" + Hex(maximum);
        if (d.Type == CmResourceTypePort && start + length - 1 > 0xFFFF)
          return At(listIndex, i) + "port range " + Hex(start) + " lies beyond the I/O space";
        for (const Range& r : ranges) {
          if (r.type == d.Type && start < r.start + r.length && r.start < start + length)
            return At(listIndex, i) + "range " + Hex(start) + "+" + std::to_string(length) + " overlaps descriptor " +
                   std::to_string(r.index);
        }
        ranges.push_back(Range{start, length, d.Type, i});
        raw.u.Generic.Start.QuadPart = static_cast<LONGLONG>(start);
        raw.u.Generic.Length = static_cast<ULONG>(length);
        translated = raw;
        break;
      }
      case CmResourceTypeInterrupt: {
        const ULONG minimum = d.u.Interrupt.MinimumVector;
        const ULONG maximum = d.u.Interrupt.MaximumVector;
        if (minimum > maximum) return At(listIndex, i) + "interrupt range " + std::to_string(minimum) + "-" +
                                      std::to_string(maximum) + " is empty";
        if (irq < minimum || irq > maximum)
          return At(listIndex, i) + "interrupt range " + std::to_string(minimum) + "-" + std::to_string(maximum) +
                 " does not include the device's line " + std::to_string(irq);
        raw.u.Interrupt.Level = irq;
        raw.u.Interrupt.Vector = irq;
        raw.u.Interrupt.Affinity = 0xFFFFFFFF;
        translated.u.Interrupt.Level = Kernel::kDeviceIrql;
        translated.u.Interrupt.Vector = Kernel::TranslatedVector(irq);
        translated.u.Interrupt.Affinity = 1;
        break;
      }
      default:
        return At(listIndex, i) + "resource type " + std::to_string(d.Type) + " cannot be assigned on this bus";
    }
    out.untranslated.push_back(raw);
    out.translated.push_back(translated);
  }
  return "";
}

}  // namespace

SIZE_T RequirementsListBytes(ULONG descriptors) {
  return kRequirementsHeaderBytes + kListHeaderBytes + static_cast<SIZE_T>(descriptors) * sizeof(IO_RESOURCE_DESCRIPTOR);
}

PIO_RESOURCE_REQUIREMENTS_LIST BuildRequirementsList(Kernel& kernel,
                                                     const std::vector<sim::RequirementDescriptor>& descriptors,
                                                     ULONG busNumber, ULONG slotNumber) {
  const ULONG count = static_cast<ULONG>(descriptors.size());
  const SIZE_T bytes = RequirementsListBytes(count ? count : 1);
  auto* list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(kernel.GetPool().Allocate(PagedPool, bytes, kTagPnp, true));
  if (!list) return nullptr;
  std::memset(list, 0, bytes);
  list->ListSize = static_cast<ULONG>(RequirementsListBytes(count));
  list->InterfaceType = PCIBus;
  list->BusNumber = busNumber;
  list->SlotNumber = slotNumber;
  list->AlternativeLists = 1;
  list->List[0].Version = 1;
  list->List[0].Revision = 1;
  list->List[0].Count = count;
  for (ULONG i = 0; i < count; ++i) {
    const sim::RequirementDescriptor& s = descriptors[i];
    IO_RESOURCE_DESCRIPTOR& d = list->List[0].Descriptors[i];
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
  }
  return list;
}

std::string AssignResources(const IO_RESOURCE_REQUIREMENTS_LIST* list, std::optional<SIZE_T> bufferBytes, ULONG irq,
                            ResourceAssignment& out) {
  out = {};
  if (!list) return "no requirements list";
  if (bufferBytes && *bufferBytes < kRequirementsHeaderBytes)
    return "the list's memory (" + std::to_string(*bufferBytes) + " bytes) cannot hold its header";
  if (list->ListSize < kRequirementsHeaderBytes)
    return "ListSize " + std::to_string(list->ListSize) + " is smaller than the list header";
  if (bufferBytes && list->ListSize > *bufferBytes)
    return "ListSize " + std::to_string(list->ListSize) + " exceeds the " + std::to_string(*bufferBytes) +
           " bytes the list occupies";
  if (list->AlternativeLists == 0) return "AlternativeLists is 0";
  // Walk every alternative list inside ListSize before using any.
  std::vector<const IO_RESOURCE_LIST*> lists;
  SIZE_T offset = kRequirementsHeaderBytes;
  const auto* base = reinterpret_cast<const unsigned char*>(list);
  for (ULONG i = 0; i < list->AlternativeLists; ++i) {
    if (offset + kListHeaderBytes > list->ListSize)
      return "ListSize " + std::to_string(list->ListSize) + " is too small for alternative list " + std::to_string(i);
    const auto* l = reinterpret_cast<const IO_RESOURCE_LIST*>(base + offset);
    const SIZE_T needed = offset + kListHeaderBytes + static_cast<SIZE_T>(l->Count) * sizeof(IO_RESOURCE_DESCRIPTOR);
    if (needed > list->ListSize)
      return "ListSize " + std::to_string(list->ListSize) + " is too small for list " + std::to_string(i) +
             "'s Count of " + std::to_string(l->Count) + " descriptors (needs " + std::to_string(needed) + ")";
    lists.push_back(l);
    offset = needed;
  }
  std::string firstError;
  for (ULONG i = 0; i < lists.size(); ++i) {
    ResourceAssignment attempt;
    std::string error = AssignList(*lists[i], i, irq, attempt);
    if (error.empty()) {
      out = std::move(attempt);
      return "";
    }
    if (firstError.empty()) firstError = error;
  }
  return firstError;
}

PCM_RESOURCE_LIST BuildCmResourceList(Kernel& kernel, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& entries) {
  const ULONG count = static_cast<ULONG>(entries.size());
  const SIZE_T bytes = ResourceList::CmListBytes(count);
  auto* list = static_cast<PCM_RESOURCE_LIST>(kernel.GetPool().Allocate(PagedPool, bytes, kTagPnp, true));
  if (!list) return nullptr;
  std::memset(list, 0, bytes);
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = count;
  for (ULONG i = 0; i < count; ++i) list->List[0].PartialResourceList.PartialDescriptors[i] = entries[i];
  return list;
}

}  // namespace host
