// The mixer graph as a mixer client walks it, in both filter variants.
#include <gtest/gtest.h>

#include <set>

#include "host/graph.h"
#include "host/property.h"
#include "topology/miniport.h"
#include "topology/names.h"

namespace {

using Set = std::set<ULONG>;

host::MediaCategories InstalledNames() {
  host::MediaCategories names;
  for (const auto& row : TopologyDisplayNames) names.Add(*row.Name, row.DisplayName);
  return names;
}

struct Variant {
  const char* name;
  const PCFILTER_DESCRIPTOR* description;
  bool has3d;
};

class GraphTest : public ::testing::TestWithParam<Variant> {
 protected:
  host::MediaCategories names_ = InstalledNames();
  host::FilterGraph graph_{*GetParam().description, &names_};
};

TEST_P(GraphTest, CountsAndSoundStructure) {
  const bool has3d = GetParam().has3d;
  EXPECT_EQ(graph_.PinCount(), has3d ? 14u : 12u);
  EXPECT_EQ(graph_.NodeCount(), has3d ? 39u : 36u);
  EXPECT_EQ(graph_.ConnectionCount(), has3d ? 45u : 43u);
  EXPECT_EQ(graph_.Problems(), std::vector<std::string>{});
  const auto unconnected = graph_.Unconnected();
  EXPECT_EQ(unconnected.nodes, has3d ? Set({6, 19, 22, 23, 24, 25, 26, 28, 37}) : Set({6, 19, 22, 23, 24, 25, 26}));
  EXPECT_EQ(unconnected.pins, has3d ? Set({10, 12}) : Set({10}));
}

TEST_P(GraphTest, LineOutHearsEveryPlaybackSourceButNotTheStereoMix) {
  const auto reach = graph_.Upstream(9);
  EXPECT_EQ(reach.pins, GetParam().has3d ? Set({0, 1, 2, 3, 4, 5, 6, 7, 13}) : Set({0, 1, 2, 3, 4, 5, 6, 7}));
  // Master mute and volume, then the output mix, on every path to the line out.
  for (ULONG source : reach.pins)
    for (const auto& path : graph_.Paths(source, 9)) {
      ASSERT_GE(path.size(), 3u);
      EXPECT_EQ(std::vector<ULONG>(path.end() - 3, path.end()), (std::vector<ULONG>{18, 21, 20}));
    }
}

TEST_P(GraphTest, CaptureRecordsTheSixSourcesThroughTheSelector) {
  const auto reach = graph_.Upstream(11);
  EXPECT_EQ(reach.pins, Set({3, 4, 5, 6, 7, 8}));
  // Source n of the selector is record-select value n - 1: mic, CD, video, aux, line, stereo mix.
  const ULONG sourceOfInput[] = {7, 5, 4, 3, 6, 8};
  for (ULONG input = 1; input <= 6; ++input) {
    const auto paths = graph_.Paths(sourceOfInput[input - 1], 11);
    ASSERT_EQ(paths.size(), 1u) << "source of selector input " << input;
    const auto& path = paths[0];
    EXPECT_EQ(path[0], 29 + input) << "its own recording level first";
    const std::vector<ULONG> after(path.begin() + 1, path.end());
    EXPECT_EQ(after, GetParam().has3d ? std::vector<ULONG>({27, 29}) : std::vector<ULONG>({27, 29, 28}));
  }
}

TEST_P(GraphTest, EveryPinIsAnUnopenableAnalogPin) {
  for (ULONG p = 0; p < graph_.PinCount(); ++p) {
    const auto& pin = graph_.Pin(p);
    EXPECT_EQ(pin.MaxGlobalInstanceCount + pin.MaxFilterInstanceCount + pin.MinFilterInstanceCount, 0u);
    ASSERT_EQ(pin.KsPinDescriptor.DataRangesCount, 1u);
    const KSDATARANGE& range = *pin.KsPinDescriptor.DataRanges[0];
    EXPECT_EQ(range.FormatSize, sizeof(KSDATARANGE));
    EXPECT_TRUE(IsEqualGUIDAligned(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUIDAligned(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    EXPECT_TRUE(IsEqualGUIDAligned(range.Specifier, KSDATAFORMAT_SPECIFIER_NONE));
    EXPECT_EQ(pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
  }
}

TEST_P(GraphTest, ControlsAreNamedForTheUser) {
  EXPECT_EQ(graph_.NodeName(20), "Master Volume");
  EXPECT_EQ(graph_.NodeName(7), "Microphone Boost");
  EXPECT_EQ(graph_.NodeName(4), "Volume");  // unnamed: its type
  EXPECT_EQ(graph_.PinName(8), "Stereo Mix");
  EXPECT_EQ(graph_.PinName(9), "Volume Control");
  // No node or pin falls back to a raw GUID: every private name has a display name.
  for (ULONG n = 0; n < graph_.NodeCount(); ++n) EXPECT_EQ(graph_.NodeName(n).find('{'), std::string::npos) << n;
  for (ULONG p = 0; p < graph_.PinCount(); ++p) EXPECT_EQ(graph_.PinName(p).find('{'), std::string::npos) << p;
}

INSTANTIATE_TEST_SUITE_P(Variants, GraphTest,
                         ::testing::Values(Variant{"NoCtrl3D", &NoCtrl3DMiniportFilterDescriptor, false},
                                           Variant{"Ctrl3D", &Ctrl3DMiniportFilterDescriptor, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TopologyNames, PrivateNamesAreDistinctAndEachHasOneDisplayName) {
  const auto count = std::size(TopologyDisplayNames);
  EXPECT_EQ(count, 21u);
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_FALSE(host::PublishedSymbol(*TopologyDisplayNames[i].Name)) << "collides with a published name";
    for (std::size_t j = i + 1; j < count; ++j) {
      EXPECT_FALSE(IsEqualGUIDAligned(*TopologyDisplayNames[i].Name, *TopologyDisplayNames[j].Name)) << i << "," << j;
      EXPECT_NE(std::wstring(TopologyDisplayNames[i].DisplayName), TopologyDisplayNames[j].DisplayName);
    }
  }
}

// A structurally broken description is reported, not walked blindly.
TEST(FilterGraphChecks, ReportsDanglingEndsWrongDirectionsAndCycles) {
  PCFILTER_DESCRIPTOR broken = Ctrl3DMiniportFilterDescriptor;
  const PCCONNECTION_DESCRIPTOR rows[] = {
      {KSFILTER_NODE, 0, 1, 1},   // fine
      {1, 0, 40, 1},              // no node 40
      {KSFILTER_NODE, 9, 2, 1},   // leaves an output pin
      {2, 0, 3, 1}, {3, 0, 2, 2}, // a cycle
      {1, 0, 3, 1},               // node 3's input 1 fed twice
  };
  broken.ConnectionCount = std::size(rows);
  broken.Connections = rows;
  const auto problems = host::FilterGraph(broken).Problems();
  auto mentions = [&](const std::string& text) {
    for (const auto& p : problems)
      if (p.find(text) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(mentions("no such node"));
  EXPECT_TRUE(mentions("leaves an output pin"));
  EXPECT_TRUE(mentions("input fed twice"));
  EXPECT_TRUE(mentions("cycle"));
}

// What the framework checks at registration before it walks the graph: the
// driver's tables hold together; counts without tables, or descriptors
// smaller than the platform's, do not.
TEST(FilterGraphChecks, CountsAndSizesThatDisagreeWithTheTablesAreReported) {
  for (const PCFILTER_DESCRIPTOR* real : {&Ctrl3DMiniportFilterDescriptor, &NoCtrl3DMiniportFilterDescriptor})
    EXPECT_TRUE(host::DescriptionProblems(*real).empty());
  PCFILTER_DESCRIPTOR broken = Ctrl3DMiniportFilterDescriptor;
  broken.NodeSize = sizeof(PCNODE_DESCRIPTOR) - sizeof(void*);
  broken.Connections = nullptr;
  const auto problems = host::DescriptionProblems(broken);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("gives its nodes " + std::to_string(broken.NodeSize) + " bytes each"), std::string::npos)
      << problems[0];
  EXPECT_NE(problems[1].find("connections but has no table of them"), std::string::npos) << problems[1];
}

// A mixing node declared with a one-input type is caught by what feeds it:
// the output mix (node 18, a sum fed on pins 1 and up) typed as a volume.
TEST(FilterGraphChecks, ASumTypedAsAVolumeIsReported) {
  PCFILTER_DESCRIPTOR swapped = Ctrl3DMiniportFilterDescriptor;
  ASSERT_EQ(swapped.NodeSize, sizeof(PCNODE_DESCRIPTOR));
  std::vector<PCNODE_DESCRIPTOR> nodes(swapped.Nodes, swapped.Nodes + swapped.NodeCount);
  ASSERT_TRUE(IsEqualGUIDAligned(*nodes[18].Type, KSNODETYPE_SUM));
  EXPECT_TRUE(host::FilterGraph(swapped).Problems().empty());
  nodes[18].Type = &KSNODETYPE_VOLUME;
  swapped.Nodes = nodes.data();
  const auto problems = host::FilterGraph(swapped).Problems();
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems[0].find("-> node 18 pin 2): a Volume node takes one input, on its pin 1"), std::string::npos)
      << problems[0];
}

}  // namespace
