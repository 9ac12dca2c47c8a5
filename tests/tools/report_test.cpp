// The program's verdicts, checked on the pieces that make them: the
// incremental byte comparison and the marker legend.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tools/report.h"

namespace tool {
namespace {

struct ComparisonCase {
  std::string name;
  std::vector<std::uint8_t> expected, actual;
  std::vector<std::size_t> expectedPieces, actualPieces;  // how each side arrives, interleaved
  std::string difference;
};

class Comparisons : public ::testing::TestWithParam<ComparisonCase> {};

// However the two streams are cut and interleaved, the verdict is the one a
// whole-buffer comparison gives.
TEST_P(Comparisons, MatchAWholeBufferComparison) {
  const ComparisonCase& c = GetParam();
  StreamComparison comparison;
  std::size_t e = 0, a = 0, ep = 0, ap = 0;
  while (e < c.expected.size() || a < c.actual.size()) {
    if (e < c.expected.size()) {
      const std::size_t n = std::min(c.expectedPieces[ep++ % c.expectedPieces.size()], c.expected.size() - e);
      comparison.Expected({c.expected.data() + e, n});
      e += n;
    }
    if (a < c.actual.size()) {
      const std::size_t n = std::min(c.actualPieces[ap++ % c.actualPieces.size()], c.actual.size() - a);
      comparison.Actual({c.actual.data() + a, n});
      a += n;
    }
  }
  EXPECT_EQ(comparison.Difference(), c.difference);
  EXPECT_EQ(comparison.ExpectedBytes(), c.expected.size());
  EXPECT_EQ(comparison.ActualBytes(), c.actual.size());
}

std::vector<std::uint8_t> Counting(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

std::vector<std::uint8_t> With(std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Comparisons,
    ::testing::Values(
        ComparisonCase{"Equal", Counting(1000), Counting(1000), {7}, {13}, ""},
        ComparisonCase{"EqualActualAhead", Counting(1000), Counting(1000), {1}, {500}, ""},
        ComparisonCase{"OneByteLate", Counting(1000), With(Counting(1000), 777, 0xEE), {64}, {3}, "byte 777 is 0xEE instead of 0x42 (1 byte differs)"},
        ComparisonCase{"TwoBytesFirstCounts", Counting(300), With(With(Counting(300), 290, 0), 5, 0), {300}, {1},
                       "byte 5 is 0x00 instead of 0x26 (2 bytes differ)"},
        ComparisonCase{"Short", Counting(100), Counting(60), {9}, {9}, "60 bytes instead of 100"},
        ComparisonCase{"Long", Counting(60), Counting(100), {100}, {1}, "100 bytes instead of 60"},
        ComparisonCase{"NothingArrived", Counting(10), {}, {10}, {1}, "0 bytes instead of 10"}),
    [](const auto& info) { return info.param.name; });

TEST(Markers, EachIsShownWithItsMeaningAndCount) {
  const std::vector<sim::DiagnosticMarker> markers = {{0, 0x91, 0x96}, {0, 0x90, 0x93}, {0, 0x91, 0x96}, {0, 0x91, 0x99}, {0, 0x90, 0x12}};
  EXPECT_EQ(MarkersText(markers),
            "0x91=0x96 x2 (both playback events in one interrupt), 0x90=0x93 (the channel idled after a refill), "
            "0x91=0x99 (a service found no completed block for an event), 0x90=0x12");
  EXPECT_EQ(MarkersText({}), "none");
}

}  // namespace
}  // namespace tool
