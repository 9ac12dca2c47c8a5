// The MIDI requirements rewrite only for the list shape it understands:
// every other list reaches the framework byte for byte as it came.
#include "adapter_fixture.h"

#include <cstring>

#include "host/requirements.h"

namespace adaptertest {
namespace {

// The descriptors run past the list's declared one-element array: address
// them from the list's bytes, as the bus and the framework do.
const IO_RESOURCE_DESCRIPTOR* Descriptor(const IO_RESOURCE_REQUIREMENTS_LIST* list, std::size_t index) {
  const auto* first = reinterpret_cast<const unsigned char*>(list) + offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) +
                      offsetof(IO_RESOURCE_LIST, Descriptors);
  return reinterpret_cast<const IO_RESOURCE_DESCRIPTOR*>(first) + index;
}

using Descriptors = std::vector<sim::RequirementDescriptor>;

// The bus's own list: group 1 (0-2), group 2 (3-5), interrupt (6).
Descriptors Group(const Descriptors& bus, int first) { return {bus.begin() + first, bus.begin() + first + 3}; }

struct ShapeCase {
  const char* name;
  // Builds the descriptors from the bus's seven, then may damage the list's header.
  std::function<Descriptors(const Descriptors&)> descriptors;
  std::function<void(IO_RESOURCE_REQUIREMENTS_LIST*)> damage;
  ULONG rewrittenCount;  // 0: must pass unchanged
};

Descriptors Cat(std::initializer_list<Descriptors> parts) {
  Descriptors out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
sim::RequirementDescriptor Required(sim::RequirementDescriptor d) {
  d.option = 0;
  return d;
}
sim::RequirementDescriptor Alternative(sim::RequirementDescriptor d) {
  d.option = IO_RESOURCE_ALTERNATIVE;
  return d;
}
const auto kAsIs = [](const Descriptors& bus) { return bus; };
const auto kNoDamage = [](IO_RESOURCE_REQUIREMENTS_LIST*) {};

const ShapeCase kShapes[] = {
    {"Expected", kAsIs, kNoDamage, 10},
    {"TailAfterInterrupt",
     [](const Descriptors& b) { return Cat({b, Descriptors{b[1]}}); }, kNoDamage, 11},
    {"InterruptFirst", [](const Descriptors& b) { return Cat({{b[6]}, Group(b, 0), Group(b, 3)}); }, kNoDamage, 0},
    {"OnePortGroup", [](const Descriptors& b) { return Cat({Group(b, 0), {b[6]}}); }, kNoDamage, 0},
    {"ThreePortGroups", [](const Descriptors& b) { return Cat({Group(b, 0), Group(b, 3), Group(b, 3), {b[6]}}); },
     kNoDamage, 0},
    {"TwoInterrupts", [](const Descriptors& b) { return Cat({b, {b[6]}}); }, kNoDamage, 0},
    {"PortAfterInterrupt", [](const Descriptors& b) { return Cat({b, {b[0]}}); }, kNoDamage, 0},
    // A port required in its own right would be assigned ahead of the MPU-401.
    {"RequiredPortAfterInterrupt", [](const Descriptors& b) { return Cat({b, {Required(b[1])}}); }, kNoDamage, 0},
    {"RequiredPortInAGroup", [](const Descriptors& b) { return Cat({{b[0], Required(b[1]), b[2]}, Group(b, 3), {b[6]}}); },
     kNoDamage, 0},
    {"InterruptInAGroup", [](const Descriptors& b) { return Cat({Group(b, 0), {b[3], b[4], Alternative(b[6])}, {b[6]}}); },
     kNoDamage, 0},
    {"OverlappingGroups", [](const Descriptors& b) { return Cat({{b[0], b[3]}, Group(b, 1), {b[4], b[6]}}); },
     kNoDamage, 0},
    {"NoInterrupt", [](const Descriptors& b) { return Cat({Group(b, 0), Group(b, 3), {b[1]}}); }, kNoDamage, 0},
    {"TwoAlternativeLists", kAsIs, [](IO_RESOURCE_REQUIREMENTS_LIST* l) { l->AlternativeLists = 2; }, 0},
    {"CountBeyondTheList", kAsIs, [](IO_RESOURCE_REQUIREMENTS_LIST* l) { l->List[0].Count = 0x08000000; }, 0},
    {"ListSizeBelowHeader", kAsIs, [](IO_RESOURCE_REQUIREMENTS_LIST* l) { l->ListSize = 8; }, 0},
    {"ListSizeHuge", kAsIs, [](IO_RESOURCE_REQUIREMENTS_LIST* l) { l->ListSize = 0xFFFFFFF0u; }, 0},
    // Half a descriptor short: the last descriptor would be read past the list.
    {"ListSizeShortOfItsCount", kAsIs, [](IO_RESOURCE_REQUIREMENTS_LIST* l) { l->ListSize -= 16; }, 0},
};

class RequirementsShapeTest : public AdapterTest, public ::testing::WithParamInterface<ShapeCase> {
 protected:
  RequirementsShapeTest() { config_.revision = 0x1F; }
};

TEST_P(RequirementsShapeTest, RewritesOnlyTheExpectedShape) {
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
  const Descriptors descriptors = GetParam().descriptors(Machine().ResourceRequirements());
  PIO_RESOURCE_REQUIREMENTS_LIST list = host::BuildRequirementsList(GetKernel(), descriptors, 0, 0);
  GetParam().damage(list);
  const std::size_t bytes = host::RequirementsListBytes(static_cast<ULONG>(descriptors.size()));
  const std::vector<unsigned char> original(reinterpret_cast<unsigned char*>(list),
                                            reinterpret_cast<unsigned char*>(list) + bytes);

  Harness().FilterResourceRequirements(list);  // the host may refuse a damaged list; the bytes tell
  // The host copies what the list's ListSize claims, at most its allocation.
  const auto& filtered = Harness().FilteredRequirements();
  ASSERT_FALSE(filtered.empty());
  const auto* result = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(filtered.data());
  if (GetParam().rewrittenCount == 0) {
    EXPECT_EQ(0, std::memcmp(filtered.data(), original.data(), std::min(bytes, filtered.size())))
        << "a list of another shape must reach the framework unchanged";
  } else {
    ASSERT_GE(filtered.size(), bytes + 96);
    EXPECT_EQ(result->List[0].Count, GetParam().rewrittenCount);
    EXPECT_EQ(result->ListSize, bytes + 96);
    EXPECT_EQ(result->List[0].Descriptors[0].Type, CmResourceTypeInterrupt);
  }
}

INSTANTIATE_TEST_SUITE_P(, RequirementsShapeTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, TheRewriteFunctionNeverChangesTheListItWasGiven) {
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  const Descriptors bus = Machine().ResourceRequirements();
  PIO_RESOURCE_REQUIREMENTS_LIST list = host::BuildRequirementsList(GetKernel(), bus, 0, 0);
  const std::size_t bytes = list->ListSize;
  const std::vector<unsigned char> before(reinterpret_cast<unsigned char*>(list),
                                          reinterpret_cast<unsigned char*>(list) + bytes);
  PIO_RESOURCE_REQUIREMENTS_LIST rewritten = nullptr;
  ASSERT_EQ(AddMidiPortRequirement(list, 0x330, &rewritten), STATUS_SUCCESS);
  EXPECT_EQ(0, std::memcmp(list, before.data(), bytes));
  const IO_RESOURCE_DESCRIPTOR* moved = Descriptor(rewritten, 7 - 3);
  EXPECT_EQ(moved->u.Port.MinimumAddress.QuadPart, 0x330);
  EXPECT_EQ(moved->u.Port.MaximumAddress.QuadPart, 0x333);
  ExFreePool(rewritten);

  EXPECT_EQ(AddMidiPortRequirement(nullptr, 0x330, &rewritten), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(rewritten, nullptr);
  GetKernel().GetPool().FailTag(PoolTagScratch);
  EXPECT_EQ(AddMidiPortRequirement(list, 0x330, &rewritten), STATUS_INSUFFICIENT_RESOURCES);
  GetKernel().GetPool().ClearFaults();
  ExFreePool(list);
}

TEST_F(AdapterTest, NewerChipsPassTheFilterRequestThrough) {
  config_.revision = 0x20;
  Reboot();
  ASSERT_EQ(Harness().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(Harness().AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(Harness().FilterResourceRequirements(), STATUS_SUCCESS);
  const auto* result = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(Harness().FilteredRequirements().data());
  EXPECT_EQ(result->List[0].Count, 10u) << "the bus's own three groups and the interrupt";
  EXPECT_EQ(Descriptor(result, 9)->Type, CmResourceTypeInterrupt);
}

}  // namespace
}  // namespace adaptertest
