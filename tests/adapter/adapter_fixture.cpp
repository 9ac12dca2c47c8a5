#include "adapter_fixture.h"

#include <ostream>

#include "host/requirements.h"
#include "host/resource_list.h"

namespace adaptertest {

STDMETHODIMP_(NTSTATUS) RecordingSink::QueryInterface(REFIID id, PVOID* out) {
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IServiceSink)) {
    *out = static_cast<IServiceSink*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *out = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) RecordingSink::Release() {
  const ULONG count = --refs_;
  if (count == 0) delete this;
  return count;
}

StandIns& CurrentStandIns() {
  static StandIns standIns;
  return standIns;
}

namespace {

// The common part of both stand-ins: a heap object that keeps the adapter's
// IAdapterCommon from Init on, as the real miniports do.
template <class Face>
class StandInBase : public Face {
 public:
  StandInBase() { ++CurrentStandIns().miniportsAlive; }
  virtual ~StandInBase() {
    if (adapter_) adapter_->Release();
    --CurrentStandIns().miniportsAlive;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
  }
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = nullptr;
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }

 protected:
  NTSTATUS TakeAdapter(PUNKNOWN unknown) {
    return unknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter_));
  }
  NTSTATUS Query(REFIID id, REFIID own, PVOID* out) {
    if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IMiniport) ||
        IsEqualGUIDAligned(id, own)) {
      *out = static_cast<Face*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  PADAPTERCOMMON adapter_ = nullptr;
  ULONG refs_ = 1;
};

class StandInTopology final : public StandInBase<IMiniportTopology> {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override {
    return Query(id, IID_IMiniportTopology, out);
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST, PPORTTOPOLOGY) override { return TakeAdapter(adapter); }
};

class StandInWave final : public StandInBase<IMiniportWavePci> {
 public:
  ~StandInWave() override {
    // As the real wave miniport must: the interrupt routine lets go of the array first.
    if (adapter_ && groups_[0]) adapter_->SetWaveServiceGroups(nullptr);
    CurrentStandIns().serviceGroups = nullptr;
    for (PSERVICEGROUP& group : groups_) {
      if (group) group->Release();
      group = nullptr;
    }
  }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override {
    return Query(id, IID_IMiniportWavePci, out);
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST, PPORTWAVEPCI, PSERVICEGROUP* group) override {
    *group = nullptr;
    NTSTATUS status = TakeAdapter(adapter);
    if (!NT_SUCCESS(status) || !CurrentStandIns().wave.serviceGroups) return status;
    for (int i = 0; i < 2; ++i) {
      status = PcNewServiceGroup(&groups_[i], nullptr);
      if (!NT_SUCCESS(status)) return status;
      auto* sink = new RecordingSink(&CurrentStandIns().notified, i);
      status = groups_[i]->AddMember(sink);
      sink->Release();  // the group holds its own reference
      if (!NT_SUCCESS(status)) return status;
    }
    adapter_->SetWaveServiceGroups(groups_);
    CurrentStandIns().serviceGroups = groups_;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVEPCISTREAM*, PUNKNOWN, POOL_TYPE, PPORTWAVEPCISTREAM, ULONG, BOOLEAN,
                                    PKSDATAFORMAT, PDMACHANNEL*, PSERVICEGROUP*) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(void) Service() override {}

 private:
  PSERVICEGROUP groups_[2] = {nullptr, nullptr};
};

template <class T>
NTSTATUS Create(const StandInBehaviour& behaviour, PUNKNOWN* out) {
  if (!NT_SUCCESS(behaviour.createStatus)) return behaviour.createStatus;
  *out = new T();
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI CreateStandInTopology(PUNKNOWN* out, REFCLSID, PUNKNOWN, POOL_TYPE) {
  return Create<StandInTopology>(CurrentStandIns().topology, out);
}
NTSTATUS NTAPI CreateStandInWave(PUNKNOWN* out, REFCLSID, PUNKNOWN, POOL_TYPE) {
  return Create<StandInWave>(CurrentStandIns().wave, out);
}

const ADAPTER_MINIPORTS StandInMiniports = {CreateStandInTopology, CreateStandInWave};

NTSTATUS NTAPI StandInStart(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
  return StartAdapterDevice(device, irp, resources, &StandInMiniports);
}

NTSTATUS NTAPI StandInAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddAdapterDevice(driver, pdo, StandInStart);
}

}  // namespace

NTSTATUS NTAPI StandInDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  const NTSTATUS status = DriverEntry(driver, path);
  driver->DriverExtension->AddDevice = StandInAddDevice;
  return status;
}

std::ostream& operator<<(std::ostream& out, const PortAccess& a) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%d 0x%04X %s 0x%X", a.write ? "w" : "r", a.width * 8, a.port,
                a.write ? "<-" : "->", a.value);
  return out << text;
}
PortAccess R8(std::uint32_t port, std::uint32_t value) { return {false, 1, port, value}; }
PortAccess W8(std::uint32_t port, std::uint32_t value) { return {true, 1, port, value}; }
PortAccess R16(std::uint32_t port, std::uint32_t value) { return {false, 2, port, value}; }
PortAccess W16(std::uint32_t port, std::uint32_t value) { return {true, 2, port, value}; }
PortAccess R32(std::uint32_t port, std::uint32_t value) { return {false, 4, port, value}; }

namespace {
void ResetDriverState() {
  LowerPDO = nullptr;
  PortDispatchPnp = nullptr;
  MPUEnable = TRUE;
  MPUStartPort = 0;
  NewChip = FALSE;
  CurrentStandIns() = StandIns{};
}
}  // namespace

void AdapterTest::SetUp() {
  ResetDriverState();
  KernelTest::SetUp();
}

void AdapterTest::Reboot() {
  ResetHarness();
  Boot(config_);
  ResetDriverState();
}

void AdapterTest::TearDown() {
  KernelTest::TearDown();
  EXPECT_EQ(CurrentStandIns().miniportsAlive, 0) << "a miniport outlived its device";
}

CAdapterCommon* AdapterTest::Adapter() {
  PADAPTERPOWERMANAGEMENT power = Harness().PowerManagement();
  return power ? static_cast<CAdapterCommon*>(power) : nullptr;
}

std::vector<PortAccess> AdapterTest::ControllerAccesses() const {
  std::vector<PortAccess> result;
  auto& trace = const_cast<AdapterTest*>(this)->Machine().GetTrace();
  for (const sim::TraceEntry& e : trace.Entries()) {
    if (e.kind != sim::TraceKind::PortRead && e.kind != sim::TraceKind::PortWrite) continue;
    const bool controller = e.address >= config_.ioBase && e.address < config_.ioBase + 0x100u;
    if (!controller && e.address != 0x90 && e.address != 0x91) continue;
    result.push_back({e.kind == sim::TraceKind::PortWrite, e.width, e.address, e.value});
  }
  return result;
}

std::vector<sim::TraceEntry> AdapterTest::Entries(sim::TraceKind kind) const {
  return const_cast<AdapterTest*>(this)->Machine().GetTrace().OfKind(kind);
}

void AdapterTest::RaiseChannelEvents(int channel, std::uint8_t events, bool raiseInterrupt) {
  sim::Machine& m = Machine();
  const std::uint32_t block = config_.ioBase + (channel ? 0x10u : 0x00u);
  const std::uint32_t table = config_.dmaArenaBase + config_.dmaArenaBytes - 0x1000;
  // A finished FLAG entry goes on: a long second entry keeps the channel busy without a further event.
  const std::uint32_t first = (events & 1 ? 0x40000000u : 0u) | (events & 2 ? 0x80000000u : 0u);
  // A channel still busy from an earlier call would only queue the start: stop it first.
  m.PortWrite(block + 0x01, 1, 0x40);
  m.GetClock().Advance(10 * sim::kTicksPerMicrosecond);
  // The test plays the framework here: the table and its data are the device's to read.
  GetKernel().OpenDmaWindow(table, 0x1000);
  m.Memory().Write32(table + 0, table + 0x100);
  m.Memory().Write32(table + 4, first);
  m.Memory().Write32(table + 8, table + 0x100);
  m.Memory().Write32(table + 12, 0x80000000u | 0x00FFFFFFu);
  m.PortWrite(block + 0x04, 4, table);
  m.PortWrite(block + 0x02, 1, raiseInterrupt ? 0x03 : 0x00);
  m.PortWrite(block + 0x01, 1, 0x80);
  m.GetClock().Advance(1);
}

PRESOURCELIST AdapterTest::AssignedResourceList() {
  auto& harness = Harness();
  if (!harness.Driver()) {
    EXPECT_EQ(harness.LoadDriver(DriverEntry), STATUS_SUCCESS) << harness.LastError();
  }
  if (!harness.Fdo()) {
    EXPECT_EQ(harness.AddDevice(), STATUS_SUCCESS) << harness.LastError();
  }
  EXPECT_EQ(harness.FilterResourceRequirements(), STATUS_SUCCESS) << harness.LastError();
  PCM_RESOURCE_LIST raw = host::BuildCmResourceList(GetKernel(), harness.Assigned().untranslated);
  PCM_RESOURCE_LIST translated = host::BuildCmResourceList(GetKernel(), harness.Assigned().translated);
  PRESOURCELIST list = nullptr;
  EXPECT_EQ(host::ResourceList::CreateFromCm(&list, raw, translated), STATUS_SUCCESS);
  GetKernel().GetPool().Free(raw, std::nullopt);
  GetKernel().GetPool().Free(translated, std::nullopt);
  return list;
}

AdapterTest::Standalone AdapterTest::NewStandaloneAdapter() {
  Standalone result;
  result.resources = AssignedResourceList();
  auto& harness = Harness();

  PUNKNOWN unknown = nullptr;
  EXPECT_EQ(NewAdapterCommon(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_SUCCESS);
  PADAPTERCOMMON adapter = nullptr;
  EXPECT_EQ(unknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter)), STATUS_SUCCESS);
  unknown->Release();
  result.adapter = static_cast<CAdapterCommon*>(adapter);
  result.initStatus = adapter->Init(result.resources, harness.Fdo());
  return result;
}

void AdapterTest::Standalone::Release() {
  if (adapter) static_cast<PADAPTERCOMMON>(adapter)->Release();
  if (resources) resources->Release();
  adapter = nullptr;
  resources = nullptr;
}

}  // namespace adaptertest
