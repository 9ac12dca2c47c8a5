// The port class framework's device-level state: what PcAddAdapterDevice
// creates for a functional device object, the subdevices, physical
// connections and power-management object registered on it, and the
// framework's IRP dispatch routines (the PnP routine a driver may hook).
#pragma once

#include <portcls.h>

#include <string>
#include <vector>

namespace host {

class PortCore;

struct SubdeviceInfo {
  std::wstring name;
  GUID portClass = GUID_NULL;
  PUNKNOWN port = nullptr;      // the port's canonical IUnknown (the framework's reference)
  PMINIPORT miniport = nullptr; // the miniport the port holds
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;    // the sublist given to the port's Init
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> untranslated;
};

struct PhysicalConnectionInfo {
  std::wstring fromSubdevice;
  ULONG fromPin = 0;
  std::wstring toSubdevice;
  ULONG toPin = 0;
  bool operator==(const PhysicalConnectionInfo&) const = default;
};

class DeviceContext {
 public:
  DeviceContext(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, PCPFNSTARTDEVICE start, ULONG maxObjects)
      : fdo_(fdo), pdo_(pdo), start_(start), maxObjects_(maxObjects) {}
  ~DeviceContext();

  // The context of a functional device object PcAddAdapterDevice made.
  static DeviceContext* Find(PDEVICE_OBJECT fdo);

  PDEVICE_OBJECT Fdo() const { return fdo_; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  ULONG MaxObjects() const { return maxObjects_; }
  bool Started() const { return started_; }

  NTSTATUS RegisterSubdevice(PWCHAR name, PUNKNOWN unknown);
  void CheckFilterDescription(PWCHAR name, PortCore* port);
  NTSTATUS RegisterPhysicalConnection(PUNKNOWN from, ULONG fromPin, PUNKNOWN to, ULONG toPin);
  NTSTATUS RegisterPowerManagement(PUNKNOWN unknown);

  std::vector<SubdeviceInfo> Subdevices() const;
  const std::vector<PhysicalConnectionInfo>& Connections() const { return connections_; }
  PADAPTERPOWERMANAGEMENT PowerManagement() const { return power_; }

  // IRP_MN_START_DEVICE, after the lower device started: calls the driver's
  // start routine with the assigned resources.
  NTSTATUS Start(PIRP irp);
  // Stop and removal: unregisters the subdevices (releasing the ports, so the
  // miniports and in turn the adapter object go) and the power object.
  void ReleaseEverything();

 private:
  struct Subdevice {
    std::wstring name;
    PortCore* port;  // one reference, the framework's
  };
  const Subdevice* FindByUnknown(PUNKNOWN unknown) const;

  PDEVICE_OBJECT fdo_;
  PDEVICE_OBJECT pdo_;
  PCPFNSTARTDEVICE start_;
  ULONG maxObjects_;
  bool started_ = false;
  std::vector<Subdevice> subdevices_;
  std::vector<PhysicalConnectionInfo> connections_;
  PADAPTERPOWERMANAGEMENT power_ = nullptr;
};

// The framework's dispatch routines, as PcInitializeAdapterDriver installs
// them in a driver object.
NTSTATUS NTAPI FrameworkDispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI FrameworkDispatchPower(PDEVICE_OBJECT device, PIRP irp);
VOID NTAPI FrameworkUnload(PDRIVER_OBJECT driver);

}  // namespace host
