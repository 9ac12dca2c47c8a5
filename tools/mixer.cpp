#include "tools/mixer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <sstream>

#include "host/graph.h"
#include "topology/names.h"
#include "tools/errors.h"
#include "tools/session.h"
#include "tools/topology_view.h"

namespace tool {

namespace {

constexpr double kUnit = 65536.0;  // the volume property's 1/65536 dB

std::string Fold(const std::string& text) {
  std::string out;
  for (char c : text)
    if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A number with an optional unit suffix ("dB" or "steps"); nullopt when it is not one.
std::optional<double> ParseNumber(std::string text, const char* unit) {
  text = Trim(text);
  const std::string suffix = unit;
  if (text.size() > suffix.size() && Fold(text.substr(text.size() - suffix.size())) == Fold(suffix))
    text = Trim(text.substr(0, text.size() - suffix.size()));
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<bool> ParseSwitch(const std::string& text) {
  const std::string folded = Fold(text);
  if (folded == "on" || folded == "true" || folded == "yes" || folded == "1") return true;
  if (folded == "off" || folded == "false" || folded == "no" || folded == "0") return false;
  return std::nullopt;
}

std::string NumberText(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", value);
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return out;
}

ControlKind KindOf(const GUID& type, bool* known) {
  *known = true;
  if (IsEqualGUIDAligned(type, KSNODETYPE_VOLUME)) return ControlKind::Volume;
  if (IsEqualGUIDAligned(type, KSNODETYPE_MUTE)) return ControlKind::Mute;
  if (IsEqualGUIDAligned(type, KSNODETYPE_MUX)) return ControlKind::Mux;
  if (IsEqualGUIDAligned(type, KSNODETYPE_AGC)) return ControlKind::Switch;
  if (IsEqualGUIDAligned(type, KSNODETYPE_SUPERMIX)) return ControlKind::Supermix;
  *known = false;
  return ControlKind::Volume;
}

const char* KindWord(ControlKind kind) {
  switch (kind) {
    case ControlKind::Volume: return "Volume";
    case ControlKind::Mute: return "Mute";
    case ControlKind::Mux: return "Select";
    case ControlKind::Switch: return "Switch";
    case ControlKind::Supermix: return "Mix";
  }
  return "Control";
}

ULONG PropertyId(ControlKind kind) {
  switch (kind) {
    case ControlKind::Volume: return KSPROPERTY_AUDIO_VOLUMELEVEL;
    case ControlKind::Mute: return KSPROPERTY_AUDIO_MUTE;
    case ControlKind::Mux: return KSPROPERTY_AUDIO_MUX_SOURCE;
    case ControlKind::Switch: return KSPROPERTY_AUDIO_AGC;
    case ControlKind::Supermix: return KSPROPERTY_AUDIO_MIX_LEVEL_TABLE;
  }
  return 0;
}

}  // namespace

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Volume: return "volume";
    case ControlKind::Mute: return "mute";
    case ControlKind::Mux: return "mux";
    case ControlKind::Switch: return "switch";
    case ControlKind::Supermix: return "supermix";
  }
  return "?";
}

std::string DecibelText(LONG level) {
  const double db = level / kUnit;
  return (db > 0 ? "+" : "") + NumberText(db) + " dB";
}

Mixer::Mixer(PMINIPORT topology) : dispatcher_(std::make_unique<host::PropertyDispatcher>(topology)) { Probe(); }

Mixer::~Mixer() = default;

// ---- The graph around a node ------------------------------------------------------

namespace {

class Neighbourhood {
 public:
  explicit Neighbourhood(const PCFILTER_DESCRIPTOR& d) : d_(d) {}

  // Filter pins whose signal reaches `node`.
  std::set<ULONG> SourcePins(ULONG node) const {
    std::set<ULONG> pins;
    std::set<ULONG> seen{node};
    std::deque<ULONG> todo{node};
    while (!todo.empty()) {
      const ULONG at = todo.front();
      todo.pop_front();
      for (ULONG i = 0; i < d_.ConnectionCount; ++i) {
        const auto& c = d_.Connections[i];
        if (c.ToNode != at) continue;
        if (c.FromNode == KSFILTER_NODE)
          pins.insert(c.FromNodePin);
        else if (seen.insert(c.FromNode).second)
          todo.push_back(c.FromNode);
      }
    }
    return pins;
  }
  // The filter pins feeding input `input` of `node`.
  std::set<ULONG> SourcePinsOfInput(ULONG node, ULONG input) const {
    for (ULONG i = 0; i < d_.ConnectionCount; ++i) {
      const auto& c = d_.Connections[i];
      if (c.ToNode != node || c.ToNodePin != input) continue;
      if (c.FromNode == KSFILTER_NODE) return {c.FromNodePin};
      return SourcePins(c.FromNode);
    }
    return {};
  }
  ULONG InputCount(ULONG node) const {
    ULONG count = 0;
    for (ULONG i = 0; i < d_.ConnectionCount; ++i)
      if (d_.Connections[i].ToNode == node) count = std::max(count, d_.Connections[i].ToNodePin);
    return count;
  }
  // Whether the signal leaving `node` passes a node of type `type`.
  bool FeedsNodeOfType(ULONG node, const GUID& type) const {
    std::set<ULONG> seen{node};
    std::deque<ULONG> todo{node};
    while (!todo.empty()) {
      const ULONG at = todo.front();
      todo.pop_front();
      for (ULONG i = 0; i < d_.ConnectionCount; ++i) {
        const auto& c = d_.Connections[i];
        if (c.FromNode != at || c.ToNode == KSFILTER_NODE || !seen.insert(c.ToNode).second) continue;
        if (c.ToNode < d_.NodeCount && d_.Nodes[c.ToNode].Type && IsEqualGUIDAligned(*d_.Nodes[c.ToNode].Type, type))
          return true;
        todo.push_back(c.ToNode);
      }
    }
    return false;
  }
  // The closest node upstream of `node` that carries a name of its own.
  std::optional<ULONG> NearestNamedSource(ULONG node) const {
    std::set<ULONG> seen{node};
    std::deque<ULONG> todo{node};
    while (!todo.empty()) {
      const ULONG at = todo.front();
      todo.pop_front();
      for (ULONG i = 0; i < d_.ConnectionCount; ++i) {
        const auto& c = d_.Connections[i];
        if (c.ToNode != at || c.FromNode == KSFILTER_NODE || !seen.insert(c.FromNode).second) continue;
        if (c.FromNode < d_.NodeCount && d_.Nodes[c.FromNode].Name) return c.FromNode;
        todo.push_back(c.FromNode);
      }
    }
    return std::nullopt;
  }

 private:
  const PCFILTER_DESCRIPTOR& d_;
};

}  // namespace

std::string ControlName(const PCFILTER_DESCRIPTOR& d, ULONG node) {
  if (node >= d.NodeCount) return "Node " + std::to_string(node);
  const host::FilterGraph graph(d, &DisplayNames());
  if (d.Nodes[node].Name) return graph.NodeName(node);
  bool known = false;
  const ControlKind kind = d.Nodes[node].Type ? KindOf(*d.Nodes[node].Type, &known) : ControlKind::Volume;
  const std::string word = known ? KindWord(kind) : graph.NodeName(node);
  // An unnamed control is named after where its signal comes from, as a
  // mixer client labels a line by its connector.
  const Neighbourhood around(d);
  const std::set<ULONG> pins = around.SourcePins(node);
  if (pins.size() == 1) {
    const bool recording = around.FeedsNodeOfType(node, KSNODETYPE_MUX);
    return graph.PinName(*pins.begin()) + (recording ? " Recording " : " ") + word;
  }
  if (const auto named = around.NearestNamedSource(node)) {
    std::string first = graph.NodeName(*named);
    first = first.substr(0, first.find(' '));
    return first + " " + word;
  }
  return "Node " + std::to_string(node) + " " + word;
}

std::vector<std::string> Mixer::MuxSources(ULONG node) const {
  const PCFILTER_DESCRIPTOR& d = dispatcher_->Description();
  const host::FilterGraph graph(d, &DisplayNames());
  const Neighbourhood around(d);
  std::vector<std::string> sources;
  const ULONG inputs = around.InputCount(node);
  for (ULONG input = 1; input <= inputs; ++input) {
    const std::set<ULONG> pins = around.SourcePinsOfInput(node, input);
    sources.push_back(pins.size() == 1 ? graph.PinName(*pins.begin()) : "Input " + std::to_string(input));
  }
  // A selector outside the graph still switches between two things.
  if (sources.empty()) sources = {"1", "2"};
  return sources;
}

void Mixer::Probe() {
  const PCFILTER_DESCRIPTOR& d = dispatcher_->Description();
  for (ULONG node = 0; node < d.NodeCount; ++node) {
    const PCNODE_DESCRIPTOR& descriptor = d.Nodes[node];
    if (!descriptor.AutomationTable || !descriptor.Type) continue;
    bool known = false;
    Control control;
    control.node = node;
    control.kind = KindOf(*descriptor.Type, &known);
    if (!known) continue;
    control.name = ControlName(d, node);
    control.countsSteps = descriptor.Name && (IsEqualGUIDAligned(*descriptor.Name, TOPONAME_3D_CENTER) ||
                                              IsEqualGUIDAligned(*descriptor.Name, TOPONAME_3D_DEPTH));
    // A mixer client counts channels by asking for each until one is refused.
    if (control.kind == ControlKind::Volume || control.kind == ControlKind::Mute)
      control.channels = dispatcher_->GetAudio(node, PropertyId(control.kind), 1).Succeeded() ? 2 : 1;
    if (control.kind == ControlKind::Volume) {
      const auto support = dispatcher_->BasicSupportAudio(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0,
                                                          sizeof(KSPROPERTY_DESCRIPTION) +
                                                              sizeof(KSPROPERTY_MEMBERSHEADER) +
                                                              sizeof(KSPROPERTY_STEPPING_LONG));
      const std::size_t full =
          sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(KSPROPERTY_STEPPING_LONG);
      if (!support.Succeeded() || support.valueSize < full)
        throw DriverFault("the driver gave no range for volume node " + std::to_string(node) + " (" + control.name +
                          "): " + StatusText(support.status));
      KSPROPERTY_STEPPING_LONG stepping;
      std::memcpy(&stepping, support.value.data() + sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER),
                  sizeof(stepping));
      control.minimum = stepping.Bounds.SignedMinimum;
      control.maximum = stepping.Bounds.SignedMaximum;
      control.step = stepping.SteppingDelta;
    }
    if (control.kind == ControlKind::Mux) control.sources = MuxSources(node);
    controls_.push_back(std::move(control));
  }
  // Names must tell controls apart; a clash keeps its node number.
  std::map<std::string, int> uses;
  for (const Control& c : controls_) ++uses[Fold(c.name)];
  for (Control& c : controls_)
    if (uses[Fold(c.name)] > 1) c.name += " (node " + std::to_string(c.node) + ")";
}

const Control& Mixer::Find(const std::string& nodeOrName) const {
  const std::string text = Trim(nodeOrName);
  const bool numeric = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  if (numeric) {
    const unsigned long node = std::strtoul(text.c_str(), nullptr, 10);
    for (const Control& c : controls_)
      if (c.node == node) return c;
    throw ToolError("node " + text + " is not a control of the topology filter (controls are nodes " +
                    std::to_string(controls_.front().node) + " to " + std::to_string(controls_.back().node) +
                    " with properties; see 'zatac97 mixer list')");
  }
  for (const Control& c : controls_)
    if (Fold(c.name) == Fold(text)) return c;
  throw ToolError("no control is called '" + nodeOrName + "' (see 'zatac97 mixer list' for the names)");
}

std::string Mixer::RangeText(const Control& c) const {
  switch (c.kind) {
    case ControlKind::Volume:
      if (c.countsSteps)
        return NumberText(c.minimum / kUnit) + " to " + NumberText(c.maximum / kUnit) + " steps";
      return DecibelText(c.minimum) + " to " + DecibelText(c.maximum) + ", step " + NumberText(c.step / kUnit) + " dB";
    case ControlKind::Mute:
    case ControlKind::Switch:
      return "on/off";
    case ControlKind::Mux: {
      std::string out;
      for (std::size_t i = 0; i < c.sources.size(); ++i) out += (i ? "|" : "") + c.sources[i];
      return out;
    }
    case ControlKind::Supermix:
      return "fixed";
  }
  return "";
}

std::optional<LONG> Mixer::Level(const Control& c, LONG channel) const {
  const host::PropertyResult r = dispatcher_->GetAudio(c.node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel);
  if (!r.Succeeded()) return std::nullopt;
  return r.Long();
}

bool Mixer::BoolValue(const Control& c) const {
  const host::PropertyResult r = dispatcher_->GetAudio(c.node, PropertyId(c.kind), 0);
  if (!r.Succeeded())
    throw DriverFault("the driver refused to report " + c.name + ": " + StatusText(r.status));
  return r.Ulong() != 0;
}

std::string Mixer::ValueText(const Control& c) const {
  switch (c.kind) {
    case ControlKind::Volume: {
      std::vector<std::string> levels;
      for (LONG channel = 0; channel < c.channels; ++channel) {
        const std::optional<LONG> level = Level(c, channel);
        if (!level) throw DriverFault("the driver refused to report " + c.name);
        levels.push_back(c.countsSteps ? NumberText(*level / kUnit) + " steps" : DecibelText(*level));
      }
      if (levels.size() == 2 && levels[0] != levels[1]) return "left " + levels[0] + ", right " + levels[1];
      return levels[0];
    }
    case ControlKind::Mute:
    case ControlKind::Switch:
      return BoolValue(c) ? "on" : "off";
    case ControlKind::Mux: {
      const host::PropertyResult r = dispatcher_->GetAudio(c.node, KSPROPERTY_AUDIO_MUX_SOURCE, 0);
      if (!r.Succeeded()) throw DriverFault("the driver refused to report " + c.name + ": " + StatusText(r.status));
      const ULONG source = r.Ulong();
      if (source >= 1 && source <= c.sources.size()) return c.sources[source - 1];
      return "source " + std::to_string(source);
    }
    case ControlKind::Supermix: {
      host::PropertyCall call;
      call.node = c.node;
      call.set = KSPROPSETID_Audio;
      call.id = KSPROPERTY_AUDIO_MIX_LEVEL_TABLE;
      call.verb = KSPROPERTY_TYPE_GET;
      call.valueSize = 2 * sizeof(KSAUDIO_MIXLEVEL);
      const host::PropertyResult r = dispatcher_->Dispatch(call);
      if (!r.Succeeded() || r.valueSize < 2 * sizeof(KSAUDIO_MIXLEVEL)) return "(not reported)";
      std::string out;
      for (int i = 0; i < 2; ++i) {
        KSAUDIO_MIXLEVEL level;
        std::memcpy(&level, r.value.data() + i * sizeof(level), sizeof(level));
        out += (i ? ", " : "") + std::string("in ") + std::to_string(i + 1) + " " +
               (level.Mute ? "muted" : DecibelText(level.Level));
      }
      return out;
    }
  }
  return "";
}

std::string Mixer::Set(const Control& c, const std::string& value, const std::string& channel) const {
  auto require = [&](const host::PropertyResult& r) {
    if (!r.Succeeded())
      throw DriverFault("the driver refused to set " + c.name + " to '" + value + "': " + StatusText(r.status));
  };
  switch (c.kind) {
    case ControlKind::Volume: {
      const std::optional<double> number = ParseNumber(value, c.countsSteps ? "steps" : "dB");
      if (!number)
        throw ToolError("'" + value + "' is not a level for " + c.name + " (give " +
                        (c.countsSteps ? "a number of steps" : "decibels, e.g. -12 or -4.5dB") + ")");
      // Like amixer: a level beyond the range goes to its end, and a level
      // between two steps to the nearer one, so the driver is only ever
      // asked for a level the codec can hold.
      const double requested = std::round(*number * kUnit);
      const double clamped = std::clamp(requested, static_cast<double>(c.minimum), static_cast<double>(c.maximum));
      double level = clamped;
      if (c.step > 0) level = c.minimum + std::round((clamped - c.minimum) / c.step) * c.step;
      level = std::clamp(level, static_cast<double>(c.minimum), static_cast<double>(c.maximum));
      std::vector<LONG> channels;
      if (channel == "left" || channel == "both") channels.push_back(0);
      if (channel == "right" || (channel == "both" && c.channels == 2)) channels.push_back(1);
      if (channel == "right" && c.channels < 2) throw ToolError(c.name + " has one channel; leave out --channel");
      for (LONG ch : channels) require(dispatcher_->SetAudio(c.node, KSPROPERTY_AUDIO_VOLUMELEVEL, ch, static_cast<LONG>(level)));
      // What the driver now reports, against what was asked for.
      for (LONG ch : channels) {
        const std::optional<LONG> reported = Level(c, ch);
        if (!reported) throw DriverFault("the driver refused to report " + c.name);
        if (*reported == requested) continue;
        if (requested != clamped) return "(clamped)";
        return c.countsSteps ? "(rounded to a whole step)" : "(rounded to the " + NumberText(c.step / kUnit) + " dB step)";
      }
      return "";
    }
    case ControlKind::Mute:
    case ControlKind::Switch: {
      const std::optional<bool> on = ParseSwitch(value);
      if (!on) throw ToolError("'" + value + "' is not a setting for " + c.name + " (give on or off)");
      require(dispatcher_->SetAudio(c.node, PropertyId(c.kind), 0, *on ? 1 : 0));
      return "";
    }
    case ControlKind::Mux: {
      std::optional<std::size_t> source;
      for (std::size_t i = 0; i < c.sources.size(); ++i)
        if (Fold(c.sources[i]) == Fold(value)) source = i + 1;
      if (!source) {
        const std::optional<double> number = ParseNumber(value, "");
        if (number && *number == std::floor(*number)) {
          if (*number < 1 || *number > static_cast<double>(c.sources.size()))
            throw ToolError("source " + Trim(value) + " is out of range for " + c.name + ": 1 to " +
                            std::to_string(c.sources.size()) + " (" + RangeText(c) + ")");
          source = static_cast<std::size_t>(*number);
        }
      }
      if (!source) throw ToolError("'" + value + "' is not a source of " + c.name + ": " + RangeText(c));
      require(dispatcher_->SetAudio(c.node, KSPROPERTY_AUDIO_MUX_SOURCE, 0, static_cast<LONG>(*source)));
      return "";
    }
    case ControlKind::Supermix:
      throw ToolError(c.name + " has fixed mix levels and cannot be set");
  }
  return "";
}

std::string Mixer::ListText() const {
  std::size_t nameWidth = 4, rangeWidth = 5;
  for (const Control& c : controls_) {
    nameWidth = std::max(nameWidth, c.name.size());
    rangeWidth = std::max(rangeWidth, RangeText(c).size());
  }
  std::ostringstream out;
  char line[512];
  std::snprintf(line, sizeof(line), "%4s  %-*s  %-8s  %2s  %-*s  %s\n", "NODE", static_cast<int>(nameWidth), "NAME",
                "KIND", "CH", static_cast<int>(rangeWidth), "RANGE", "VALUE");
  out << line;
  for (const Control& c : controls_) {
    std::snprintf(line, sizeof(line), "%4lu  %-*s  %-8s  %2d  %-*s  %s\n", static_cast<unsigned long>(c.node),
                  static_cast<int>(nameWidth), c.name.c_str(), KindName(c.kind), c.channels,
                  static_cast<int>(rangeWidth), RangeText(c).c_str(), ValueText(c).c_str());
    out << line;
  }
  return out.str();
}

}  // namespace tool
