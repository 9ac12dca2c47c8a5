#include "tools/report.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "adapter/driver.h"
#include "host/graph.h"
#include "host/registry.h"

namespace tool {

std::string Hex(std::uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

namespace {

std::string PortClassName(const GUID& id) {
  if (IsEqualGUIDAligned(id, CLSID_PortTopology)) return "Topology port";
  if (IsEqualGUIDAligned(id, CLSID_PortWavePci)) return "WavePci port";
  if (IsEqualGUIDAligned(id, CLSID_PortMidi)) return "MIDI port";
  return "port " + host::GuidString(id);
}

std::string ResourceText(const CM_PARTIAL_RESOURCE_DESCRIPTOR& untranslated,
                         const CM_PARTIAL_RESOURCE_DESCRIPTOR& translated) {
  switch (translated.Type) {
    case CmResourceTypePort: {
      const std::uint64_t start = static_cast<std::uint64_t>(translated.u.Port.Start.QuadPart);
      const std::uint64_t length = translated.u.Port.Length;
      return "I/O ports " + Hex(start, 4) + "-" + Hex(start + (length ? length - 1 : 0), 4) + " (" +
             std::to_string(length) + " bytes)";
    }
    case CmResourceTypeInterrupt:
      return "interrupt " + std::to_string(untranslated.u.Interrupt.Level) + " (vector " +
             Hex(translated.u.Interrupt.Vector, 2) + ")";
    default:
      return "resource of type " + std::to_string(translated.Type);
  }
}

const char* Bool(BOOLEAN value) { return value ? "TRUE" : "FALSE"; }

}  // namespace

std::string InstallationText(Session& session) {
  const sim::MachineConfig& config = session.Machine().Config();
  std::ostringstream out;
  out << "Device started: controller " << Hex(config.vendorId, 4).substr(2) << ":" << Hex(config.deviceId, 4).substr(2)
      << " revision " << Hex(config.revision, 2) << " at PCI " << int(config.pciBus) << ":" << int(config.pciDevice)
      << ".5, AC'97 codec " << (config.codec.hasVra ? "with" : "without") << " variable rate audio and "
      << (config.codec.has3d ? "with" : "without") << " 3D control\n";
  out << "Driver-wide state: MPUEnable " << Bool(MPUEnable) << ", MPUStartPort " << Hex(MPUStartPort, 3)
      << ", NewChip " << Bool(NewChip) << "\n";
  out << "Subdevices:\n";
  for (const host::SubdeviceInfo& info : session.Harness().Subdevices()) {
    out << "  \"" << host::ToUtf8(info.name) << "\" on the " << PortClassName(info.portClass) << ", resources:";
    if (info.translated.empty()) out << " none";
    for (std::size_t i = 0; i < info.translated.size(); ++i)
      out << (i ? "," : "") << " "
          << ResourceText(i < info.untranslated.size() ? info.untranslated[i] : info.translated[i],
                          info.translated[i]);
    out << "\n";
  }
  out << "Physical connections:\n";
  const auto connections = session.Harness().PhysicalConnections();
  if (connections.empty()) out << "  none\n";
  for (const host::PhysicalConnectionInfo& c : connections)
    out << "  \"" << host::ToUtf8(c.fromSubdevice) << "\" pin " << c.fromPin << " -> \""
        << host::ToUtf8(c.toSubdevice) << "\" pin " << c.toPin << "\n";
  return out.str();
}

std::string MarkersText(const std::vector<sim::DiagnosticMarker>& markers) {
  if (markers.empty()) return "none";
  std::map<std::pair<std::uint16_t, std::uint8_t>, int> counts;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> order;
  for (const sim::DiagnosticMarker& m : markers)
    if (counts[{m.port, m.value}]++ == 0) order.push_back({m.port, m.value});
  std::string out;
  for (const auto& key : order) {
    if (!out.empty()) out += ", ";
    out += Hex(key.first, 2) + "=" + Hex(key.second, 2);
    if (counts[key] > 1) out += " x" + std::to_string(counts[key]);
  }
  return out;
}

std::string StreamStatsText(const StreamReport& report, const std::vector<sim::DiagnosticMarker>& markers) {
  std::ostringstream out;
  out << "interrupts " << report.interrupts << ", service calls " << report.serviceCalls << ", underruns "
      << report.underruns;
  if (report.framesMissed) out << " (" << report.framesMissed << " frames missed)";
  out << ", diagnostic markers " << MarkersText(markers) << ", final position " << report.position << " bytes";
  return out.str();
}

std::string FirstDifference(const std::vector<std::uint8_t>& expected, const std::vector<std::uint8_t>& actual) {
  const std::size_t common = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < common; ++i)
    if (expected[i] != actual[i])
      return "byte " + std::to_string(i) + " is " + Hex(actual[i], 2) + " instead of " + Hex(expected[i], 2);
  if (expected.size() != actual.size())
    return std::to_string(actual.size()) + " bytes instead of " + std::to_string(expected.size());
  return "";
}

}  // namespace tool
