// zatac97.inf against the driver itself: the hardware id it installs on is the
// one the driver asks the PCI BIOS for, its kernel-streaming interfaces are
// the subdevices the driver registers (with the categories their filters
// call for), and it names every private node and pin name the mixer uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "adapter/driver.h"
#include "host/kernel.h"
#include "host/pnp.h"
#include "sim/machine.h"
#include "topology/miniport.h"
#include "topology/names.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  const auto last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::string Unquote(const std::string& text) {
  return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1), g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      fields.push_back(Trim(field));
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(Trim(field));
  return fields;
}

// The INF as Setup reads it: sections and names are case-insensitive, ';'
// starts a comment outside quotes, %key% is a string from [Strings].
class Inf {
 public:
  explicit Inf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    text_ = buffer.str();
    std::istringstream lines(text_);
    std::string line, section;
    while (std::getline(lines, line)) {
      std::string content;
      bool quoted = false;
      for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) break;
        content += c;
      }
      content = Trim(content);
      if (content.empty()) continue;
      if (content.front() == '[' && content.back() == ']') {
        section = Lower(content.substr(1, content.size() - 2));
        sections_[section];
      } else {
        sections_[section].push_back(content);
      }
    }
    for (const auto& entry : Section("Strings"))
      strings_[Lower(Trim(entry.substr(0, entry.find('='))))] = Unquote(Trim(entry.substr(entry.find('=') + 1)));
  }

  const std::string& Text() const { return text_; }
  bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }
  std::vector<std::string> Section(const std::string& name) const {
    auto found = sections_.find(Lower(name));
    return found == sections_.end() ? std::vector<std::string>{} : found->second;
  }
  // The values of every "key=value" line of a section with that key.
  std::vector<std::string> Values(const std::string& section, const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& line : Section(section))
      if (line.find('=') != std::string::npos && Lower(Trim(line.substr(0, line.find('=')))) == Lower(key))
        values.push_back(Trim(line.substr(line.find('=') + 1)));
    return values;
  }
  // Replaces %key% with its string; numeric directory ids stay as they are.
  std::string Expand(const std::string& text, std::vector<std::string>* unresolved = nullptr) const {
    std::string out;
    for (size_t at = 0; at < text.size();) {
      const size_t open = text.find('%', at);
      const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
      if (close == std::string::npos) {
        out += text.substr(at);
        break;
      }
      const std::string key = text.substr(open + 1, close - open - 1);
      auto found = strings_.find(Lower(key));
      out += text.substr(at, open - at);
      if (found != strings_.end()) {
        out += found->second;
      } else {
        out += "%" + key + "%";
        if (unresolved && !std::all_of(key.begin(), key.end(), ::isdigit)) unresolved->push_back(key);
      }
      at = close + 1;
    }
    return out;
  }

 private:
  std::string text_;
  std::map<std::string, std::vector<std::string>> sections_;
  std::map<std::string, std::string> strings_;
};

const Inf& TheInf() {
  static const Inf inf(ZATAC97_INF_PATH);
  return inf;
}

// The one device the models section installs on: {hardware id, install section}.
std::pair<std::string, std::string> ModelEntry(const Inf& inf) {
  std::vector<std::pair<std::string, std::string>> devices;
  for (const auto& manufacturer : inf.Section("Manufacturer")) {
    const std::string models = Fields(Trim(manufacturer.substr(manufacturer.find('=') + 1)))[0];
    for (const auto& line : inf.Section(models)) {
      const auto fields = Fields(Trim(line.substr(line.find('=') + 1)));
      devices.emplace_back(fields.size() > 1 ? fields[1] : "", fields[0]);
    }
  }
  EXPECT_EQ(devices.size(), 1u) << "the INF should install on exactly one device";
  return devices.empty() ? std::pair<std::string, std::string>{} : devices.front();
}

std::string BuildHardwareId(unsigned vendor, unsigned device) {
  char text[32];
  std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_%04X", vendor, device);
  return text;
}

TEST(InfFile, EverySectionAndStringItNamesExists) {
  const Inf& inf = TheInf();
  std::vector<std::string> unresolved;
  const auto [id, install] = ModelEntry(inf);
  const std::string installNt = install + ".NT";
  ASSERT_TRUE(inf.Has(installNt)) << installNt;
  std::vector<std::string> named;
  for (const char* key : {"AddReg", "CopyFiles"})
    for (const auto& value : inf.Values(installNt, key))
      for (const auto& section : Fields(value)) named.push_back(section);
  for (const auto& value : inf.Values(installNt + ".Interfaces", "AddInterface")) {
    const auto fields = Fields(value);
    ASSERT_GE(fields.size(), 3u) << value;
    named.push_back(fields[2]);
    for (const auto& addReg : inf.Values(fields[2], "AddReg")) named.push_back(addReg);
  }
  for (const auto& value : inf.Values(installNt + ".Services", "AddService")) named.push_back(Fields(value).at(2));
  for (const auto& section : named) EXPECT_TRUE(inf.Has(section)) << "no section [" << section << "]";
  inf.Expand(inf.Text(), &unresolved);
  EXPECT_TRUE(unresolved.empty()) << "no string for %" << (unresolved.empty() ? "" : unresolved.front()) << "%";
  EXPECT_EQ(inf.Text().find('@'), std::string::npos) << "a generator marker was left in the INF";
  EXPECT_NE(inf.Text().find("\r\n"), std::string::npos) << "Setup reads CR LF lines";
}

TEST(InfFile, InstallsTheImageAsAKernelService) {
  const Inf& inf = TheInf();
  const std::string installNt = ModelEntry(inf).second + ".NT";
  const auto copyList = Fields(inf.Values(installNt, "CopyFiles").at(0));
  ASSERT_EQ(copyList.size(), 1u);
  EXPECT_EQ(inf.Section(copyList[0]), std::vector<std::string>{"zatac97.sys"});
  EXPECT_EQ(inf.Values("SourceDisksFiles", "zatac97.sys").size(), 1u);
  const auto service = Fields(inf.Values(installNt + ".Services", "AddService").at(0));
  EXPECT_EQ(Lower(service[0]), "zatac97");
  EXPECT_EQ(std::stoul(service[1], nullptr, 0) & 0x2, 0x2u) << "the service must be the device's function driver";
  EXPECT_EQ(inf.Values(service[2], "ServiceType"), std::vector<std::string>{"1"}) << "a kernel driver";
  EXPECT_EQ(inf.Expand(inf.Values(service[2], "ServiceBinary").at(0)), "%12%\\zatac97.sys");
}

TEST(InfFile, HardwareIdIsTheBuildsPciIds) {
  EXPECT_EQ(ModelEntry(TheInf()).first, BuildHardwareId(ZATAC97_VENDOR_ID, ZATAC97_DEVICE_ID));
}

// A started driver on a machine whose controller carries the given ids.
class StartedDriver {
 public:
  StartedDriver(std::uint16_t vendor, std::uint16_t device)
      : machine_(Config(vendor, device)), kernel_(machine_), harness_(kernel_) {
    kernel_.SetViolationHandler([this](const host::Violation& v) { violations.push_back(v.message); });
    status = harness_.Start(DriverEntry);
  }
  ~StartedDriver() { harness_.RemoveDevice(); }
  std::vector<host::SubdeviceInfo> Subdevices() const { return harness_.Subdevices(); }
  std::string Why() const {
    std::string why = harness_.LastError();
    for (const auto& v : violations) why += "\n" + v;
    return why;
  }

  NTSTATUS status;
  std::vector<std::string> violations;

 private:
  static sim::MachineConfig Config(std::uint16_t vendor, std::uint16_t device) {
    sim::MachineConfig config;
    config.vendorId = vendor;
    config.deviceId = device;
    config.midiEnabled = true;  // so that all three subdevices are installed
    return config;
  }
  sim::Machine machine_;
  host::Kernel kernel_;
  host::DeviceHarness harness_;
};

TEST(InfFile, TheDriverBindsToTheControllerTheInfNames) {
  unsigned vendor = 0, device = 0;
  ASSERT_EQ(std::sscanf(ModelEntry(TheInf()).first.c_str(), "PCI\\VEN_%4X&DEV_%4X", &vendor, &device), 2);
  {
    StartedDriver matching(static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(device));
    EXPECT_EQ(matching.status, STATUS_SUCCESS) << matching.Why();
  }
  // The PCI BIOS finds no controller with the INF's ids here: the driver must not start on it.
  StartedDriver other(static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(device ^ 0x0100));
  EXPECT_FALSE(NT_SUCCESS(other.status));
}

// What the framework registers for a subdevice, from its port class and its filter.
std::set<std::string> CategoriesOf(const host::SubdeviceInfo& subdevice) {
  std::set<std::string> categories{GuidText(KSCATEGORY_AUDIO)};
  if (IsEqualGUID(subdevice.portClass, CLSID_PortTopology)) {
    categories.insert(GuidText(KSCATEGORY_TOPOLOGY));
  } else if (IsEqualGUID(subdevice.portClass, CLSID_PortMidi)) {
    // The framework's own MPU-401 UART: a MIDI output and a MIDI input pin.
    categories.insert({GuidText(KSCATEGORY_RENDER), GuidText(KSCATEGORY_CAPTURE)});
  } else {
    PPCFILTER_DESCRIPTOR filter = nullptr;
    EXPECT_EQ(subdevice.miniport->GetDescription(&filter), STATUS_SUCCESS);
    for (ULONG pin = 0; filter && pin < filter->PinCount; ++pin) {
      const KSPIN_DESCRIPTOR& ks = filter->Pins[pin].KsPinDescriptor;
      if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH) continue;
      categories.insert(GuidText(ks.DataFlow == KSPIN_DATAFLOW_IN ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE));
    }
  }
  return categories;
}

TEST(InfFile, InterfacesAreTheSubdevicesTheDriverRegisters) {
  const Inf& inf = TheInf();
  StartedDriver driver(ZATAC97_VENDOR_ID, ZATAC97_DEVICE_ID);
  ASSERT_EQ(driver.status, STATUS_SUCCESS) << driver.Why();
  std::map<std::string, std::set<std::string>> registered, listed;
  for (const auto& subdevice : driver.Subdevices())
    registered[std::string(subdevice.name.begin(), subdevice.name.end())] = CategoriesOf(subdevice);
  ASSERT_EQ(registered.size(), 3u) << "Topology, Wave and Uart with the MIDI port on";

  const std::string interfaces = ModelEntry(inf).second + ".NT.Interfaces";
  for (const auto& value : inf.Values(interfaces, "AddInterface")) {
    const auto fields = Fields(inf.Expand(value));
    listed[fields.at(1)].insert(fields.at(0));
    const auto addReg = inf.Values(fields.at(2), "AddReg");
    ASSERT_EQ(addReg.size(), 1u);
    std::string friendly;
    for (const auto& line : inf.Section(addReg[0])) {
      const auto reg = Fields(inf.Expand(line));
      if (reg.size() >= 5 && Lower(reg[2]) == "friendlyname") friendly = reg[4];
    }
    EXPECT_FALSE(friendly.empty()) << fields[1] << " has no friendly name";
  }
  EXPECT_EQ(listed, registered);
}

// The platform's own names (KSAUDFNAME_*) share one published family; a mixer
// knows them without the INF.
bool PublishedName(const GUID& name) {
  static const UCHAR family[8] = {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3};
  return name.Data2 == 0x9905 && name.Data3 == 0x11D1 && std::equal(family, family + 8, name.Data4);
}

TEST(InfFile, NamesEveryPrivateNameTheMixerUses) {
  const Inf& inf = TheInf();
  std::map<std::string, std::string> registeredNames;  // GUID -> display name, from the INF
  for (const auto& line : inf.Section(ModelEntry(inf).second + ".AddReg")) {
    const auto reg = Fields(inf.Expand(line));
    if (reg.size() < 5 || reg[0] != "HKLM") continue;
    const std::string prefix = "SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\";
    ASSERT_EQ(reg[1].rfind(prefix, 0), 0u) << line;
    EXPECT_EQ(reg[2], "Name") << line;
    registeredNames[reg[1].substr(prefix.size())] = Unquote(reg[4]);
  }

  std::map<std::string, std::string> table;
  for (const TOPOLOGY_DISPLAY_NAME& row : TopologyDisplayNames) {
    std::wstring wide(row.DisplayName);
    table[GuidText(*row.Name)] = std::string(wide.begin(), wide.end());
  }
  EXPECT_EQ(registeredNames, table);

  // Every name a pin or node carries is either registered above or published.
  std::set<std::string> used;
  auto note = [&](const GUID* name, const std::string& where) {
    if (!name) return;
    used.insert(GuidText(*name));
    EXPECT_TRUE(table.count(GuidText(*name)) || PublishedName(*name))
        << where << " carries " << GuidText(*name) << ", which neither the INF nor the platform names";
  };
  for (const PCFILTER_DESCRIPTOR* filter : {&NoCtrl3DMiniportFilterDescriptor, &Ctrl3DMiniportFilterDescriptor}) {
    for (ULONG pin = 0; pin < filter->PinCount; ++pin)
      note(filter->Pins[pin].KsPinDescriptor.Name, "pin " + std::to_string(pin));
    for (ULONG node = 0; node < filter->NodeCount; ++node)
      note(filter->Nodes[node].Name, "node " + std::to_string(node));
  }
  for (const auto& [guid, display] : table)
    EXPECT_TRUE(used.count(guid)) << "\"" << display << "\" " << guid << " names no pin or node of either filter";
}

}  // namespace
