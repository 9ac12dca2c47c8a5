// Shared support for the adapter tests: a kernel-and-machine fixture that
// starts the device either with the driver's own miniports or with small
// stand-ins (so the adapter's own port traffic can be read without the
// mixer's or the wave miniport's), and views of the trace.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "adapter/common.h"
#include "adapter/driver.h"
#include "host/driver_under_test.h"
#include "host/interrupt_sync.h"
#include "host/testing.h"

namespace adaptertest {

// Records RequestService calls of the service groups it joins, in order.
class RecordingSink final : public IServiceSink {
 public:
  explicit RecordingSink(std::vector<int>* log, int id) : log_(log), id_(id) {}
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(void) RequestService() override { log_->push_back(id_); }

 private:
  std::vector<int>* log_;
  int id_;
  ULONG refs_ = 1;
};

// What the stand-in miniports do in Init.
struct StandInBehaviour {
  NTSTATUS createStatus = STATUS_SUCCESS;  // the creation function's answer
  bool serviceGroups = true;               // the wave stand-in hands over a group array
};

// The miniports a test start uses; StartWithStandIns fills them.
struct StandIns {
  StandInBehaviour topology;
  StandInBehaviour wave;
  // Notifications of the wave stand-in's two groups: 0 playback, 1 capture.
  std::vector<int> notified;
  // The array the wave stand-in handed to the adapter (null when none).
  PSERVICEGROUP* serviceGroups = nullptr;
  int miniportsAlive = 0;
};
StandIns& CurrentStandIns();
NTSTATUS NTAPI StandInDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

struct PortAccess {
  bool write;
  int width;
  std::uint32_t port;
  std::uint32_t value;
  bool operator==(const PortAccess&) const = default;
};
std::ostream& operator<<(std::ostream& out, const PortAccess& access);
// Shorthands for expected port traces.
PortAccess R8(std::uint32_t port, std::uint32_t value);
PortAccess W8(std::uint32_t port, std::uint32_t value);
PortAccess R16(std::uint32_t port, std::uint32_t value);
PortAccess W16(std::uint32_t port, std::uint32_t value);
PortAccess R32(std::uint32_t port, std::uint32_t value);

class AdapterTest : public host::testing::KernelTest {
 protected:
  // The driver-wide state outlives a device; every test starts from its initial values.
  void SetUp() override;
  void TearDown() override;

  // A fresh machine and kernel with config_, and the driver-wide state back to its initial values.
  void Reboot();

  NTSTATUS StartDriver() { return Harness().Start(host::DriverUnderTest(DriverEntry)); }
  NTSTATUS StartWithStandIns() { return Harness().Start(StandInDriverEntry); }
  StandIns& Miniports() { return CurrentStandIns(); }

  // The adapter object of the started device (the framework holds it for power management).
  CAdapterCommon* Adapter();

  // Port accesses since the last ClearTrace, controller block and diagnostic ports only.
  std::vector<PortAccess> ControllerAccesses() const;
  std::vector<sim::TraceEntry> Entries(sim::TraceKind kind) const;
  void ClearTrace() { const_cast<AdapterTest*>(this)->Machine().GetTrace().Clear(); }
  std::uint32_t IoBase() const { return config_.ioBase; }

  // Sets the pending SGD events of a channel (0 playback, 1 capture) as the
  // hardware would: a zero-length table entry finishes at once. Interrupt
  // enables are set only when `raiseInterrupt`.
  void RaiseChannelEvents(int channel, std::uint8_t events, bool raiseInterrupt);

  sim::Ticks Now() { return Machine().GetClock().Now(); }

  // An adapter object made and initialised outside a device start, on the
  // resources the bus assigns; Release it (and the list) before the test ends.
  struct Standalone {
    CAdapterCommon* adapter = nullptr;
    PRESOURCELIST resources = nullptr;
    NTSTATUS initStatus = STATUS_UNSUCCESSFUL;
    void Release();
  };
  Standalone NewStandaloneAdapter();
  // The full resource list of the device as the bus assigns it (loads and adds the driver first).
  PRESOURCELIST AssignedResourceList();
};

}  // namespace adaptertest
