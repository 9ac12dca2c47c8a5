// The mixer as a mixer client sees it: the topology filter's controls (the
// nodes with an automation table), each with a unique display name, its
// channels, its range and its current value, all learnt and changed through
// property requests that the framework's dispatcher routes to the driver.
#pragma once

#include <portcls.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/property.h"

namespace tool {

enum class ControlKind { Volume, Mute, Mux, Switch, Supermix };

struct Control {
  ULONG node = 0;
  std::string name;
  ControlKind kind = ControlKind::Volume;
  int channels = 1;
  // Volume: bounds and step in the property's unit (1/65536 dB, or of a
  // step for the codec's 3D levels, whose nodes count steps).
  LONG minimum = 0, maximum = 0;
  ULONG step = 0;
  bool countsSteps = false;
  // Mux: the source behind each input, input 1 first.
  std::vector<std::string> sources;
};

const char* KindName(ControlKind kind);

class Mixer {
 public:
  // Reads the topology miniport's filter description and probes every control.
  explicit Mixer(PMINIPORT topology);
  ~Mixer();

  const std::vector<Control>& Controls() const { return controls_; }
  // By node number or by name (case, spaces and punctuation ignored).
  // Throws ToolError naming what exists when nothing matches.
  const Control& Find(const std::string& nodeOrName) const;

  std::string RangeText(const Control& control) const;
  std::string ValueText(const Control& control) const;
  // Sets the control; `channel` is "both", "left" or "right". A level out of
  // range is clamped and one between steps rounded to the nearer step; the
  // result is then "(clamped)" or "(rounded to the 1.5 dB step)" when the
  // level the driver reports differs from the request, else empty. Throws
  // ToolError for a value the control cannot take, and a driver fault when
  // the driver refuses a request the control announced.
  std::string Set(const Control& control, const std::string& value, const std::string& channel) const;

  // One line per control, with a header line.
  std::string ListText() const;

 private:
  void Probe();
  std::vector<std::string> MuxSources(ULONG node) const;
  std::optional<LONG> Level(const Control& control, LONG channel) const;
  bool BoolValue(const Control& control) const;

  std::unique_ptr<host::PropertyDispatcher> dispatcher_;
  std::vector<Control> controls_;
};

// The name a mixer client shows for a node: its own name, or for an unnamed
// one, the connector its signal comes from and the kind of control
// ("Phone Line Volume", "CD Audio Recording Volume").
std::string ControlName(const PCFILTER_DESCRIPTOR& description, ULONG node);

// "-10.5 dB", "+3 dB", "0 dB" for a level in 1/65536 dB.
std::string DecibelText(LONG level);

}  // namespace tool
