// Mute, multiplexer, the AGC-typed switches, supermix and CPU resources.
#include "topology_fixture.h"

namespace topotest {
namespace {

using host::PropertyCall;

PropertyCall AudioCall(ULONG node, ULONG id, ULONG verb, ULONG valueSize, std::vector<std::uint8_t> value = {}) {
  PropertyCall call;
  call.node = node;
  call.set = KSPROPSETID_Audio;
  call.id = id;
  call.verb = verb;
  call.instance = host::ChannelInstance(0);
  call.valueSize = valueSize;
  call.value = std::move(value);
  return call;
}

TEST_F(MiniportTest, MasterMuteOnEitherChannelMutesBothAndReadsBack) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(Mixer().SetAudio(21, KSPROPERTY_AUDIO_MUTE, 1, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x02), 0x8707);
  EXPECT_EQ(Mixer().GetAudio(21, KSPROPERTY_AUDIO_MUTE, 0).Ulong(), 1u);
  ASSERT_EQ(Mixer().SetAudio(21, KSPROPERTY_AUDIO_MUTE, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x02), 0x0707);
  // Any non-zero value means muted.
  ASSERT_EQ(Mixer().SetAudio(29, KSPROPERTY_AUDIO_MUTE, 0, 0x40).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x1C) & 0x8000, 0x8000);
  EXPECT_EQ(Mixer().GetAudio(3, KSPROPERTY_AUDIO_MUTE, 0).Ulong(), 1u) << "PC beep is muted by default";
  EXPECT_EQ(Mixer().GetAudio(3, KSPROPERTY_AUDIO_MUTE, 1).status, STATUS_INVALID_PARAMETER) << "mono node";
  EXPECT_EQ(adapter_.unlockedAccesses, 0);
}

TEST_F(MiniportTest, RecordSelectWritesBothSidesAndReadsTheLeft) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(Mixer().SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x1A), 0x0101) << "CD on both sides";
  EXPECT_EQ(Mixer().GetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0).Ulong(), 2u);
  // Sources wrap at the field's width: 0 selects phone (7), 9 the microphone (0).
  ASSERT_EQ(Mixer().SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x1A), 0x0707);
  ASSERT_EQ(Mixer().SetAudio(27, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 9).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x1A), 0x0000);
}

TEST_F(MiniportTest, MicrophoneAndMonoOutSelectAreSingleBitsOfGeneralPurpose) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(Mixer().SetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x20) & 0x0100, 0x0100);
  EXPECT_EQ(Mixer().GetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0).Ulong(), 2u);
  ASSERT_EQ(Mixer().SetAudio(6, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x20) & 0x0100, 0);
  ASSERT_EQ(Mixer().SetAudio(23, KSPROPERTY_AUDIO_MUX_SOURCE, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x20) & 0x0200, 0x0200) << "source 0 wraps to field value 1";
  EXPECT_EQ(Reg(0x20) & 0x2000, 0x2000) << "3D enable untouched";
}

TEST_F(MiniportTest, MultiplexerSizesGetAtLeastFourSetExactlyFour) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto get = Mixer().Dispatch(AudioCall(27, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_GET, 8));
  EXPECT_EQ(get.status, STATUS_SUCCESS);
  EXPECT_EQ(get.valueSize, 4u);
  auto set = AudioCall(27, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_SET, 8, host::UlongBytes(2));
  EXPECT_EQ(Mixer().Dispatch(set).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Reg(0x1A), 0x0000);
}

TEST_F(MiniportTest, AgcSwitchesBoostAndThreeD) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Preset(0x0E, 0x801F);
  ASSERT_EQ(Mixer().SetAudio(7, KSPROPERTY_AUDIO_AGC, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x0E), 0x805F) << "boost on; gain and mute untouched";
  EXPECT_EQ(Mixer().GetAudio(7, KSPROPERTY_AUDIO_AGC, 0).Ulong(), 1u);
  ASSERT_EQ(Mixer().SetAudio(36, KSPROPERTY_AUDIO_AGC, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x20) & 0x2000, 0);
  ASSERT_EQ(Mixer().SetAudio(36, KSPROPERTY_AUDIO_AGC, 0, 5).status, STATUS_SUCCESS);
  EXPECT_EQ(Reg(0x20) & 0x2000, 0x2000);
  EXPECT_EQ(Mixer().GetAudio(7, KSPROPERTY_AUDIO_AGC, 1).status, STATUS_INVALID_DEVICE_REQUEST);
  // Supported, with no data: the answer says no bytes came back.
  const auto basic = Mixer().BasicSupportAudio(36, KSPROPERTY_AUDIO_AGC, 0, 4);
  EXPECT_EQ(basic.status, STATUS_SUCCESS);
  EXPECT_TRUE(basic.handlerCalled);
  EXPECT_EQ(basic.valueSize, 0u);
}

struct SizedAnswer {
  ULONG node;
  ULONG id;
  ULONG offered;
  NTSTATUS status;
  ULONG valueSize;
  std::vector<ULONG> words;  // the first words returned
};

class FixedAnswers : public MiniportTest, public ::testing::WithParamInterface<SizedAnswer> {};

TEST_P(FixedAnswers, FollowTheBufferSizeProtocol) {
  const SizedAnswer& a = GetParam();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto result = Mixer().Dispatch(AudioCall(a.node, a.id, KSPROPERTY_TYPE_GET, a.offered));
  EXPECT_EQ(result.status, a.status) << host::PropertyDispatcher::StatusName(result.status);
  EXPECT_EQ(result.valueSize, a.valueSize);
  for (std::size_t i = 0; i < a.words.size(); ++i) {
    ULONG word;
    std::memcpy(&word, result.value.data() + 4 * i, 4);
    EXPECT_EQ(word, a.words[i]) << "word " << i;
  }
}

const ULONG kUnity = 0x10000;
INSTANTIATE_TEST_SUITE_P(SupermixAndCpu, FixedAnswers, ::testing::Values(
    SizedAnswer{22, KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, 0, STATUS_BUFFER_OVERFLOW, 40, {}},
    SizedAnswer{22, KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, 8, STATUS_SUCCESS, 8, {2, 1}},
    SizedAnswer{26, KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, 20, STATUS_BUFFER_TOO_SMALL, 20, {}},
    SizedAnswer{26, KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, 64, STATUS_SUCCESS, 40,
                {2, 1, 0, kUnity, kUnity, kUnity, 0, kUnity, kUnity, kUnity}},
    SizedAnswer{22, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, 0, STATUS_BUFFER_OVERFLOW, 16, {}},
    SizedAnswer{22, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, 15, STATUS_INVALID_PARAMETER, 15, {}},
    SizedAnswer{26, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, 16, STATUS_SUCCESS, 16, {0, kUnity, 0, kUnity}},
    SizedAnswer{20, KSPROPERTY_AUDIO_CPU_RESOURCES, 4, STATUS_SUCCESS, 4, {0}},
    SizedAnswer{27, KSPROPERTY_AUDIO_CPU_RESOURCES, 3, STATUS_BUFFER_TOO_SMALL, 3, {}},
    SizedAnswer{7, KSPROPERTY_AUDIO_CPU_RESOURCES, 8, STATUS_SUCCESS, 4, {0}}));

TEST_F(MiniportTest, MixLevelTableCannotBeSet) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto result =
      Mixer().Dispatch(AudioCall(22, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, KSPROPERTY_TYPE_SET, 16, std::vector<std::uint8_t>(16)));
  EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
}

}  // namespace
}  // namespace topotest
