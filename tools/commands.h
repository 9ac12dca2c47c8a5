// The program's commands. Each runs the driver on a fresh simulated machine
// from start to release, prints its report on standard output and returns
// the exit status; failures are thrown as ToolError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/options.h"

namespace tool {

struct PlayOptions {
  std::string input;
  std::string out;      // the bytes that reached the DAC, as a WAV
  std::string lineOut;  // the analog line output as a listener hears it
};

struct RecordOptions {
  std::string out;
  std::optional<double> seconds;
  std::optional<std::uint32_t> rate;
  std::optional<unsigned> bits;
  std::optional<unsigned> channels;
  std::string source = "tone:1000";
};

struct MixerOptions {
  std::string action = "list";  // list | set
  std::string control;
  std::string value;
  std::string channel = "both";  // both | left | right (volumes)
  bool registers = false;        // list: also show the codec's mixer registers
};

struct TopologyOptions {
  std::string format = "text";
};

struct PowerOptions {
  std::string sequence;
  std::string play;  // a WAV playing across the cycle
};

int RunDefault(const CommonOptions& common);
int RunPlay(const CommonOptions& common, const PlayOptions& options);
int RunRecord(const CommonOptions& common, const RecordOptions& options);
int RunMixer(const CommonOptions& common, const MixerOptions& options);
int RunTopology(const CommonOptions& common, const TopologyOptions& options);
int RunPower(const CommonOptions& common, const PowerOptions& options);

}  // namespace tool
