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
