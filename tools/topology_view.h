// The picture of the device's filters: each filter's pins, nodes and
// connections, and the physical connections between the filters, as text
// for a person or as Graphviz input.
#pragma once

#include <portcls.h>

#include <string>
#include <vector>

#include "host/graph.h"

namespace tool {

struct FilterView {
  std::string name;  // the subdevice name: "Topology", "Wave"
  const PCFILTER_DESCRIPTOR* description = nullptr;
};

struct PhysicalWire {
  std::string fromFilter;
  ULONG fromPin = 0;
  std::string toFilter;
  ULONG toPin = 0;
};

// The display names a mixer client would use: the installation's registered
// names for the driver's private name GUIDs, and the published ones.
const host::MediaCategories& DisplayNames();

std::string RenderTopologyText(const std::vector<FilterView>& filters, const std::vector<PhysicalWire>& wires);
std::string RenderTopologyDot(const std::vector<FilterView>& filters, const std::vector<PhysicalWire>& wires);

// "PCM 8-16 bit, 1-2 channels, 48000 Hz" for each data range of a pin, joined by "; ".
std::string DescribeDataRanges(const PCPIN_DESCRIPTOR& pin);

}  // namespace tool
