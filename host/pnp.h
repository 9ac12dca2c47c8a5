// host::DeviceHarness: the PnP manager and the PCI bus driver for one
// device. It loads a driver (DriverEntry), creates the bus's physical device
// object, calls AddDevice, sends the filter-resource-requirements and start
// requests through the driver's IRP_MJ_PNP entry, answers the driver's
// configuration-space requests from the machine, forwards power requests,
// and stops and removes the device again. Tests and the tool drive a device
// through it and look at what the framework installed.
#pragma once

#include <portcls.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/framework.h"
#include "host/requirements.h"

namespace host {

class Kernel;

class DeviceHarness {
 public:
  struct Options {
    // The bus driver pends configuration requests and completes them this
    // much later, from the host's work queue (the driver takes its wait path).
    bool pendConfigRequests = false;
    sim::Ticks pendDelay = 10 * sim::kTicksPerMicrosecond;
    // The bus driver fails configuration requests (status, nothing read).
    bool failConfigRequests = false;
    std::wstring registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zatac97";
  };

  explicit DeviceHarness(Kernel& kernel);
  DeviceHarness(Kernel& kernel, Options options);
  // Removes the device if it is still there and unloads the driver.
  ~DeviceHarness();
  DeviceHarness(const DeviceHarness&) = delete;
  DeviceHarness& operator=(const DeviceHarness&) = delete;

  Options& GetOptions() { return options_; }

  // Each step returns the status the driver (or the harness's own check)
  // gave; LastError() says in words why a step failed.
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry);
  NTSTATUS AddDevice();
  // Sends IRP_MN_FILTER_RESOURCE_REQUIREMENTS with the bus's list (or
  // `override` when given: a list in the harness's pool memory, whose
  // ownership passes to the request) and computes the assignment.
  NTSTATUS FilterResourceRequirements(PIO_RESOURCE_REQUIREMENTS_LIST override = nullptr);
  NTSTATUS StartDevice();
  // Load (if not loaded), add, filter and start, stopping at the first failure.
  NTSTATUS Start(PDRIVER_INITIALIZE driverEntry);
  NTSTATUS StopDevice();
  NTSTATUS RemoveDevice();
  // Power: the query, then (when it succeeds) the change, through the
  // registered IAdapterPowerManagement, at PASSIVE_LEVEL.
  NTSTATUS SetPowerState(DEVICE_POWER_STATE state);

  const std::string& LastError() const { return lastError_; }

  // ---- What is there -----------------------------------------------------------
  PDRIVER_OBJECT Driver() { return driverLoaded_ ? &driver_ : nullptr; }
  PDEVICE_OBJECT Pdo() { return &pdo_; }
  PDEVICE_OBJECT Fdo() const { return pdo_.AttachedDevice; }
  bool Started() const;
  std::vector<SubdeviceInfo> Subdevices() const;
  // The installed subdevice of that name, or null.
  std::optional<SubdeviceInfo> Subdevice(const std::wstring& name) const;
  std::vector<PhysicalConnectionInfo> PhysicalConnections() const;
  PADAPTERPOWERMANAGEMENT PowerManagement() const;
  DEVICE_POWER_STATE PowerState() const { return powerState_; }
  // What the last filter request produced: the assignment in list order.
  const ResourceAssignment& Assigned() const { return assigned_; }
  // The requirements list as the driver returned it (a copy of its bytes).
  const std::vector<unsigned char>& FilteredRequirements() const { return filtered_; }
  std::size_t ConfigRequests() const { return configRequests_; }

 private:
  static NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI BusDispatchOther(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS BusPnp(PIRP irp);
  NTSTATUS ConfigRequest(PIRP irp, bool write);
  void CompleteConfig(PIRP irp, bool write);
  // Sends a PnP request to the top of the device's stack and waits for it.
  NTSTATUS SendPnp(UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill, ULONG_PTR* information);
  NTSTATUS Fail(NTSTATUS status, std::string why);

  Kernel& kernel_;
  Options options_;
  DRIVER_OBJECT driver_{};
  DRIVER_EXTENSION driverExtension_{};
  UNICODE_STRING registryPath_{};
  bool driverLoaded_ = false;
  DRIVER_OBJECT busDriver_{};
  DRIVER_EXTENSION busExtension_{};
  DEVICE_OBJECT pdo_{};
  ResourceAssignment assigned_;
  bool haveAssignment_ = false;
  std::vector<unsigned char> filtered_;
  std::string lastError_;
  DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
  std::size_t configRequests_ = 0;
};

}  // namespace host
