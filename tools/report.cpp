#include "tools/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "adapter/driver.h"
#include "host/driver_under_test.h"
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

// A driver-wide variable of the driver that runs: the compiled-in one, or the
// loaded image's (named by the link map beside it; null without one).
template <typename T>
const T* DriverVariable(Session& session, const T& compiledIn, const char* name) {
  if (!session.ImageEntry()) return &compiledIn;
  return static_cast<const T*>(host::ImageSymbol(session.ImageEntry(), name));
}

}  // namespace

std::string InstallationText(Session& session) {
  const sim::MachineConfig& config = session.Machine().Config();
  std::ostringstream out;
  out << "Device started: controller " << Hex(config.vendorId, 4).substr(2) << ":" << Hex(config.deviceId, 4).substr(2)
      << " revision " << Hex(config.revision, 2) << " at PCI " << int(config.pciBus) << ":" << int(config.pciDevice)
      << ".5, AC'97 codec " << (config.codec.hasVra ? "with" : "without") << " variable rate audio and "
      << (config.codec.has3d ? "with" : "without") << " 3D control"
      << (config.codec.outputVolumeBits == 5 ? ", 5-bit master volumes" : "")
      << (config.link.mode == sim::LinkMode::Slow ? ", slow to come back after a link start" : "") << "\n";
  const BOOLEAN* mpuEnable = DriverVariable(session, MPUEnable, "MPUEnable");
  const ULONG* mpuStartPort = DriverVariable(session, MPUStartPort, "MPUStartPort");
  const BOOLEAN* newChip = DriverVariable(session, NewChip, "NewChip");
  if (mpuEnable && mpuStartPort && newChip)
    out << "Driver-wide state: MPUEnable " << Bool(*mpuEnable) << ", MPUStartPort " << Hex(*mpuStartPort, 3)
        << ", NewChip " << Bool(*newChip) << "\n";
  else
    out << "Driver-wide state: not readable (no link map beside the image names it)\n";
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

namespace {

// What each marker byte says, in the driver's own terms.
struct MarkerMeaning {
  std::uint16_t port;
  std::uint8_t value;
  const char* meaning;
};
const MarkerMeaning kMarkerMeanings[] = {
    {0x91, 0x96, "both playback events in one interrupt"},
    {0x91, 0x97, "a channel did not stop in time"},
    {0x91, 0x88, "a stream was closed with completions pending"},
    {0x91, 0x99, "a service found no completed block for an event"},
    {0x91, 0x9C, "captured input the driver could not deliver"},
    {0x90, 0x93, "the channel idled after a refill"},
    {0x90, 0x59, "entry 0 was handled early on an idle channel"},
};

const char* MarkerMeaningOf(std::uint16_t port, std::uint8_t value) {
  for (const MarkerMeaning& m : kMarkerMeanings)
    if (m.port == port && m.value == value) return m.meaning;
  return nullptr;
}

}  // namespace

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
    if (const char* meaning = MarkerMeaningOf(key.first, key.second)) out += std::string(" (") + meaning + ")";
  }
  return out;
}

std::string StreamStatsText(const StreamReport& report, const std::vector<sim::DiagnosticMarker>& markers) {
  std::ostringstream out;
  out << "interrupts " << report.interrupts << ", service calls " << report.serviceCalls;
  if (report.capture) {
    out << ", overruns " << report.overruns;
    if (report.framesLost) out << " (" << report.framesLost << " frames of input lost)";
  } else {
    out << ", underruns " << report.underruns;
    if (report.framesMissed) out << " (" << report.framesMissed << " frames missed)";
  }
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

namespace tool {

void StreamComparison::Feed(std::span<const std::uint8_t> bytes, bool expected) {
  (expected ? expected_ : actual_) += bytes.size();
  std::size_t at = 0;
  // Compare what this side brings with the other side's surplus.
  if (surplusIsExpected_ != expected) {
    const std::size_t common = std::min(bytes.size(), surplus_.size() - head_);
    const std::uint8_t* other = surplus_.data() + head_;
    if (common && std::memcmp(other, bytes.data(), common) != 0) {
      const std::uint64_t offset = (expected ? actual_ : expected_) - (surplus_.size() - head_);
      for (std::size_t i = 0; i < common; ++i) {
        if (other[i] == bytes[i]) continue;
        if (differing_++ == 0) {
          firstAt_ = offset + i;
          firstExpected_ = expected ? bytes[i] : other[i];
          firstActual_ = expected ? other[i] : bytes[i];
        }
      }
    }
    head_ += common;
    at = common;
    if (head_ == surplus_.size()) {
      surplus_.clear();
      head_ = 0;
    }
  }
  if (at == bytes.size()) return;
  // This side is ahead now: keep the rest until the other side catches up.
  if (surplus_.empty()) surplusIsExpected_ = expected;
  if (head_ > surplus_.size() / 2) {
    surplus_.erase(surplus_.begin(), surplus_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  surplus_.insert(surplus_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
}

std::string StreamComparison::Difference() const {
  std::string out;
  if (differing_)
    out = "byte " + std::to_string(firstAt_) + " is " + Hex(firstActual_, 2) + " instead of " + Hex(firstExpected_, 2) +
          " (" + std::to_string(differing_) + " byte" + (differing_ == 1 ? "" : "s") + " differ" +
          (differing_ == 1 ? "s" : "") + ")";
  if (expected_ != actual_)
    out += (out.empty() ? "" : "; ") + std::to_string(actual_) + " bytes instead of " + std::to_string(expected_);
  return out;
}

}  // namespace tool
