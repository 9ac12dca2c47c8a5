/*
 * The driver's outer shell: entry point, add-device and Plug and Play hook,
 * device start with its resource split and subdevice installation, and the
 * configuration requests sent to the bus before start.
 */
#pragma once

#include <portcls.h>
#include <zatplatform.h>

/*
 * Driver-wide state, one set for every device the driver adds. Written only
 * by DriverEntry and AddDevice, read afterwards without a lock.
 */
extern PDEVICE_OBJECT LowerPDO;          /* configuration requests go here */
extern PDRIVER_DISPATCH PortDispatchPnp; /* the framework's own IRP_MJ_PNP routine */
extern BOOLEAN MPUEnable;                /* the MPU-401 port is on in PCI configuration */
extern ULONG MPUStartPort;               /* its base: 0x300, 0x310, 0x320 or 0x330 */
extern BOOLEAN NewChip;                  /* controller revision 0x20 or later */

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI MiniDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

/* AddDevice with the given start routine; AddDevice passes StartDevice. */
NTSTATUS AddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PCPFNSTARTDEVICE Start);

/* The creation functions of the two miniports this driver brings. */
struct ADAPTER_MINIPORTS {
    PFNCREATEINSTANCE CreateTopology;
    PFNCREATEINSTANCE CreateWave;
};
extern const ADAPTER_MINIPORTS ZATAC97Miniports;

/* StartDevice with the given miniports; StartDevice passes ZATAC97Miniports. */
NTSTATUS StartAdapterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList,
                            const ADAPTER_MINIPORTS *Miniports);

NTSTATUS AssignResources(PRESOURCELIST ResourceList, PRESOURCELIST *TopologyList, PRESOURCELIST *WaveList,
                         PRESOURCELIST *UartList, PRESOURCELIST *AdapterList);

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCWSTR Name, REFGUID PortClassId,
                          REFGUID MiniportClassId, PFNCREATEINSTANCE MiniportCreate, PUNKNOWN UnknownAdapter,
                          PRESOURCELIST ResourceList, PUNKNOWN *OutPortUnknown);

/* Configuration space through the bus driver; passive level, LowerPDO must be set. */
UCHAR ReadPCIConfig(ULONG Offset);
void WritePCIConfig(ULONG Offset, PUCHAR Value);
NTSTATUS NTAPI PCICompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/*
 * The MPU-401 rewrite of a resource requirements list. STATUS_SUCCESS with a
 * new list (the caller frees the old one); STATUS_NOT_SUPPORTED when the list
 * does not have the shape the rewrite understands; STATUS_INSUFFICIENT_RESOURCES
 * when the new list cannot be allocated. The old list is never changed.
 */
NTSTATUS AddMidiPortRequirement(PIO_RESOURCE_REQUIREMENTS_LIST OldList, ULONG MidiStartPort,
                                PIO_RESOURCE_REQUIREMENTS_LIST *NewList);
