// Resource lists and sublists, and the requirements -> assignment logic.
#include <portcls.h>

#include "host/requirements.h"
#include "host/resource_list.h"
#include "host/testing.h"

namespace {

class ResourceListTest : public host::testing::KernelTest {
 protected:
  PRESOURCELIST Parent() {
    // port A, interrupt, port B: the order an assignment may give.
    PRESOURCELIST list = nullptr;
    EXPECT_EQ(host::ResourceList::CreateSublist(&list, NonPagedPool, 3), STATUS_SUCCESS);
    for (ULONGLONG start : {0xD000ull, 0ull, 0x330ull}) {
      CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
      d.Type = start ? CmResourceTypePort : CmResourceTypeInterrupt;
      d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
      list->AddEntry(&d, &d);
    }
    return list;
  }
};

TEST_F(ResourceListTest, AddEntryFromParentCountsEntriesOfTheType) {
  PRESOURCELIST parent = Parent();
  PRESOURCELIST sub = nullptr;
  ASSERT_EQ(PcNewResourceSublist(&sub, nullptr, PagedPool, parent, 2), STATUS_SUCCESS);
  EXPECT_EQ(sub->AddPortFromParent(parent, 1), STATUS_SUCCESS);  // the second port, past the interrupt
  EXPECT_EQ(static_cast<LONGLONG>(sub->FindTranslatedPort(0)->u.Port.Start.QuadPart), 0x330);
  EXPECT_EQ(sub->AddInterruptFromParent(parent, 1), STATUS_INVALID_PARAMETER);  // there is one interrupt
  EXPECT_EQ(sub->NumberOfEntries(), 1u);
  EXPECT_EQ(sub->AddInterruptFromParent(parent, 0), STATUS_SUCCESS);
  EXPECT_EQ(sub->AddPortFromParent(parent, 0), STATUS_INSUFFICIENT_RESOURCES);  // capacity 2
  EXPECT_EQ(sub->NumberOfPorts(), 1u);
  EXPECT_EQ(sub->NumberOfInterrupts(), 1u);
  EXPECT_EQ(sub->TranslatedList()->List[0].PartialResourceList.Count, 2u);
  EXPECT_EQ(sub->FindTranslatedEntry(CmResourceTypeDma, 0), nullptr);
  sub->Release();
  parent->Release();
}

TEST_F(ResourceListTest, ASublistNobodyReleasesIsALeak) {
  // Three allocations under the list tag; their sizes follow the host's pointer width.
  ExpectViolation("pool: leak of 3 allocations at teardown: PcRl ");
  PRESOURCELIST parent = Parent();
  PRESOURCELIST sub = nullptr;
  PcNewResourceSublist(&sub, nullptr, PagedPool, parent, 1);
  parent->Release();
}

TEST_F(ResourceListTest, SublistWithoutParentIsRefused) {
  PRESOURCELIST sub = nullptr;
  EXPECT_EQ(PcNewResourceSublist(&sub, nullptr, PagedPool, nullptr, 1), STATUS_INVALID_PARAMETER);
}

// ---- Requirements -> assignment ------------------------------------------------------------

using Descriptor = sim::RequirementDescriptor;

Descriptor Port(std::uint8_t option, std::uint64_t min, std::uint64_t max, std::uint32_t length,
                std::uint32_t alignment = 1) {
  Descriptor d;
  d.type = sim::req::kTypePort;
  d.option = option;
  d.minimum = min;
  d.maximum = max;
  d.length = length;
  d.alignment = alignment;
  return d;
}

Descriptor Irq(std::uint64_t min, std::uint64_t max) {
  Descriptor d;
  d.type = sim::req::kTypeInterrupt;
  d.minimum = min;
  d.maximum = max;
  return d;
}

constexpr std::uint8_t P = sim::req::kOptionPreferred;
constexpr std::uint8_t A = sim::req::kOptionAlternative;

struct AssignCase {
  const char* name;
  std::vector<Descriptor> list;
  std::vector<std::uint64_t> starts;  // assigned starts in order (the interrupt shows as its vector)
  const char* error;                  // a part of the refusal, or "" when accepted
};

class Assignment : public host::testing::KernelTest, public ::testing::WithParamInterface<AssignCase> {};

TEST_P(Assignment, FollowsTheListOrPointsAtTheFault) {
  const AssignCase& c = GetParam();
  PIO_RESOURCE_REQUIREMENTS_LIST list = host::BuildRequirementsList(GetKernel(), c.list, 0, 0);
  host::ResourceAssignment out;
  const std::string error = host::AssignResources(list, GetKernel().GetPool().Find(list)->size, 5, out);
  GetKernel().GetPool().Free(list, std::nullopt);
  if (*c.error) {
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_TRUE(out.translated.empty());
    return;
  }
  ASSERT_EQ(error, "");
  std::vector<std::uint64_t> starts;
  for (const auto& d : out.untranslated)
    starts.push_back(d.Type == CmResourceTypeInterrupt ? d.u.Interrupt.Vector : d.u.Port.Start.QuadPart);
  EXPECT_EQ(starts, c.starts);
}

INSTANTIATE_TEST_SUITE_P(
    Requirements, Assignment,
    ::testing::Values(
        AssignCase{"bus", {Port(P, 0xD000, 0xD0FF, 256), Port(A, 0x1000, 0xFFFF, 256, 256), Port(A, 0x100, 0xFFFF, 256, 256),
                           Port(P, 0xD400, 0xD403, 4), Port(A, 0x1000, 0xFFFF, 4, 4), Irq(5, 5)},
                   {0xD000, 0xD400, 5}, ""},
        // The MIDI rewrite: the interrupt first, then the first group, the
        // moved copy of the second group, the second group.
        AssignCase{"rewritten", {Irq(5, 5), Port(P, 0xD000, 0xD0FF, 256), Port(A, 0x1000, 0xFFFF, 256, 256),
                                 Port(P, 0x330, 0x333, 4), Port(A, 0x1000, 0xFFFF, 4, 4),
                                 Port(P, 0xD400, 0xD403, 4), Port(A, 0x1000, 0xFFFF, 4, 4)},
                   {5, 0xD000, 0x330, 0xD400}, ""},
        AssignCase{"aligned", {Port(0, 0x301, 0x3FF, 16, 16)}, {0x310}, ""},
        AssignCase{"leading alternative", {Port(A, 0xD000, 0xD0FF, 256)}, {}, "an alternative with no requirement"},
        AssignCase{"does not fit", {Port(P, 0x330, 0x331, 4)}, {}, "does not fit in 0x330-0x331"},
        AssignCase{"overlap", {Port(P, 0x330, 0x333, 4), Port(P, 0x332, 0x335, 4)}, {}, "overlaps descriptor 0"},
        AssignCase{"zero length", {Port(P, 0x330, 0x333, 0)}, {}, "length 0"},
        AssignCase{"foreign irq", {Irq(9, 11)}, {}, "does not include the device's line 5"},
        AssignCase{"empty irq range", {Irq(6, 5)}, {}, "is empty"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

class MalformedList : public host::testing::KernelTest {
 protected:
  PIO_RESOURCE_REQUIREMENTS_LIST Build() {
    return host::BuildRequirementsList(GetKernel(), {Port(P, 0x330, 0x333, 4), Irq(5, 5)}, 0, 0);
  }
  std::string Assign(PIO_RESOURCE_REQUIREMENTS_LIST list) {
    host::ResourceAssignment out;
    std::string error = host::AssignResources(list, GetKernel().GetPool().Find(list)->size, 5, out);
    GetKernel().GetPool().Free(list, std::nullopt);
    return error;
  }
};

TEST_F(MalformedList, ListSizeTooSmallForItsCount) {
  auto* list = Build();
  list->ListSize -= sizeof(IO_RESOURCE_DESCRIPTOR);
  EXPECT_NE(Assign(list).find("too small for list 0's Count of 2"), std::string::npos);
}

TEST_F(MalformedList, ListSizeBeyondItsMemory) {
  auto* list = Build();
  list->ListSize += 96;
  EXPECT_NE(Assign(list).find("exceeds the"), std::string::npos);
}

TEST_F(MalformedList, NoAlternativeLists) {
  auto* list = Build();
  list->AlternativeLists = 0;
  EXPECT_EQ(Assign(list), "AlternativeLists is 0");
}

TEST_F(MalformedList, ASecondListThatIsNotThere) {
  auto* list = Build();
  list->AlternativeLists = 2;
  EXPECT_NE(Assign(list).find("too small for alternative list 1"), std::string::npos);
}

}  // namespace
