/*
 * The mixer's property handlers other than volume (volume.cpp): mute,
 * multiplexer, the two on/off switches exposed as AGC, and the fixed answers
 * of the supermix and CPU-resource properties. A refused request leaves the
 * codec as it was.
 */
#include <zatplatform.h>

#include "topology/miniport.h"
#include "topology/request.h"

/* ---- Mute --------------------------------------------------------------------------------------- */

typedef struct {
    ULONG Node;
    bool Stereo;    /* both channels address the one mute bit */
} MuteControl;

static const MuteControl MuteControls[] = {
    /* node  stereo */
    {  1,  true  },     /* PCM out */
    {  3,  false },     /* PC beep */
    {  5,  false },     /* phone */
    {  9,  false },     /* microphone */
    { 11,  true  },     /* line in */
    { 13,  true  },     /* CD */
    { 15,  true  },     /* video */
    { 17,  true  },     /* aux */
    { 21,  true  },     /* master */
    { 25,  false },     /* mono out */
    { 29,  true  },     /* record gain */
};

const UCHAR MuteBit = 15;

static const MuteControl *FindMuteControl(ULONG Node)
{
    for (ULONG i = 0; i < SIZEOF_ARRAY(MuteControls); i++)
        if (MuteControls[i].Node == Node)
            return &MuteControls[i];
    return NULL;
}

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_Topo_Mute(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest))
        return STATUS_INVALID_PARAMETER;

    const RequestVerb verb = VerbOf(PropertyRequest);
    if (verb == VerbNone)
        return STATUS_INVALID_PARAMETER;

    const MuteControl *control = FindMuteControl(PropertyRequest->Node);
    const bool isMute = PropertyIdOf(PropertyRequest) == KSPROPERTY_AUDIO_MUTE;

    if (verb == VerbBasicSupport) {
        if (!control)
            return STATUS_NOT_FOUND;
        return isMute ? SupportedWithoutData(PropertyRequest) : STATUS_INVALID_PARAMETER;
    }

    LONG channel;
    if (!ChannelOf(PropertyRequest, &channel) || (channel != 0 && channel != 1))
        return STATUS_INVALID_PARAMETER;
    if (ValueRoom(PropertyRequest) < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    if (!control || !isMute || (!control->Stereo && channel != 0))
        return STATUS_INVALID_PARAMETER;

    CMiniportTopologyZATAC97 *miniport = TopologyMiniportOf(PropertyRequest);
    const UCHAR codecRegister = AccessParams[control->Node].CodecRegister;

    if (verb == VerbGet) {
        ReturnUlong(PropertyRequest, miniport->ReadBitsFromCodec(codecRegister, 1, MuteBit) ? 1 : 0);
        return STATUS_SUCCESS;
    }
    return miniport->WriteBitsToCodec(codecRegister, 1, MuteBit, ValueAsLong(PropertyRequest) ? 1 : 0);
}

/* ---- Multiplexer -------------------------------------------------------------------------------- */

typedef struct {
    ULONG Node;
    UCHAR Width;
    UCHAR Shift;        /* the field a get reads and a set writes last */
    bool SecondField;   /* record select: the right field (bits 2:0) is written first */
} MuxControl;

static const MuxControl MuxControls[] = {
    /* node width shift  two fields */
    {  6,   1,    8,     false },   /* General Purpose: microphone select */
    { 23,   1,    9,     false },   /* General Purpose: mono output select */
    { 27,   3,    8,     true  },   /* Record Select: left bits 10:8, right bits 2:0 */
};

static const MuxControl *FindMuxControl(ULONG Node)
{
    for (ULONG i = 0; i < SIZEOF_ARRAY(MuxControls); i++)
        if (MuxControls[i].Node == Node)
            return &MuxControls[i];
    return NULL;
}

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_Topo_MUX(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest))
        return STATUS_INVALID_DEVICE_REQUEST;

    const RequestVerb verb = VerbOf(PropertyRequest);
    if (verb == VerbNone)
        return STATUS_INVALID_DEVICE_REQUEST;

    const MuxControl *control = FindMuxControl(PropertyRequest->Node);
    const bool isMuxSource = PropertyIdOf(PropertyRequest) == KSPROPERTY_AUDIO_MUX_SOURCE;

    if (verb == VerbBasicSupport) {
        if (!control)
            return STATUS_NOT_FOUND;
        return isMuxSource ? SupportedWithoutData(PropertyRequest) : STATUS_INVALID_DEVICE_REQUEST;
    }

    /* A get needs room for the answer; a set must carry exactly one source number. */
    const ULONG room = ValueRoom(PropertyRequest);
    if (verb == VerbGet ? room < sizeof(ULONG) : room != sizeof(ULONG))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!control || !isMuxSource)
        return STATUS_INVALID_DEVICE_REQUEST;

    CMiniportTopologyZATAC97 *miniport = TopologyMiniportOf(PropertyRequest);
    const UCHAR codecRegister = AccessParams[control->Node].CodecRegister;

    if (verb == VerbGet) {
        ReturnUlong(PropertyRequest, (ULONG)miniport->ReadBitsFromCodec(codecRegister, control->Width, control->Shift) + 1);
        return STATUS_SUCCESS;
    }

    /* Sources number the multiplexer's inputs from 1; the field counts from 0 and wraps at its width. */
    const USHORT field = (USHORT)((ULONG)ValueAsLong(PropertyRequest) - 1);
    NTSTATUS status = STATUS_SUCCESS;
    if (control->SecondField)
        status = miniport->WriteBitsToCodec(codecRegister, control->Width, 0, field);
    if (NT_SUCCESS(status))
        status = miniport->WriteBitsToCodec(codecRegister, control->Width, control->Shift, field);
    return status;
}

/* ---- On/off switches shown as AGC --------------------------------------------------------------- */

typedef struct {
    ULONG Node;
    UCHAR Shift;
} SwitchControl;

static const SwitchControl AgcControls[] = {
    /* node  bit */
    {  7,    6 },   /* Mic Volume: 20 dB boost */
    { 36,   13 },   /* General Purpose: 3D stereo enhancement */
};

static const SwitchControl *FindAgcControl(ULONG Node)
{
    for (ULONG i = 0; i < SIZEOF_ARRAY(AgcControls); i++)
        if (AgcControls[i].Node == Node)
            return &AgcControls[i];
    return NULL;
}

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_Topo_Agc(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest))
        return STATUS_INVALID_DEVICE_REQUEST;

    const RequestVerb verb = VerbOf(PropertyRequest);
    if (verb == VerbNone)
        return STATUS_INVALID_DEVICE_REQUEST;

    const SwitchControl *control = FindAgcControl(PropertyRequest->Node);
    const bool isAgc = PropertyIdOf(PropertyRequest) == KSPROPERTY_AUDIO_AGC;

    if (verb == VerbBasicSupport)
        return (control && isAgc) ? SupportedWithoutData(PropertyRequest) : STATUS_INVALID_DEVICE_REQUEST;

    LONG channel;
    if (!ChannelOf(PropertyRequest, &channel))
        return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG room = ValueRoom(PropertyRequest);
    if (verb == VerbGet ? room < sizeof(ULONG) : room != sizeof(ULONG))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!control || !isAgc || channel != 0)
        return STATUS_INVALID_DEVICE_REQUEST;

    CMiniportTopologyZATAC97 *miniport = TopologyMiniportOf(PropertyRequest);
    const UCHAR codecRegister = AccessParams[control->Node].CodecRegister;

    if (verb == VerbGet) {
        ReturnUlong(PropertyRequest, miniport->ReadBitsFromCodec(codecRegister, 1, control->Shift) ? 1 : 0);
        return STATUS_SUCCESS;
    }
    return miniport->WriteBitsToCodec(codecRegister, 1, control->Shift, ValueAsLong(PropertyRequest) ? 1 : 0);
}

/* ---- Supermix ------------------------------------------------------------------------------------ */

static bool IsSupermixNode(ULONG Node)
{
    return Node == 22 || Node == 26;
}

/* The supermix nodes fold two channels into one at unity gain. */
const ULONG SupermixInputChannels = 2;
const ULONG SupermixOutputChannels = 1;
const LONG SupermixUnityLevel = 0x00010000;

/* KSPROPERTY_AUDIO_MIX_LEVEL_CAPS: the channel counts, then one row per input-to-output path. */
struct SupermixCapsTable {
    ULONG InputChannels;
    ULONG OutputChannels;
    KSAUDIO_MIX_CAPS Capabilities[SupermixInputChannels * SupermixOutputChannels];
};
static_assert(sizeof(SupermixCapsTable) == 40, "two channels into one: 40 bytes");

static const SupermixCapsTable SupermixCaps = {
    SupermixInputChannels,
    SupermixOutputChannels,
    {
        /* Mute   Minimum             Maximum             Reset */
        {FALSE, SupermixUnityLevel, SupermixUnityLevel, SupermixUnityLevel}, /* left in to out */
        {FALSE, SupermixUnityLevel, SupermixUnityLevel, SupermixUnityLevel}, /* right in to out */
    },
};

/* KSPROPERTY_AUDIO_MIX_LEVEL_TABLE: the level of each path, fixed. */
static const KSAUDIO_MIXLEVEL SupermixLevels[SupermixInputChannels * SupermixOutputChannels] = {
    /* Mute   Level */
    {FALSE, SupermixUnityLevel}, /* left in to out */
    {FALSE, SupermixUnityLevel}, /* right in to out */
};

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_SuperMixCaps(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest))
        return STATUS_INVALID_PARAMETER;

    const RequestVerb verb = VerbOf(PropertyRequest);
    if (verb == VerbGet) {
        if (!IsSupermixNode(PropertyRequest->Node))
            return STATUS_INVALID_PARAMETER;

        /* A caller sizes the table first: no buffer, or just the two channel counts. */
        const ULONG room = ValueRoom(PropertyRequest);
        if (room == 0) {
            PropertyRequest->ValueSize = sizeof(SupermixCaps);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (room == 2 * sizeof(ULONG)) {
            ReturnValue(PropertyRequest, &SupermixCaps, 2 * sizeof(ULONG));
            return STATUS_SUCCESS;
        }
        if (room < sizeof(SupermixCaps))
            return STATUS_BUFFER_TOO_SMALL;
        ReturnValue(PropertyRequest, &SupermixCaps, sizeof(SupermixCaps));
        return STATUS_SUCCESS;
    }
    if (verb == VerbBasicSupport)
        return IsSupermixNode(PropertyRequest->Node) ? SupportedWithoutData(PropertyRequest) : STATUS_NOT_FOUND;
    return STATUS_INVALID_PARAMETER;
}

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_SuperMixTable(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest) || !IsSupermixNode(PropertyRequest->Node))
        return STATUS_INVALID_PARAMETER;

    switch (VerbOf(PropertyRequest)) {
    case VerbGet: {
        const ULONG room = ValueRoom(PropertyRequest);
        if (room == 0) {
            PropertyRequest->ValueSize = sizeof(SupermixLevels);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (room < sizeof(SupermixLevels))
            return STATUS_INVALID_PARAMETER;
        ReturnValue(PropertyRequest, SupermixLevels, sizeof(SupermixLevels));
        return STATUS_SUCCESS;
    }
    case VerbSet:
        return STATUS_NOT_IMPLEMENTED;
    case VerbBasicSupport:
        return SupportedWithoutData(PropertyRequest);
    case VerbNone:
        break;
    }
    return STATUS_INVALID_PARAMETER;
}

/* ---- CPU resources -------------------------------------------------------------------------------- */

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_CpuResources(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest) || !(PropertyRequest->Verb & KSPROPERTY_TYPE_GET))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (ValueRoom(PropertyRequest) < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;

    /* Every control of this mixer is codec hardware. */
    ReturnUlong(PropertyRequest, KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU);
    return STATUS_SUCCESS;
}
