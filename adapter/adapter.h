/*
 * IAdapterCommon: the adapter's private interface, shared by the topology and
 * wave miniports. The slot order is fixed; callers compiled separately rely
 * on it.
 */
#pragma once

#include <portcls.h>

/* {7EDA2950-BF9F-11D0-871F-00A0C911B544} */
DEFINE_GUID(IID_IAdapterCommon, 0x7EDA2950L, 0xBF9F, 0x11D0, 0x87, 0x1F, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

DECLARE_INTERFACE_(IAdapterCommon, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(NTSTATUS, Init)(THIS_ PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) PURE;
    STDMETHOD_(PINTERRUPTSYNC, GetInterruptSync)(THIS) PURE;
    STDMETHOD_(PUNKNOWN *, WavePortDriverDest)(THIS) PURE;
    STDMETHOD_(PUNKNOWN *, MidiPortDriverDest)(THIS) PURE;
    /*
     * The wave miniport hands over its two-entry service-group array from its
     * Init and must hand over NULL from its destructor: once this returns, the
     * interrupt routine no longer touches the previous array.
     */
    STDMETHOD_(void, SetWaveServiceGroups)(THIS_ PSERVICEGROUP *ServiceGroups) PURE;
    STDMETHOD_(NTSTATUS, ResetZATAC97Controller)(THIS) PURE;

    STDMETHOD_(ULONG, ReadPCIRegDW)(THIS_ UCHAR Register) PURE;
    STDMETHOD_(USHORT, ReadPCIRegW)(THIS_ UCHAR Register) PURE;
    STDMETHOD_(UCHAR, ReadPCIRegB)(THIS_ UCHAR Register) PURE;
    STDMETHOD_(void, WritePCIRegDW)(THIS_ UCHAR Register, ULONG Value) PURE;
    STDMETHOD_(void, WritePCIRegW)(THIS_ UCHAR Register, USHORT Value) PURE;
    STDMETHOD_(void, WritePCIRegB)(THIS_ UCHAR Register, UCHAR Value) PURE;

    /*
     * Codec access, passive level only. Each access holds CodecMutex (which is
     * recursive, so it nests inside HwAcquireCodecSync/HwReleaseCodecSync);
     * registers 0x02-0x1C read from the cache without touching the codec.
     */
    STDMETHOD_(USHORT, CodecRegRead)(THIS_ UCHAR Register) PURE;
    STDMETHOD_(void, CodecRegWrite)(THIS_ UCHAR Register, USHORT Value) PURE;
    STDMETHOD_(void, CodecReset)(THIS) PURE;
    STDMETHOD_(UCHAR, ReadIntTimes)(THIS_ ULONG Channel) PURE;
    STDMETHOD_(void, WriteIntTimes)(THIS_ ULONG Channel, UCHAR Count) PURE;
    STDMETHOD_(void, HwAcquireCodecSync)(THIS) PURE;
    STDMETHOD_(void, HwReleaseCodecSync)(THIS) PURE;

    STDMETHOD_(NTSTATUS, RestoreMixerSettingsFromRegistry)(THIS) PURE;
    STDMETHOD_(NTSTATUS, SaveMixerSettingsToRegistry)(THIS) PURE;
};
typedef IAdapterCommon *PADAPTERCOMMON;

NTSTATUS NewAdapterCommon(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);

/*
 * Takes a channel's event count and leaves 0 in its place, with the interrupt
 * excluded, so that an event the interrupt routine counts between the read
 * and the clear is not lost. Callable up to dispatch level. Use this, not
 * ReadIntTimes followed by WriteIntTimes, wherever the interrupt is live.
 */
UCHAR TakeIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel);
/* The count without taking it, read with the interrupt excluded likewise. */
UCHAR PeekIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel);
