// The options every command takes, and what they make of the simulated
// machine and the kernel stand-in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/machine_config.h"

namespace CLI {
class App;
}

namespace tool {

struct CommonOptions {
  bool noVra = false;                   // the codec has no variable rate audio
  bool no3d = false;                    // the codec has no 3D control
  unsigned masterBits = 6;              // Master, Aux Out and Mono Out volume fields: 5 or 6 bits
  bool slowCodec = false;               // the codec takes 200 ms to come back after a link start
  std::optional<unsigned> revision;     // the controller's PCI revision
  std::string midi = "0x330";           // off, or the MPU-401 base the MIDI port is set to
  double latencyMs = 0.0;               // from Notify to the stream's Service
  std::uint32_t bufferBytes = 0;        // client buffer size; 0: the stream's allocator framing
  std::string traceFile;                // empty: no trace
  std::uint64_t seed = 1;               // for the machine's noise and anything random
  std::string registryFile;             // empty: the per-user default
  std::string imagePath;                // empty: the compiled-in driver; else zatac97.sys to load
  std::uint64_t failAllocation = 0;     // fault injection: fail the Nth pool allocation (0: none)
};

// Adds the options to `app` (and so to every subcommand that falls through to it).
void AddCommonOptions(CLI::App& app, CommonOptions& options);

// The machine the options describe. Throws ToolError for a value the machine cannot take.
sim::MachineConfig MachineFor(const CommonOptions& options);

// $XDG_STATE_HOME/zatac97/registry.reg, else ~/.local/state/zatac97/registry.reg.
std::string DefaultRegistryPath();
std::string RegistryPath(const CommonOptions& options);

// "0x330" -> 0x330; "off" -> nullopt. Throws ToolError otherwise.
std::optional<std::uint16_t> ParseMidi(const std::string& text);

}  // namespace tool
