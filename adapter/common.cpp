/*
 * CAdapterCommon: creation, initialisation, destruction, interface lookup
 * and the accessors the start routine and the miniports use.
 */
#include "adapter/common.h"

PAGED_ROUTINE
NTSTATUS NewAdapterCommon(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ClassId);

    CAdapterCommon *adapter = new (PoolType, PoolTagObject) CAdapterCommon(UnknownOuter);
    if (!adapter)
        return STATUS_INSUFFICIENT_RESOURCES;

    *Unknown = reinterpret_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(adapter));
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
CAdapterCommon::~CAdapterCommon()
{
    PAGED_CODE();

    /* Disconnect first: after this no interrupt routine can run on a half-destroyed object. */
    if (InterruptSyncObject) {
        InterruptSyncObject->Disconnect();
        InterruptSyncObject->Release();
        InterruptSyncObject = NULL;
    }
    if (WavePortDriver) {
        WavePortDriver->Release();
        WavePortDriver = NULL;
    }
    if (MidiPortDriver) {
        MidiPortDriver->Release();
        MidiPortDriver = NULL;
    }
    if (BiosWindow) {
        MmUnmapIoSpace(BiosWindow, BiosWindowSize);
        BiosWindow = NULL;
        PciBiosEntry = NULL;
    }
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface)
{
    PAGED_CODE();

    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IAdapterCommon)) {
        *Interface = static_cast<PADAPTERCOMMON>(this);
    } else if (IsEqualGUIDAligned(InterfaceId, IID_IAdapterPowerManagment)) {
        *Interface = static_cast<PADAPTERPOWERMANAGEMENT>(this);
    } else {
        *Interface = NULL;
        return STATUS_INVALID_PARAMETER;
    }

    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject_)
{
    PAGED_CODE();

    /* A second Init would orphan a connected interrupt. */
    if (InterruptSyncObject)
        return STATUS_INVALID_DEVICE_STATE;

    DeviceObject = DeviceObject_;
    KeInitializeMutex(&CodecMutex, 0);

    NTSTATUS status = PcNewInterruptSync(&InterruptSyncObject, NULL, ResourceList, 0, InterruptSyncModeNormal);
    if (!NT_SUCCESS(status))
        return status;

    if (InterruptSyncObject) {
        status = InterruptSyncObject->RegisterServiceRoutine(InterruptServiceRoutine, this, FALSE);
        if (!NT_SUCCESS(status))
            return status;
        /* The routine stays idle until PortBase is known and the wave miniport has set its groups. */
        status = InterruptSyncObject->Connect();
        if (!NT_SUCCESS(status))
            return status;
    }

    if (!FindPCIDevice())
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    PCM_PARTIAL_RESOURCE_DESCRIPTOR port = ResourceList->FindTranslatedEntry(CmResourceTypePort, 0);
    if (!port)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    PortBase = port->u.Port.Start.LowPart;

    PowerState = PowerDeviceD0;
    return ResetZATAC97Controller();
}

/* Not pageable: TakeIntTimes reaches it from the stream's service at dispatch level. */
STDMETHODIMP_(PINTERRUPTSYNC) CAdapterCommon::GetInterruptSync()
{
    return InterruptSyncObject;
}

PAGED_ROUTINE
STDMETHODIMP_(PUNKNOWN *) CAdapterCommon::WavePortDriverDest()
{
    PAGED_CODE();
    /* The caller stores an IPortWavePci reference here, which the adapter then owns. */
    return reinterpret_cast<PUNKNOWN *>(&WavePortDriver);
}

PAGED_ROUTINE
STDMETHODIMP_(PUNKNOWN *) CAdapterCommon::MidiPortDriverDest()
{
    PAGED_CODE();
    return &MidiPortDriver;
}

struct SET_SERVICE_GROUPS_CONTEXT {
    CAdapterCommon *Adapter;
    PSERVICEGROUP *ServiceGroups;
};

NTSTATUS NTAPI CAdapterCommon::SetServiceGroupsSynchronized(PINTERRUPTSYNC InterruptSync, PVOID Context)
{
    UNREFERENCED_PARAMETER(InterruptSync);
    SET_SERVICE_GROUPS_CONTEXT *context = static_cast<SET_SERVICE_GROUPS_CONTEXT *>(Context);
    context->Adapter->WaveServiceGroupArray = context->ServiceGroups;
    return STATUS_SUCCESS;
}

/*
 * The array lives in the wave miniport, which clears it with NULL from its
 * destructor. The store runs with the interrupt excluded, so once this returns
 * no interrupt routine is still using the old array.
 */
STDMETHODIMP_(void) CAdapterCommon::SetWaveServiceGroups(PSERVICEGROUP *ServiceGroups)
{
    SET_SERVICE_GROUPS_CONTEXT context = {this, ServiceGroups};
    if (InterruptSyncObject)
        InterruptSyncObject->CallSynchronizedRoutine(SetServiceGroupsSynchronized, &context);
    else
        SetServiceGroupsSynchronized(NULL, &context);
}
