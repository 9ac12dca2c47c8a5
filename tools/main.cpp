// zatac97: runs the zatac97 audio driver on the simulated machine, through
// the framework stand-in, to play, record, mix and inspect.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "tools/commands.h"
#include "tools/errors.h"

int main(int argc, char** argv) {
  using namespace tool;
  CLI::App app{
      "zatac97: the zatac97 audio driver on a simulated PCI controller and AC'97 codec.\n"
      "Without a command: start the device, print what the driver installed, play a built-in test\n"
      "signal, record it back and check that both were bit-exact."};
  app.fallthrough();
  app.set_version_flag("--version", "zatac97 " ZATAC97_VERSION);
  app.require_subcommand(0, 1);
  CommonOptions common;
  AddCommonOptions(app, common);

  PlayOptions play;
  CLI::App* playCommand = app.add_subcommand("play", "play a WAV file through the render pin");
  playCommand->add_option("input", play.input, "the WAV file to play (- for standard input)")->required();
  playCommand->add_option("--out", play.out, "write the bytes that reached the codec's DAC to this WAV file (- for standard output)");
  playCommand->add_option("--line-out", play.lineOut,
                          "write the codec's analog output (volumes and mutes applied) to this WAV file (- for standard output)");

  RecordOptions record;
  CLI::App* recordCommand = app.add_subcommand("record", "record from the capture pin into a WAV file");
  recordCommand->add_option("--out", record.out, "the WAV file to write (- for standard output)")->required();
  recordCommand->add_option("--seconds", record.seconds, "how long to record (default 1, or the source file's length)")
      ->check(CLI::Range(0.001, 3600.0));
  recordCommand->add_option("--rate", record.rate, "sample rate in Hz (default 48000, or the source file's)");
  recordCommand->add_option("--bits", record.bits, "8 or 16 (default 16, or the source file's)")
      ->check(CLI::IsMember({8u, 16u}));
  recordCommand->add_option("--channels", record.channels, "1 or 2 (default 2, or the source file's)")
      ->check(CLI::IsMember({1u, 2u}));
  recordCommand->add_option("--source", record.source,
                            "what the ADC hears: tone:HZ, ramp, noise (from --seed), FILE.wav, or - for a WAV on standard input")
      ->capture_default_str();

  MixerOptions mixer;
  CLI::App* mixerCommand = app.add_subcommand("mixer", "list the mixer's controls or set one");
  mixerCommand->require_subcommand(0, 1);
  CLI::App* mixerList = mixerCommand->add_subcommand("list", "every control with its range and value");
  mixerList->add_flag("--registers", mixer.registers, "also show the codec's mixer registers");
  mixerCommand->add_flag("--registers", mixer.registers, "also show the codec's mixer registers");
  CLI::App* mixerSet = mixerCommand->add_subcommand("set", "set a control: volumes in dB, on/off, sources by name");
  mixerSet->add_option("control", mixer.control, "node number or name (e.g. 20 or \"Master Volume\")")->required();
  mixerSet->add_option("value", mixer.value, "e.g. -12, -4.5dB, on, off, \"CD Audio\"")->required();
  mixerSet->add_option("--channel", mixer.channel, "left, right or both (volumes; default both)")
      ->check(CLI::IsMember({"both", "left", "right"}));

  TopologyOptions topology;
  CLI::App* topologyCommand = app.add_subcommand("topology", "the filters, their pins, nodes and connections");
  topologyCommand->add_option("--format", topology.format, "text or dot (Graphviz)")
      ->check(CLI::IsMember({"text", "dot"}))
      ->capture_default_str();

  PowerOptions power;
  CLI::App* powerCommand = app.add_subcommand("power", "take the device through power states, e.g. d3,d0");
  powerCommand->add_option("sequence", power.sequence, "comma-separated device states d0..d3")->required();
  powerCommand->add_option("--play", power.play, "a WAV file that plays across the cycle");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zatac97: %s\nRun with --help for more information.\n", e.what());
    return kExitUsage;
  }

  try {
    if (mixerSet->parsed()) mixer.action = "set";
    if (playCommand->parsed()) return RunPlay(common, play);
    if (recordCommand->parsed()) return RunRecord(common, record);
    if (mixerCommand->parsed()) return RunMixer(common, mixer);
    if (topologyCommand->parsed()) return RunTopology(common, topology);
    if (powerCommand->parsed()) return RunPower(common, power);
    return RunDefault(common);
  } catch (const ToolError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "zatac97: %s\n", e.what());
    return e.Status();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "zatac97: internal error: %s\n", e.what());
    return kExitDriverFault;
  }
}
