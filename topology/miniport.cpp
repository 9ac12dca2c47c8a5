/*
 * The mixer miniport object: creation, Init (restore the saved mixer and
 * probe for 3D control), the filter description, and the locked codec
 * bit-field access the property handlers use.
 */
#include <zatplatform.h>

#include "topology/miniport.h"

PAGED_ROUTINE
NTSTATUS NTAPI CreateZATAC97Topology(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ClassId);

    CMiniportTopologyZATAC97 *miniport =
        new (PoolType, PoolTagObject) CMiniportTopologyZATAC97(UnknownOuter);
    if (!miniport)
        return STATUS_INSUFFICIENT_RESOURCES;

    *Unknown = reinterpret_cast<PUNKNOWN>(static_cast<PMINIPORTTOPOLOGY>(miniport));
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
CMiniportTopologyZATAC97::~CMiniportTopologyZATAC97()
{
    PAGED_CODE();

    if (Port) {
        Port->Release();
        Port = NULL;
    }
    /* The registry holds the mixer between runs: save whenever the mixer goes away. */
    if (AdapterCommon) {
        AdapterCommon->SaveMixerSettingsToRegistry();
        AdapterCommon->Release();
        AdapterCommon = NULL;
    }
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportTopologyZATAC97::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface)
{
    PAGED_CODE();

    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportTopology)) {
        *Interface = static_cast<PMINIPORTTOPOLOGY>(this);
        static_cast<PMINIPORTTOPOLOGY>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = NULL;
    return STATUS_INVALID_PARAMETER;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportTopologyZATAC97::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                                                       PPORTTOPOLOGY PortTopology)
{
    PAGED_CODE();

    Port = PortTopology;
    Port->AddRef();

    NTSTATUS status =
        UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID *>(&AdapterCommon));
    if (!NT_SUCCESS(status))
        return status;

    status = ProcessResources(ResourceList);
    if (!NT_SUCCESS(status))
        return status;

    AdapterCommon->CodecReset();
    Probe3DControl();
    LoadLevelsFromCodec();

    return status;
}

/*
 * A codec with 3D control keeps the enable bit; one without drops it. The
 * bit is left set, so 3D enhancement starts on where it exists. A read that
 * timed out says nothing about the codec: no 3D, and nothing is written
 * from it (it would set every bit, the loopback among them).
 */
PAGED_ROUTINE
void CMiniportTopologyZATAC97::Probe3DControl()
{
    PAGED_CODE();

    Ctrl3DSupported = 0;
    USHORT generalPurpose = AdapterCommon->CodecRegRead(AC97REG_GENERAL_PURPOSE);
    if (generalPurpose == AC97_READ_TIMED_OUT)
        return;
    AdapterCommon->CodecRegWrite(AC97REG_GENERAL_PURPOSE, generalPurpose | AC97_GP_3D_ENABLE);
    generalPurpose = AdapterCommon->CodecRegRead(AC97REG_GENERAL_PURPOSE);
    if (generalPurpose != AC97_READ_TIMED_OUT && (generalPurpose & AC97_GP_3D_ENABLE))
        Ctrl3DSupported = 1;
}

PAGED_ROUTINE
NTSTATUS CMiniportTopologyZATAC97::ProcessResources(PRESOURCELIST ResourceList)
{
    PAGED_CODE();

    if (ResourceList->NumberOfEntriesOfType(CmResourceTypePort) != 1)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    PCM_PARTIAL_RESOURCE_DESCRIPTOR port = ResourceList->FindTranslatedEntry(CmResourceTypePort, 0);
    if (!port)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    ResourcePortStart = port->u.Port.Start.LowPart;
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportTopologyZATAC97::GetDescription(PPCFILTER_DESCRIPTOR *OutFilterDescriptor)
{
    PAGED_CODE();

    const PCFILTER_DESCRIPTOR *description =
        Ctrl3DSupported ? &Ctrl3DMiniportFilterDescriptor : &NoCtrl3DMiniportFilterDescriptor;
    /* The published signature hands out a non-const pointer; the framework only reads it. */
    *OutFilterDescriptor = const_cast<PPCFILTER_DESCRIPTOR>(description);
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportTopologyZATAC97::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG,
                                                                        PVOID, PULONG)
{
    PAGED_CODE();
    /* Let the framework intersect the analog ranges itself. */
    return STATUS_NOT_IMPLEMENTED;
}

/* The low Width bits of a 16-bit register field; Width is 1 to 16. */
static inline ULONG FieldMask(UCHAR Width)
{
    return ~(0xFFFFUL << Width) & 0xFFFFUL;
}

PAGED_ROUTINE
USHORT CMiniportTopologyZATAC97::ReadBitsFromCodec(UCHAR Register, UCHAR Width, UCHAR Shift)
{
    PAGED_CODE();

    AdapterCommon->HwAcquireCodecSync();
    ULONG value = AdapterCommon->CodecRegRead(Register);
    AdapterCommon->HwReleaseCodecSync();

    return (USHORT)((value >> Shift) & FieldMask(Width));
}

/* A field whose register could not be read is left alone, and the request that asked for it fails. */
PAGED_ROUTINE
NTSTATUS CMiniportTopologyZATAC97::WriteBitsToCodec(UCHAR Register, UCHAR Width, UCHAR Shift, USHORT Value)
{
    PAGED_CODE();

    /* Only the field's bits change; the rest of the register keeps what the read returned. */
    ULONG mask = FieldMask(Width) << Shift;

    AdapterCommon->HwAcquireCodecSync();
    USHORT old = AdapterCommon->CodecRegRead(Register);
    /* Only these two are read from the codec itself; a timed-out read must not be written back. */
    BOOLEAN readFailed = old == AC97_READ_TIMED_OUT &&
                         (Register == AC97REG_GENERAL_PURPOSE || Register == AC97REG_3D_CONTROL);
    if (!readFailed)
        AdapterCommon->CodecRegWrite(Register, (USHORT)((((ULONG)Value << Shift) & mask) | (old & ~mask)));
    AdapterCommon->HwReleaseCodecSync();
    return readFailed ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}
