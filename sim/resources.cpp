#include "sim/resources.h"

namespace sim {

namespace {

void AddPortGroup(std::vector<RequirementDescriptor>& list, std::uint32_t base, std::uint32_t length,
                  std::uint32_t alignment) {
  RequirementDescriptor d;
  d.type = req::kTypePort;
  d.shareDisposition = req::kShareDeviceExclusive;
  d.flags = req::kPortIo | req::kPort16BitDecode;
  d.length = length;
  // Preferred: exactly where the device sits now.
  d.option = req::kOptionPreferred;
  d.alignment = 1;
  d.minimum = base;
  d.maximum = base + length - 1;
  list.push_back(d);
  // Alternatives: anywhere above the legacy ISA space, then anywhere at all.
  d.option = req::kOptionAlternative;
  d.alignment = alignment;
  d.minimum = 0x1000;
  d.maximum = 0xFFFF;
  list.push_back(d);
  d.minimum = 0x0100;
  list.push_back(d);
}

}  // namespace

std::vector<RequirementDescriptor> ResourceRequirements(const PciFunction& pci) {
  std::vector<RequirementDescriptor> list;
  AddPortGroup(list, pci.IoBase(), PciFunction::kControllerBlockSize, PciFunction::kControllerBlockSize);
  AddPortGroup(list, pci.IoBase2(), PciFunction::kSecondRangeSize, PciFunction::kSecondRangeSize);
  if (pci.Revision() >= 0x20 && pci.MidiEnabled()) AddPortGroup(list, pci.MidiBase(), 4, 4);
  RequirementDescriptor irq;
  irq.option = req::kOptionRequired;
  irq.type = req::kTypeInterrupt;
  irq.shareDisposition = req::kShareShared;
  irq.flags = req::kInterruptLevelSensitive;
  irq.minimum = pci.InterruptLine();
  irq.maximum = pci.InterruptLine();
  list.push_back(irq);
  return list;
}

}  // namespace sim
