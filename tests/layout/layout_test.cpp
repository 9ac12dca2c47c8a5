// The platform structures as platform/host lays them out in the 32-bit host
// build, against the same table evaluated over the DDK headers (ddk_probe.cpp).
// A difference names the structure, the field and both numbers.
#include <portcls.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ddk_layout.inc"
#include "tests/layout/layout_table.h"

namespace {

enum class What { Size, Offset, FieldSize, Value };

struct Item {
  const char* group;     // the structure, or "constants"
  const char* field;     // host path; null for a size
  const char* ddkField;  // the DDK's path where it differs
  What what;
  std::uint32_t host;
};

#define HOST_STRUCT(T) {#T, nullptr, nullptr, What::Size, static_cast<std::uint32_t>(sizeof(T))},
#define HOST_FIELD_AS(T, h, d)                                                                     \
  {#T, #h, #d, What::Offset, static_cast<std::uint32_t>(offsetof(T, h))},                         \
      {#T, #h, #d, What::FieldSize, static_cast<std::uint32_t>(sizeof(static_cast<T*>(nullptr)->h))},
#define HOST_FIELD(T, f) HOST_FIELD_AS(T, f, f)
#define HOST_VALUE(v) {"constants", #v, #v, What::Value, static_cast<std::uint32_t>(v)},

const std::vector<Item>& Items() {
  static const std::vector<Item> items = {
      ZATAC97_LAYOUT_TABLE(HOST_STRUCT, HOST_FIELD, HOST_FIELD_AS, HOST_VALUE)};
  return items;
}

std::vector<std::string> Groups() {
  std::vector<std::string> groups;
  for (const Item& item : Items())
    if (std::find(groups.begin(), groups.end(), item.group) == groups.end()) groups.push_back(item.group);
  return groups;
}

std::string Describe(const Item& item) {
  std::string where = item.group;
  if (item.field && item.what != What::Value) {
    where += std::string(".") + item.field;
    if (std::string(item.field) != item.ddkField) where += std::string(" (DDK: ") + item.ddkField + ")";
  } else if (item.field) {
    where = item.field;
  }
  switch (item.what) {
    case What::Size: return "size of " + where;
    case What::Offset: return "offset of " + where;
    case What::FieldSize: return "size of " + where;
    case What::Value: return "value of " + where;
  }
  return where;
}

// The one difference the host keeps, and why: WCHAR is the host compiler's
// wchar_t (4 bytes on Linux) so that the driver's L"" literals are the host's
// wide strings; the kernel image's are 2-byte UTF-16. No structure the driver
// lays out holds a WCHAR by value. Listed here so that it cannot grow silently
// and so that this entry fails once the host matches.
bool KnownDifference(const Item& item) {
  return item.what == What::Size && item.field == nullptr && std::string(item.group) == "WCHAR";
}

TEST(LayoutTable, BothSidesEvaluatedTheSameTable) {
  ASSERT_EQ(std::size(kDdkLayout), Items().size())
      << "ddk_layout.inc is stale or the cross compiler's data was misread";
}

class Layout : public ::testing::TestWithParam<std::string> {};

TEST_P(Layout, MatchesTheDdk) {
  ASSERT_EQ(std::size(kDdkLayout), Items().size());
  int checked = 0;
  for (std::size_t i = 0; i < Items().size(); ++i) {
    const Item& item = Items()[i];
    if (GetParam() != item.group) continue;
    ++checked;
    if (KnownDifference(item)) {
      EXPECT_NE(item.host, kDdkLayout[i]) << Describe(item) << " now matches: drop it from KnownDifference";
      continue;
    }
    EXPECT_EQ(item.host, kDdkLayout[i])
        << Describe(item) << ": " << item.host << " in platform/host, " << kDdkLayout[i] << " in the DDK";
  }
  EXPECT_GT(checked, 0);
}

// One case per structure, union and enumeration the driver touches (and one
// for the constants), in the table's order.
INSTANTIATE_TEST_SUITE_P(Platform, Layout, ::testing::ValuesIn(Groups()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
