// The PnP manager's side of resources: the requirements list the bus
// reports (built from the machine), the check that a (possibly rewritten)
// list is well formed, the assignment it leads to, and the CM resource lists
// a start request carries.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/resources.h"

namespace host {

class Kernel;

struct ResourceAssignment {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> untranslated;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
};

// Bytes of a requirements list with one alternative list of `descriptors`.
SIZE_T RequirementsListBytes(ULONG descriptors);

// The list the bus reports, in pool memory (the PnP manager's, tagged
// "Pnp " and exempt from fault injection).
PIO_RESOURCE_REQUIREMENTS_LIST BuildRequirementsList(Kernel& kernel,
                                                     const std::vector<sim::RequirementDescriptor>& descriptors,
                                                     ULONG busNumber, ULONG slotNumber);

// Checks `list` and assigns its resources: in the first alternative list
// that can be satisfied, the preferred (first, non-alternative) descriptor of
// each group in list order, alternatives skipped. `bufferBytes` is the size
// of the memory the list lives in, when known. `irq` is the device's
// interrupt line; an interrupt requirement must allow it. Returns an error
// text (empty on success): a malformed or unsatisfiable list is refused.
std::string AssignResources(const IO_RESOURCE_REQUIREMENTS_LIST* list, std::optional<SIZE_T> bufferBytes, ULONG irq,
                            ResourceAssignment& out);

// A CM_RESOURCE_LIST of one full descriptor holding `entries`, in pool memory
// (the PnP manager's).
PCM_RESOURCE_LIST BuildCmResourceList(Kernel& kernel, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& entries);

}  // namespace host
