// The mixer and topology commands.
#include <cstdio>

#include "host/registry.h"
#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/mixer.h"
#include "tools/output_file.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/topology_view.h"

namespace tool {

namespace {

struct CodecRegister {
  std::uint8_t number;
  const char* name;
};

// The codec registers behind the mixer's controls.
const CodecRegister kMixerRegisters[] = {
    {0x02, "Master Volume"}, {0x06, "Master Volume Mono"}, {0x0A, "PC Beep Volume"}, {0x0C, "Phone Volume"},
    {0x0E, "Mic Volume"},    {0x10, "Line In Volume"},     {0x12, "CD Volume"},      {0x14, "Video Volume"},
    {0x16, "Aux Volume"},    {0x18, "PCM Out Volume"},     {0x1A, "Record Select"},  {0x1C, "Record Gain"},
    {0x20, "General Purpose"}, {0x22, "3D Control"},
};

std::string CodecRegistersText(Session& session) {
  std::string out = "Codec mixer registers:\n";
  char line[96];
  for (const CodecRegister& r : kMixerRegisters) {
    std::snprintf(line, sizeof(line), "  0x%02X %-20s 0x%04X\n", r.number, r.name,
                  session.Machine().GetCodec().Peek(r.number));
    out += line;
  }
  return out;
}

}  // namespace

int RunMixer(const CommonOptions& common, const MixerOptions& options) {
  const RunFiles files;
  Session session(common);
  session.Start();
  std::string text;
  {
    const Mixer mixer(session.Miniport(L"Topology"));
    if (options.action == "set") {
      const Control& control = mixer.Find(options.control);
      const std::string note = mixer.Set(control, options.value, options.channel);
      text = "Node " + std::to_string(control.node) + " " + control.name + ": " + mixer.ValueText(control) +
             (note.empty() ? "" : " " + note) + "\n";
    } else {
      text = mixer.ListText();
    }
    session.CheckViolations("the mixer requests");
  }
  if (options.registers) {
    session.Settle();
    text += CodecRegistersText(session);
  }
  // Stopping the device makes the driver store its mixer settings; Finish
  // then keeps them in the registry file for the next run.
  session.Finish();
  std::printf("%s", text.c_str());
  std::fflush(stdout);
  const int status = session.SaveRegistry(kExitOk);
  if (options.action == "set" && session.RegistrySaved()) std::printf("Saved in '%s'\n", session.RegistryPath().c_str());
  return status;
}

int RunTopology(const CommonOptions& common, const TopologyOptions& options) {
  const RunFiles files;
  Session session(common);
  session.Start();
  std::vector<FilterView> filters;
  for (const wchar_t* name : {L"Topology", L"Wave"}) {
    PPCFILTER_DESCRIPTOR description = nullptr;
    const NTSTATUS status = session.Miniport(name)->GetDescription(&description);
    if (!NT_SUCCESS(status) || !description)
      throw DriverFault("the \"" + host::ToUtf8(name) + "\" miniport gave no filter description: " + StatusText(status));
    filters.push_back({host::ToUtf8(name), description});
  }
  std::vector<PhysicalWire> wires;
  for (const host::PhysicalConnectionInfo& c : session.Harness().PhysicalConnections())
    wires.push_back({host::ToUtf8(c.fromSubdevice), c.fromPin, host::ToUtf8(c.toSubdevice), c.toPin});
  const std::string text =
      options.format == "dot" ? RenderTopologyDot(filters, wires) : RenderTopologyText(filters, wires);
  session.Finish();
  std::printf("%s", text.c_str());
  std::fflush(stdout);
  return session.SaveRegistry(kExitOk);
}

}  // namespace tool
