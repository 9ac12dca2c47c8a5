// A small driver for host tests: it goes through the same framework calls
// as the real adapter driver (DriverEntry, AddDevice with a configuration
// read, a start routine) with each step replaceable by the test, and a
// topology-shaped miniport that counts what happens to it.
#pragma once

#include <portcls.h>

#include <functional>

namespace fake {

struct Driver {
  // Set by the test before LoadDriver.
  ULONG maxObjects = 3;
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP, PRESOURCELIST)> start;
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> filter;  // IRP_MN_FILTER_RESOURCE_REQUIREMENTS, when set
  NTSTATUS configSentWith = STATUS_NOT_SUPPORTED;         // the status the configuration read goes out with
  // Filled by AddDevice: configuration byte 0x08 read through the bus.
  UCHAR revision = 0;
  NTSTATUS configStatus = STATUS_SUCCESS;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_DISPATCH frameworkPnp = nullptr;

  static Driver* current;
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
};

// Reads one configuration byte from the PDO as a driver does: an IRP with a
// completion routine and an event, waited on when the bus pends.
UCHAR ReadConfigByte(PDEVICE_OBJECT pdo, ULONG offset, NTSTATUS* status);

class Miniport final : public IMiniportTopology {
 public:
  static int live;  // objects alive
  static int inits;
  // The filter GetDescription gives when set (two bare pins otherwise).
  static const PCFILTER_DESCRIPTOR* description;

  Miniport() { ++live; }
  ~Miniport() { --live; }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTTOPOLOGY port) override;

  NTSTATUS initResult = STATUS_SUCCESS;
  PUNKNOWN adapter = nullptr;

 private:
  ULONG refs_ = 1;
};

// Creates a port of `portClass` with a fake miniport and registers it under `name`.
NTSTATUS Install(PDEVICE_OBJECT device, PIRP irp, PWCHAR name, PRESOURCELIST resources, PUNKNOWN* port);

}  // namespace fake
