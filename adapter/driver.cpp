/*
 * Driver entry, add-device, the Plug and Play hook and device start: the
 * assigned resources are split per subdevice, the adapter common object is
 * created and initialised, and "Topology", "Wave" and "Uart" are installed
 * and wired together.
 */
#include "adapter/driver.h"

#include "adapter/adapter.h"
#include "adapter/registers.h"
#include "topology/topology.h"
#include "wave/wave.h"

PDEVICE_OBJECT LowerPDO = NULL;
PDRIVER_DISPATCH PortDispatchPnp = NULL;
BOOLEAN MPUEnable = TRUE;
ULONG MPUStartPort = 0;
BOOLEAN NewChip = FALSE;

const ADAPTER_MINIPORTS ZATAC97Miniports = {CreateZATAC97Topology, CreateZATAC97WavePci};

const ULONG MaxSubdevices = 3;

static const WCHAR TopologyName[] = L"Topology";
static const WCHAR WaveName[] = L"Wave";
static const WCHAR UartName[] = L"Uart";

/* The wiring between the two filters. */
enum FILTER { TopologyFilter, WaveFilter };
struct PHYSICAL_CONNECTION {
    FILTER From;
    ULONG FromPin;
    FILTER To;
    ULONG ToPin;
};
static const PHYSICAL_CONNECTION PhysicalConnections[] = {
    /* from            pin   to              pin                                          */
    {TopologyFilter,   11,   WaveFilter,     1},  /* topology output bridge -> wave capture */
    {WaveFilter,       3,    TopologyFilter, 0},  /* wave render bridge -> topology wave-out */
};

/* C linkage comes from driver.h; a section attribute cannot precede extern "C". */
INIT_ROUTINE
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName)
{
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPathName, AddDevice);

    /* Put the hook in front of the framework's own Plug and Play routine. */
    PortDispatchPnp = DriverObject->MajorFunction[IRP_MJ_PNP];
    DriverObject->MajorFunction[IRP_MJ_PNP] = MiniDispatchPnp;
    return status;
}

PAGED_ROUTINE
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    return AddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice);
}

PAGED_ROUTINE
NTSTATUS AddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PCPFNSTARTDEVICE Start)
{
    PAGED_CODE();

    LowerPDO = PhysicalDeviceObject;

    UCHAR midiControl = ReadPCIConfig(MidiControl);
    if (midiControl & MidiControlPortEnabled) {
        MPUEnable = TRUE;
        UCHAR select = (UCHAR)((ReadPCIConfig(MidiPortSelect) >> MidiPortSelectShift) & MidiPortSelectMask);
        MPUStartPort = MidiPortBase + MidiPortStride * select;
    } else {
        MPUEnable = FALSE;
    }

    if (ReadPCIConfig(PciRevisionId) >= NewChipRevision) {
        NewChip = TRUE;
        if (MPUEnable) {
            /* The newer controller wants the MIDI port touched before its control bits change. */
            (void)READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)MPUStartPort);
            UCHAR value = (UCHAR)((midiControl & MidiControlNewChipKeep) | MidiControlNewChipSet);
            WritePCIConfig(MidiControl, &value);
        }
    } else {
        NewChip = FALSE;
    }

    return PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, Start, MaxSubdevices, 0);
}

/*
 * Answers the filter-resource-requirements request itself on an older
 * controller with the MIDI port on, when the list has the shape it knows;
 * everything else goes to the framework.
 */
PAGED_ROUTINE
NTSTATUS NTAPI MiniDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_FILTER_RESOURCE_REQUIREMENTS && MPUEnable && !NewChip) {
        PIO_RESOURCE_REQUIREMENTS_LIST oldList = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
        PIO_RESOURCE_REQUIREMENTS_LIST newList = NULL;
        if (NT_SUCCESS(AddMidiPortRequirement(oldList, MPUStartPort, &newList))) {
            /* The list we replace is ours to free; the new one belongs to the Plug and Play manager. */
            ExFreePool(oldList);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = (ULONG_PTR)newList;
            /* The IRP may be gone once completed: return the status we set, not read it back. */
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    }

    if (!PortDispatchPnp) {
        /* Not hooked in front of anything: complete the request as it stands. */
        NTSTATUS status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    return PortDispatchPnp(DeviceObject, Irp);
}

/* A sublist of the assigned resources, or NULL when it cannot be made. */
PAGED_ROUTINE
static NTSTATUS NewSublist(PRESOURCELIST Parent, ULONG Capacity, PRESOURCELIST *Sublist)
{
    PAGED_CODE();
    PRESOURCELIST list = NULL;
    NTSTATUS status = PcNewResourceSublist(&list, NULL, PagedPool, Parent, Capacity);
    *Sublist = NT_SUCCESS(status) ? list : NULL;
    return status;
}

PAGED_ROUTINE
static void ReleaseSublist(PRESOURCELIST *Sublist)
{
    PAGED_CODE();
    if (*Sublist) {
        (*Sublist)->Release();
        *Sublist = NULL;
    }
}

/*
 * On an older controller the MPU-401 range is port 1 only when the requirements
 * rewrite put it there; a rewrite that was skipped leaves the controller's own
 * second range in that place, and an MPU-401 reset byte must not go into it.
 * The assigned range itself says which it is.
 */
PAGED_ROUTINE
static BOOLEAN MidiPortAssigned(PRESOURCELIST ResourceList)
{
    PAGED_CODE();
    if (NewChip)
        return TRUE;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR port = ResourceList->FindUntranslatedEntry(CmResourceTypePort, 1);
    return port && port->u.Port.Start.QuadPart == (LONGLONG)MPUStartPort && port->u.Port.Length >= MidiPortLength;
}

/*
 * Port n and interrupt n count entries of that type in the assigned list:
 *   Topology  port 0
 *   Wave      port 0, interrupt 0
 *   Uart      interrupt 0, port 1 (port 2 on the newer controller)   -- MIDI port on and assigned
 *   adapter   interrupt 0, port 0
 * The results of AddEntryFromParent are not examined: a missing MIDI port
 * makes the "Uart" install fail, which does not fail the start.
 */
PAGED_ROUTINE
NTSTATUS AssignResources(PRESOURCELIST ResourceList, PRESOURCELIST *TopologyList, PRESOURCELIST *WaveList,
                         PRESOURCELIST *UartList, PRESOURCELIST *AdapterList)
{
    PAGED_CODE();

    *TopologyList = NULL;
    *WaveList = NULL;
    *UartList = NULL;
    *AdapterList = NULL;

    if (!ResourceList || ResourceList->NumberOfEntriesOfType(CmResourceTypePort) < 1 ||
        ResourceList->NumberOfEntriesOfType(CmResourceTypeInterrupt) < 1)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    NTSTATUS status = NewSublist(ResourceList, 1, TopologyList);
    if (NT_SUCCESS(status))
        (*TopologyList)->AddEntryFromParent(ResourceList, CmResourceTypePort, 0);

    if (NT_SUCCESS(status)) {
        status = NewSublist(ResourceList, 2, WaveList);
        if (NT_SUCCESS(status)) {
            (*WaveList)->AddEntryFromParent(ResourceList, CmResourceTypePort, 0);
            (*WaveList)->AddEntryFromParent(ResourceList, CmResourceTypeInterrupt, 0);
        }
    }

    if (NT_SUCCESS(status) && MPUEnable && MidiPortAssigned(ResourceList)) {
        status = NewSublist(ResourceList, 2, UartList);
        if (NT_SUCCESS(status)) {
            (*UartList)->AddEntryFromParent(ResourceList, CmResourceTypeInterrupt, 0);
            (*UartList)->AddEntryFromParent(ResourceList, CmResourceTypePort, NewChip ? 2 : 1);
        }
    }

    if (NT_SUCCESS(status)) {
        status = NewSublist(ResourceList, 2, AdapterList);
        if (NT_SUCCESS(status)) {
            (*AdapterList)->AddEntryFromParent(ResourceList, CmResourceTypeInterrupt, 0);
            (*AdapterList)->AddEntryFromParent(ResourceList, CmResourceTypePort, 0);
        }
    }

    if (!NT_SUCCESS(status)) {
        ReleaseSublist(TopologyList);
        ReleaseSublist(WaveList);
        ReleaseSublist(UartList);
        ReleaseSublist(AdapterList);
    }
    return status;
}

PAGED_ROUTINE
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCWSTR Name, REFGUID PortClassId,
                          REFGUID MiniportClassId, PFNCREATEINSTANCE MiniportCreate, PUNKNOWN UnknownAdapter,
                          PRESOURCELIST ResourceList, PUNKNOWN *OutPortUnknown)
{
    PAGED_CODE();

    if (OutPortUnknown)
        *OutPortUnknown = NULL;

    PPORT port = NULL;
    NTSTATUS status = PcNewPort(&port, PortClassId);
    if (!NT_SUCCESS(status))
        return status;

    PUNKNOWN miniport = NULL;
    if (MiniportCreate) {
        status = MiniportCreate(&miniport, MiniportClassId, NULL, NonPagedPool);
    } else {
        PMINIPORT frameworkMiniport = NULL;
        status = PcNewMiniport(&frameworkMiniport, MiniportClassId);
        miniport = frameworkMiniport;
    }
    if (!NT_SUCCESS(status)) {
        port->Release();
        return status;
    }

    status = port->Init(DeviceObject, Irp, miniport, UnknownAdapter, ResourceList);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(DeviceObject, const_cast<PWCHAR>(Name), port);

    /* The port holds its own reference to the miniport. */
    miniport->Release();

    if (NT_SUCCESS(status) && OutPortUnknown)
        status = port->QueryInterface(IID_IUnknown, (PVOID *)OutPortUnknown);

    port->Release();
    return status;
}

/* Creates, initialises and registers the adapter object; on return *Adapter holds it even if a later step failed. */
PAGED_ROUTINE
static NTSTATUS NewStartedAdapter(PRESOURCELIST AdapterList, PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON *Adapter)
{
    PAGED_CODE();

    PUNKNOWN created = NULL;
    NTSTATUS status = NewAdapterCommon(&created, IID_IAdapterCommon, NULL, NonPagedPool);
    if (!NT_SUCCESS(status))
        return status;

    status = created->QueryInterface(IID_IAdapterCommon, (PVOID *)Adapter);
    if (NT_SUCCESS(status))
        status = (*Adapter)->Init(AdapterList, DeviceObject);
    if (NT_SUCCESS(status))
        status = PcRegisterAdapterPowerManagement(*Adapter, DeviceObject);

    created->Release();
    return status;
}

PAGED_ROUTINE
static void RegisterPhysicalConnections(PDEVICE_OBJECT DeviceObject, PUNKNOWN TopologyPort, PUNKNOWN WavePort)
{
    PAGED_CODE();
    for (ULONG i = 0; i < ARRAYSIZE(PhysicalConnections); ++i) {
        const PHYSICAL_CONNECTION &c = PhysicalConnections[i];
        (void)PcRegisterPhysicalConnection(DeviceObject, c.From == TopologyFilter ? TopologyPort : WavePort,
                                           c.FromPin, c.To == TopologyFilter ? TopologyPort : WavePort, c.ToPin);
    }
}

PAGED_ROUTINE
static void ReleaseUnknown(PUNKNOWN Unknown)
{
    PAGED_CODE();
    if (Unknown)
        Unknown->Release();
}

PAGED_ROUTINE
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    PAGED_CODE();
    return StartAdapterDevice(DeviceObject, Irp, ResourceList, &ZATAC97Miniports);
}

/*
 * One status runs through the start: each step happens only while it is
 * success, and every sublist and reference is released whatever it became.
 */
PAGED_ROUTINE
NTSTATUS StartAdapterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList,
                            const ADAPTER_MINIPORTS *Miniports)
{
    PAGED_CODE();

    PRESOURCELIST topologyList = NULL;
    PRESOURCELIST waveList = NULL;
    PRESOURCELIST uartList = NULL;
    PRESOURCELIST adapterList = NULL;
    PADAPTERCOMMON adapter = NULL;
    PUNKNOWN topologyPort = NULL;
    PUNKNOWN wavePort = NULL;
    PUNKNOWN midiPort = NULL;

    NTSTATUS status = AssignResources(ResourceList, &topologyList, &waveList, &uartList, &adapterList);

    if (adapterList) {
        if (NT_SUCCESS(status))
            status = NewStartedAdapter(adapterList, DeviceObject, &adapter);
        adapterList->Release();
    }

    if (topologyList) {
        if (NT_SUCCESS(status))
            status = InstallSubdevice(DeviceObject, Irp, TopologyName, CLSID_PortTopology, GUID_NULL,
                                      Miniports->CreateTopology, adapter, topologyList, &topologyPort);
        topologyList->Release();
    }

    if (waveList) {
        if (NT_SUCCESS(status))
            status = InstallSubdevice(DeviceObject, Irp, WaveName, CLSID_PortWavePci, GUID_NULL,
                                      Miniports->CreateWave, adapter, waveList, &wavePort);
        /* The interrupt routine notifies the wave port; the adapter owns this reference. */
        if (wavePort)
            status = wavePort->QueryInterface(IID_IPortWavePci, (PVOID *)adapter->WavePortDriverDest());
        waveList->Release();
    }

    if (uartList) {
        /* MIDI is a bonus: a failed "Uart" install does not fail the start. */
        if (NT_SUCCESS(status))
            (void)InstallSubdevice(DeviceObject, Irp, UartName, CLSID_PortMidi, CLSID_MiniportDriverUart, NULL,
                                   adapter->GetInterruptSync(), uartList, &midiPort);
        uartList->Release();
    }

    if (topologyPort && wavePort)
        RegisterPhysicalConnections(DeviceObject, topologyPort, wavePort);

    ReleaseUnknown(adapter);
    ReleaseUnknown(topologyPort);
    ReleaseUnknown(wavePort);
    ReleaseUnknown(midiPort);
    return status;
}
