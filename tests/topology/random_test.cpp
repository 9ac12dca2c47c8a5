// A large batch of random requests (any node, set, id, verb, sizes from 0 up,
// short or missing buffers), through the framework's dispatcher and straight
// into the handlers. Buffers are exactly sized, so under the sanitizers any
// read or write past them fails the run; the codec and the level cache may
// change only through requests that succeeded, and only for their own node.
#include <random>

#include "topology_fixture.h"

namespace topotest {
namespace {

class RandomRequests : public MiniportTest {
 protected:
  std::vector<USHORT> CodecImage() {
    std::vector<USHORT> image;
    for (UCHAR reg = 0; reg < 0x80; reg += 2) image.push_back(Reg(reg));
    return image;
  }
  std::vector<const PCPROPERTY_ITEM*> EveryItem() {
    std::vector<const PCPROPERTY_ITEM*> items;
    const auto& d = Mixer().Description();
    for (ULONG n = 0; n < d.NodeCount; ++n) {
      const PCAUTOMATION_TABLE* table = d.Nodes[n].AutomationTable;
      for (ULONG i = 0; table && i < table->PropertyCount; ++i) items.push_back(&table->Properties[i]);
    }
    return items;
  }
};

TEST_F(RandomRequests, NeverStrayOutsideTheirBuffersAndChangeOnlyWhatSucceeded) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto items = EveryItem();
  std::mt19937 rng(0x2A7AC97);
  auto pick = [&](auto... options) {
    const ULONG values[] = {static_cast<ULONG>(options)...};
    return values[rng() % sizeof...(options)];
  };

  int succeeded = 0, handled = 0;
  for (int i = 0; i < 20000; ++i) {
    host::PropertyCall call;
    call.node = rng() % 8 == 0 ? KSFILTER_NODE : rng() % 42;
    call.set = rng() % 10 == 0 ? GUID_NULL : KSPROPSETID_Audio;
    call.id = rng() % 4 == 0 ? rng() % 40 : pick(4, 10, 11, 12, 13, 21, 33);
    call.verb = rng() % 6 == 0 ? rng() : pick(KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, 0,
                                             KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
                                             KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY);
    call.instance.resize(rng() % 13);
    for (auto& b : call.instance) b = static_cast<std::uint8_t>(rng());
    if (call.instance.size() >= 4 && rng() % 2) {
      const LONG channel = static_cast<LONG>(pick(0, 1, 2, -1));
      std::memcpy(call.instance.data(), &channel, sizeof(channel));
    }
    call.valueSize = rng() % 3 == 0 ? pick(0, 3, 4, 8, 16, 40, 72) : rng() % 90;
    call.value.resize(call.valueSize);
    for (auto& b : call.value) b = static_cast<std::uint8_t>(rng());
    call.missingInstance = rng() % 20 == 0;
    call.missingValue = rng() % 20 == 0;

    const auto codecBefore = CodecImage();
    const std::vector<CtrlVal> cacheBefore = LevelCache();
    const bool direct = rng() % 3 == 0;
    const auto result = direct ? Mixer().Invoke(*items[rng() % items.size()], call) : Mixer().Dispatch(call);
    handled += result.handlerCalled;

    // What this request may touch: its own node's register and cache row, and only when it succeeded.
    const bool mayChange = NT_SUCCESS(result.status) && call.node < TopologyNodeCountCtrl3D;
    const UCHAR ownRegister = mayChange ? AccessParams[call.node].CodecRegister : 0xFF;
    const UCHAR ownRow = mayChange ? AccessParams[call.node].CacheIndex : NoCacheIndex;
    const auto codecAfter = CodecImage();
    for (std::size_t r = 0; r < codecAfter.size(); ++r) {
      if (2 * r == ownRegister) continue;
      ASSERT_EQ(codecAfter[r], codecBefore[r]) << "request " << i << " changed register " << 2 * r << " with status "
                                               << host::PropertyDispatcher::StatusName(result.status);
    }
    const std::vector<CtrlVal> cacheAfter = LevelCache();
    for (ULONG row = 0; row < CtrlValCacheRows; ++row)
      if (row != ownRow) {
        ASSERT_EQ(cacheAfter[row].Left, cacheBefore[row].Left) << "request " << i << " cache row " << row;
        ASSERT_EQ(cacheAfter[row].Right, cacheBefore[row].Right) << "request " << i << " cache row " << row;
      }
    if (NT_SUCCESS(result.status)) {
      ++succeeded;
      ASSERT_LE(result.valueSize, call.valueSize) << "request " << i << " claims bytes it never had";
    }
  }
  EXPECT_EQ(adapter_.unlockedAccesses, 0);
  EXPECT_EQ(adapter_.nestedLocks + adapter_.unbalancedReleases, 0);
  // The batch must reach the handlers' success paths, not only their refusals.
  EXPECT_GT(succeeded, 500);
  EXPECT_GT(handled, 5000);
}

}  // namespace
}  // namespace topotest
