// Helpers for tests and tools that read a filter description the way a mixer
// client does: walk its graph of pins, nodes and connections, and name each
// node and pin.
//
// Names come from three places, in this order: the display names an
// installation registered for private name GUIDs (a MediaCategories table the
// caller fills), the published KSAUDFNAME_ names, and last the node type or
// pin category ("Volume", "Mute", "Speaker").
#pragma once

#include <portcls.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace host {

// Display names registered for name GUIDs (the platform's MediaCategories key).
class MediaCategories {
 public:
  void Add(const GUID& name, std::string displayName);
  // From a driver's wide-string table (ASCII display names).
  void Add(const GUID& name, const wchar_t* displayName);
  std::optional<std::string> Lookup(const GUID& name) const;
  std::size_t Size() const { return entries_.size(); }

 private:
  std::vector<std::pair<GUID, std::string>> entries_;
};

// The published identifier's symbol ("KSNODETYPE_VOLUME"), or nullopt.
std::optional<std::string> PublishedSymbol(const GUID& guid);
// The published identifier's display text ("Master Volume", "Volume"), or nullopt.
std::optional<std::string> PublishedDisplayName(const GUID& guid);
// "{45FFAAA0-6E1B-11D0-BCF2-444553540000}".
std::string GuidString(const GUID& guid);

// One end of a connection: a node's pin, or (node == KSFILTER_NODE) a filter pin.
struct GraphEnd {
  ULONG node;
  ULONG pin;
  bool IsFilterPin() const { return node == KSFILTER_NODE; }
  bool operator<(const GraphEnd& other) const {
    return node != other.node ? node < other.node : pin < other.pin;
  }
  bool operator==(const GraphEnd& other) const = default;
};

class FilterGraph {
 public:
  explicit FilterGraph(const PCFILTER_DESCRIPTOR& description, const MediaCategories* names = nullptr);

  ULONG PinCount() const { return description_.PinCount; }
  ULONG NodeCount() const { return description_.NodeCount; }
  ULONG ConnectionCount() const { return description_.ConnectionCount; }
  const PCPIN_DESCRIPTOR& Pin(ULONG pin) const;
  const PCNODE_DESCRIPTOR& Node(ULONG node) const;
  const PCCONNECTION_DESCRIPTOR& Connection(ULONG index) const;

  // What a walk along the connections reaches.
  struct Reach {
    std::set<ULONG> nodes;
    std::set<ULONG> pins;  // filter pins
  };
  // Walking backwards from filter pin `pin` (toward the sources feeding it).
  Reach Upstream(ULONG pin) const;
  // Walking forwards from filter pin `pin` (toward the outputs it feeds).
  Reach Downstream(ULONG pin) const;
  // Every node path from filter pin `from` to filter pin `to`, each in signal order.
  std::vector<std::vector<ULONG>> Paths(ULONG from, ULONG to) const;
  // Nodes and pins that no connection touches.
  Reach Unconnected() const;

  // Structural faults: ends naming a node or pin that does not exist, a
  // connection that feeds an output pin or leaves an input pin, a node input
  // fed twice, a one-input node (volume, mute, AGC, supermix, DAC, ADC) fed
  // on another pin than 1, a cycle. Empty when the graph is sound.
  std::vector<std::string> Problems() const;

  std::string NodeName(ULONG node) const;
  std::string PinName(ULONG pin) const;
  // A readable listing of pins, nodes and connections, one per line.
  std::string Describe() const;

 private:
  Reach Walk(ULONG pin, bool backwards) const;
  void CollectPaths(GraphEnd at, ULONG to, std::vector<ULONG>& path, std::vector<std::vector<ULONG>>& out) const;
  std::string NameOf(const GUID* name, const GUID* fallback) const;

  const PCFILTER_DESCRIPTOR& description_;
  const MediaCategories* names_;
};

// What the framework checks when a subdevice registers its filter: the
// descriptor's element sizes and counts agree with its tables (pins, nodes,
// connections, automation tables, data ranges), and then the graph itself is
// sound (FilterGraph::Problems). Empty when the description is usable.
std::vector<std::string> DescriptionProblems(const PCFILTER_DESCRIPTOR& description);

}  // namespace host
