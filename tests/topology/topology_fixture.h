// The mixer miniport on its own, over the simulated codec.
//
// CodecAdapter stands in for the adapter object with the adapter's codec
// rules (registers 0x02-0x1C read back what was last written through it;
// odd registers are not written; CodecReset writes the mixer defaults) and
// talks to the simulated AC'97 codec directly. It records what the miniport
// relies on: whether every codec access of a property request happened under
// the codec lock, how often the mixer was saved, the reference count.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/property.h"
#include "host/resource_list.h"
#include "sim/machine.h"
#include "topology/miniport.h"
#include "topology/names.h"

namespace topotest {

class CodecAdapter : public IAdapterCommon {
 public:
  explicit CodecAdapter(sim::Codec& codec) : codec_(codec) {}
  virtual ~CodecAdapter() = default;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override {
    if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IAdapterCommon)) {
      *out = static_cast<IAdapterCommon*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }

  STDMETHODIMP_(NTSTATUS) Init(PRESOURCELIST, PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(PINTERRUPTSYNC) GetInterruptSync() override { return nullptr; }
  STDMETHODIMP_(PUNKNOWN*) WavePortDriverDest() override { return &unusedSlot_; }
  STDMETHODIMP_(PUNKNOWN*) MidiPortDriverDest() override { return &unusedSlot_; }
  STDMETHODIMP_(void) SetWaveServiceGroups(PSERVICEGROUP*) override {}
  STDMETHODIMP_(NTSTATUS) ResetZATAC97Controller() override { return STATUS_SUCCESS; }
  STDMETHODIMP_(ULONG) ReadPCIRegDW(UCHAR) override { return 0; }
  STDMETHODIMP_(USHORT) ReadPCIRegW(UCHAR) override { return 0; }
  STDMETHODIMP_(UCHAR) ReadPCIRegB(UCHAR) override { return 0; }
  STDMETHODIMP_(void) WritePCIRegDW(UCHAR, ULONG) override {}
  STDMETHODIMP_(void) WritePCIRegW(UCHAR, USHORT) override {}
  STDMETHODIMP_(void) WritePCIRegB(UCHAR, UCHAR) override {}

  STDMETHODIMP_(USHORT) CodecRegRead(UCHAR reg) override {
    NoteAccess();
    if (reg >= 0x02 && reg <= 0x1D) return shadow_[reg / 2 - 1];
    if (reg == timedOutRegister) return 0xFFFF;  // the adapter's answer when the codec does not answer
    return codec_.Read(reg);
  }
  STDMETHODIMP_(void) CodecRegWrite(UCHAR reg, USHORT value) override {
    NoteAccess();
    if (reg & 1) return;
    codec_.Write(reg, value);
    if (reg >= 0x02 && reg <= 0x1C) shadow_[reg / 2 - 1] = value;
  }
  STDMETHODIMP_(void) CodecReset() override {
    ++resets;
    RestoreMixerSettingsFromRegistry();
  }
  STDMETHODIMP_(UCHAR) ReadIntTimes(ULONG) override { return 0; }
  STDMETHODIMP_(void) WriteIntTimes(ULONG, UCHAR) override {}
  STDMETHODIMP_(void) HwAcquireCodecSync() override {
    if (lockDepth_ != 0) nestedLocks++;
    ++lockDepth_;
  }
  STDMETHODIMP_(void) HwReleaseCodecSync() override {
    if (lockDepth_ == 0) unbalancedReleases++;
    else --lockDepth_;
  }
  // A first start: the mixer defaults, written in table order.
  STDMETHODIMP_(NTSTATUS) RestoreMixerSettingsFromRegistry() override {
    static const std::pair<UCHAR, USHORT> kDefaults[] = {
        {0x02, 0x0707}, {0x06, 0x001F}, {0x0A, 0x8000}, {0x0C, 0x8008}, {0x0E, 0x0008},
        {0x10, 0x8808}, {0x12, 0x0808}, {0x14, 0x8808}, {0x16, 0x8808}, {0x18, 0x0707},
        {0x1A, 0x0000}, {0x1C, 0x0000}, {0x20, 0x0000}};
    for (const auto& [reg, value] : kDefaults) CodecRegWrite(reg, stored.count(reg) ? stored[reg] : value);
    for (const auto& [reg, value] : stored)
      if (reg > 0x20) CodecRegWrite(reg, value);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) SaveMixerSettingsToRegistry() override {
    ++saves;
    return STATUS_SUCCESS;
  }

  // What the miniport last wrote to a cached mixer register (0x02-0x1C), as it
  // went over the link: the codec itself drops reserved bits.
  USHORT Written(UCHAR reg) const { return shadow_[reg / 2 - 1]; }

  // Settings the restore finds stored, over the defaults.
  std::map<UCHAR, USHORT> stored;
  // Reads of this (uncached) register time out.
  int timedOutRegister = -1;
  // While `watching` is set, a codec access outside HwAcquire/HwRelease counts as unlocked.
  bool watching = false;
  int unlockedAccesses = 0;
  int nestedLocks = 0;
  int unbalancedReleases = 0;
  int resets = 0;
  int saves = 0;
  ULONG references = 1;  // the test's own

 private:
  void NoteAccess() {
    if (watching && lockDepth_ == 0) ++unlockedAccesses;
  }

  sim::Codec& codec_;
  std::array<USHORT, 14> shadow_{};
  int lockDepth_ = 0;
  PUNKNOWN unusedSlot_ = nullptr;
};

// The topology port as far as the miniport sees it: something it holds a reference on.
class CountedPort : public IPortTopology {
 public:
  virtual ~CountedPort() = default;
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* out) override {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                         PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG references = 1;
};

// The friend the miniport grants its bit-field routines to.
}  // namespace topotest

class CMiniportTopologyZATAC97Access {
 public:
  static USHORT ReadBits(PMINIPORTTOPOLOGY miniport, UCHAR reg, UCHAR width, UCHAR shift) {
    return static_cast<CMiniportTopologyZATAC97*>(miniport)->ReadBitsFromCodec(reg, width, shift);
  }
  static void WriteBits(PMINIPORTTOPOLOGY miniport, UCHAR reg, UCHAR width, UCHAR shift, USHORT value) {
    static_cast<CMiniportTopologyZATAC97*>(miniport)->WriteBitsToCodec(reg, width, shift, value);
  }
};

namespace topotest {

inline sim::MachineConfig CodecMachine(bool has3d) {
  sim::MachineConfig config;
  config.codec.has3d = has3d;
  return config;
}

// A created and initialised miniport over a simulated codec, one per test.
class MiniportTest : public ::testing::Test {
 protected:
  explicit MiniportTest(bool has3d = true) : machine_(CodecMachine(has3d)), kernel_(machine_) {
    kernel_.SetViolationHandler([this](const host::Violation& v) { violations_.push_back(v.message); });
  }

  void TearDown() override {
    dispatcher_.reset();
    if (miniport_) miniport_->Release();
    miniport_ = nullptr;
    if (resources_) resources_->Release();
    EXPECT_EQ(adapter_.references, 1u) << "the miniport must give back its adapter reference";
    EXPECT_EQ(port_.references, 1u) << "the miniport must give back its port reference";
    kernel_.Teardown();
    EXPECT_TRUE(violations_.empty()) << violations_.front();
  }

  NTSTATUS Create() {
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = CreateZATAC97Topology(&unknown, GUID_NULL, nullptr, NonPagedPool);
    if (!NT_SUCCESS(status)) return status;
    status = unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport_));
    unknown->Release();
    return status;
  }

  NTSTATUS Start(std::vector<ULONG> ports = {0xE000}) {
    NTSTATUS status = Create();
    if (!NT_SUCCESS(status)) return status;
    // The topology's sublist, as device start hands it over.
    status = host::ResourceList::CreateSublist(&resources_, NonPagedPool, static_cast<ULONG>(ports.size()) + 1);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG start : ports) {
      CM_PARTIAL_RESOURCE_DESCRIPTOR port{};
      port.Type = CmResourceTypePort;
      port.Flags = CM_RESOURCE_PORT_IO;
      port.u.Port.Start.QuadPart = start;
      port.u.Port.Length = 0x100;
      status = resources_->AddEntry(&port, &port);
      if (!NT_SUCCESS(status)) return status;
    }
    status = miniport_->Init(static_cast<IAdapterCommon*>(&adapter_), resources_, &port_);
    if (NT_SUCCESS(status)) {
      dispatcher_ = std::make_unique<host::PropertyDispatcher>(miniport_);
      adapter_.watching = true;
    }
    return status;
  }

  const host::PropertyDispatcher& Mixer() { return *dispatcher_; }
  // The miniport's level cache, row by row.
  std::vector<CtrlVal> LevelCache() {
    std::vector<CtrlVal> rows;
    for (UCHAR row = 0; row < CtrlValCacheRows; ++row)
      rows.push_back(static_cast<CMiniportTopologyZATAC97*>(miniport_)->LevelCacheRow(row));
    return rows;
  }
  sim::Codec& Codec() { return machine_.GetCodec(); }
  USHORT Reg(UCHAR reg) { return Codec().Peek(reg); }
  // Puts a value in a codec register the way the adapter would, outside any request.
  void Preset(UCHAR reg, USHORT value) {
    const bool watching = adapter_.watching;
    adapter_.watching = false;
    adapter_.CodecRegWrite(reg, value);
    adapter_.watching = watching;
  }

  sim::Machine machine_;
  host::Kernel kernel_;
  std::vector<std::string> violations_;
  CodecAdapter adapter_{machine_.GetCodec()};
  CountedPort port_;
  PRESOURCELIST resources_ = nullptr;
  PMINIPORTTOPOLOGY miniport_ = nullptr;
  std::unique_ptr<host::PropertyDispatcher> dispatcher_;
};

class MiniportTestNo3D : public MiniportTest {
 protected:
  MiniportTestNo3D() : MiniportTest(false) {}
};

}  // namespace topotest
