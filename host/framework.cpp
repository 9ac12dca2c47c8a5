#include "host/framework.h"

#include <cstring>
#include <cwchar>
#include <map>

#include "host/com.h"
#include "host/graph.h"
#include "host/image_boundary.h"
#include "host/kernel.h"
#include "host/registry.h"
#include "host/ports.h"
#include "host/resource_list.h"

namespace host {

namespace {

std::map<PDEVICE_OBJECT, DeviceContext*>& Contexts() {
  static std::map<PDEVICE_OBJECT, DeviceContext*> contexts;
  return contexts;
}

constexpr CSHORT kDeviceObjectType = 3;  // IO_TYPE_DEVICE

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PRKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower driver to finish it, so the
// framework can act after the bus (start runs bottom-up).
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS Forward(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void DeleteDevice(DeviceContext* context) {
  PDEVICE_OBJECT fdo = context->Fdo();
  PDEVICE_OBJECT pdo = context->Pdo();
  if (pdo && pdo->AttachedDevice == fdo) pdo->AttachedDevice = nullptr;
  if (PDRIVER_OBJECT driver = fdo->DriverObject) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == fdo) {
        *link = fdo->NextDevice;
        break;
      }
    }
  }
  Contexts().erase(fdo);
  delete context;
  Kernel::Require("IoDeleteDevice").GetPool().Free(fdo, kTagDevice);
}

}  // namespace

DeviceContext::~DeviceContext() { ReleaseEverything(); }

DeviceContext* DeviceContext::Find(PDEVICE_OBJECT fdo) {
  auto found = Contexts().find(fdo);
  return found == Contexts().end() ? nullptr : found->second;
}

// The framework builds its filter factory from the miniport's description
// when the subdevice registers: a table that does not hold together (an end
// that does not exist, an input fed twice, a cycle, counts and sizes that
// disagree) is the driver's fault, reported there rather than when a client
// first walks the graph.
void DeviceContext::CheckFilterDescription(PWCHAR name, PortCore* port) {
  PMINIPORT miniport = port->Miniport();
  if (!miniport) return;
  Kernel& kernel = Kernel::Require("PcRegisterSubdevice");
  const std::string subdevice = "\"" + ToUtf8(name) + "\"";
  // A miniport without a description (a stand-in in a test) is taken at its word.
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (!NT_SUCCESS(miniport->GetDescription(&description)) || !description) return;
  for (const std::string& problem : DescriptionProblems(*description))
    kernel.Violate("filter", subdevice + ": " + problem);
}

NTSTATUS DeviceContext::RegisterSubdevice(PWCHAR name, PUNKNOWN unknown) {
  if (!name || !*name || !unknown) return STATUS_INVALID_PARAMETER;
  PortCore* port = PortCore::FromUnknown(unknown);
  if (!port) return STATUS_INVALID_PARAMETER;
  if (!port->Initialised()) return STATUS_INVALID_DEVICE_STATE;
  for (const Subdevice& s : subdevices_) {
    if (s.name == name) return STATUS_OBJECT_NAME_COLLISION;
    if (s.port == port) return STATUS_OBJECT_NAME_COLLISION;
  }
  if (subdevices_.size() >= maxObjects_) return STATUS_INSUFFICIENT_RESOURCES;
  CheckFilterDescription(name, port);
  port->Unknown()->AddRef();
  subdevices_.push_back(Subdevice{name, port});
  return STATUS_SUCCESS;
}

const DeviceContext::Subdevice* DeviceContext::FindByUnknown(PUNKNOWN unknown) const {
  PortCore* port = PortCore::FromUnknown(unknown);
  if (!port) return nullptr;
  for (const Subdevice& s : subdevices_)
    if (s.port == port) return &s;
  return nullptr;
}

namespace {
// A pin the filter does not have cannot be connected; a miniport without a
// description is taken at its word.
bool PinExists(PortCore* port, ULONG pin) {
  PMINIPORT miniport = port->Miniport();
  if (!miniport) return true;
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (!NT_SUCCESS(miniport->GetDescription(&description)) || !description || description->PinCount == 0) return true;
  return pin < description->PinCount;
}
}  // namespace

NTSTATUS DeviceContext::RegisterPhysicalConnection(PUNKNOWN from, ULONG fromPin, PUNKNOWN to, ULONG toPin) {
  const Subdevice* source = FindByUnknown(from);
  const Subdevice* target = FindByUnknown(to);
  if (!source || !target) return STATUS_INVALID_PARAMETER;
  if (!PinExists(source->port, fromPin) || !PinExists(target->port, toPin)) return STATUS_INVALID_PARAMETER;
  connections_.push_back(PhysicalConnectionInfo{source->name, fromPin, target->name, toPin});
  return STATUS_SUCCESS;
}

NTSTATUS DeviceContext::RegisterPowerManagement(PUNKNOWN unknown) {
  if (!unknown) return STATUS_INVALID_PARAMETER;
  PADAPTERPOWERMANAGEMENT power = nullptr;
  CheckImageInterface(unknown, IID_IUnknown);
  const NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
  if (!NT_SUCCESS(status)) return status;
  if (!power) return STATUS_INVALID_PARAMETER;
  CheckImageInterface(power, IID_IAdapterPowerManagement);
  if (power_) power_->Release();
  power_ = power;
  return STATUS_SUCCESS;
}

std::vector<SubdeviceInfo> DeviceContext::Subdevices() const {
  std::vector<SubdeviceInfo> result;
  for (const Subdevice& s : subdevices_) {
    result.push_back(SubdeviceInfo{s.name, s.port->PortClass(), s.port->Unknown(), s.port->Miniport(),
                                   s.port->TranslatedResources(), s.port->UntranslatedResources()});
  }
  return result;
}

NTSTATUS DeviceContext::Start(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PRESOURCELIST resources = nullptr;
  NTSTATUS status = ResourceList::CreateFromCm(&resources, stack->Parameters.StartDevice.AllocatedResources,
                                               stack->Parameters.StartDevice.AllocatedResourcesTranslated);
  if (!NT_SUCCESS(status)) return status;
  status = FromImage(start_, "StartDevice")(fdo_, irp, resources);
  resources->Release();
  if (NT_SUCCESS(status)) started_ = true;
  return status;
}

void DeviceContext::ReleaseEverything() {
  connections_.clear();
  // Last registered goes first; each port lets go of its miniport before
  // the framework lets go of the port.
  while (!subdevices_.empty()) {
    PortCore* port = subdevices_.back().port;
    subdevices_.pop_back();
    port->ReleaseChildren();
    port->Unknown()->Release();
  }
  if (power_) {
    PADAPTERPOWERMANAGEMENT power = power_;
    power_ = nullptr;
    power->Release();
  }
  started_ = false;
}

NTSTATUS NTAPI FrameworkDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  DeviceContext* context = DeviceContext::Find(device);
  if (!context) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  PDEVICE_OBJECT lower = context->Pdo();
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(lower, irp);
      if (NT_SUCCESS(status)) status = context->Start(irp);
      return CompleteWith(irp, status);
    }
    case IRP_MN_STOP_DEVICE:
      context->ReleaseEverything();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return Forward(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      context->ReleaseEverything();
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = Forward(lower, irp);
      DeleteDevice(context);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return Forward(lower, irp);
    default:
      return Forward(lower, irp);
  }
}

NTSTATUS NTAPI FrameworkDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  DeviceContext* context = DeviceContext::Find(device);
  if (!context) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  return Forward(context->Pdo(), irp);
}

VOID NTAPI FrameworkUnload(PDRIVER_OBJECT) {}

}  // namespace host

using host::DeviceContext;
using host::Kernel;

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice) {
  Kernel::Require("PcInitializeAdapterDriver").CheckIrqlAtMost(PASSIVE_LEVEL, "PcInitializeAdapterDriver");
  if (!DriverObject || !RegistryPathName || !AddDevice || !DriverObject->DriverExtension)
    return STATUS_INVALID_PARAMETER;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = host::FrameworkUnload;
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = PcDispatchIrp;
  DriverObject->MajorFunction[IRP_MJ_PNP] = host::FrameworkDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = host::FrameworkDispatchPower;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize) {
  Kernel& kernel = Kernel::Require("PcAddAdapterDevice");
  kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "PcAddAdapterDevice");
  if (!DriverObject || !PhysicalDeviceObject || !StartDevice) return STATUS_INVALID_PARAMETER;
  if (PhysicalDeviceObject->AttachedDevice) return STATUS_INVALID_DEVICE_STATE;
  // The extension starts with the framework's part; a driver asking for its
  // own room asks for that size plus its own.
  const SIZE_T extension = DeviceExtensionSize > PORT_CLASS_DEVICE_EXTENSION_SIZE ? DeviceExtensionSize
                                                                                  : PORT_CLASS_DEVICE_EXTENSION_SIZE;
  const SIZE_T bytes = sizeof(DEVICE_OBJECT) + extension;
  auto* fdo = static_cast<PDEVICE_OBJECT>(kernel.GetPool().Allocate(NonPagedPool, bytes, host::kTagDevice));
  if (!fdo) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(fdo, 0, bytes);
  fdo->Type = host::kDeviceObjectType;
  fdo->Size = static_cast<USHORT>(bytes);
  fdo->ReferenceCount = 1;
  fdo->DriverObject = DriverObject;
  fdo->DeviceExtension = fdo + 1;
  fdo->StackSize = static_cast<CCHAR>(PhysicalDeviceObject->StackSize + 1);
  fdo->Flags = DO_POWER_PAGABLE;
  auto* context = new DeviceContext(fdo, PhysicalDeviceObject, StartDevice, MaxObjects);
  host::Contexts().emplace(fdo, context);
  *static_cast<DeviceContext**>(fdo->DeviceExtension) = context;
  fdo->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = fdo;
  PhysicalDeviceObject->AttachedDevice = fdo;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP: return host::FrameworkDispatchPnp(DeviceObject, Irp);
    case IRP_MJ_POWER: return host::FrameworkDispatchPower(DeviceObject, Irp);
    default: return host::CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown) {
  Kernel::Require("PcRegisterSubdevice").CheckIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice");
  DeviceContext* context = DeviceContext::Find(DeviceObject);
  if (!context) return STATUS_INVALID_PARAMETER;
  return context->RegisterSubdevice(Name, Unknown);
}

NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                            PUNKNOWN ToUnknown, ULONG ToPin) {
  Kernel::Require("PcRegisterPhysicalConnection").CheckIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection");
  DeviceContext* context = DeviceContext::Find(DeviceObject);
  if (!context) return STATUS_INVALID_PARAMETER;
  return context->RegisterPhysicalConnection(FromUnknown, FromPin, ToUnknown, ToPin);
}

NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1) {
  Kernel::Require("PcRegisterAdapterPowerManagement")
      .CheckIrqlAtMost(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement");
  DeviceContext* context = DeviceContext::Find(static_cast<PDEVICE_OBJECT>(pvContext1));
  if (!context) return STATUS_INVALID_PARAMETER;
  return context->RegisterPowerManagement(Unknown);
}

ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since) {
  const ULONGLONG now = Kernel::Require("PcGetTimeInterval").Now();
  return Since == 0 ? now : now - Since;
}
