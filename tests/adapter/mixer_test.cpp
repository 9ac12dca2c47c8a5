// Mixer settings persistence: what a restore writes to the codec for each
// form a stored value can take, and what a save stores.
#include "adapter_fixture.h"

#include <cstdio>
#include <filesystem>

#include "host/registry.h"

namespace adaptertest {
namespace {

using host::RegistryValue;

// Register and default of each row, in table order.
const std::pair<std::uint8_t, std::uint16_t> kRows[] = {
    {0x02, 0x0707}, {0x06, 0x001F}, {0x0A, 0x8000}, {0x0C, 0x8008}, {0x0E, 0x0008}, {0x10, 0x8808}, {0x12, 0x0808},
    {0x14, 0x8808}, {0x16, 0x8808}, {0x18, 0x0707}, {0x1A, 0x0000}, {0x1C, 0x0000}, {0x20, 0x0000}};
const wchar_t* const kNames[] = {L"AC97_MASTER", L"AC97_MONO",  L"AC97_PCBEEP",  L"AC97_PHONE", L"AC97_MIC",
                                 L"AC97_LINEIN", L"AC97_CD",    L"AC97_VIDEO",   L"AC97_AUX",   L"AC97_PCMOUT",
                                 L"AC97_RECSEL", L"AC97_RECGAIN", L"AC97_GPCTL"};

class MixerTest : public AdapterTest {
 protected:
  void StartAndClear() {
    ASSERT_EQ(StartWithStandIns(), STATUS_SUCCESS) << Harness().LastError();
    GetKernel().RunFor(100 * sim::kTicksPerMicrosecond);
    ClearTrace();
  }
  host::Registry& Registry() { return GetKernel().GetRegistry(); }
  std::wstring Subkey() { return Registry().DriverKeyPath() + L"\\AC97CodecSettings"; }
  // Stores distinct values 0x0101 * (row + 1) for every row.
  void StoreAll() {
    for (int i = 0; i < 13; ++i) Registry().SetValue(Subkey(), kNames[i], RegistryValue::Dword(0x0101u * (i + 1)));
  }
  // The codec writes since the last ClearTrace, as (register, value).
  std::vector<std::pair<std::uint8_t, std::uint16_t>> CodecWrites() {
    GetKernel().RunFor(100 * sim::kTicksPerMicrosecond);
    std::vector<std::pair<std::uint8_t, std::uint16_t>> out;
    for (const auto& e : Entries(sim::TraceKind::CodecWrite))
      out.emplace_back(static_cast<std::uint8_t>(e.address), static_cast<std::uint16_t>(e.value));
    return out;
  }
};

TEST_F(MixerTest, TheFirstRestoreWritesTheDefaultsInTableOrderAndLeavesTheNewSubkeyEmpty) {
  StartAndClear();
  ASSERT_FALSE(Registry().KeyExists(Subkey()));
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  EXPECT_EQ(CodecWrites(), std::vector(std::begin(kRows), std::end(kRows)));
  EXPECT_TRUE(Registry().KeyExists(Subkey()));
  EXPECT_TRUE(Registry().ValueNames(Subkey()).empty());
}

struct StoredCase {
  const char* name;
  RegistryValue value;         // stored for "AC97_MIC" (register 0x0E); type none: removed
  int written;                 // what register 0x0E gets; -1: nothing
};

class StoredValueTest : public MixerTest, public ::testing::WithParamInterface<StoredCase> {};

TEST_P(StoredValueTest, EachFormOfAStoredValueHasOneOutcome) {
  StartAndClear();
  StoreAll();
  if (GetParam().value.type == REG_NONE && GetParam().value.data.empty())
    Registry().DeleteValue(Subkey(), L"AC97_MIC");
  else
    Registry().SetValue(Subkey(), L"AC97_MIC", GetParam().value);
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  auto expected = std::vector<std::pair<std::uint8_t, std::uint16_t>>();
  for (int i = 0; i < 13; ++i) {
    if (kRows[i].first != 0x0E) expected.emplace_back(kRows[i].first, 0x0101 * (i + 1));
    else if (GetParam().written >= 0) expected.emplace_back(0x0E, GetParam().written);
  }
  EXPECT_EQ(CodecWrites(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    , StoredValueTest,
    ::testing::Values(StoredCase{"Dword", RegistryValue::Dword(0x00008010), 0x8010},
                      StoredCase{"DwordHighHalfIgnored", RegistryValue::Dword(0x00018010), 0x8010},
                      StoredCase{"FourBinaryBytes", RegistryValue::Binary({0x10, 0x80, 0, 0}), 0x8010},
                      StoredCase{"Missing", RegistryValue{}, 0x0008},
                      StoredCase{"TwoBytes", RegistryValue::Binary({0x10, 0x80}), -1},
                      StoredCase{"Empty", RegistryValue::Binary({}), -1},
                      StoredCase{"EightBytes", RegistryValue::Binary(std::vector<std::uint8_t>(8, 0x11)), -1},
                      StoredCase{"NineBytes", RegistryValue::Binary(std::vector<std::uint8_t>(9, 0x11)), 0x0008},
                      StoredCase{"LongString", RegistryValue::String(L"not a number at all"), 0x0008},
                      // Mic gain is 5 bits with bit 5 reserved: a wider stored gain comes back as 31, never wider.
                      StoredCase{"SixBitGainNarrowed", RegistryValue::Dword(0x0000803F), 0x801F},
                      StoredCase{"BitFiveWithBoostNarrowed", RegistryValue::Dword(0x00000060), 0x005F},
                      StoredCase{"LowestFiveBitGainKept", RegistryValue::Dword(0x0000801F), 0x801F}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MixerTest, OnlyTheLastRowMissingStillRestoresEverythingButReportsTheQueryFailure) {
  StartAndClear();
  StoreAll();
  Registry().DeleteValue(Subkey(), L"AC97_GPCTL");
  EXPECT_FALSE(NT_SUCCESS(Adapter()->RestoreMixerSettingsFromRegistry()));
  const auto writes = CodecWrites();
  ASSERT_EQ(writes.size(), 13u);
  EXPECT_EQ(writes.back(), std::make_pair(std::uint8_t(0x20), std::uint16_t(0x0000)));
}

TEST_F(MixerTest, StoredPhoneGainIsNarrowedToo) {
  StartAndClear();
  StoreAll();
  Registry().SetValue(Subkey(), L"AC97_PHONE", RegistryValue::Dword(0x00008027));
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  EXPECT_EQ(CodecWrites()[3], std::make_pair(std::uint8_t(0x0C), std::uint16_t(0x801F)));
}

// The restore's scratch buffer cannot be had: the codec gets the defaults (or,
// after an earlier restore, what the driver had given it), the run says so,
// and the save at stop leaves the stored settings as they were, whether or
// not an earlier restore (the one at start, before a D3-to-D0) worked.
class UnreadableStoredSettings : public MixerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnreadableStoredSettings, WriteTheDefaultsAndNeverSaveThemOverTheStoredValues) {
  const bool restoredBefore = GetParam();
  StartAndClear();
  StoreAll();
  if (restoredBefore) {
    ASSERT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  }
  (void)CodecWrites();  // let the earlier writes reach the codec before the trace is cleared
  ClearTrace();
  GetKernel().GetPool().FailTag(PoolTagScratch);
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_INSUFFICIENT_RESOURCES);
  GetKernel().GetPool().ClearFaults();
  auto expected = std::vector(std::begin(kRows), std::end(kRows));
  if (restoredBefore)
    for (int i = 0; i < 13; ++i) expected[i].second = static_cast<std::uint16_t>(0x0101 * (i + 1));
  EXPECT_EQ(CodecWrites(), expected);
  const auto markers = Machine().Markers();
  ASSERT_EQ(markers.size(), 1u);
  EXPECT_EQ(markers[0].port, 0x91);
  EXPECT_EQ(markers[0].value, 0x9D);

  EXPECT_EQ(Adapter()->SaveMixerSettingsToRegistry(), STATUS_SUCCESS);
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(Registry().GetValue(Subkey(), kNames[i])->AsDword(), 0x0101u * (i + 1)) << i;
  EXPECT_FALSE(Registry().GetValue(Subkey(), L"AC97_3DCTL").has_value());
}

INSTANTIATE_TEST_SUITE_P(, UnreadableStoredSettings, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AfterARestore" : "AtStart"; });

TEST_F(MixerTest, StoredThreeDControlIsRestoredLastAndItsAbsenceChangesNothing) {
  StartAndClear();
  StoreAll();
  Registry().SetValue(Subkey(), L"AC97_3DCTL", RegistryValue::Dword(0x0A05));
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  const auto writes = CodecWrites();
  ASSERT_EQ(writes.size(), 14u);
  EXPECT_EQ(writes.back(), std::make_pair(std::uint8_t(0x22), std::uint16_t(0x0A05)));
}

TEST_F(MixerTest, AKeyThatCannotBeOpenedLeavesTheCodecAlone) {
  StartAndClear();
  Registry().FailOpen(STATUS_ACCESS_DENIED);
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Adapter()->SaveMixerSettingsToRegistry(), STATUS_ACCESS_DENIED);
  Registry().FailOpen(STATUS_SUCCESS);
  Registry().FailSubKey(L"AC97CodecSettings", STATUS_ACCESS_DENIED);
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(CodecWrites().empty());
}

TEST_F(MixerTest, SaveStoresTheCacheGeneralPurposeAndThreeDControlAsDwords) {
  StartAndClear();
  CAdapterCommon* a = Adapter();
  a->RestoreMixerSettingsFromRegistry();
  a->CodecRegWrite(0x02, 0x0000);
  a->CodecRegWrite(0x20, 0x2300);
  a->CodecRegWrite(0x22, 0x0A05);
  EXPECT_EQ(a->SaveMixerSettingsToRegistry(), STATUS_SUCCESS);
  for (int i = 0; i < 13; ++i) {
    const auto value = Registry().GetValue(Subkey(), kNames[i]);
    ASSERT_TRUE(value.has_value()) << i;
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
    const ULONG expected = i == 0 ? 0x0000 : i == 12 ? 0x2300 : kRows[i].second;
    EXPECT_EQ(value->AsDword(), expected) << i;
  }
  EXPECT_EQ(Registry().GetValue(Subkey(), L"AC97_3DCTL")->AsDword(), 0x0A05u);
}

TEST_F(MixerTest, GeneralPurposeIsStoredAsTheCodecAnswersIt) {
  config_.codec.has3d = false;
  Reboot();
  StartAndClear();
  CAdapterCommon* a = Adapter();
  a->CodecRegWrite(0x20, 0x2300);  // a codec without 3D control drops bit 13
  (void)a->CodecRegRead(0x20);
  EXPECT_EQ(a->SaveMixerSettingsToRegistry(), STATUS_SUCCESS);
  EXPECT_EQ(Registry().GetValue(Subkey(), L"AC97_GPCTL")->AsDword(), 0x0300u);
}

TEST_F(MixerTest, AFailingStoreStopsTheSave) {
  StartAndClear();
  ASSERT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  Registry().FailSetValue(L"AC97_CD", STATUS_ACCESS_DENIED);
  EXPECT_EQ(Adapter()->SaveMixerSettingsToRegistry(), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(Registry().GetValue(Subkey(), L"AC97_LINEIN").has_value());
  EXPECT_FALSE(Registry().GetValue(Subkey(), L"AC97_CD").has_value());
  EXPECT_FALSE(Registry().GetValue(Subkey(), L"AC97_VIDEO").has_value());
}

TEST_F(MixerTest, AFailedRestoreLeavesTheStoredSettingsAloneAtTheNextSave) {
  StartAndClear();
  StoreAll();
  Registry().FailSubKey(L"AC97CodecSettings", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_INSUFFICIENT_RESOURCES);
  Registry().ClearFaults();
  Adapter()->CodecRegWrite(0x18, 0x0A0A);  // the one setting the driver does know
  EXPECT_EQ(Adapter()->SaveMixerSettingsToRegistry(), STATUS_SUCCESS);
  for (int i = 0; i < 13; ++i) {
    const ULONG expected = kRows[i].first == 0x18 ? 0x0A0A : 0x0101u * (i + 1);
    const auto value = Registry().GetValue(Subkey(), kNames[i]);
    ASSERT_TRUE(value.has_value()) << i;
    EXPECT_EQ(value->AsDword(), expected) << i;
  }
}

TEST_F(MixerTest, SettingsSavedInOneRunComeBackInTheNextFromTheRegFile) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("zatac97-mixer-" + std::to_string(::getpid()) + ".reg")).string();
  StartAndClear();
  ASSERT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  Adapter()->CodecRegWrite(0x18, 0x0A0A);
  Adapter()->CodecRegWrite(0x1A, 0x0404);
  ASSERT_EQ(Adapter()->SaveMixerSettingsToRegistry(), STATUS_SUCCESS);
  ASSERT_TRUE(Registry().SaveFile(path));

  Reboot();
  std::string error;
  ASSERT_TRUE(Registry().LoadFile(path, &error)) << error;
  std::remove(path.c_str());
  StartAndClear();
  EXPECT_EQ(Adapter()->RestoreMixerSettingsFromRegistry(), STATUS_SUCCESS);
  const auto writes = CodecWrites();
  ASSERT_EQ(writes.size(), 13u);
  EXPECT_EQ(writes[9], std::make_pair(std::uint8_t(0x18), std::uint16_t(0x0A0A)));
  EXPECT_EQ(writes[10], std::make_pair(std::uint8_t(0x1A), std::uint16_t(0x0404)));
}

}  // namespace
}  // namespace adaptertest

namespace adaptertest {
namespace {

// Back to full power with a reset link, the codec gets the stored settings
// again, in table order, whatever it held before: not the built-in defaults.
TEST_F(MixerTest, BackToD0WritesTheStoredSettingsNotTheDefaults) {
  StartAndClear();
  StoreAll();
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  GetKernel().RunFor(100 * sim::kTicksPerMicrosecond);
  ClearTrace();
  ASSERT_EQ(Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  const auto writes = CodecWrites();
  ASSERT_GE(writes.size(), 13u);
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(writes[i], std::make_pair(kRows[i].first, static_cast<std::uint16_t>(0x0101 * (i + 1)))) << kNames[i];
}

}  // namespace
}  // namespace adaptertest
