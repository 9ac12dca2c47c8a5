// The mixer filter checked against a second description of it, written out
// here from the AC'97 register layout and the filter's published shape: every
// node's type, name, automation and codec field; every pin; every connection
// row of both variants. Nothing is read back from the driver's own tables:
// each control is driven through the property path and seen in the codec.
#include <cmath>
#include <cstring>
#include <map>

#include "topology_fixture.h"

namespace topotest {
namespace {

LONG Db(double decibels) { return static_cast<LONG>(std::lround(decibels * 65536.0)); }

constexpr ULONG kFilter = KSFILTER_NODE;

// ---- Nodes: type, name and the kind of control the automation table offers ----

enum class Kind { Volume, Mute, Mux, Agc, Sum, Supermix };

struct NodeRow {
  ULONG node;
  const GUID* type;
  const GUID* name;  // null: unnamed
  Kind kind;
  bool only3d;
};

const NodeRow kNodes[] = {
    {0, &KSNODETYPE_VOLUME, &KSAUDFNAME_WAVE_VOLUME, Kind::Volume, false},
    {1, &KSNODETYPE_MUTE, &KSAUDFNAME_WAVE_MUTE, Kind::Mute, false},
    {2, &KSNODETYPE_VOLUME, &KSAUDFNAME_PC_SPEAKER_VOLUME, Kind::Volume, false},
    {3, &KSNODETYPE_MUTE, &KSAUDFNAME_PC_SPEAKER_MUTE, Kind::Mute, false},
    {4, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {5, &KSNODETYPE_MUTE, nullptr, Kind::Mute, false},
    {6, &KSNODETYPE_MUX, &TOPONAME_MIC_SELECT, Kind::Mux, false},
    {7, &KSNODETYPE_AGC, &TOPONAME_MIC_BOOST, Kind::Agc, false},
    {8, &KSNODETYPE_VOLUME, &KSAUDFNAME_MIC_VOLUME, Kind::Volume, false},
    {9, &KSNODETYPE_MUTE, &KSAUDFNAME_MIC_MUTE, Kind::Mute, false},
    {10, &KSNODETYPE_VOLUME, &KSAUDFNAME_LINE_VOLUME, Kind::Volume, false},
    {11, &KSNODETYPE_MUTE, &KSAUDFNAME_LINE_MUTE, Kind::Mute, false},
    {12, &KSNODETYPE_VOLUME, &KSAUDFNAME_CD_VOLUME, Kind::Volume, false},
    {13, &KSNODETYPE_MUTE, &KSAUDFNAME_CD_MUTE, Kind::Mute, false},
    {14, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {15, &KSNODETYPE_MUTE, nullptr, Kind::Mute, false},
    {16, &KSNODETYPE_VOLUME, &KSAUDFNAME_AUX_VOLUME, Kind::Volume, false},
    {17, &KSNODETYPE_MUTE, &KSAUDFNAME_AUX_MUTE, Kind::Mute, false},
    {18, &KSNODETYPE_SUM, &KSAUDFNAME_WAVE_OUT_MIX, Kind::Sum, false},
    {19, &KSNODETYPE_SUM, &TOPONAME_MONO_MIX, Kind::Sum, false},
    {20, &KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME, Kind::Volume, false},
    {21, &KSNODETYPE_MUTE, &KSAUDFNAME_MASTER_MUTE, Kind::Mute, false},
    {22, &KSNODETYPE_SUPERMIX, &TOPONAME_SUPERMIX, Kind::Supermix, false},
    {23, &KSNODETYPE_MUX, &TOPONAME_MONO_OUT_SELECT, Kind::Mux, false},
    {24, &KSNODETYPE_VOLUME, &TOPONAME_MONO_OUT_VOLUME, Kind::Volume, false},
    {25, &KSNODETYPE_MUTE, &TOPONAME_MONO_OUT_MUTE, Kind::Mute, false},
    {26, &KSNODETYPE_SUPERMIX, &KSAUDFNAME_WAVE_OUT_MIX, Kind::Supermix, false},
    {27, &KSNODETYPE_MUX, &KSAUDFNAME_RECORDING_SOURCE, Kind::Mux, false},
    {28, &KSNODETYPE_VOLUME, &KSAUDFNAME_WAVE_IN_VOLUME, Kind::Volume, false},
    {29, &KSNODETYPE_MUTE, nullptr, Kind::Mute, false},
    {30, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {31, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {32, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {33, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {34, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {35, &KSNODETYPE_VOLUME, nullptr, Kind::Volume, false},
    {36, &KSNODETYPE_AGC, &TOPONAME_3D_ENABLE, Kind::Agc, true},
    {37, &KSNODETYPE_VOLUME, &TOPONAME_3D_CENTER, Kind::Volume, true},
    {38, &KSNODETYPE_VOLUME, &TOPONAME_3D_DEPTH, Kind::Volume, true},
};

// The property items each kind of node offers, in order: (id, verbs).
constexpr ULONG G = KSPROPERTY_TYPE_GET, S = KSPROPERTY_TYPE_SET, B = KSPROPERTY_TYPE_BASICSUPPORT;
const std::map<Kind, std::vector<std::pair<ULONG, ULONG>>> kItems = {
    {Kind::Volume, {{KSPROPERTY_AUDIO_VOLUMELEVEL, G | S | B}, {KSPROPERTY_AUDIO_CPU_RESOURCES, G}}},
    {Kind::Mute, {{KSPROPERTY_AUDIO_MUTE, G | S}, {KSPROPERTY_AUDIO_CPU_RESOURCES, G}}},
    {Kind::Mux, {{KSPROPERTY_AUDIO_MUX_SOURCE, G | S}, {KSPROPERTY_AUDIO_CPU_RESOURCES, G}}},
    {Kind::Agc, {{KSPROPERTY_AUDIO_AGC, G | S | B}, {KSPROPERTY_AUDIO_CPU_RESOURCES, G | B}}},
    {Kind::Supermix,
     {{KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, G}, {KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, G | S},
      {KSPROPERTY_AUDIO_CPU_RESOURCES, G}}},
    {Kind::Sum, {}},
};

// ---- Pins -----------------------------------------------------------------------

struct PinRow {
  ULONG pin;
  KSPIN_DATAFLOW flow;
  const GUID* category;
  const GUID* name;
};

const PinRow kPins[] = {
    {0, KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, nullptr},
    {1, KSPIN_DATAFLOW_IN, &KSNODETYPE_ANALOG_CONNECTOR, &TOPONAME_PC_BEEP_IN},
    {2, KSPIN_DATAFLOW_IN, &KSNODETYPE_PHONE_LINE, &TOPONAME_PHONE_IN},
    {3, KSPIN_DATAFLOW_IN, &KSNODETYPE_LINE_CONNECTOR, &TOPONAME_AUX_IN},
    {4, KSPIN_DATAFLOW_IN, &KSNODETYPE_TV_TUNER_AUDIO, &TOPONAME_VIDEO_IN},
    {5, KSPIN_DATAFLOW_IN, &KSNODETYPE_CD_PLAYER, &TOPONAME_CD_IN},
    {6, KSPIN_DATAFLOW_IN, &KSNODETYPE_LINE_CONNECTOR, &TOPONAME_LINE_IN},
    {7, KSPIN_DATAFLOW_IN, &KSNODETYPE_MICROPHONE, &TOPONAME_MIC_IN},
    {8, KSPIN_DATAFLOW_IN, &KSNODETYPE_ANALOG_CONNECTOR, &TOPONAME_STEREO_MIX_SOURCE},
    {9, KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER, &KSAUDFNAME_VOLUME_CONTROL},
    {10, KSPIN_DATAFLOW_OUT, &KSNODETYPE_PHONE_LINE, &TOPONAME_PHONE_OUT},
    {11, KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, nullptr},
    {12, KSPIN_DATAFLOW_IN, &KSNODETYPE_ANALOG_CONNECTOR, &TOPONAME_3D_CENTER_SOURCE},
    {13, KSPIN_DATAFLOW_IN, &KSNODETYPE_ANALOG_CONNECTOR, &TOPONAME_3D_DEPTH_SOURCE},
};

// ---- Connections: position in each list (-1: absent), then from node/pin, to node/pin ----

struct ConnectionRow {
  int no3dRow, with3dRow;
  ULONG fromNode, fromPin, toNode, toPin;
};

const ConnectionRow kConnections[] = {
    {0, 0, kFilter, 0, 1, 1},     {1, 1, 1, 0, 0, 1},         {2, 2, 0, 0, 18, 1},
    {3, 3, kFilter, 1, 3, 1},     {4, 4, 3, 0, 2, 1},         {5, 5, 2, 0, 18, 2},
    {6, 6, kFilter, 2, 5, 1},     {7, 7, 5, 0, 4, 1},         {8, 8, 4, 0, 18, 3},
    {9, 9, kFilter, 7, 7, 1},     {10, 10, 7, 0, 9, 1},       {11, 11, 9, 0, 8, 1},
    {12, 12, 8, 0, 18, 4},        {13, 13, kFilter, 6, 11, 1}, {14, 14, 11, 0, 10, 1},
    {15, 15, 10, 0, 18, 5},       {16, 16, kFilter, 5, 13, 1}, {17, 17, 13, 0, 12, 1},
    {18, 18, 12, 0, 18, 6},       {19, 19, kFilter, 4, 15, 1}, {20, 20, 15, 0, 14, 1},
    {21, 21, 14, 0, 18, 7},       {22, 22, kFilter, 3, 17, 1}, {23, 23, 17, 0, 16, 1},
    {24, 24, 16, 0, 18, 8},       {-1, 25, kFilter, 13, 36, 1}, {-1, 26, 36, 0, 38, 1},
    {-1, 27, 38, 0, 18, 9},       {25, 28, 18, 0, 21, 1},     {26, 29, 21, 0, 20, 1},
    {27, 30, 20, 0, kFilter, 9},  {28, 31, kFilter, 7, 30, 1}, {29, 32, kFilter, 5, 31, 1},
    {30, 33, kFilter, 4, 32, 1},  {31, 34, kFilter, 3, 33, 1}, {32, 35, kFilter, 6, 34, 1},
    {33, 36, kFilter, 8, 35, 1},  {34, 37, 30, 0, 27, 1},     {35, 38, 31, 0, 27, 2},
    {36, 39, 32, 0, 27, 3},       {37, 40, 33, 0, 27, 4},     {38, 41, 34, 0, 27, 5},
    {39, 42, 35, 0, 27, 6},       {40, 43, 27, 0, 29, 1},     {41, -1, 29, 0, 28, 1},
    {42, -1, 28, 0, kFilter, 11}, {-1, 44, 29, 0, kFilter, 11},
};

std::string GuidText(const GUID* g) {
  if (!g) return "none";
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X", static_cast<unsigned>(g->Data1), g->Data2, g->Data3,
                g->Data4[0], g->Data4[1]);
  return text;
}

struct Variant {
  const char* name;
  const PCFILTER_DESCRIPTOR* description;
  bool has3d;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class FilterTables : public ::testing::TestWithParam<Variant> {
 protected:
  const PCFILTER_DESCRIPTOR& D() const { return *GetParam().description; }
  bool Has3d() const { return GetParam().has3d; }
};

TEST_P(FilterTables, DescriptorShape) {
  EXPECT_EQ(D().Version, 0u);
  EXPECT_EQ(D().AutomationTable, nullptr);
  EXPECT_EQ(D().PinSize, sizeof(PCPIN_DESCRIPTOR));
  EXPECT_EQ(D().NodeSize, sizeof(PCNODE_DESCRIPTOR));
  EXPECT_EQ(D().CategoryCount, 0u);
  EXPECT_EQ(D().PinCount, Has3d() ? 14u : 12u);
  EXPECT_EQ(D().NodeCount, Has3d() ? 39u : 36u);
  EXPECT_EQ(D().ConnectionCount, Has3d() ? 45u : 43u);
}

TEST_P(FilterTables, EveryNodeHasItsTypeNameAndProperties) {
  ULONG expected = 0;
  for (const NodeRow& row : kNodes) {
    if (row.only3d && !Has3d()) continue;
    ASSERT_LT(row.node, D().NodeCount);
    ++expected;
    const PCNODE_DESCRIPTOR& node = D().Nodes[row.node];
    SCOPED_TRACE("node " + std::to_string(row.node));
    EXPECT_EQ(node.Flags, 0u);
    ASSERT_NE(node.Type, nullptr);
    EXPECT_TRUE(IsEqualGUIDAligned(*node.Type, *row.type)) << GuidText(node.Type);
    if (row.name) {
      ASSERT_NE(node.Name, nullptr);
      EXPECT_TRUE(IsEqualGUIDAligned(*node.Name, *row.name)) << GuidText(node.Name);
    } else {
      EXPECT_EQ(node.Name, nullptr) << GuidText(node.Name);
    }
    const auto& items = kItems.at(row.kind);
    if (items.empty()) {
      EXPECT_EQ(node.AutomationTable, nullptr);
      continue;
    }
    ASSERT_NE(node.AutomationTable, nullptr);
    const PCAUTOMATION_TABLE& table = *node.AutomationTable;
    EXPECT_EQ(table.PropertyItemSize, sizeof(PCPROPERTY_ITEM));
    EXPECT_EQ(table.MethodCount + table.EventCount, 0u);
    ASSERT_EQ(table.PropertyCount, items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      const PCPROPERTY_ITEM& item = table.Properties[i];
      EXPECT_TRUE(IsEqualGUIDAligned(*item.Set, KSPROPSETID_Audio));
      EXPECT_EQ(item.Id, items[i].first) << "item " << i;
      EXPECT_EQ(item.Flags, items[i].second) << "item " << i;
      EXPECT_NE(item.Handler, nullptr);
    }
  }
  EXPECT_EQ(expected, D().NodeCount);
}

TEST_P(FilterTables, EveryPinHasItsFlowCategoryAndName) {
  ULONG expected = 0;
  for (const PinRow& row : kPins) {
    if (row.pin >= 12 && !Has3d()) continue;
    ASSERT_LT(row.pin, D().PinCount);
    ++expected;
    const KSPIN_DESCRIPTOR& pin = D().Pins[row.pin].KsPinDescriptor;
    SCOPED_TRACE("pin " + std::to_string(row.pin));
    EXPECT_EQ(pin.DataFlow, row.flow);
    ASSERT_NE(pin.Category, nullptr);
    EXPECT_TRUE(IsEqualGUIDAligned(*pin.Category, *row.category)) << GuidText(pin.Category);
    if (row.name) {
      ASSERT_NE(pin.Name, nullptr);
      EXPECT_TRUE(IsEqualGUIDAligned(*pin.Name, *row.name)) << GuidText(pin.Name);
    } else {
      EXPECT_EQ(pin.Name, nullptr) << GuidText(pin.Name);
    }
    EXPECT_EQ(D().Pins[row.pin].AutomationTable, nullptr);
    EXPECT_EQ(pin.InterfacesCount + pin.MediumsCount, 0u);
    EXPECT_EQ(pin.Communication, KSPIN_COMMUNICATION_NONE);
  }
  EXPECT_EQ(expected, D().PinCount);
}

TEST_P(FilterTables, ConnectionsRowByRow) {
  std::vector<const ConnectionRow*> rows(D().ConnectionCount, nullptr);
  for (const ConnectionRow& row : kConnections) {
    const int at = Has3d() ? row.with3dRow : row.no3dRow;
    if (at < 0) continue;
    ASSERT_LT(static_cast<ULONG>(at), D().ConnectionCount);
    rows[at] = &row;
  }
  for (ULONG i = 0; i < D().ConnectionCount; ++i) {
    ASSERT_NE(rows[i], nullptr) << "row " << i << " is not in the list";
    const PCCONNECTION_DESCRIPTOR& c = D().Connections[i];
    const ConnectionRow& e = *rows[i];
    EXPECT_EQ(std::tuple(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin),
              std::tuple(e.fromNode, e.fromPin, e.toNode, e.toPin))
        << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, FilterTables,
                         ::testing::Values(Variant{"NoCtrl3D", &NoCtrl3DMiniportFilterDescriptor, false},
                                           Variant{"Ctrl3D", &Ctrl3DMiniportFilterDescriptor, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Controls driven through the property path, seen in the codec ----------

struct FieldAt {
  UCHAR shift;
  UCHAR width;
  USHORT Mask() const { return static_cast<USHORT>(((1u << width) - 1) << shift); }
};

enum class Channels { Stereo, Mono, MonoBoth };

// One volume control by the AC'97 layout: channel 0 is the high (left) field,
// channel 1 the low (right) one; a MonoBoth control writes both fields.
struct VolumeRow {
  ULONG node;
  UCHAR reg;
  Channels channels;
  FieldAt left, right;
  LONG minimum, maximum;
  ULONG step;
  USHORT atMinimum, atMaximum;  // field value at each end of the range
};

constexpr FieldAt kGainHigh{8, 5}, kGainLow{0, 5}, kAttHigh{8, 6}, kAttLow{0, 6}, kRecHigh{8, 4}, kRecLow{0, 4};

const VolumeRow kVolumes[] = {
    // PCM Out, Line In, CD, Video, Aux: 5-bit gain, +12 dB (0) .. -34.5 dB (31)
    {0, 0x18, Channels::Stereo, kGainHigh, kGainLow, Db(-34.5), Db(12), 0x18000, 31, 0},
    {10, 0x10, Channels::Stereo, kGainHigh, kGainLow, Db(-34.5), Db(12), 0x18000, 31, 0},
    {12, 0x12, Channels::Stereo, kGainHigh, kGainLow, Db(-34.5), Db(12), 0x18000, 31, 0},
    {14, 0x14, Channels::Stereo, kGainHigh, kGainLow, Db(-34.5), Db(12), 0x18000, 31, 0},
    {16, 0x16, Channels::Stereo, kGainHigh, kGainLow, Db(-34.5), Db(12), 0x18000, 31, 0},
    // Phone and Mic: 5-bit gain in bits 4:0 (bit 5 is reserved), +12 dB (0) .. -34.5 dB (31)
    {4, 0x0C, Channels::Mono, kGainLow, {}, Db(-34.5), Db(12), 0x18000, 31, 0},
    {8, 0x0E, Channels::Mono, kGainLow, {}, Db(-34.5), Db(12), 0x18000, 31, 0},
    // PC Beep: bits 4:1, 0 dB (0) .. -45 dB (15) in 3 dB steps
    {2, 0x0A, Channels::Mono, {1, 4}, {}, Db(-45), 0, 0x30000, 15, 0},
    // Master and Master Mono: 6-bit attenuation, 0 dB (0) .. -94.5 dB (63)
    {20, 0x02, Channels::Stereo, kAttHigh, kAttLow, Db(-94.5), 0, 0x18000, 63, 0},
    {24, 0x06, Channels::Mono, kAttLow, {}, Db(-94.5), 0, 0x18000, 63, 0},
    // Record Gain: 4-bit gain, 0 dB (0) .. +22.5 dB (15); node 30 writes both sides
    {28, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {30, 0x1C, Channels::MonoBoth, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {31, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {32, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {33, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {34, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    {35, 0x1C, Channels::Stereo, kRecHigh, kRecLow, 0, Db(22.5), 0x18000, 0, 15},
    // 3D center (bits 11:8) and depth (bits 3:0) count codec steps, announced in 1/16 steps
    {37, 0x22, Channels::Mono, {8, 4}, {}, 0, 0xF0000, 0x1000, 0, 15},
    {38, 0x22, Channels::Mono, {0, 4}, {}, 0, 0xF0000, 0x1000, 0, 15},
};

void PrintTo(const VolumeRow& row, std::ostream* os) { *os << "node " << row.node; }

// The mixer and 3D registers, for checking that a request touched nothing else.
std::map<int, unsigned> Registers(sim::Codec& codec) {
  std::map<int, unsigned> all;
  for (UCHAR reg = 0x02; reg <= 0x22; reg += 2) all[reg] = codec.Peek(reg);
  return all;
}

// Both variants: nodes 0-35 mean the same in each.
class ControlTest : public MiniportTest, public ::testing::WithParamInterface<std::tuple<bool, VolumeRow>> {
 protected:
  ControlTest() : MiniportTest(std::get<0>(GetParam())) {}
  const VolumeRow& Row() const { return std::get<1>(GetParam()); }

  // Sets `level` on `channel` from a register preset to `preset`; checks that
  // exactly the channel's field(s) took `field` and no other bit or register moved.
  void ExpectSetPutsField(LONG channel, USHORT preset, LONG level, USHORT field) {
    const VolumeRow& row = Row();
    Preset(row.reg, preset);
    auto others = Registers(Codec());
    const USHORT before = Reg(row.reg);
    ASSERT_EQ(Mixer().SetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel, level).status, STATUS_SUCCESS);
    std::vector<FieldAt> fields{channel == 0 ? row.left : row.right};
    if (row.channels == Channels::MonoBoth) fields.push_back(row.right);
    USHORT expected = before;
    for (const FieldAt& f : fields) expected = static_cast<USHORT>((expected & ~f.Mask()) | (field << f.shift));
    EXPECT_EQ(Reg(row.reg), expected) << "channel " << channel << " level " << level / 65536.0 << " dB";
    others[row.reg] = expected;
    EXPECT_EQ(Registers(Codec()), others) << "only the node's own register changes";
  }
};

TEST_P(ControlTest, VolumeFieldsRangeAndLevels) {
  const VolumeRow& row = Row();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const bool exists = row.node < 36 || std::get<0>(GetParam());
  if (!exists) {
    EXPECT_FALSE(Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).handlerCalled);
    return;
  }
  const int channels = row.channels == Channels::Stereo ? 2 : 1;
  // Before any set, a level is what the codec's field holds: the level of field 0
  // plus one step per field value (the 3D nodes count whole codec steps).
  const LONG perField = row.node >= 37 ? 0x10000 : row.atMaximum == 0 ? -LONG(row.step) : LONG(row.step);
  const LONG fieldZero = row.atMaximum == 0 ? row.maximum : row.minimum;
  for (LONG channel = 0; channel < channels; ++channel) {
    const FieldAt& f = channel ? row.right : row.left;
    const int field = (Reg(row.reg) & f.Mask()) >> f.shift;
    EXPECT_EQ(Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel).Long(), fieldZero + field * perField)
        << "start level of channel " << channel << ", field " << field;
  }
  for (LONG channel = 0; channel < channels; ++channel) {
    const USHORT ones = static_cast<USHORT>((1u << (channel ? row.right : row.left).width) - 1);
    // Each end of the range from a register with every other bit in the opposite state.
    const bool zeroAtMaximum = row.atMaximum == 0;
    ExpectSetPutsField(channel, 0x0000, zeroAtMaximum ? row.minimum : row.maximum, ones);
    ExpectSetPutsField(channel, 0xFFFF, zeroAtMaximum ? row.maximum : row.minimum, 0);
    // Beyond the ends: clamped.
    ExpectSetPutsField(channel, 0x0000, row.minimum - 0x100000, row.atMinimum);
    ExpectSetPutsField(channel, 0x0000, row.maximum + 0x100000, row.atMaximum);
  }
  // The level reads back as set, per channel, and no other node's level moves with it.
  const LONG other = Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1).Long();
  const LONG mid = row.minimum + static_cast<LONG>(row.step) * 2;
  auto otherLevels = [&] {
    std::map<std::pair<ULONG, LONG>, LONG> levels;
    for (const VolumeRow& v : kVolumes)
      if (v.node != row.node && (v.node < 36 || std::get<0>(GetParam())))
        for (LONG channel = 0; channel < (v.channels == Channels::Stereo ? 2 : 1); ++channel)
          levels[{v.node, channel}] = Mixer().GetAudio(v.node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel).Long();
    return levels;
  };
  const auto othersBefore = otherLevels();
  ASSERT_EQ(Mixer().SetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, mid).status, STATUS_SUCCESS);
  EXPECT_EQ(Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Long(), mid);
  EXPECT_EQ(otherLevels(), othersBefore) << "each node keeps a level of its own";
  if (channels == 2) {
    EXPECT_EQ(Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1).Long(), other);
  } else {
    EXPECT_EQ(Mixer().GetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Mixer().SetAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, mid).status, STATUS_INVALID_PARAMETER);
  }
  // The announced range and step.
  const auto basic = Mixer().BasicSupportAudio(row.node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 72);
  ASSERT_EQ(basic.status, STATUS_SUCCESS);
  ASSERT_EQ(basic.valueSize, 72u);
  // The description, one stepped-range member list of one LONG range, then the range.
  KSPROPERTY_DESCRIPTION description;
  std::memcpy(&description, basic.value.data(), sizeof description);
  EXPECT_EQ(description.AccessFlags, G | S | B);
  EXPECT_EQ(description.DescriptionSize, 72u);
  EXPECT_EQ(description.MembersListCount, 1u);
  EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, KSPROPTYPESETID_General));
  EXPECT_EQ(description.PropTypeSet.Id, 3u);  // VT_I4
  KSPROPERTY_MEMBERSHEADER members;
  std::memcpy(&members, basic.value.data() + 40, sizeof members);
  EXPECT_EQ(members.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
  EXPECT_EQ(members.MembersSize, 16u);
  EXPECT_EQ(members.MembersCount, 1u);
  EXPECT_EQ(members.Flags, 0u);
  KSPROPERTY_STEPPING_LONG range;
  std::memcpy(&range, basic.value.data() + 56, sizeof range);
  EXPECT_EQ(range.Bounds.SignedMinimum, row.minimum);
  EXPECT_EQ(range.Bounds.SignedMaximum, row.maximum);
  EXPECT_EQ(range.SteppingDelta, row.step);
}

INSTANTIATE_TEST_SUITE_P(Nodes, ControlTest, ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kVolumes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Ctrl3D" : "NoCtrl3D") + "_node" +
                                  std::to_string(std::get<1>(info.param).node);
                         });

// ---- Switches: mutes (bit 15), multiplexers and the AGC-typed switches --------

struct SwitchRow {
  ULONG node;
  ULONG id;
  UCHAR reg;
  std::vector<FieldAt> fields;  // every field a set writes
  ULONG values;                 // set values tried: 0 .. values-1 (mute/agc), 1 .. values (mux)
  bool stereo;                  // channel 1 accepted too
  bool only3d;
};

void PrintTo(const SwitchRow& row, std::ostream* os) { *os << "node " << row.node; }

const FieldAt kMuteBit{15, 1};
const SwitchRow kSwitches[] = {
    {1, KSPROPERTY_AUDIO_MUTE, 0x18, {kMuteBit}, 2, true, false},
    {3, KSPROPERTY_AUDIO_MUTE, 0x0A, {kMuteBit}, 2, false, false},
    {5, KSPROPERTY_AUDIO_MUTE, 0x0C, {kMuteBit}, 2, false, false},
    {9, KSPROPERTY_AUDIO_MUTE, 0x0E, {kMuteBit}, 2, false, false},
    {11, KSPROPERTY_AUDIO_MUTE, 0x10, {kMuteBit}, 2, true, false},
    {13, KSPROPERTY_AUDIO_MUTE, 0x12, {kMuteBit}, 2, true, false},
    {15, KSPROPERTY_AUDIO_MUTE, 0x14, {kMuteBit}, 2, true, false},
    {17, KSPROPERTY_AUDIO_MUTE, 0x16, {kMuteBit}, 2, true, false},
    {21, KSPROPERTY_AUDIO_MUTE, 0x02, {kMuteBit}, 2, true, false},
    {25, KSPROPERTY_AUDIO_MUTE, 0x06, {kMuteBit}, 2, false, false},
    {29, KSPROPERTY_AUDIO_MUTE, 0x1C, {kMuteBit}, 2, true, false},
    // General Purpose: microphone select (bit 8), mono-output select (bit 9)
    {6, KSPROPERTY_AUDIO_MUX_SOURCE, 0x20, {{8, 1}}, 2, true, false},
    {23, KSPROPERTY_AUDIO_MUX_SOURCE, 0x20, {{9, 1}}, 2, true, false},
    // Record Select: right (bits 2:0) and left (bits 10:8), the standard's 8 sources
    {27, KSPROPERTY_AUDIO_MUX_SOURCE, 0x1A, {{0, 3}, {8, 3}}, 8, true, false},
    // Mic Volume bit 6: 20 dB boost; General Purpose bit 13: 3D enhancement
    {7, KSPROPERTY_AUDIO_AGC, 0x0E, {{6, 1}}, 2, false, false},
    {36, KSPROPERTY_AUDIO_AGC, 0x20, {{13, 1}}, 2, false, true},
};

class SwitchTest : public MiniportTest, public ::testing::WithParamInterface<std::tuple<bool, SwitchRow>> {
 protected:
  SwitchTest() : MiniportTest(std::get<0>(GetParam())) {}
};

TEST_P(SwitchTest, EachValueLandsInItsFieldAndReadsBack) {
  const SwitchRow& row = std::get<1>(GetParam());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  if (row.only3d && !std::get<0>(GetParam())) {
    EXPECT_FALSE(Mixer().GetAudio(row.node, row.id, 0).handlerCalled);
    return;
  }
  const bool mux = row.id == KSPROPERTY_AUDIO_MUX_SOURCE;
  USHORT mask = 0;
  for (const FieldAt& f : row.fields) mask |= f.Mask();
  for (USHORT preset : {USHORT(0x0000), USHORT(0xFFFF)}) {
    Preset(row.reg, preset);
    for (ULONG i = 0; i < row.values; ++i) {
      const ULONG value = mux ? i + 1 : i;
      const USHORT field = static_cast<USHORT>(i);  // a source n is field value n - 1
      auto others = Registers(Codec());
      const USHORT before = Reg(row.reg);
      ASSERT_EQ(Mixer().SetAudio(row.node, row.id, 0, static_cast<LONG>(value)).status, STATUS_SUCCESS) << value;
      USHORT expected = static_cast<USHORT>(before & ~mask);
      for (const FieldAt& f : row.fields) expected |= static_cast<USHORT>(field << f.shift);
      EXPECT_EQ(Reg(row.reg), expected) << "value " << value << " preset " << preset;
      others[row.reg] = expected;
      EXPECT_EQ(Registers(Codec()), others) << "only the node's own register changes";
      const auto got = Mixer().GetAudio(row.node, row.id, 0);
      EXPECT_EQ(got.status, STATUS_SUCCESS);
      EXPECT_EQ(got.Ulong(), value);
    }
  }
  // A mono mute or switch refuses channel 1 and leaves the codec alone.
  if (!mux) {
    const USHORT before = Reg(row.reg);
    const auto set = Mixer().SetAudio(row.node, row.id, 1, 1);
    if (row.stereo) {
      EXPECT_EQ(set.status, STATUS_SUCCESS);
      EXPECT_EQ(Reg(row.reg) & mask, mask) << "channel 1 addresses the same bit";
    } else {
      EXPECT_NE(set.status, STATUS_SUCCESS);
      EXPECT_EQ(Reg(row.reg), before);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Nodes, SwitchTest, ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kSwitches)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Ctrl3D" : "NoCtrl3D") + "_node" +
                                  std::to_string(std::get<1>(info.param).node);
                         });

// Every node with an automation table answers the CPU-resources get with a
// value: 0, the node does not run on the host processor.
TEST_F(MiniportTest, EveryControlRunsOffTheHostProcessor) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (const NodeRow& row : kNodes) {
    if (row.kind == Kind::Sum) continue;
    host::PropertyCall call;
    call.node = row.node;
    call.set = KSPROPSETID_Audio;
    call.id = KSPROPERTY_AUDIO_CPU_RESOURCES;
    call.instance = host::ChannelInstance(0);
    call.valueSize = 4;
    call.value = {0xFF, 0xFF, 0xFF, 0xFF};
    const auto got = Mixer().Dispatch(call);
    EXPECT_EQ(got.status, STATUS_SUCCESS) << "node " << row.node;
    EXPECT_TRUE(got.handlerCalled) << "node " << row.node;
    EXPECT_EQ(got.valueSize, 4u) << "node " << row.node;
    EXPECT_EQ(got.Ulong(), ULONG(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU)) << "node " << row.node;
  }
}

}  // namespace
}  // namespace topotest
