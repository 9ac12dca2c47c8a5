#include "tools/topology_view.h"

#include <algorithm>
#include <sstream>

#include "topology/names.h"
#include "tools/mixer.h"

namespace tool {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(width, text.size() + 1), ' ');
  return text;
}

std::string FlowText(const PCPIN_DESCRIPTOR& pin) {
  return pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out";
}

// Bridge pins only describe the graph; sink pins are where streams open.
std::string CommunicationText(const PCPIN_DESCRIPTOR& pin) {
  switch (pin.KsPinDescriptor.Communication) {
    case KSPIN_COMMUNICATION_NONE: return "bridge";
    case KSPIN_COMMUNICATION_SINK: return "stream";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "sink+source";
    case KSPIN_COMMUNICATION_BRIDGE: return "bridge";
    default: return "?";
  }
}

std::string NodeTypeText(const PCNODE_DESCRIPTOR& node) {
  if (!node.Type) return "?";
  return host::PublishedDisplayName(*node.Type).value_or(host::GuidString(*node.Type));
}

std::string EndText(const host::FilterGraph& graph, ULONG node, ULONG pin) {
  if (node == KSFILTER_NODE) return "pin " + std::to_string(pin) + " (" + graph.PinName(pin) + ")";
  return "node " + std::to_string(node) + (pin == 0 ? "" : " input " + std::to_string(pin));
}

std::string DotId(const std::string& filter, const char* kind, ULONG index) {
  return "\"" + Lower(filter) + "_" + kind + std::to_string(index) + "\"";
}

std::string DotEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

const host::MediaCategories& DisplayNames() {
  static const host::MediaCategories names = [] {
    host::MediaCategories table;
    for (const auto& row : TopologyDisplayNames) table.Add(*row.Name, row.DisplayName);
    table.Add(KSAUDFNAME_RECORDING_CONTROL, std::string("Recording Control"));
    return table;
  }();
  return names;
}

std::string DescribeDataRanges(const PCPIN_DESCRIPTOR& pin) {
  const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
  std::string out;
  for (ULONG i = 0; i < ks.DataRangesCount && ks.DataRanges; ++i) {
    const KSDATARANGE* range = ks.DataRanges[i];
    if (!range) continue;
    if (!out.empty()) out += "; ";
    if (IsEqualGUIDAligned(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
        range->FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
      const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
      std::ostringstream text;
      text << "PCM " << audio->MinimumBitsPerSample << "-" << audio->MaximumBitsPerSample << " bit, 1-"
           << audio->MaximumChannels << " channels, ";
      if (audio->MinimumSampleFrequency == audio->MaximumSampleFrequency)
        text << audio->MinimumSampleFrequency << " Hz";
      else
        text << audio->MinimumSampleFrequency << "-" << audio->MaximumSampleFrequency << " Hz";
      out += text.str();
    } else if (IsEqualGUIDAligned(range->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG)) {
      out += "analog";
    } else {
      out += host::GuidString(range->SubFormat);
    }
  }
  return out;
}

std::string RenderTopologyText(const std::vector<FilterView>& filters, const std::vector<PhysicalWire>& wires) {
  std::ostringstream out;
  for (const FilterView& filter : filters) {
    const host::FilterGraph graph(*filter.description, &DisplayNames());
    out << "Filter \"" << filter.name << "\": " << graph.PinCount() << " pins, " << graph.NodeCount() << " nodes, "
        << graph.ConnectionCount() << " connections\n";
    out << "  Pins:\n";
    for (ULONG p = 0; p < graph.PinCount(); ++p) {
      const PCPIN_DESCRIPTOR& pin = graph.Pin(p);
      out << "    " << Padded(std::to_string(p), 3) << Padded(FlowText(pin), 5) << Padded(CommunicationText(pin), 8)
          << graph.PinName(p);
      const std::string ranges = DescribeDataRanges(pin);
      if (!ranges.empty() && ranges != "analog") out << "  [" << ranges << "]";
      if (pin.MaxFilterInstanceCount != 0) out << "  (at most " << pin.MaxFilterInstanceCount << " stream)";
      out << "\n";
    }
    out << "  Nodes:\n";
    for (ULONG n = 0; n < graph.NodeCount(); ++n) {
      const PCNODE_DESCRIPTOR& node = graph.Node(n);
      out << "    " << Padded(std::to_string(n), 3) << Padded(NodeTypeText(node), 13) << graph.NodeName(n);
      if (!node.AutomationTable)
        out << "  (no controls)";
      else if (!node.Name)
        out << "  (the mixer's \"" << ControlName(*filter.description, n) << "\")";
      out << "\n";
    }
    out << "  Connections:\n";
    for (ULONG i = 0; i < graph.ConnectionCount(); ++i) {
      const PCCONNECTION_DESCRIPTOR& c = graph.Connection(i);
      out << "    " << EndText(graph, c.FromNode, c.FromNodePin) << " -> " << EndText(graph, c.ToNode, c.ToNodePin)
          << "\n";
    }
    const host::FilterGraph::Reach loose = graph.Unconnected();
    if (!loose.nodes.empty() || !loose.pins.empty()) {
      out << "  Not connected:";
      for (ULONG n : loose.nodes) out << " node " << n;
      for (ULONG p : loose.pins) out << " pin " << p;
      out << "\n";
    }
    out << "\n";
  }
  out << "Physical connections:\n";
  for (const PhysicalWire& wire : wires)
    out << "  " << wire.fromFilter << " pin " << wire.fromPin << " -> " << wire.toFilter << " pin " << wire.toPin
        << "\n";
  if (wires.empty()) out << "  (none)\n";
  return out.str();
}

std::string RenderTopologyDot(const std::vector<FilterView>& filters, const std::vector<PhysicalWire>& wires) {
  std::ostringstream out;
  out << "digraph zatac97 {\n"
      << "  rankdir=LR;\n"
      << "  compound=true;\n"
      << "  node [fontname=\"Helvetica\", fontsize=10];\n"
      << "  edge [fontname=\"Helvetica\", fontsize=9];\n";
  for (const FilterView& filter : filters) {
    const host::FilterGraph graph(*filter.description, &DisplayNames());
    out << "  subgraph \"cluster_" << Lower(filter.name) << "\" {\n"
        << "    label=\"" << DotEscape(filter.name) << " filter\";\n"
        << "    style=rounded;\n";
    for (ULONG p = 0; p < graph.PinCount(); ++p) {
      const PCPIN_DESCRIPTOR& pin = graph.Pin(p);
      // Signal flows left to right, in at input pins and out at output pins alike.
      out << "    " << DotId(filter.name, "pin", p) << " [shape=rarrow, style=filled, fillcolor=\"" << (CommunicationText(pin) == "stream" ? "#f3d9a4" : "#dde6f3")
          << "\", label=\"pin " << p << (pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN ? " in" : " out")
          << "\\n" << DotEscape(graph.PinName(p)) << "\"];\n";
    }
    for (ULONG n = 0; n < graph.NodeCount(); ++n) {
      const PCNODE_DESCRIPTOR& node = graph.Node(n);
      const std::string name = node.Name || !node.AutomationTable ? graph.NodeName(n) : ControlName(*filter.description, n);
      out << "    " << DotId(filter.name, "node", n) << " [shape=box, label=\"" << n << ": " << DotEscape(name)
          << "\\n(" << DotEscape(NodeTypeText(node)) << ")\"];\n";
    }
    for (ULONG i = 0; i < graph.ConnectionCount(); ++i) {
      const PCCONNECTION_DESCRIPTOR& c = graph.Connection(i);
      const std::string from = c.FromNode == KSFILTER_NODE ? DotId(filter.name, "pin", c.FromNodePin)
                                                           : DotId(filter.name, "node", c.FromNode);
      const std::string to = c.ToNode == KSFILTER_NODE ? DotId(filter.name, "pin", c.ToNodePin)
                                                       : DotId(filter.name, "node", c.ToNode);
      out << "    " << from << " -> " << to;
      if (c.ToNode != KSFILTER_NODE && c.ToNodePin > 1) out << " [headlabel=\"" << c.ToNodePin << "\"]";
      out << ";\n";
    }
    out << "  }\n";
  }
  for (const PhysicalWire& wire : wires)
    out << "  " << DotId(wire.fromFilter, "pin", wire.fromPin) << " -> " << DotId(wire.toFilter, "pin", wire.toPin)
        << " [style=dashed, color=\"#a04040\", label=\"physical\"];\n";
  out << "}\n";
  return out.str();
}

}  // namespace tool
