// Requests the mixer must refuse: the right status, and nothing changed in
// the codec, the level cache or the caller's buffer.
#include "topology_fixture.h"

namespace topotest {
namespace {

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;
constexpr ULONG BASIC = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG FILTER = KSFILTER_NODE;

struct Refusal {
  const char* name;
  ULONG handlerNode;  // whose automation table holds the item (for direct calls)
  ULONG handlerId;    // which item
  ULONG node;         // what the request addresses
  ULONG id;           // the id the request carries
  ULONG verb;
  ULONG instanceSize;
  LONG channel;
  ULONG valueSize;
  bool direct;        // straight to the handler, past the framework's checks
  NTSTATUS status;
};

class Refused : public MiniportTest, public ::testing::WithParamInterface<Refusal> {
 protected:
  std::vector<USHORT> CodecImage() {
    std::vector<USHORT> image;
    for (UCHAR reg = 0; reg < 0x80; reg += 2) image.push_back(Reg(reg));
    return image;
  }
};

TEST_P(Refused, WithItsStatusAndChangesNothing) {
  const Refusal& r = GetParam();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // Non-default contents everywhere, so a stray write shows.
  ASSERT_EQ(Mixer().SetAudio(20, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -0x30000).status, STATUS_SUCCESS);
  ASSERT_EQ(Mixer().SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 3).status, STATUS_SUCCESS);
  const auto codecBefore = CodecImage();
  const std::vector<CtrlVal> cacheBefore = LevelCache();

  host::PropertyCall call;
  call.node = r.node;
  call.set = KSPROPSETID_Audio;
  call.id = r.id;
  call.verb = r.verb;
  call.instance = host::ChannelInstance(r.channel);
  call.instance.resize(r.instanceSize);
  call.valueSize = r.valueSize;
  call.value.assign(r.valueSize, 0xA5);
  // A set carrying 1 reads as "on", a level of 1/65536 dB or source 1: all would change something.
  if (r.valueSize >= 4) call.value = {1, 0, 0, 0};
  call.value.resize(r.valueSize, 0xA5);

  host::PropertyResult result;
  if (r.direct) {
    const PCPROPERTY_ITEM* item = Mixer().FindItem(r.handlerNode, KSPROPSETID_Audio, r.handlerId);
    ASSERT_NE(item, nullptr);
    PCPROPERTY_ITEM asked = *item;
    asked.Id = r.id;
    result = Mixer().Invoke(asked, call);
  } else {
    result = Mixer().Dispatch(call);
  }

  EXPECT_EQ(result.status, r.status) << host::PropertyDispatcher::StatusName(result.status);
  EXPECT_EQ(CodecImage(), codecBefore);
  const std::vector<CtrlVal> cacheAfter = LevelCache();
  for (ULONG row = 0; row < CtrlValCacheRows; ++row) {
    EXPECT_EQ(cacheAfter[row].Left, cacheBefore[row].Left) << "cache row " << row;
    EXPECT_EQ(cacheAfter[row].Right, cacheBefore[row].Right) << "cache row " << row;
  }
  if (r.verb != SET) {
    EXPECT_EQ(result.value, call.value) << "a refused request writes nothing back";
  }
}

std::string NameOf(const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; }

const ULONG VOL = KSPROPERTY_AUDIO_VOLUMELEVEL, MUTE = KSPROPERTY_AUDIO_MUTE, MUX = KSPROPERTY_AUDIO_MUX_SOURCE,
            AGC = KSPROPERTY_AUDIO_AGC, CAPS = KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, CPU = KSPROPERTY_AUDIO_CPU_RESOURCES;

INSTANTIATE_TEST_SUITE_P(Requests, Refused, ::testing::Values(
    //       name                        table id    node  id    verb   inst ch  value direct status
    Refusal{"VolumeOnTheFilter",         20, VOL,  FILTER, VOL,  SET,   8,  0,  4,  true,  STATUS_INVALID_PARAMETER},
    Refusal{"VolumeWithoutVerb",         20, VOL,  20,     VOL,  0,     8,  0,  4,  true,  STATUS_INVALID_PARAMETER},
    Refusal{"VolumeShortInstance",       20, VOL,  20,     VOL,  SET,   3,  0,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeNoInstance",          20, VOL,  20,     VOL,  GET,   0,  0,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeChannel2",            20, VOL,  20,     VOL,  SET,   8,  2,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeChannelMinus1",       20, VOL,  20,     VOL,  GET,   8,  -1, 4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeShortValue",          20, VOL,  20,     VOL,  SET,   8,  0,  3,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeRightOfMono",         24, VOL,  24,     VOL,  SET,   8,  1,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeRightOf3DDepth",      38, VOL,  38,     VOL,  SET,   8,  1,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"VolumeWrongId",             20, VOL,  20,     MUTE, SET,   8,  0,  4,  true,  STATUS_INVALID_PARAMETER},
    Refusal{"VolumeOnSumNode",           20, VOL,  18,     VOL,  SET,   8,  0,  4,  true,  STATUS_INVALID_PARAMETER},
    Refusal{"VolumeBasicOnMuteNode",     20, VOL,  1,      VOL,  BASIC, 8,  0,  72, true,  STATUS_NOT_FOUND},
    Refusal{"VolumeBasicWrongId",        20, VOL,  20,     MUTE, BASIC, 8,  0,  72, true,  STATUS_INVALID_PARAMETER},
    Refusal{"VolumeBasicTinyBuffer",     20, VOL,  20,     VOL,  BASIC, 8,  0,  3,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"MuteRightOfMono",           3,  MUTE, 3,      MUTE, SET,   8,  1,  4,  false, STATUS_INVALID_PARAMETER},
    Refusal{"MuteNoValue",               21, MUTE, 21,     MUTE, SET,   8,  0,  0,  false, STATUS_INVALID_PARAMETER},
    Refusal{"MuteOnVolumeNode",          21, MUTE, 20,     MUTE, SET,   8,  0,  4,  true,  STATUS_INVALID_PARAMETER},
    Refusal{"MuteBasicOnVolumeNode",     21, MUTE, 20,     MUTE, BASIC, 8,  0,  4,  true,  STATUS_NOT_FOUND},
    Refusal{"MuxOnTheFilter",            27, MUX,  FILTER, MUX,  SET,   8,  0,  4,  true,  STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"MuxSetEmpty",               27, MUX,  27,     MUX,  SET,   8,  0,  0,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"MuxGetShort",               27, MUX,  27,     MUX,  GET,   8,  0,  3,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"MuxOnMuteNode",             27, MUX,  21,     MUX,  SET,   8,  0,  4,  true,  STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"MuxBasicOnVolumeNode",      27, MUX,  20,     MUX,  BASIC, 8,  0,  4,  true,  STATUS_NOT_FOUND},
    Refusal{"AgcRightChannel",           7,  AGC,  7,      AGC,  SET,   8,  1,  4,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"AgcNoInstance",             7,  AGC,  7,      AGC,  SET,   0,  0,  4,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"AgcSetTooLong",             36, AGC,  36,     AGC,  SET,   8,  0,  8,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"AgcBasicOnVolumeNode",      7,  AGC,  20,     AGC,  BASIC, 8,  0,  4,  true,  STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"CapsOnVolumeNode",          22, CAPS, 20,     CAPS, GET,   8,  0,  40, true,  STATUS_INVALID_PARAMETER},
    Refusal{"CapsBasicOnVolumeNode",     22, CAPS, 20,     CAPS, BASIC, 8,  0,  40, true,  STATUS_NOT_FOUND},
    Refusal{"CpuSet",                    20, CPU,  20,     CPU,  SET,   8,  0,  4,  true,  STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"CpuBasicDeclaredOnAgc",     7,  CPU,  7,      CPU,  BASIC, 8,  0,  4,  false, STATUS_INVALID_DEVICE_REQUEST},
    // The framework's own refusals: the handler never runs.
    Refusal{"UndeclaredSet",             20, CPU,  20,     CPU,  SET,   8,  0,  4,  false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"CombinedVerbs",             20, VOL,  20,     VOL,  GET | SET, 8, 0, 4, false, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"UnknownId",                 20, VOL,  20,     MUTE, SET,   8,  0,  4,  false, STATUS_NOT_FOUND},
    Refusal{"NodeWithoutProperties",     20, VOL,  18,     VOL,  SET,   8,  0,  4,  false, STATUS_NOT_FOUND},
    Refusal{"NoSuchNode",                20, VOL,  39,     VOL,  SET,   8,  0,  4,  false, STATUS_INVALID_PARAMETER}),
    NameOf);

TEST_F(MiniportTest, FrameworkAnswersBasicSupportForItemsThatDoNotDeclareIt) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto result = Mixer().BasicSupportAudio(21, KSPROPERTY_AUDIO_MUTE, 0, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_FALSE(result.handlerCalled);
  EXPECT_EQ(result.Ulong(), ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
}

// ---- The framework's buffers -------------------------------------------------------------------

// A value buffer is not zero when a handler gets it: a handler that claims a
// value it never wrote, or more bytes than the buffer holds, is caught by name.
NTSTATUS NTAPI ClaimsWithoutWriting(PPCPROPERTY_REQUEST request) {
  request->ValueSize = sizeof(ULONG);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI ClaimsTooMuch(PPCPROPERTY_REQUEST request) {
  std::memset(request->Value, 0, request->ValueSize);
  request->ValueSize += 4;
  return STATUS_SUCCESS;
}

TEST_F(MiniportTest, AHandlerThatClaimsBytesItDidNotWriteIsAViolation) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  host::PropertyCall call;
  call.node = 20;
  call.set = KSPROPSETID_Audio;
  call.id = KSPROPERTY_AUDIO_CPU_RESOURCES;
  call.verb = GET;
  call.instance = host::ChannelInstance(0);
  call.valueSize = sizeof(ULONG);
  const PCPROPERTY_ITEM silent{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GET, ClaimsWithoutWriting};
  EXPECT_EQ(Mixer().Invoke(silent, call).status, STATUS_SUCCESS);
  const PCPROPERTY_ITEM greedy{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GET, ClaimsTooMuch};
  EXPECT_EQ(Mixer().Invoke(greedy, call).status, STATUS_SUCCESS);
  ASSERT_EQ(violations_.size(), 2u);
  EXPECT_EQ(violations_[0].rfind("property: node 20 (", 0), 0u) << violations_[0];
  const std::string claim = "KSPROPSETID_Audio property " + std::to_string(KSPROPERTY_AUDIO_CPU_RESOURCES) +
                            " get succeeded reporting 4 bytes but never wrote bytes 0-3";
  EXPECT_NE(violations_[0].find(claim), std::string::npos) << violations_[0];
  EXPECT_NE(violations_[1].find("reporting 8 bytes in a value buffer of 4"), std::string::npos) << violations_[1];
  violations_.clear();
  // The driver's own handler writes what it reports.
  EXPECT_EQ(Mixer().Dispatch(call).Ulong(), static_cast<ULONG>(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU));
}

}  // namespace
}  // namespace topotest
