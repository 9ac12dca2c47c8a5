#include "tools/options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>

#include "tools/errors.h"

namespace tool {

void AddCommonOptions(CLI::App& app, CommonOptions& options) {
  app.add_flag("--no-vra", options.noVra, "codec without variable rate audio (48000 Hz only)");
  app.add_flag("--no-3d", options.no3d, "codec without 3D control");
  app.add_option("--master-bits", options.masterBits,
                 "width of the codec's Master, Aux Out and Mono Out volume fields: 6, or 5 (a written 1xxxxx reads 011111)")
      ->capture_default_str()
      ->check(CLI::IsMember({5u, 6u}));
  app.add_flag("--slow-codec", options.slowCodec, "codec that takes 200 ms to be ready after a link start or wake-up");
  app.add_option("--revision", options.revision, "controller PCI revision, e.g. 0x20 (default 0x08)")
      ->check(CLI::Range(0u, 255u));
  app.add_option("--midi", options.midi, "MIDI port: off, 0x300, 0x310, 0x320 or 0x330")
      ->capture_default_str()
      ->check([](const std::string& value) -> std::string {
        try {
          ParseMidi(value);
          return {};
        } catch (const ToolError& error) {
          return error.what();
        }
      });
  app.add_option("--latency", options.latencyMs, "service latency in milliseconds (Notify to Service)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1000.0));
  app.add_option("--buffer-bytes", options.bufferBytes, "client buffer size in bytes (default: the stream's allocator framing, 10 ms)")
      ->check(CLI::Range(1u, 1u << 20));
  app.add_option("--trace", options.traceFile, "write a trace of every hardware access to FILE");
  app.add_option("--seed", options.seed,
                 "seed for the default job's test signal and for record --source noise (play has nothing random)")
      ->capture_default_str();
  app.add_option("--fail-allocation", options.failAllocation,
                 "fault injection: make the Nth pool allocation of the run fail");
  app.add_option("--image", options.imagePath,
                 "run the kernel image zatac97.sys at PATH instead of the compiled-in driver "
                 "(32-bit x86 build only)");
  app.add_option("--registry", options.registryFile,
                 "the .reg file holding the driver's registry (default: " + DefaultRegistryPath() + ")");
}

std::optional<std::uint16_t> ParseMidi(const std::string& text) {
  if (text == "off") return std::nullopt;
  for (std::uint16_t base : {0x300, 0x310, 0x320, 0x330}) {
    char name[8];
    std::snprintf(name, sizeof(name), "0x%x", base);
    if (text == name || text == std::to_string(base)) return base;
    std::snprintf(name, sizeof(name), "0x%X", base);
    if (text == name) return base;
  }
  throw ToolError("--midi takes off, 0x300, 0x310, 0x320 or 0x330, not '" + text + "'", kExitUsage);
}

sim::MachineConfig MachineFor(const CommonOptions& options) {
  sim::MachineConfig config;
  config.codec.hasVra = !options.noVra;
  config.codec.has3d = !options.no3d;
  config.codec.outputVolumeBits = static_cast<std::uint8_t>(options.masterBits);
  if (options.slowCodec) config.link.mode = sim::LinkMode::Slow;
  if (options.revision) config.revision = static_cast<std::uint8_t>(*options.revision);
  const std::optional<std::uint16_t> midi = ParseMidi(options.midi);
  config.midiEnabled = midi.has_value();
  if (midi) config.midiPortSelect = static_cast<std::uint8_t>((*midi - 0x300) / 0x10);
  config.seed = options.seed;
  return config;
}

std::string DefaultRegistryPath() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
    return std::string(state) + "/zatac97/registry.reg";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/state/zatac97/registry.reg";
  return "zatac97-registry.reg";
}

std::string RegistryPath(const CommonOptions& options) {
  return options.registryFile.empty() ? DefaultRegistryPath() : options.registryFile;
}

}  // namespace tool
