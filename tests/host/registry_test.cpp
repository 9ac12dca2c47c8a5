// The registry: .reg text, IRegistryKey's size rules and dispositions, and
// the knobs; service groups and Notify's latency.
#include <portcls.h>

#include <cstdio>
#include <fstream>

#include "fake_driver.h"
#include "host/registry.h"
#include "host/testing.h"

namespace {

const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";

TEST(RegText, RoundTripKeepsEveryValueForm) {
  host::Registry registry;
  registry.SetValue(kKey, L"AC97_MASTER", host::RegistryValue::Dword(0x0707));
  registry.SetValue(kKey, L"Bytes", host::RegistryValue::Binary({0x01, 0xFF, 0x00}));
  registry.SetValue(kKey, L"Wide", host::RegistryValue::Binary(std::vector<std::uint8_t>(40, 0xAB)));
  registry.SetValue(kKey, L"Quad", host::RegistryValue::Binary({1, 0, 0, 0, 0, 0, 0, 0}, REG_QWORD));
  registry.SetValue(kKey, L"Short", host::RegistryValue::Binary({0x34, 0x12}, REG_DWORD));  // a wrong-sized dword
  registry.SetValue(kKey, L"Text", host::RegistryValue::String(L"a \"quoted\" \\ path"));
  registry.SetValue(kKey, L"", host::RegistryValue::String(L"default"));
  registry.SetValue(kKey + L"\\Sub", L"Empty", host::RegistryValue::Binary({}, REG_NONE));
  const std::string text = registry.Export();
  EXPECT_NE(text.find("\"AC97_MASTER\"=dword:00000707"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Quad\"=hex(b):01,00,00,00,00,00,00,00"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Text\"=\"a \\\"quoted\\\" \\\\ path\""), std::string::npos) << text;
  host::Registry copy;
  std::string error;
  ASSERT_TRUE(copy.Import(text, &error)) << error;
  for (const std::wstring& name : registry.ValueNames(kKey)) EXPECT_EQ(copy.GetValue(kKey, name), registry.GetValue(kKey, name));
  EXPECT_EQ(copy.GetValue(kKey + L"\\Sub", L"Empty"), registry.GetValue(kKey + L"\\Sub", L"Empty"));
  EXPECT_EQ(copy.Export(), text);
}

TEST(RegText, FileIsUtf16AsTheEditorWritesIt) {
  host::Registry registry;
  registry.SetValue(kKey, L"V", host::RegistryValue::Dword(0xabcd));
  const std::string path = ::testing::TempDir() + "host_registry_test.reg";
  ASSERT_TRUE(registry.SaveFile(path));
  std::ifstream file(path, std::ios::binary);
  char bom[2];
  file.read(bom, 2);
  EXPECT_EQ(static_cast<unsigned char>(bom[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bom[1]), 0xFE);
  host::Registry loaded;
  std::string error;
  ASSERT_TRUE(loaded.LoadFile(path, &error)) << error;
  EXPECT_EQ(loaded.GetValue(kKey, L"v")->AsDword(), 0xabcdu);  // names compare without case
  std::remove(path.c_str());
}

struct BadLine {
  const char* text;
  const char* error;
};

class RegImportErrors : public ::testing::TestWithParam<BadLine> {};

TEST_P(RegImportErrors, RefusesAndChangesNothing) {
  host::Registry registry;
  registry.SetValue(kKey, L"Keep", host::RegistryValue::Dword(1));
  const std::string before = registry.Export();
  std::string error;
  EXPECT_FALSE(registry.Import(GetParam().text, &error));
  EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
  EXPECT_EQ(registry.Export(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, RegImportErrors,
    ::testing::Values(BadLine{"REGEDIT5\n", "header"},
                      BadLine{"Windows Registry Editor Version 5.00\n\"A\"=dword:1\n", "line 2: a value before any key"},
                      BadLine{"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:123456789\n",
                              "line 3: malformed dword"},
                      BadLine{"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:1,2g\n",
                              "malformed hex bytes"},
                      BadLine{"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=qword:1\n",
                              "unknown value form"},
                      BadLine{"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X\n", "malformed key line"}));

TEST(RegText, ContinuedHexLinesAndDeletions) {
  host::Registry registry;
  registry.SetValue(L"HKEY_LOCAL_MACHINE\\Gone", L"X", host::RegistryValue::Dword(1));
  registry.SetValue(L"HKEY_LOCAL_MACHINE\\Keep", L"Old", host::RegistryValue::Dword(1));
  std::string error;
  ASSERT_TRUE(registry.Import("Windows Registry Editor Version 5.00\r\n\r\n"
                              "[-HKEY_LOCAL_MACHINE\\Gone]\r\n"
                              "[HKEY_LOCAL_MACHINE\\Keep]\r\n"
                              "\"Old\"=-\r\n"
                              "\"Bin\"=hex:01,02,\\\r\n  03,04\r\n",
                              &error))
      << error;
  EXPECT_FALSE(registry.KeyExists(L"HKEY_LOCAL_MACHINE\\Gone"));
  EXPECT_FALSE(registry.GetValue(L"HKEY_LOCAL_MACHINE\\Keep", L"Old"));
  EXPECT_EQ(registry.GetValue(L"HKEY_LOCAL_MACHINE\\Keep", L"Bin")->data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

// ---- Encodings: what the editor writes is read exactly; anything else is refused by line ------------

std::string Utf16(const std::u16string& text, bool bom) {
  std::string bytes = bom ? "\xFF\xFE" : "";
  for (char16_t u : text) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

struct Encoded {
  const char* name;
  std::string bytes;
  std::wstring valueName;  // read back under this name when accepted
  ULONG type;
  const char* error;       // null when the file is accepted
};

void PrintTo(const Encoded& c, std::ostream* os) { *os << c.name; }

class RegEncodings : public ::testing::TestWithParam<Encoded> {};

TEST_P(RegEncodings, ReadExactlyOrRefusedByLineAndWhatIsSavedLoadsTheSame) {
  const Encoded& c = GetParam();
  host::Registry registry;
  registry.SetValue(kKey, L"Keep", host::RegistryValue::Dword(1));
  const std::string before = registry.Export();
  std::string error;
  const bool accepted = registry.Import(c.bytes, &error);
  if (c.error) {
    EXPECT_FALSE(accepted);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(registry.Export(), before);
    return;
  }
  ASSERT_TRUE(accepted) << error;
  const auto value = registry.GetValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", c.valueName);
  ASSERT_TRUE(value) << registry.Export();
  EXPECT_EQ(value->type, c.type);
  // A second run reads what the first one wrote, unchanged.
  const std::string path = ::testing::TempDir() + "host_registry_" + c.name + ".reg";
  ASSERT_TRUE(registry.SaveFile(path, &error)) << error;
  host::Registry reloaded;
  ASSERT_TRUE(reloaded.LoadFile(path, &error)) << error;
  EXPECT_EQ(reloaded.Export(), registry.Export());
  std::remove(path.c_str());
}

const std::string kV5 = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n";
const std::string kV4 = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n";
const std::u16string kV5Wide = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n";

INSTANTIATE_TEST_SUITE_P(
    Registry, RegEncodings,
    ::testing::Values(
        Encoded{"LeadByteBeforeTheClosingQuote", kV5 + "\"Option\xCA\"=dword:00000001\n", L"", 0, "line 4: invalid UTF-8"},
        Encoded{"LeadByteAtTheEndOfAKeyName", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X\xEA]\n", L"", 0,
                "line 3: invalid UTF-8"},
        Encoded{"OverlongSlash", kV5 + "\"A\xC0\xAF\"=dword:1\n", L"", 0, "line 4: invalid UTF-8"},
        Encoded{"EncodedSurrogate", kV5 + "\"A\xED\xA0\x80\"=dword:1\n", L"", 0, "line 4: invalid UTF-8"},
        Encoded{"BeyondU10FFFF", kV5 + "\"A\xF4\x90\x80\x80\"=dword:1\n", L"", 0, "line 4: invalid UTF-8"},
        Encoded{"ControlCharacterInAName", kV5 + "\"A\x01\"=dword:1\n", L"", 0, "line 4: control character"},
        Encoded{"LoneCarriageReturn", kV5 + "\"A\rB\"=dword:1\n", L"", 0, "line 4: control character"},
        Encoded{"ValidUtf8", kV5 + "\"Caf\xC3\xA9 \xF0\x9F\x8E\xB5\"=dword:1\n", L"Caf\u00E9 \U0001F3B5", REG_DWORD, nullptr},
        Encoded{"Utf8WithItsMark", "\xEF\xBB\xBF" + kV5 + "\"A\"=\"x\"\n", L"A", REG_SZ, nullptr},
        Encoded{"Regedit4InWindows1252", kV4 + "\"Caf\xE9 Noir\"=\"\x80 5\"\n", L"Caf\u00E9 Noir", REG_SZ, nullptr},
        Encoded{"Regedit4InUtf8", kV4 + "\"Caf\xC3\xA9\"=dword:1\n", L"Caf\u00E9", REG_DWORD, nullptr},
        Encoded{"Regedit4UndefinedByte", kV4 + "\"A\x81\"=dword:1\n", L"", 0, "line 4: byte 0x81"},
        Encoded{"Utf16WithItsMark", Utf16(kV5Wide + u"\"Caf\u00E9\"=dword:00000002\r\n", true), L"Caf\u00E9", REG_DWORD,
                nullptr},
        Encoded{"Utf16WithoutItsMark", Utf16(kV5Wide + u"\"A\"=hex:01\r\n", false), L"A", REG_BINARY, nullptr},
        Encoded{"Utf16SurrogatePair", Utf16(kV5Wide + u"\"\U0001F3B5\"=dword:1\r\n", true), L"\U0001F3B5", REG_DWORD,
                nullptr},
        Encoded{"Utf16UnpairedSurrogate", Utf16(kV5Wide + u"\"A\xD800\"=dword:1\r\n", true), L"", 0,
                "line 4: invalid UTF-16"},
        Encoded{"Utf16HalfACharacter", Utf16(kV5Wide, true) + "\"", L"", 0, "line 4: invalid UTF-16"},
        Encoded{"Utf16BigEndian", "\xFE\xFF", L"", 0, "big-endian"},
        Encoded{"TypeWiderThan64Bits", kV5 + "\"X\"=hex(10000000000000000):00\n", L"", 0, "line 4: value type wider"},
        Encoded{"TypeOf33Bits", kV5 + "\"X\"=hex(100000000):00\n", L"", 0, "line 4: value type wider"},
        Encoded{"TypeWithLeadingZeros", kV5 + "\"X\"=hex(0000000000000004):01\n", L"X", REG_DWORD, nullptr},
        Encoded{"LargestType", kV5 + "\"X\"=hex(ffffffff):01\n", L"X", 0xFFFFFFFFu, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegText, NamesTheFormatCannotCarryAreRefusedOnSaveAndNothingIsWritten) {
  for (const std::wstring& name : {std::wstring(L"A\nB"), std::wstring(L"A\x01"), std::wstring(1, wchar_t(0xD800))}) {
    for (bool asKey : {false, true}) {
      host::Registry registry;
      if (asKey)
        registry.SetValue(kKey + L"\\" + name, L"V", host::RegistryValue::Dword(1));
      else
        registry.SetValue(kKey, name, host::RegistryValue::Dword(1));
      const std::string path = ::testing::TempDir() + "host_registry_unwritable_" + std::to_string(asKey) + ".reg";
      std::remove(path.c_str());
      std::string error;
      EXPECT_FALSE(registry.SaveFile(path, &error));
      EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
      EXPECT_FALSE(std::ifstream(path).good());
    }
  }
}

// Found by fuzzing: a value stored through the API outside any key, and a
// first key name starting with '-' (which "[-" would turn into a deletion).
TEST(RegText, ValuesOutsideAnyKeyAreRefusedAndADashKeyComesBack) {
  host::Registry rooted;
  rooted.SetValue(L"", L"V", host::RegistryValue::Dword(1));
  std::string bytes, error;
  EXPECT_FALSE(rooted.EncodeFile(bytes, &error));
  EXPECT_NE(error.find("outside any key"), std::string::npos) << error;

  host::Registry dashed;
  dashed.SetValue(L"-Dash\\Sub", L"V", host::RegistryValue::Dword(2));
  host::Registry copy;
  ASSERT_TRUE(dashed.EncodeFile(bytes, &error)) << error;
  ASSERT_TRUE(copy.Import(bytes, &error)) << error;
  EXPECT_EQ(copy.GetValue(L"-Dash\\Sub", L"V"), dashed.GetValue(L"-Dash\\Sub", L"V"));
}

TEST(RegText, StringDataTheQuotedFormCannotCarryGoesOutAsHexAndComesBack) {
  host::Registry registry;
  registry.SetValue(kKey, L"Ctl", host::RegistryValue::String(L"a\x01" L"b"));
  registry.SetValue(kKey, L"Lone", host::RegistryValue::Binary({0x00, 0xD8, 0x00, 0x00}, REG_SZ));
  host::Registry copy;
  std::string error;
  ASSERT_TRUE(copy.Import(registry.Export(), &error)) << error;
  EXPECT_EQ(copy.GetValue(kKey, L"Ctl"), registry.GetValue(kKey, L"Ctl"));
  EXPECT_EQ(copy.GetValue(kKey, L"Lone"), registry.GetValue(kKey, L"Lone"));
}

// ---- IRegistryKey through PcNewRegistryKey -------------------------------------------------

class RegistryKeyTest : public host::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    fake::Driver::current = &driver_;
    auto& device = Harness();
    ASSERT_EQ(device.Start(fake::Driver::Entry), STATUS_SUCCESS) << device.LastError();
  }
  PREGISTRYKEY OpenSettings(ULONG* disposition) {
    PREGISTRYKEY key = nullptr, sub = nullptr;
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Harness().Fdo(), nullptr, nullptr,
                               0, nullptr),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"AC97CodecSettings");
    EXPECT_EQ(key->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &name, REG_OPTION_NON_VOLATILE, disposition),
              STATUS_SUCCESS);
    key->Release();
    return sub;
  }
  std::wstring Settings() { return GetKernel().GetRegistry().DriverKeyPath() + L"\\AC97CodecSettings"; }
  fake::Driver driver_;
};

TEST_F(RegistryKeyTest, NewSubKeyReportsCreatedThenOpened) {
  ULONG disposition = 0;
  OpenSettings(&disposition)->Release();
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  OpenSettings(&disposition)->Release();
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
}

struct SizeCase {
  std::vector<std::uint8_t> data;
  ULONG length;
  NTSTATUS status;
  bool dataCopied;
};

class QueryValueSizes : public RegistryKeyTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(QueryValueSizes, FollowThePlatformRules) {
  const SizeCase& c = GetParam();
  GetKernel().GetRegistry().SetValue(Settings(), L"AC97_MIC", host::RegistryValue::Binary(c.data, REG_DWORD));
  PREGISTRYKEY key = OpenSettings(nullptr);
  std::vector<std::uint8_t> buffer(c.length + 1, 0xEE);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"AC97_MIC");
  ULONG result = 0;
  EXPECT_EQ(key->QueryValueKey(&name, KeyValuePartialInformation, buffer.data(), c.length, &result), c.status);
  EXPECT_EQ(result, 12 + c.data.size());
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  if (c.length >= 12) {
    EXPECT_EQ(info->DataLength, c.data.size());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  }
  EXPECT_EQ(c.dataCopied, c.length > 12 && buffer[12] == (c.data.empty() ? 0xEE : c.data[0]));
  EXPECT_EQ(buffer[c.length], 0xEE) << "wrote past the buffer";
  key->Release();
}

INSTANTIATE_TEST_SUITE_P(Registry, QueryValueSizes,
                         ::testing::Values(SizeCase{{0x10, 0x80, 0, 0}, 20, STATUS_SUCCESS, true},
                                           SizeCase{std::vector<std::uint8_t>(9, 0x42), 20, STATUS_BUFFER_OVERFLOW, false},
                                           SizeCase{{0x10, 0x80, 0, 0}, 16, STATUS_SUCCESS, true},
                                           SizeCase{{0x10, 0x80, 0, 0}, 15, STATUS_BUFFER_OVERFLOW, false},
                                           SizeCase{{0x10, 0x80, 0, 0}, 11, STATUS_BUFFER_TOO_SMALL, false}));

// A volatile key lives only for the run: its values are never written to the
// .reg file. A key opened for reading refuses writes, and a key opened
// without the right to create subkeys opens existing ones but creates none.
TEST_F(RegistryKeyTest, VolatileKeysStayOutOfTheFileAndAccessMasksHold) {
  PREGISTRYKEY driverKey = nullptr, volatileKey = nullptr, readOnly = nullptr, sub = nullptr;
  ASSERT_EQ(PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Harness().Fdo(), nullptr,
                             nullptr, 0, nullptr),
            STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"AC97CodecSettings");
  ASSERT_EQ(driverKey->NewSubKey(&volatileKey, nullptr, KEY_ALL_ACCESS, &name, REG_OPTION_VOLATILE, nullptr),
            STATUS_SUCCESS);
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, L"AC97_MASTER");
  ULONG dword = 0x0808;
  EXPECT_EQ(volatileKey->SetValueKey(&value, REG_DWORD, &dword, sizeof(dword)), STATUS_SUCCESS);
  EXPECT_EQ(GetKernel().GetRegistry().GetValue(Settings(), L"AC97_MASTER"), host::RegistryValue::Dword(0x0808));
  EXPECT_EQ(GetKernel().GetRegistry().Export().find("AC97CodecSettings"), std::string::npos);
  // Under a volatile key, only a volatile key can be created.
  UNICODE_STRING child;
  RtlInitUnicodeString(&child, L"Child");
  EXPECT_EQ(volatileKey->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &child, REG_OPTION_NON_VOLATILE, nullptr),
            static_cast<NTSTATUS>(0xC0000181L));  // STATUS_CHILD_MUST_BE_VOLATILE

  ASSERT_EQ(driverKey->NewSubKey(&readOnly, nullptr, KEY_READ, &name, REG_OPTION_NON_VOLATILE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(readOnly->SetValueKey(&value, REG_DWORD, &dword, sizeof(dword)), STATUS_ACCESS_DENIED);
  EXPECT_EQ(readOnly->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &child, REG_OPTION_VOLATILE, nullptr),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(readOnly->DeleteKey(), STATUS_ACCESS_DENIED);
  ULONG length = 0;
  std::uint8_t buffer[32];
  EXPECT_EQ(readOnly->QueryValueKey(&value, KeyValuePartialInformation, buffer, sizeof(buffer), &length),
            STATUS_SUCCESS);
  readOnly->Release();
  volatileKey->Release();
  driverKey->Release();
}

TEST_F(RegistryKeyTest, MissingValueAndSetValueFault) {
  PREGISTRYKEY key = OpenSettings(nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"AC97_CD");
  UCHAR buffer[20];
  ULONG result = 0;
  EXPECT_EQ(key->QueryValueKey(&name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ULONG value = 0x0808;
  GetKernel().GetRegistry().FailSetValue(L"AC97_CD", STATUS_ACCESS_DENIED);
  EXPECT_EQ(key->SetValueKey(&name, REG_DWORD, &value, sizeof value), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(GetKernel().GetRegistry().GetValue(Settings(), L"AC97_CD"));
  GetKernel().GetRegistry().FailSetValue(L"AC97_CD", STATUS_SUCCESS);  // a success status clears the fault
  EXPECT_EQ(key->SetValueKey(&name, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(GetKernel().GetRegistry().GetValue(Settings(), L"ac97_cd")->AsDword(), 0x0808u);
  key->Release();
}

TEST_F(RegistryKeyTest, OpenFailureAndUnknownDevice) {
  PREGISTRYKEY key = nullptr;
  GetKernel().GetRegistry().FailOpen(STATUS_ACCESS_DENIED);
  EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Harness().Fdo(), nullptr, nullptr, 0,
                             nullptr),
            STATUS_ACCESS_DENIED);
  GetKernel().GetRegistry().ClearFaults();
  DEVICE_OBJECT stranger{};
  EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, &stranger, nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(key, nullptr);
}

// ---- Service groups --------------------------------------------------------------------------

class Sink final : public IServiceSink {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* out) override {
    *out = this;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP_(void) RequestService() override {
    times.push_back(Kernel().Now());
    levels.push_back(KeGetCurrentIrql());
  }
  static host::Kernel& Kernel() { return *host::Kernel::Current(); }
  ULONG refs = 1;
  std::vector<sim::Ticks> times;
  std::vector<KIRQL> levels;
};

class ServiceGroupTest : public host::testing::KernelTest {};

TEST_F(ServiceGroupTest, NotifyRunsTheGroupOnceAfterTheLatencyAtDispatchLevel) {
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
  PPORTWAVEPCI wave = nullptr;
  ASSERT_EQ(port->QueryInterface(IID_IPortWavePci, reinterpret_cast<PVOID*>(&wave)), STATUS_SUCCESS);
  PSERVICEGROUP group = nullptr;
  ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
  Sink sink;
  ASSERT_EQ(group->AddMember(&sink), STATUS_SUCCESS);
  GetKernel().SetServiceLatency(2000);
  wave->Notify(group);
  wave->Notify(group);  // already queued: not queued twice
  GetKernel().RunFor(1999);
  EXPECT_TRUE(sink.times.empty());
  GetKernel().RunFor(1);
  EXPECT_EQ(sink.times, (std::vector<sim::Ticks>{2000}));
  EXPECT_EQ(sink.levels, (std::vector<KIRQL>{DISPATCH_LEVEL}));
  group->RemoveMember(&sink);
  EXPECT_EQ(sink.refs, 1u);
  group->Release();
  wave->Release();
  port->Release();
}

TEST_F(ServiceGroupTest, QueuedWorkDroppedAtTeardownReleasesTheGroup) {
  PSERVICEGROUP group = nullptr;
  ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
  group->SupportDelayedService();
  group->RequestDelayedService(static_cast<ULONGLONG>(-1000000LL));
  group->Release();  // the queued service still holds it
  EXPECT_EQ(GetKernel().GetPool().LiveCount(), 1u);
  GetKernel().Teardown();  // no leak: the drop released it
}

}  // namespace
