// The resource requirements the PCI bus reports for the audio function, in a
// neutral form the host turns into an IO_RESOURCE_REQUIREMENTS_LIST. Field
// values use the platform's numbers (option, share disposition, flags) so the
// conversion is a plain copy.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/pci_function.h"

namespace sim {

namespace req {
constexpr std::uint8_t kTypePort = 1;       // CmResourceTypePort
constexpr std::uint8_t kTypeInterrupt = 2;  // CmResourceTypeInterrupt
constexpr std::uint8_t kOptionRequired = 0x00;
constexpr std::uint8_t kOptionPreferred = 0x01;     // IO_RESOURCE_PREFERRED
constexpr std::uint8_t kOptionAlternative = 0x08;   // IO_RESOURCE_ALTERNATIVE
constexpr std::uint8_t kShareDeviceExclusive = 1;   // CmResourceShareDeviceExclusive
constexpr std::uint8_t kShareShared = 3;            // CmResourceShareShared
constexpr std::uint16_t kPortIo = 0x0001;           // CM_RESOURCE_PORT_IO
constexpr std::uint16_t kPort16BitDecode = 0x0010;  // CM_RESOURCE_PORT_16_BIT_DECODE
constexpr std::uint16_t kInterruptLevelSensitive = 0x0000;
}  // namespace req

struct RequirementDescriptor {
  std::uint8_t option = 0;
  std::uint8_t type = 0;
  std::uint8_t shareDisposition = 0;
  std::uint16_t flags = 0;
  // Port: [minimum, maximum] is where a range of `length` bytes may start
  // and end, aligned to `alignment`. Interrupt: [minimum, maximum] vectors.
  std::uint32_t length = 0;
  std::uint32_t alignment = 0;
  std::uint64_t minimum = 0;
  std::uint64_t maximum = 0;
  bool operator==(const RequirementDescriptor&) const = default;
};

// Port group 1 (the controller block), port group 2 (the second range), on a
// controller of revision 0x20 or later with the MIDI port enabled a third
// group for the MPU-401 range, then the interrupt. Each group is a preferred
// descriptor followed by two alternatives.
std::vector<RequirementDescriptor> ResourceRequirements(const PciFunction& pci);

}  // namespace sim
