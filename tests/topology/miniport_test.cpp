// The miniport object: creation, Init with the restore and the 3D probe,
// resources, the description it reports, and the codec bit-field access.
#include "topology_fixture.h"

namespace topotest {
namespace {

const PCFILTER_DESCRIPTOR* DescriptionOf(PMINIPORTTOPOLOGY miniport) {
  PPCFILTER_DESCRIPTOR description = nullptr;
  EXPECT_EQ(miniport->GetDescription(&description), STATUS_SUCCESS);
  return description;
}

TEST_F(MiniportTest, CodecKeepingThe3DBitGetsThe3DFilterWith3DLeftOn) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(DescriptionOf(miniport_), &Ctrl3DMiniportFilterDescriptor);
  EXPECT_EQ(Reg(0x20) & 0x2000, 0x2000);
  EXPECT_EQ(adapter_.resets, 1) << "Init puts the saved mixer back first";
  EXPECT_EQ(Reg(0x02), 0x0707) << "restored master volume";
  EXPECT_EQ(Mixer().Description().NodeCount, 39u);
}

TEST_F(MiniportTestNo3D, CodecDroppingThe3DBitGetsTheFilterWithout3D) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(DescriptionOf(miniport_), &NoCtrl3DMiniportFilterDescriptor);
  EXPECT_EQ(Reg(0x20) & 0x2000, 0);
  // Nodes 36-38 do not exist here: the framework refuses them before any handler.
  const auto result = Mixer().SetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 0x50000);
  EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(result.handlerCalled);
}

// A General Purpose read that times out answers 0xFFFF: no 3D, and nothing
// written from it (it would switch on every bit, the loopback among them).
TEST_F(MiniportTest, A3DProbeWhoseReadTimesOutFindsNo3DAndWritesNothing) {
  adapter_.timedOutRegister = 0x20;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(DescriptionOf(miniport_), &NoCtrl3DMiniportFilterDescriptor);
  EXPECT_EQ(Reg(0x20), 0x0000) << "restored General Purpose, untouched by the probe";
  // The same holds for a switch on that register: no read-modify-write of a
  // failed read, and the request says so instead of claiming it was done.
  EXPECT_EQ(Mixer().SetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Reg(0x20), 0x0000);
}

// A 3D level whose register cannot be read is refused, and a get still
// reports the level the codec has.
TEST_F(MiniportTest, A3DLevelWhoseRegisterCannotBeReadIsRefusedAndNotReportedAsSet) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const ULONG before = Mixer().GetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong();
  adapter_.timedOutRegister = 0x22;
  EXPECT_EQ(Mixer().SetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 0x80000).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Mixer().GetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), before);
}

TEST_F(MiniportTest, TwoPortRangesFailInitAfterTheAdapterWasTakenAndStillSaveTheMixer) {
  EXPECT_EQ(Start({0xE000, 0xE100}), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(adapter_.references, 2u) << "the adapter interface was obtained before the resources were checked";
  EXPECT_EQ(adapter_.resets, 0) << "nothing is restored on a failed start";
  miniport_->Release();
  miniport_ = nullptr;
  EXPECT_EQ(adapter_.saves, 1);
  EXPECT_EQ(adapter_.references, 1u);
}

TEST_F(MiniportTest, NoPortRangeFailsInitToo) {
  EXPECT_EQ(Start({}), STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST_F(MiniportTest, ReleasingTheMiniportSavesTheMixerOnceAndFreesIt) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  dispatcher_.reset();
  const auto before = kernel_.GetPool().LiveCount();
  EXPECT_EQ(miniport_->Release(), 0u);
  miniport_ = nullptr;
  EXPECT_EQ(adapter_.saves, 1);
  EXPECT_EQ(kernel_.GetPool().LiveCount(), before - 1);
}

TEST_F(MiniportTest, InterfacesAndIntersection) {
  ASSERT_EQ(Create(), STATUS_SUCCESS);
  PVOID face = nullptr;
  ASSERT_EQ(miniport_->QueryInterface(IID_IMiniport, &face), STATUS_SUCCESS);
  EXPECT_EQ(face, static_cast<PVOID>(miniport_));
  ASSERT_EQ(miniport_->QueryInterface(IID_IUnknown, &face), STATUS_SUCCESS);
  EXPECT_EQ(face, static_cast<PVOID>(miniport_));
  EXPECT_EQ(miniport_->Release(), 2u);
  EXPECT_EQ(miniport_->Release(), 1u);
  face = &face;
  EXPECT_EQ(miniport_->QueryInterface(IID_IPortTopology, &face), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(face, nullptr);
  ULONG length = 77;
  EXPECT_EQ(miniport_->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, &length), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(length, 77u);
}

TEST_F(MiniportTest, CreationWithoutMemoryFailsAndLeavesTheOutputAlone) {
  kernel_.GetPool().FailTag(PoolTagObject);
  PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1);
  EXPECT_EQ(CreateZATAC97Topology(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unknown, reinterpret_cast<PUNKNOWN>(0x1));
  kernel_.GetPool().ClearFaults();
}

TEST_F(MiniportTest, BitFieldWriteChangesOnlyItsFieldAndWrapsToItsWidth) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Preset(0x02, 0x8A15);  // mute, left 0x0A, right 0x15
  CMiniportTopologyZATAC97Access::WriteBits(miniport_, 0x02, 6, 8, 0x47);
  EXPECT_EQ(Reg(0x02), 0x8715);
  EXPECT_EQ(CMiniportTopologyZATAC97Access::ReadBits(miniport_, 0x02, 6, 8), 0x07);
  EXPECT_EQ(CMiniportTopologyZATAC97Access::ReadBits(miniport_, 0x02, 1, 15), 1);
  EXPECT_EQ(adapter_.unlockedAccesses, 0);
  EXPECT_EQ(adapter_.nestedLocks + adapter_.unbalancedReleases, 0);
}

}  // namespace
}  // namespace topotest
