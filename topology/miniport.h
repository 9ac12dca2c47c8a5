/*
 * CMiniportTopologyZATAC97: the mixer miniport. It picks one of the two filter
 * descriptions at Init (with or without the codec's 3D controls) and owns what
 * the property handlers share: the codec bit-field access, the node-to-register
 * table and the volume level cache.
 */
#pragma once

#include <portcls.h>

#include "adapter/adapter.h"
#include "adapter/unknown.h"
#include "topology/topology.h"

/* AC'97 mixer registers the topology touches. */
enum {
    AC97REG_MASTER_VOLUME = 0x02,
    AC97REG_MONO_VOLUME = 0x06,
    AC97REG_PCBEEP_VOLUME = 0x0A,
    AC97REG_PHONE_VOLUME = 0x0C,
    AC97REG_MIC_VOLUME = 0x0E,
    AC97REG_LINE_IN_VOLUME = 0x10,
    AC97REG_CD_VOLUME = 0x12,
    AC97REG_VIDEO_VOLUME = 0x14,
    AC97REG_AUX_VOLUME = 0x16,
    AC97REG_PCM_OUT_VOLUME = 0x18,
    AC97REG_RECORD_SELECT = 0x1A,
    AC97REG_RECORD_GAIN = 0x1C,
    AC97REG_GENERAL_PURPOSE = 0x20,
    AC97REG_3D_CONTROL = 0x22,
};

/* General Purpose bit 13: the codec's 3D stereo enhancement enable. */
const USHORT AC97_GP_3D_ENABLE = 0x2000;

/* Node numbers: 0-35 in both filter variants, 36-38 only with 3D control. */
const ULONG TopologyNodeCountNoCtrl3D = 36;
const ULONG TopologyNodeCountCtrl3D = 39;

/* One row per node: the codec register its control lives in, and its level-cache row. */
typedef struct {
    UCHAR CodecRegister;
    UCHAR CacheIndex;   /* CtrlValCache row of a volume node; NoCacheIndex otherwise */
} AccessParam;
const UCHAR NoCacheIndex = 0xFF;

extern const AccessParam AccessParams[TopologyNodeCountCtrl3D];

/*
 * A volume node's level per channel, in 1/65536 dB (3D nodes: 3D steps):
 * what the codec held after Init, then the level last set.
 */
typedef struct {
    LONG Left;
    LONG Right;
} CtrlVal;
const ULONG CtrlValCacheRows = 19;

/*
 * What the adapter's CodecRegRead gives for a read that timed out. General
 * Purpose and 3D Control have reserved bits that read 0, so a codec never
 * answers this from them.
 */
const USHORT AC97_READ_TIMED_OUT = 0xFFFF;

extern const PCFILTER_DESCRIPTOR NoCtrl3DMiniportFilterDescriptor;
extern const PCFILTER_DESCRIPTOR Ctrl3DMiniportFilterDescriptor;

/* Property handlers named by the automation tables. */
NTSTATUS NTAPI PropertyHandler_Topo_Volume(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_Topo_Mute(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_Topo_MUX(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_Topo_Agc(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_SuperMixCaps(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_SuperMixTable(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandler_CpuResources(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS ZATAC97TopoBasicSupportHandler(PPCPROPERTY_REQUEST PropertyRequest);

class CMiniportTopologyZATAC97 : public IMiniportTopology, public CUnknown
{
private:
    PADAPTERCOMMON AdapterCommon;
    PPORTTOPOLOGY Port;
    ULONG ResourcePortStart;
    UCHAR Ctrl3DSupported;
    /* Per miniport, so two devices never share levels. */
    CtrlVal CtrlValCache[CtrlValCacheRows];

    NTSTATUS ProcessResources(PRESOURCELIST ResourceList);
    void Probe3DControl();
    void LoadLevelsFromCodec();

    /* The handlers reach the codec only through the two locked bit-field routines. */
    USHORT ReadBitsFromCodec(UCHAR Register, UCHAR Width, UCHAR Shift);
    NTSTATUS WriteBitsToCodec(UCHAR Register, UCHAR Width, UCHAR Shift, USHORT Value);

    friend NTSTATUS NTAPI PropertyHandler_Topo_Volume(PPCPROPERTY_REQUEST PropertyRequest);
    friend NTSTATUS NTAPI PropertyHandler_Topo_Mute(PPCPROPERTY_REQUEST PropertyRequest);
    friend NTSTATUS NTAPI PropertyHandler_Topo_MUX(PPCPROPERTY_REQUEST PropertyRequest);
    friend NTSTATUS NTAPI PropertyHandler_Topo_Agc(PPCPROPERTY_REQUEST PropertyRequest);
    friend class CMiniportTopologyZATAC97Access;

public:
    CtrlVal &LevelCacheRow(UCHAR CacheIndex) { return CtrlValCache[CacheIndex]; }

    explicit CMiniportTopologyZATAC97(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}
    ~CMiniportTopologyZATAC97() override;

    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface) override;

    /* IMiniport */
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *OutFilterDescriptor) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                  PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                                  PVOID ResultantFormat, PULONG ResultantFormatLength) override;

    /* IMiniportTopology */
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) override;
};

/* Recovers the miniport from a property request's major target (its IMiniportTopology face). */
inline CMiniportTopologyZATAC97 *TopologyMiniportOf(PPCPROPERTY_REQUEST PropertyRequest)
{
    return static_cast<CMiniportTopologyZATAC97 *>(reinterpret_cast<PMINIPORTTOPOLOGY>(PropertyRequest->MajorTarget));
}
