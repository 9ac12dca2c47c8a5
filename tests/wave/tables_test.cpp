// The wave filter's description against a second, independent statement of
// it: four pins (capture and render streams, two analog bridges), the PCM
// data ranges of each variant, the DAC and ADC nodes and their wiring.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "wave/tables.h"

namespace {

constexpr ULONG kFilter = KSFILTER_NODE;

struct PinRow {
  ULONG pin;
  ULONG maxGlobal, maxFilter, minFilter;
  bool stream;  // the variant's PCM ranges; else the one analog bridge range
  KSPIN_DATAFLOW flow;
  KSPIN_COMMUNICATION communication;
  const GUID* name;
};

const PinRow kPins[] = {
    {0, 1, 1, 0, true, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSAUDFNAME_RECORDING_CONTROL},
    {1, 0, 0, 0, false, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, nullptr},
    {2, 1, 1, 0, true, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, nullptr},
    {3, 0, 0, 0, false, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, nullptr},
};

struct Variant {
  const char* name;
  const PCFILTER_DESCRIPTOR* description;
  std::vector<ULONG> rates;  // one range per rate, in this order
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class WaveTables : public ::testing::TestWithParam<Variant> {
 protected:
  const PCFILTER_DESCRIPTOR& D() const { return *GetParam().description; }
};

TEST_P(WaveTables, DescriptorNodesAndConnections) {
  EXPECT_EQ(D().Version, 0u);
  EXPECT_EQ(D().AutomationTable, nullptr);
  EXPECT_EQ(D().PinSize, sizeof(PCPIN_DESCRIPTOR));
  EXPECT_EQ(D().NodeSize, sizeof(PCNODE_DESCRIPTOR));
  EXPECT_EQ(D().CategoryCount, 0u);
  ASSERT_EQ(D().PinCount, 4u);
  ASSERT_EQ(D().NodeCount, 2u);
  const GUID* types[] = {&KSNODETYPE_DAC, &KSNODETYPE_ADC};
  for (ULONG n = 0; n < 2; ++n) {
    const PCNODE_DESCRIPTOR& node = D().Nodes[n];
    EXPECT_EQ(node.Flags, 0u);
    EXPECT_EQ(node.AutomationTable, nullptr);
    EXPECT_EQ(node.Name, nullptr);
    ASSERT_NE(node.Type, nullptr);
    EXPECT_TRUE(IsEqualGUIDAligned(*node.Type, *types[n])) << "node " << n;
  }
  using Row = std::tuple<ULONG, ULONG, ULONG, ULONG>;
  const std::vector<Row> expected = {
      {kFilter, 2, 0, 1},  // render stream into the DAC
      {0, 0, kFilter, 3},  // DAC out to the render bridge
      {kFilter, 1, 1, 1},  // capture bridge into the ADC
      {1, 0, kFilter, 0},  // ADC out to the capture stream
  };
  ASSERT_EQ(D().ConnectionCount, expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const PCCONNECTION_DESCRIPTOR& c = D().Connections[i];
    EXPECT_EQ(Row(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin), expected[i]) << "row " << i;
  }
}

TEST_P(WaveTables, PinsAndTheirDataRanges) {
  for (const PinRow& row : kPins) {
    SCOPED_TRACE("pin " + std::to_string(row.pin));
    const PCPIN_DESCRIPTOR& pin = D().Pins[row.pin];
    const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    EXPECT_EQ(pin.MaxGlobalInstanceCount, row.maxGlobal);
    EXPECT_EQ(pin.MaxFilterInstanceCount, row.maxFilter);
    EXPECT_EQ(pin.MinFilterInstanceCount, row.minFilter);
    EXPECT_EQ(pin.AutomationTable, nullptr);
    EXPECT_EQ(ks.InterfacesCount + ks.MediumsCount, 0u);
    EXPECT_EQ(ks.DataFlow, row.flow);
    EXPECT_EQ(ks.Communication, row.communication);
    ASSERT_NE(ks.Category, nullptr);
    EXPECT_TRUE(IsEqualGUIDAligned(*ks.Category, KSCATEGORY_AUDIO));
    if (row.name) {
      ASSERT_NE(ks.Name, nullptr);
      EXPECT_TRUE(IsEqualGUIDAligned(*ks.Name, *row.name));
    } else {
      EXPECT_EQ(ks.Name, nullptr);
    }
    EXPECT_EQ(ks.ConstrainedDataRangesCount, 0u);

    const std::vector<ULONG> rates = row.stream ? GetParam().rates : std::vector<ULONG>{0};
    ASSERT_EQ(ks.DataRangesCount, rates.size());
    EXPECT_EQ(ks.DataRanges[rates.size()], nullptr) << "the list ends with a null entry";
    for (std::size_t i = 0; i < rates.size(); ++i) {
      const KSDATARANGE& range = *ks.DataRanges[i];
      EXPECT_EQ(range.Flags + range.SampleSize + range.Reserved, 0u);
      EXPECT_TRUE(IsEqualGUIDAligned(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
      if (!row.stream) {
        EXPECT_EQ(range.FormatSize, sizeof(KSDATARANGE));
        EXPECT_TRUE(IsEqualGUIDAligned(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
        EXPECT_TRUE(IsEqualGUIDAligned(range.Specifier, KSDATAFORMAT_SPECIFIER_NONE));
        continue;
      }
      EXPECT_EQ(range.FormatSize, sizeof(KSDATARANGE_AUDIO));
      EXPECT_TRUE(IsEqualGUIDAligned(range.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
      EXPECT_TRUE(IsEqualGUIDAligned(range.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
      const auto& audio = reinterpret_cast<const KSDATARANGE_AUDIO&>(range);
      EXPECT_EQ(audio.MaximumChannels, 2u);
      EXPECT_EQ(audio.MinimumBitsPerSample, 8u);
      EXPECT_EQ(audio.MaximumBitsPerSample, 16u);
      EXPECT_EQ(audio.MinimumSampleFrequency, rates[i]) << "range " << i;
      EXPECT_EQ(audio.MaximumSampleFrequency, rates[i]) << "range " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, WaveTables,
    ::testing::Values(Variant{"NoVRA", &NoVRAMiniportFilterDescriptor, {48000}},
                      Variant{"VRA", &VRAMiniportFilterDescriptor, {48000, 44100, 22050, 11025, 8000}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
