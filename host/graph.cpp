// Filter graph walking and naming: see graph.h.
#include "host/graph.h"

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

namespace host {

namespace {

struct PublishedName {
  const GUID* guid;
  const char* symbol;
  const char* display;
};

#define PUBLISHED(name, display) {&name, #name, display}

const PublishedName kPublishedNames[] = {
    PUBLISHED(KSAUDFNAME_MASTER_VOLUME, "Master Volume"),
    PUBLISHED(KSAUDFNAME_MASTER_MUTE, "Master Mute"),
    PUBLISHED(KSAUDFNAME_WAVE_VOLUME, "Wave Volume"),
    PUBLISHED(KSAUDFNAME_WAVE_MUTE, "Wave Mute"),
    PUBLISHED(KSAUDFNAME_CD_VOLUME, "CD Volume"),
    PUBLISHED(KSAUDFNAME_CD_MUTE, "CD Mute"),
    PUBLISHED(KSAUDFNAME_LINE_VOLUME, "Line Volume"),
    PUBLISHED(KSAUDFNAME_LINE_MUTE, "Line Mute"),
    PUBLISHED(KSAUDFNAME_MIC_VOLUME, "Microphone Volume"),
    PUBLISHED(KSAUDFNAME_MIC_MUTE, "Microphone Mute"),
    PUBLISHED(KSAUDFNAME_RECORDING_SOURCE, "Recording Source"),
    PUBLISHED(KSAUDFNAME_PC_SPEAKER_VOLUME, "PC Speaker Volume"),
    PUBLISHED(KSAUDFNAME_PC_SPEAKER_MUTE, "PC Speaker Mute"),
    PUBLISHED(KSAUDFNAME_WAVE_IN_VOLUME, "Wave In Volume"),
    PUBLISHED(KSAUDFNAME_VOLUME_CONTROL, "Volume Control"),
    PUBLISHED(KSAUDFNAME_AUX_VOLUME, "Aux Volume"),
    PUBLISHED(KSAUDFNAME_AUX_MUTE, "Aux Mute"),
    PUBLISHED(KSAUDFNAME_WAVE_OUT_MIX, "Wave Out Mix"),
    PUBLISHED(KSNODETYPE_VOLUME, "Volume"),
    PUBLISHED(KSNODETYPE_MUTE, "Mute"),
    PUBLISHED(KSNODETYPE_SUM, "Sum"),
    PUBLISHED(KSNODETYPE_MUX, "Multiplexer"),
    PUBLISHED(KSNODETYPE_SUPERMIX, "Supermix"),
    PUBLISHED(KSNODETYPE_AGC, "AGC"),
    PUBLISHED(KSNODETYPE_DAC, "DAC"),
    PUBLISHED(KSNODETYPE_ADC, "ADC"),
    PUBLISHED(KSNODETYPE_MICROPHONE, "Microphone"),
    PUBLISHED(KSNODETYPE_SPEAKER, "Speaker"),
    PUBLISHED(KSNODETYPE_PHONE_LINE, "Phone Line"),
    PUBLISHED(KSNODETYPE_ANALOG_CONNECTOR, "Analog Connector"),
    PUBLISHED(KSNODETYPE_LINE_CONNECTOR, "Line Connector"),
    PUBLISHED(KSNODETYPE_CD_PLAYER, "CD Player"),
    PUBLISHED(KSNODETYPE_TV_TUNER_AUDIO, "TV Tuner Audio"),
    PUBLISHED(KSCATEGORY_AUDIO, "Audio"),
    PUBLISHED(KSCATEGORY_RENDER, "Render"),
    PUBLISHED(KSCATEGORY_CAPTURE, "Capture"),
    PUBLISHED(KSCATEGORY_TOPOLOGY, "Topology"),
    PUBLISHED(KSPROPSETID_Audio, "Audio properties"),
};

#undef PUBLISHED

const PublishedName* FindPublished(const GUID& guid) {
  for (const auto& entry : kPublishedNames)
    if (IsEqualGUIDAligned(*entry.guid, guid)) return &entry;
  return nullptr;
}

// Node types that take exactly one input stream (their pin 1): a table that
// feeds one of them on another pin has a node's type swapped (a sum or mux
// declared as a volume, say). Mixing types (sum, mux) take any number.
bool TakesOneInput(const GUID* type) {
  if (!type) return false;
  for (const GUID* single : {&KSNODETYPE_VOLUME, &KSNODETYPE_MUTE, &KSNODETYPE_AGC, &KSNODETYPE_SUPERMIX,
                             &KSNODETYPE_DAC, &KSNODETYPE_ADC})
    if (IsEqualGUIDAligned(*type, *single)) return true;
  return false;
}

std::string EndText(const GraphEnd& end) {
  if (end.IsFilterPin()) return "filter pin " + std::to_string(end.pin);
  return "node " + std::to_string(end.node) + " pin " + std::to_string(end.pin);
}

}  // namespace

void MediaCategories::Add(const GUID& name, std::string displayName) {
  for (auto& [guid, text] : entries_) {
    if (IsEqualGUIDAligned(guid, name)) {
      text = std::move(displayName);
      return;
    }
  }
  entries_.emplace_back(name, std::move(displayName));
}

void MediaCategories::Add(const GUID& name, const wchar_t* displayName) {
  std::string text;
  for (const wchar_t* c = displayName; c && *c; ++c) text.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
  Add(name, std::move(text));
}

std::optional<std::string> MediaCategories::Lookup(const GUID& name) const {
  for (const auto& [guid, text] : entries_)
    if (IsEqualGUIDAligned(guid, name)) return text;
  return std::nullopt;
}

std::optional<std::string> PublishedSymbol(const GUID& guid) {
  if (const auto* entry = FindPublished(guid)) return entry->symbol;
  return std::nullopt;
}

std::optional<std::string> PublishedDisplayName(const GUID& guid) {
  if (const auto* entry = FindPublished(guid)) return entry->display;
  return std::nullopt;
}

std::string GuidString(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

FilterGraph::FilterGraph(const PCFILTER_DESCRIPTOR& description, const MediaCategories* names)
    : description_(description), names_(names) {}

const PCPIN_DESCRIPTOR& FilterGraph::Pin(ULONG pin) const {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(description_.Pins);
  return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(bytes + std::size_t{pin} * description_.PinSize);
}

const PCNODE_DESCRIPTOR& FilterGraph::Node(ULONG node) const {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(description_.Nodes);
  return *reinterpret_cast<const PCNODE_DESCRIPTOR*>(bytes + std::size_t{node} * description_.NodeSize);
}

const PCCONNECTION_DESCRIPTOR& FilterGraph::Connection(ULONG index) const {
  return description_.Connections[index];
}

FilterGraph::Reach FilterGraph::Walk(ULONG pin, bool backwards) const {
  Reach reach;
  std::vector<GraphEnd> pending{{KSFILTER_NODE, pin}};
  std::set<ULONG> expanded;
  while (!pending.empty()) {
    const GraphEnd at = pending.back();
    pending.pop_back();
    for (ULONG i = 0; i < ConnectionCount(); ++i) {
      const auto& c = Connection(i);
      const GraphEnd near = backwards ? GraphEnd{c.ToNode, c.ToNodePin} : GraphEnd{c.FromNode, c.FromNodePin};
      const GraphEnd far = backwards ? GraphEnd{c.FromNode, c.FromNodePin} : GraphEnd{c.ToNode, c.ToNodePin};
      // From a filter pin only its own connections count; a node passes the signal between all its pins.
      const bool matches = at.IsFilterPin() ? near == at : (!near.IsFilterPin() && near.node == at.node);
      if (!matches) continue;
      if (far.IsFilterPin()) {
        reach.pins.insert(far.pin);
      } else if (expanded.insert(far.node).second) {
        reach.nodes.insert(far.node);
        pending.push_back({far.node, 0});
      }
    }
  }
  return reach;
}

FilterGraph::Reach FilterGraph::Upstream(ULONG pin) const { return Walk(pin, true); }
FilterGraph::Reach FilterGraph::Downstream(ULONG pin) const { return Walk(pin, false); }

void FilterGraph::CollectPaths(GraphEnd at, ULONG to, std::vector<ULONG>& path,
                               std::vector<std::vector<ULONG>>& out) const {
  for (ULONG i = 0; i < ConnectionCount(); ++i) {
    const auto& c = Connection(i);
    const GraphEnd from{c.FromNode, c.FromNodePin};
    const bool matches = at.IsFilterPin() ? from == at : (!from.IsFilterPin() && from.node == at.node);
    if (!matches) continue;
    if (c.ToNode == KSFILTER_NODE) {
      if (c.ToNodePin == to) out.push_back(path);
      continue;
    }
    bool seen = false;
    for (ULONG n : path) seen = seen || n == c.ToNode;
    if (seen) continue;  // a cycle; Problems() reports it
    path.push_back(c.ToNode);
    CollectPaths({c.ToNode, 0}, to, path, out);
    path.pop_back();
  }
}

std::vector<std::vector<ULONG>> FilterGraph::Paths(ULONG from, ULONG to) const {
  std::vector<std::vector<ULONG>> out;
  std::vector<ULONG> path;
  CollectPaths({KSFILTER_NODE, from}, to, path, out);
  return out;
}

FilterGraph::Reach FilterGraph::Unconnected() const {
  Reach reach;
  for (ULONG n = 0; n < NodeCount(); ++n) reach.nodes.insert(n);
  for (ULONG p = 0; p < PinCount(); ++p) reach.pins.insert(p);
  for (ULONG i = 0; i < ConnectionCount(); ++i) {
    const auto& c = Connection(i);
    for (const GraphEnd end : {GraphEnd{c.FromNode, c.FromNodePin}, GraphEnd{c.ToNode, c.ToNodePin}}) {
      if (end.IsFilterPin())
        reach.pins.erase(end.pin);
      else
        reach.nodes.erase(end.node);
    }
  }
  return reach;
}

std::vector<std::string> FilterGraph::Problems() const {
  std::vector<std::string> problems;
  std::set<GraphEnd> fedInputs;
  std::map<ULONG, std::set<ULONG>> edges;  // node -> downstream nodes
  for (ULONG i = 0; i < ConnectionCount(); ++i) {
    const auto& c = Connection(i);
    const GraphEnd from{c.FromNode, c.FromNodePin};
    const GraphEnd to{c.ToNode, c.ToNodePin};
    const std::string row = "connection " + std::to_string(i) + " (" + EndText(from) + " -> " + EndText(to) + ")";
    bool valid = true;
    for (const auto& [end, leaving] : {std::pair{from, true}, std::pair{to, false}}) {
      if (end.IsFilterPin()) {
        if (end.pin >= PinCount()) {
          problems.push_back(row + ": no such filter pin");
          valid = false;
          continue;
        }
        const KSPIN_DATAFLOW flow = Pin(end.pin).KsPinDescriptor.DataFlow;
        if (leaving && flow != KSPIN_DATAFLOW_IN) problems.push_back(row + ": signal leaves an output pin");
        if (!leaving && flow != KSPIN_DATAFLOW_OUT) problems.push_back(row + ": signal enters an input pin");
      } else {
        if (end.node >= NodeCount()) {
          problems.push_back(row + ": no such node");
          valid = false;
          continue;
        }
        if (leaving && end.pin != 0) problems.push_back(row + ": a node's output is its pin 0");
        if (!leaving && end.pin == 0) problems.push_back(row + ": a node's inputs are its pins 1 and up");
        if (!leaving && end.pin > 1 && TakesOneInput(Node(end.node).Type))
          problems.push_back(row + ": a " + PublishedDisplayName(*Node(end.node).Type).value_or("") +
                             " node takes one input, on its pin 1");
      }
    }
    if (!to.IsFilterPin() && !fedInputs.insert(to).second) problems.push_back(row + ": input fed twice");
    if (valid && !from.IsFilterPin() && !to.IsFilterPin()) edges[from.node].insert(to.node);
  }

  // Cycle check by depth-first search over the node edges.
  std::map<ULONG, int> state;  // 1 on the stack, 2 done
  std::function<bool(ULONG)> cyclic = [&](ULONG node) {
    state[node] = 1;
    for (ULONG next : edges[node]) {
      if (state[next] == 1) return true;
      if (state[next] == 0 && cyclic(next)) return true;
    }
    state[node] = 2;
    return false;
  };
  for (const auto& [node, unused] : edges) {
    if (state[node] == 0 && cyclic(node)) {
      problems.push_back("the graph has a cycle through node " + std::to_string(node));
      break;
    }
  }
  return problems;
}

std::string FilterGraph::NameOf(const GUID* name, const GUID* fallback) const {
  if (name) {
    if (names_) {
      if (auto text = names_->Lookup(*name)) return *text;
    }
    if (auto text = PublishedDisplayName(*name)) return *text;
    return GuidString(*name);
  }
  if (fallback) {
    if (auto text = PublishedDisplayName(*fallback)) return *text;
    return GuidString(*fallback);
  }
  return "(unnamed)";
}

std::string FilterGraph::NodeName(ULONG node) const {
  if (node >= NodeCount()) return "(no node " + std::to_string(node) + ")";
  const auto& descriptor = Node(node);
  return NameOf(descriptor.Name, descriptor.Type);
}

std::string FilterGraph::PinName(ULONG pin) const {
  if (pin >= PinCount()) return "(no pin " + std::to_string(pin) + ")";
  const auto& descriptor = Pin(pin).KsPinDescriptor;
  return NameOf(descriptor.Name, descriptor.Category);
}

std::string FilterGraph::Describe() const {
  std::ostringstream out;
  out << PinCount() << " pins, " << NodeCount() << " nodes, " << ConnectionCount() << " connections\n";
  for (ULONG p = 0; p < PinCount(); ++p) {
    const auto& ks = Pin(p).KsPinDescriptor;
    out << "pin " << p << (ks.DataFlow == KSPIN_DATAFLOW_IN ? " in  " : " out ") << PinName(p) << "\n";
  }
  for (ULONG n = 0; n < NodeCount(); ++n) {
    const auto& node = Node(n);
    out << "node " << n << " " << (node.Type ? PublishedDisplayName(*node.Type).value_or("?") : "?") << ": "
        << NodeName(n) << (node.AutomationTable ? "" : " (no properties)") << "\n";
  }
  for (ULONG i = 0; i < ConnectionCount(); ++i) {
    const auto& c = Connection(i);
    out << EndText({c.FromNode, c.FromNodePin}) << " -> " << EndText({c.ToNode, c.ToNodePin}) << "\n";
  }
  return out.str();
}

namespace {

void CheckAutomation(const PCAUTOMATION_TABLE* table, const std::string& owner, std::vector<std::string>& problems) {
  if (!table) return;
  auto check = [&](ULONG count, const void* items, ULONG itemSize, std::size_t least, const char* kind) {
    if (count == 0) return;
    if (!items) problems.push_back(owner + "'s automation table lists " + std::to_string(count) + " " + kind +
                                   " items but has no table of them");
    else if (itemSize < least)
      problems.push_back(owner + "'s automation table gives its " + kind + " items " + std::to_string(itemSize) +
                         " bytes each, fewer than one item holds (" + std::to_string(least) + ")");
  };
  check(table->PropertyCount, table->Properties, table->PropertyItemSize, sizeof(PCPROPERTY_ITEM), "property");
  check(table->MethodCount, table->Methods, table->MethodItemSize, sizeof(PCMETHOD_ITEM), "method");
  check(table->EventCount, table->Events, table->EventItemSize, sizeof(PCEVENT_ITEM), "event");
}

}  // namespace

std::vector<std::string> DescriptionProblems(const PCFILTER_DESCRIPTOR& d) {
  std::vector<std::string> problems;
  auto table = [&](ULONG count, const void* items, ULONG size, std::size_t least, const char* kind) {
    if (count == 0) return true;
    if (!items) {
      problems.push_back("the filter lists " + std::to_string(count) + " " + kind + "s but has no table of them");
      return false;
    }
    if (size < least) {
      problems.push_back("the filter gives its " + std::string(kind) + "s " + std::to_string(size) +
                         " bytes each, fewer than one descriptor holds (" + std::to_string(least) + ")");
      return false;
    }
    return true;
  };
  const bool pins = table(d.PinCount, d.Pins, d.PinSize, sizeof(PCPIN_DESCRIPTOR), "pin");
  const bool nodes = table(d.NodeCount, d.Nodes, d.NodeSize, sizeof(PCNODE_DESCRIPTOR), "node");
  const bool connections = table(d.ConnectionCount, d.Connections, sizeof(PCCONNECTION_DESCRIPTOR),
                                 sizeof(PCCONNECTION_DESCRIPTOR), "connection");
  if (d.CategoryCount && !d.Categories) problems.push_back("the filter lists categories but has no table of them");
  CheckAutomation(d.AutomationTable, "the filter", problems);
  if (!pins || !nodes || !connections) return problems;

  FilterGraph graph(d);
  for (ULONG p = 0; p < d.PinCount; ++p) {
    const PCPIN_DESCRIPTOR& pin = graph.Pin(p);
    const std::string name = "pin " + std::to_string(p);
    if (pin.KsPinDescriptor.DataRangesCount && !pin.KsPinDescriptor.DataRanges)
      problems.push_back(name + " lists data ranges but has no table of them");
    if (pin.KsPinDescriptor.InterfacesCount && !pin.KsPinDescriptor.Interfaces)
      problems.push_back(name + " lists interfaces but has no table of them");
    if (pin.KsPinDescriptor.MediumsCount && !pin.KsPinDescriptor.Mediums)
      problems.push_back(name + " lists mediums but has no table of them");
    CheckAutomation(pin.AutomationTable, name, problems);
  }
  for (ULONG n = 0; n < d.NodeCount; ++n) {
    const PCNODE_DESCRIPTOR& node = graph.Node(n);
    if (!node.Type) problems.push_back("node " + std::to_string(n) + " has no type");
    CheckAutomation(node.AutomationTable, "node " + std::to_string(n), problems);
  }
  for (std::string& problem : graph.Problems()) problems.push_back(std::move(problem));
  return problems;
}

}  // namespace host
