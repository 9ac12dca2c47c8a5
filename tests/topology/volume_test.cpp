// The volume property: decibels to codec steps on the simulated codec, the
// level cache, and basic support.
#include <cmath>

#include "topology_fixture.h"

namespace topotest {
namespace {

LONG Db(double decibels) { return static_cast<LONG>(std::lround(decibels * 65536.0)); }

struct Conversion {
  ULONG node;
  LONG channel;
  LONG level;
  UCHAR reg;     // where the codec keeps the field (AC'97 layout)
  UCHAR shift;
  UCHAR width;
  USHORT field;  // the step the codec must hold
};

void PrintTo(const Conversion& c, std::ostream* os) {
  *os << "node " << c.node << " ch " << c.channel << " level " << c.level / 65536.0 << " dB";
}

class VolumeConversion : public MiniportTest, public ::testing::WithParamInterface<Conversion> {};

TEST_P(VolumeConversion, SetPutsTheLevelOnItsCodecStep) {
  const Conversion& c = GetParam();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const USHORT before = Reg(c.reg);
  const auto result = Mixer().SetAudio(c.node, KSPROPERTY_AUDIO_VOLUMELEVEL, c.channel, c.level);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  const USHORT after = Reg(c.reg);
  const USHORT written = c.reg <= 0x1C ? adapter_.Written(c.reg) : after;
  const USHORT mask = static_cast<USHORT>(((1u << c.width) - 1) << c.shift);
  EXPECT_EQ((after & mask) >> c.shift, c.field);
  EXPECT_EQ(written & ~mask, before & ~mask) << "bits outside the field, reserved ones too, are written as they were";
  EXPECT_EQ(adapter_.unlockedAccesses, 0);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, VolumeConversion, ::testing::Values(
    // PCM out: +12 dB .. -34.5 dB in 1.5 dB steps, 8 = 0 dB, left field bits 12:8
    Conversion{0, 0, Db(-1.5), 0x18, 8, 5, 9},
    Conversion{0, 0, Db(-2.9), 0x18, 8, 5, 9},
    Conversion{0, 0, Db(-3.0), 0x18, 8, 5, 10},
    Conversion{0, 0, Db(+1.0), 0x18, 8, 5, 7},
    Conversion{0, 0, Db(+1.6), 0x18, 8, 5, 6},
    Conversion{0, 0, Db(+11.9), 0x18, 8, 5, 0},
    Conversion{0, 0, Db(-34.0), 0x18, 8, 5, 30},
    Conversion{0, 1, Db(-40.0), 0x18, 0, 5, 31},
    Conversion{0, 1, Db(+20.0), 0x18, 0, 5, 0},
    // PC beep: 0 .. -45 dB in 3 dB steps, bits 4:1
    Conversion{2, 0, Db(-2.0), 0x0A, 1, 4, 0},
    Conversion{2, 0, Db(-2.5), 0x0A, 1, 4, 1},
    Conversion{2, 0, Db(-44.0), 0x0A, 1, 4, 14},
    Conversion{2, 0, Db(-60.0), 0x0A, 1, 4, 15},
    // Master: 0 .. -94.5 dB, 6-bit attenuation
    Conversion{20, 0, Db(-1.0), 0x02, 8, 6, 0},
    Conversion{20, 0, Db(-2.5), 0x02, 8, 6, 1},
    Conversion{20, 0, Db(-2.9), 0x02, 8, 6, 2},
    Conversion{20, 1, Db(-90.0), 0x02, 0, 6, 60},
    Conversion{20, 1, Db(-100.0), 0x02, 0, 6, 63},
    Conversion{24, 0, Db(-90.0), 0x06, 0, 6, 60},
    // Record gain: 0 .. +22.5 dB
    Conversion{28, 0, Db(+1.4), 0x1C, 8, 4, 0},
    Conversion{28, 0, Db(+1.5), 0x1C, 8, 4, 1},
    Conversion{28, 1, Db(+22.0), 0x1C, 0, 4, 14},
    Conversion{33, 1, Db(+30.0), 0x1C, 0, 4, 15},
    // Microphone and phone: +12 .. -34.5 dB, a 5-bit field; bit 5 is reserved and is written as it was
    Conversion{8, 0, Db(+1.0), 0x0E, 0, 5, 8},
    Conversion{8, 0, Db(+1.5), 0x0E, 0, 5, 7},
    Conversion{8, 0, Db(-34.0), 0x0E, 0, 5, 30},
    Conversion{8, 0, Db(-34.5), 0x0E, 0, 5, 31},
    Conversion{8, 0, Db(-36.0), 0x0E, 0, 5, 31},
    Conversion{8, 0, Db(-46.5), 0x0E, 0, 5, 31},
    Conversion{8, 0, Db(-90.0), 0x0E, 0, 5, 31},
    Conversion{4, 0, Db(+12.0), 0x0C, 0, 5, 0},
    Conversion{4, 0, Db(-40.0), 0x0C, 0, 5, 31},
    // 3D depth and center count codec steps
    Conversion{38, 0, 0x0001F000, 0x22, 0, 4, 1},
    Conversion{38, 0, 0x00100000, 0x22, 0, 4, 15},
    Conversion{37, 0, 0x00050000, 0x22, 8, 4, 5}));

TEST_F(MiniportTest, GetReturnsTheLevelAsSetNotAsQuantised) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(Mixer().SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, Db(-20.0)).status, STATUS_SUCCESS);
  const auto got = Mixer().GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 1);
  ASSERT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(got.Ulong(), 0xFFEC0000u);
  EXPECT_EQ(got.valueSize, 4u);
  EXPECT_EQ(Reg(0x02) & 0x3F, 13) << "-20 dB sits on the -19.5 dB step";
  EXPECT_EQ(Mixer().GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), 0xFFF58000u) << "the other channel";
}

// Before any set, a get reports the level the codec's field holds once Init
// has restored it: the defaults (0x0707 in PCM Out is +1.5 dB, not +12 dB),
// or a stored setting.
struct RestoredLevel {
  ULONG node;
  LONG channel;
  LONG level;
  UCHAR storedReg = 0;  // 0: nothing stored, the defaults
  USHORT storedValue = 0;
};

void PrintTo(const RestoredLevel& r, std::ostream* os) { *os << "node " << r.node << " ch " << r.channel; }

const RestoredLevel kRestoredLevels[] = {
    {0, 0, Db(+1.5)},  {0, 1, Db(+1.5)},    {2, 0, Db(0)},     {4, 0, Db(0)},      {8, 0, Db(0)},
    {10, 0, Db(0)},    {12, 1, Db(0)},      {14, 0, Db(0)},    {16, 1, Db(0)},     {20, 0, Db(-10.5)},
    {20, 1, Db(-10.5)}, {24, 0, Db(-46.5)}, {28, 1, Db(0)},    {30, 0, Db(0)},     {35, 0, Db(0)},
};

// Stored settings: both sides of Master, PCM Out, Mic at its lowest, Record Gain at its highest.
const RestoredLevel kStoredLevels[] = {
    {20, 0, Db(-12), 0x02, 0x8810}, {20, 1, Db(-24), 0x02, 0x8810}, {0, 1, Db(-3), 0x18, 0x0A0A},
    {8, 0, Db(-34.5), 0x0E, 0x001F}, {28, 1, Db(+22.5), 0x1C, 0x0F0F},
};

class LevelsAtStart : public MiniportTest, public ::testing::WithParamInterface<RestoredLevel> {};
class LevelsAtStartNo3D : public MiniportTestNo3D, public ::testing::WithParamInterface<RestoredLevel> {};

TEST_P(LevelsAtStart, AreWhatTheRestoredCodecHolds) {
  const RestoredLevel& r = GetParam();
  if (r.storedReg) adapter_.stored[r.storedReg] = r.storedValue;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto got = Mixer().GetAudio(r.node, KSPROPERTY_AUDIO_VOLUMELEVEL, r.channel);
  ASSERT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(static_cast<LONG>(got.Ulong()), r.level);
}

TEST_P(LevelsAtStartNo3D, AreWhatTheRestoredCodecHolds) {
  const RestoredLevel& r = GetParam();
  if (r.storedReg) adapter_.stored[r.storedReg] = r.storedValue;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto got = Mixer().GetAudio(r.node, KSPROPERTY_AUDIO_VOLUMELEVEL, r.channel);
  ASSERT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(static_cast<LONG>(got.Ulong()), r.level);
}

INSTANTIATE_TEST_SUITE_P(Defaults, LevelsAtStart, ::testing::ValuesIn(kRestoredLevels));
INSTANTIATE_TEST_SUITE_P(Defaults, LevelsAtStartNo3D, ::testing::ValuesIn(kRestoredLevels));
INSTANTIATE_TEST_SUITE_P(Stored, LevelsAtStart, ::testing::ValuesIn(kStoredLevels));
INSTANTIATE_TEST_SUITE_P(Stored, LevelsAtStartNo3D, ::testing::ValuesIn(kStoredLevels));

// Each field value reads back as a level that a set puts on that same field.
class FieldRoundTrip : public MiniportTest, public ::testing::WithParamInterface<Conversion> {};

TEST_P(FieldRoundTrip, EveryFieldValueReadsBackAsALevelOfThatField) {
  const Conversion& c = GetParam();
  for (USHORT field = 0; field < (1u << c.width); ++field) {
    const USHORT mask = static_cast<USHORT>(((1u << c.width) - 1) << c.shift);
    adapter_.stored[c.reg] = static_cast<USHORT>(field << c.shift);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const LONG level = static_cast<LONG>(Mixer().GetAudio(c.node, KSPROPERTY_AUDIO_VOLUMELEVEL, c.channel).Ulong());
    Codec().Poke(c.reg, 0);
    ASSERT_EQ(Mixer().SetAudio(c.node, KSPROPERTY_AUDIO_VOLUMELEVEL, c.channel, level).status, STATUS_SUCCESS);
    EXPECT_EQ((Reg(c.reg) & mask) >> c.shift, field) << "level " << level / 65536.0;
    dispatcher_.reset();
    miniport_->Release();
    miniport_ = nullptr;
    resources_->Release();
    resources_ = nullptr;
  }
}

INSTANTIATE_TEST_SUITE_P(EachKindOfField, FieldRoundTrip, ::testing::Values(
    Conversion{0, 0, 0, 0x18, 8, 5, 0}, Conversion{2, 0, 0, 0x0A, 1, 4, 0}, Conversion{8, 0, 0, 0x0E, 0, 5, 0},
    Conversion{20, 1, 0, 0x02, 0, 6, 0}, Conversion{28, 0, 0, 0x1C, 8, 4, 0}, Conversion{38, 0, 0, 0x22, 0, 4, 0}));

TEST_F(MiniportTest, ThreeDLevelsAtStartComeFromThe3DControlRegister) {
  adapter_.stored[0x22] = 0x0A05;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Mixer().GetAudio(37, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), 0x000A0000u);
  EXPECT_EQ(Mixer().GetAudio(38, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong(), 0x00050000u);
}

// Two devices, two mixers: each miniport keeps its own levels, at start and after a set.
TEST_F(MiniportTest, EachMiniportKeepsItsOwnLevels) {
  adapter_.stored[0x02] = 0x0808;  // -12 dB
  ASSERT_EQ(Start(), STATUS_SUCCESS);

  sim::Codec otherCodec{sim::CodecConfig{}};
  CodecAdapter otherAdapter{otherCodec};
  otherAdapter.stored[0x02] = 0x1010;  // -24 dB
  CountedPort otherPort;
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(CreateZATAC97Topology(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_SUCCESS);
  PMINIPORTTOPOLOGY other = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&other)), STATUS_SUCCESS);
  unknown->Release();
  ASSERT_EQ(other->Init(static_cast<IAdapterCommon*>(&otherAdapter), resources_, &otherPort), STATUS_SUCCESS);
  {
    host::PropertyDispatcher otherMixer(other);
    EXPECT_EQ(static_cast<LONG>(Mixer().GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong()), Db(-12));
    EXPECT_EQ(static_cast<LONG>(otherMixer.GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong()), Db(-24));
    ASSERT_EQ(otherMixer.SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-40)).status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<LONG>(Mixer().GetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0).Ulong()), Db(-12));
  }
  other->Release();
  EXPECT_EQ(otherAdapter.references, 1u);
}

TEST_F(MiniportTest, MicrophoneRecordingLevelSetsBothHalvesAndHasNoRightChannel) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Preset(0x1C, 0x8000);
  ASSERT_EQ(Mixer().SetAudio(30, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(+3.0)).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x1C), 0x8202);
  EXPECT_EQ(Mixer().GetAudio(30, KSPROPERTY_AUDIO_VOLUMELEVEL, 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Mixer().SetAudio(30, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Reg(0x1C), 0x8202);
}

TEST_F(MiniportTest, LeftChannelSetLeavesTheRightFieldAndTheMuteBit) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Preset(0x02, 0x8005);
  ASSERT_EQ(Mixer().SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-3.0)).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x02), 0x8205);
}

TEST_F(MiniportTest, BasicSupportFitsTheOfferedBuffer) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Mixer().BasicSupportAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 3).status, STATUS_INVALID_DEVICE_REQUEST);

  const auto flags = Mixer().BasicSupportAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 4);
  EXPECT_EQ(flags.status, STATUS_SUCCESS);
  EXPECT_EQ(flags.valueSize, 4u);
  EXPECT_EQ(flags.Ulong(), 0x203u);

  const auto description = Mixer().BasicSupportAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, 40);
  ASSERT_EQ(description.status, STATUS_SUCCESS);
  EXPECT_EQ(description.valueSize, 40u);
  KSPROPERTY_DESCRIPTION d;
  std::memcpy(&d, description.value.data(), sizeof(d));
  EXPECT_EQ(d.AccessFlags, 0x203u);
  EXPECT_EQ(d.DescriptionSize, 72u);
  EXPECT_TRUE(IsEqualGUIDAligned(d.PropTypeSet.Set, KSPROPTYPESETID_General));
  EXPECT_EQ(d.PropTypeSet.Id, 3u);
  EXPECT_EQ(d.MembersListCount, 1u);
  EXPECT_EQ(d.Reserved, 0u);

  for (const auto& [node, minimum, maximum, step] :
       {std::tuple{20u, LONG(0xFFA18000), LONG(0), 0x18000u}, std::tuple{0u, LONG(0xFFDD8000), LONG(0xC0000), 0x18000u},
        std::tuple{37u, LONG(0), LONG(0xF0000), 0x1000u}}) {
    const auto full = Mixer().BasicSupportAudio(node, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 80);
    ASSERT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.valueSize, 72u);
    KSPROPERTY_MEMBERSHEADER members;
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&members, full.value.data() + 40, sizeof(members));
    std::memcpy(&range, full.value.data() + 56, sizeof(range));
    EXPECT_EQ(members.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
    EXPECT_EQ(members.MembersSize, 16u);
    EXPECT_EQ(members.MembersCount, 1u);
    EXPECT_EQ(range.SteppingDelta, step) << "node " << node;
    EXPECT_EQ(range.Reserved, 0u) << "node " << node;
    EXPECT_EQ(range.Bounds.SignedMinimum, minimum) << "node " << node;
    EXPECT_EQ(range.Bounds.SignedMaximum, maximum) << "node " << node;
  }
}

}  // namespace
}  // namespace topotest
