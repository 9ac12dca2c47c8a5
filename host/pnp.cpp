#include "host/pnp.h"

#include <cstring>

#include "host/com.h"
#include "host/image_boundary.h"
#include "host/io.h"
#include "host/kernel.h"

namespace host {

namespace {

constexpr CSHORT kDeviceObjectType = 3;  // IO_TYPE_DEVICE
constexpr CSHORT kDriverObjectType = 4;  // IO_TYPE_DRIVER
constexpr sim::Ticks kPnpRequestLimit = 60 * sim::kTicksPerSecond;

std::string StatusText(NTSTATUS status) { return Hex(static_cast<std::uint32_t>(status)); }

}  // namespace

DeviceHarness::DeviceHarness(Kernel& kernel) : DeviceHarness(kernel, Options{}) {}

DeviceHarness::DeviceHarness(Kernel& kernel, Options options) : kernel_(kernel), options_(std::move(options)) {
  busDriver_.Type = kDriverObjectType;
  busDriver_.Size = sizeof(DRIVER_OBJECT);
  busDriver_.DriverExtension = &busExtension_;
  busExtension_.DriverObject = &busDriver_;
  for (auto& entry : busDriver_.MajorFunction) entry = BusDispatchOther;
  busDriver_.MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
  busDriver_.DeviceObject = &pdo_;
  pdo_.Type = kDeviceObjectType;
  pdo_.Size = sizeof(DEVICE_OBJECT);
  pdo_.ReferenceCount = 1;
  pdo_.DriverObject = &busDriver_;
  pdo_.DeviceExtension = this;
  pdo_.StackSize = 1;
  kernel_.NameObject(&pdo_, "the bus's PDO");
}

DeviceHarness::~DeviceHarness() {
  if (Fdo()) RemoveDevice();
  if (driverLoaded_ && driver_.DriverUnload) FromImage(driver_.DriverUnload, "DriverUnload")(&driver_);
  driverLoaded_ = false;
}

NTSTATUS DeviceHarness::Fail(NTSTATUS status, std::string why) {
  lastError_ = std::move(why);
  kernel_.DebugPrint("host: PnP: " + lastError_);
  return status;
}

NTSTATUS DeviceHarness::LoadDriver(PDRIVER_INITIALIZE driverEntry) {
  if (!driverEntry) return Fail(STATUS_INVALID_PARAMETER, "no DriverEntry given");
  if (driverLoaded_) return Fail(STATUS_INVALID_DEVICE_STATE, "the driver is already loaded");
  lastError_.clear();
  driver_ = DRIVER_OBJECT{};
  driverExtension_ = DRIVER_EXTENSION{};
  driver_.Type = kDriverObjectType;
  driver_.Size = sizeof(DRIVER_OBJECT);
  driver_.DriverExtension = &driverExtension_;
  driver_.DriverInit = driverEntry;
  driverExtension_.DriverObject = &driver_;
  RtlInitUnicodeString(&registryPath_, options_.registryPath.c_str());
  driverExtension_.ServiceKeyName = registryPath_;
  const NTSTATUS status = driverEntry(&driver_, &registryPath_);
  if (!NT_SUCCESS(status)) return Fail(status, "DriverEntry failed with " + StatusText(status));
  driverLoaded_ = true;
  if (!driver_.MajorFunction[IRP_MJ_PNP] || !driverExtension_.AddDevice)
    return Fail(STATUS_INVALID_DEVICE_STATE, "DriverEntry left no PnP dispatch routine or no AddDevice");
  return status;
}

NTSTATUS DeviceHarness::AddDevice() {
  if (!driverLoaded_) return Fail(STATUS_INVALID_DEVICE_STATE, "AddDevice before the driver is loaded");
  if (Fdo()) return Fail(STATUS_INVALID_DEVICE_STATE, "the device is already added");
  lastError_.clear();
  haveAssignment_ = false;
  const NTSTATUS status = FromImage(driverExtension_.AddDevice, "AddDevice")(&driver_, &pdo_);
  if (!NT_SUCCESS(status)) return Fail(status, "AddDevice failed with " + StatusText(status));
  if (!Fdo()) return Fail(STATUS_INVALID_DEVICE_STATE, "AddDevice succeeded without attaching a device object");
  return status;
}

NTSTATUS DeviceHarness::SendPnp(UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill,
                                ULONG_PTR* information) {
  PDEVICE_OBJECT top = Fdo();
  if (!top) return Fail(STATUS_INVALID_DEVICE_STATE, "no device to send the request to");
  IoManager& io = kernel_.Io();
  PIRP irp = io.Allocate(top->StackSize, true);
  if (!irp) return Fail(STATUS_INSUFFICIENT_RESOURCES, "no memory for a PnP request");
  // The PnP manager sends every request as "not supported" until a driver says otherwise.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = information ? *information : 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memset(next, 0, sizeof(*next));
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (fill) fill(*next);
  const NTSTATUS returned = io.Call(top, irp);
  if (io.StateOf(irp) == IoManager::State::InFlight) {
    kernel_.RunUntil([&] { return io.StateOf(irp) != IoManager::State::InFlight; }, kPnpRequestLimit);
  }
  if (io.StateOf(irp) == IoManager::State::InFlight) {
    // Left with the driver: the packet cannot be freed under it.
    return Fail(STATUS_UNSUCCESSFUL, "the driver never completed PnP request " + std::to_string(minor));
  }
  const NTSTATUS status = irp->IoStatus.Status;
  if (returned != STATUS_PENDING && returned != status) {
    kernel_.Violate("irp", "a dispatch routine returned " + StatusText(returned) + " for PnP request " +
                               std::to_string(minor) + " but completed it with " + StatusText(status));
  }
  if (information) *information = irp->IoStatus.Information;
  io.Free(irp);
  return status;
}

NTSTATUS DeviceHarness::FilterResourceRequirements(PIO_RESOURCE_REQUIREMENTS_LIST override) {
  lastError_.clear();
  haveAssignment_ = false;
  filtered_.clear();
  assigned_ = {};
  Pool& pool = kernel_.GetPool();
  const sim::MachineConfig& config = kernel_.Machine().Config();
  PIO_RESOURCE_REQUIREMENTS_LIST list = override;
  if (!list) {
    list = BuildRequirementsList(kernel_, kernel_.Machine().ResourceRequirements(), config.pciBus,
                                 static_cast<ULONG>(config.pciDevice) << 3 | 5);
    if (!list) return Fail(STATUS_INSUFFICIENT_RESOURCES, "no memory for the requirements list");
  }
  ULONG_PTR information = reinterpret_cast<ULONG_PTR>(list);
  const NTSTATUS status = SendPnp(
      IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
      [&](IO_STACK_LOCATION& s) { s.Parameters.FilterResourceRequirements.IoResourceRequirementList = list; },
      &information);
  auto stillOurs = [&](const void* p) {
    auto block = pool.Find(p);
    return block && block->address == p;
  };
  if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
    if (stillOurs(list)) pool.Free(list, std::nullopt);
    return Fail(status, "IRP_MN_FILTER_RESOURCE_REQUIREMENTS failed with " + StatusText(status));
  }
  auto* result = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(information);
  if (!result || status == STATUS_NOT_SUPPORTED) result = list;
  if (result != list && stillOurs(list)) {
    // A driver that hands back a new list frees the one it was given.
    kernel_.Violate("pnp", "the driver replaced the requirements list " + Hex(list) +
                               " but did not free the one it was given");
    pool.Free(list, std::nullopt);
  }
  auto block = pool.Find(result);
  if (!block || block->address != result) {
    return Fail(STATUS_DEVICE_CONFIGURATION_ERROR,
                "the filtered requirements list " + Hex(result) + " is not the start of a pool allocation");
  }
  const SIZE_T copy = std::min<SIZE_T>(block->size, result->ListSize);
  filtered_.assign(reinterpret_cast<const unsigned char*>(result), reinterpret_cast<const unsigned char*>(result) + copy);
  const std::string error = AssignResources(result, block->size, config.irq, assigned_);
  pool.Free(result, std::nullopt);
  if (!error.empty()) {
    assigned_ = {};
    return Fail(STATUS_DEVICE_CONFIGURATION_ERROR, "requirements list refused: " + error);
  }
  haveAssignment_ = true;
  return STATUS_SUCCESS;
}

NTSTATUS DeviceHarness::StartDevice() {
  if (!haveAssignment_) {
    const NTSTATUS status = FilterResourceRequirements();
    if (!NT_SUCCESS(status)) return status;
  }
  lastError_.clear();
  PCM_RESOURCE_LIST raw = BuildCmResourceList(kernel_, assigned_.untranslated);
  PCM_RESOURCE_LIST translated = BuildCmResourceList(kernel_, assigned_.translated);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (raw && translated) {
    status = SendPnp(
        IRP_MN_START_DEVICE,
        [&](IO_STACK_LOCATION& s) {
          s.Parameters.StartDevice.AllocatedResources = raw;
          s.Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        },
        nullptr);
  }
  if (raw) kernel_.GetPool().Free(raw, kTagPnp);
  if (translated) kernel_.GetPool().Free(translated, kTagPnp);
  if (!NT_SUCCESS(status)) {
    if (lastError_.empty()) Fail(status, "IRP_MN_START_DEVICE failed with " + StatusText(status));
    return status;
  }
  powerState_ = PowerDeviceD0;
  return status;
}

NTSTATUS DeviceHarness::Start(PDRIVER_INITIALIZE driverEntry) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!driverLoaded_) status = LoadDriver(driverEntry);
  if (NT_SUCCESS(status) && !Fdo()) status = AddDevice();
  if (NT_SUCCESS(status)) status = FilterResourceRequirements();
  if (NT_SUCCESS(status)) status = StartDevice();
  return status;
}

NTSTATUS DeviceHarness::StopDevice() {
  lastError_.clear();
  const NTSTATUS status = SendPnp(IRP_MN_STOP_DEVICE, nullptr, nullptr);
  haveAssignment_ = false;
  return status;
}

NTSTATUS DeviceHarness::RemoveDevice() {
  lastError_.clear();
  const NTSTATUS status = SendPnp(IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
  haveAssignment_ = false;
  if (Fdo()) {
    kernel_.Violate("pnp", "the device object is still attached after IRP_MN_REMOVE_DEVICE");
    pdo_.AttachedDevice = nullptr;
  }
  return status;
}

NTSTATUS DeviceHarness::SetPowerState(DEVICE_POWER_STATE state) {
  PADAPTERPOWERMANAGEMENT power = PowerManagement();
  if (!power) return Fail(STATUS_INVALID_DEVICE_STATE, "no power-management object is registered");
  kernel_.CheckIrqlAtMost(PASSIVE_LEVEL, "a power request");
  POWER_STATE newState;
  newState.DeviceState = state;
  const NTSTATUS status = power->QueryPowerChangeState(newState);
  if (!NT_SUCCESS(status)) return Fail(status, "QueryPowerChangeState refused with " + StatusText(status));
  // As the power IRP travels: on the way down the driver acts first and the
  // bus driver then powers the PCI function down; on the way up the bus
  // driver powers the function up, waits the PCI power-management recovery
  // time (10 ms from D3hot, 200 us from D2), and only then does the driver
  // see the change.
  sim::PciFunction& function = kernel_.Machine().Pci();
  const auto functionState = static_cast<sim::PciFunction::PowerState>(state - PowerDeviceD0);
  if (state == PowerDeviceD0) {
    const sim::PciFunction::PowerState before = function.GetPowerState();
    function.SetPowerState(functionState);
    if (before == sim::PciFunction::PowerState::D3) kernel_.RunFor(10 * sim::kTicksPerMillisecond);
    else if (before == sim::PciFunction::PowerState::D2) kernel_.RunFor(200 * sim::kTicksPerMicrosecond);
    power->PowerChangeState(newState);
  } else {
    power->PowerChangeState(newState);
    function.SetPowerState(functionState);
  }
  powerState_ = state;
  return STATUS_SUCCESS;
}

bool DeviceHarness::Started() const {
  DeviceContext* context = Fdo() ? DeviceContext::Find(Fdo()) : nullptr;
  return context && context->Started();
}

std::vector<SubdeviceInfo> DeviceHarness::Subdevices() const {
  DeviceContext* context = Fdo() ? DeviceContext::Find(Fdo()) : nullptr;
  return context ? context->Subdevices() : std::vector<SubdeviceInfo>{};
}

std::optional<SubdeviceInfo> DeviceHarness::Subdevice(const std::wstring& name) const {
  for (SubdeviceInfo& s : Subdevices())
    if (s.name == name) return s;
  return std::nullopt;
}

std::vector<PhysicalConnectionInfo> DeviceHarness::PhysicalConnections() const {
  DeviceContext* context = Fdo() ? DeviceContext::Find(Fdo()) : nullptr;
  return context ? context->Connections() : std::vector<PhysicalConnectionInfo>{};
}

PADAPTERPOWERMANAGEMENT DeviceHarness::PowerManagement() const {
  DeviceContext* context = Fdo() ? DeviceContext::Find(Fdo()) : nullptr;
  return context ? context->PowerManagement() : nullptr;
}

// ---- The bus driver ---------------------------------------------------------------------------

NTSTATUS NTAPI DeviceHarness::BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<DeviceHarness*>(device->DeviceExtension)->BusPnp(irp);
}

NTSTATUS NTAPI DeviceHarness::BusDispatchOther(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DeviceHarness::BusPnp(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_READ_CONFIG: return ConfigRequest(irp, false);
    case IRP_MN_WRITE_CONFIG: return ConfigRequest(irp, true);
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;  // not the bus's business: the status stays as the request came
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DeviceHarness::ConfigRequest(PIRP irp, bool write) {
  ++configRequests_;
  // As Driver Verifier checks: a PnP request goes out as "not supported", the status it keeps
  // when no driver below handles it; any other would read as that driver's answer.
  if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
    kernel_.Violate("irp", "a configuration request sent with the status " + StatusText(irp->IoStatus.Status) +
                               ", not STATUS_NOT_SUPPORTED");
  const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.ReadWriteConfig;
  NTSTATUS status = STATUS_SUCCESS;
  if (p.WhichSpace != PCI_WHICHSPACE_CONFIG) status = STATUS_NOT_SUPPORTED;
  else if (!p.Buffer || p.Length == 0 || p.Offset >= 256 || p.Length > 256 - p.Offset) status = STATUS_INVALID_PARAMETER;
  else if (options_.failConfigRequests) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (options_.pendConfigRequests) {
    IoMarkIrpPending(irp);
    kernel_.QueueWork(kernel_.Now() + options_.pendDelay, Kernel::WorkLevel::Passive,
                      [this, irp, write] { CompleteConfig(irp, write); }, "");
    return STATUS_PENDING;
  }
  CompleteConfig(irp, write);
  return STATUS_SUCCESS;
}

void DeviceHarness::CompleteConfig(PIRP irp, bool write) {
  const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.ReadWriteConfig;
  auto* buffer = static_cast<unsigned char*>(p.Buffer);
  sim::Machine& machine = kernel_.Machine();
  for (ULONG i = 0; i < p.Length; ++i) {
    if (write)
      machine.ConfigWrite(p.Offset + i, 1, buffer[i]);
    else
      buffer[i] = static_cast<unsigned char>(machine.ConfigRead(p.Offset + i, 1));
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = p.Length;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace host
