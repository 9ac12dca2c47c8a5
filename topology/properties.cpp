/*
 * The mixer's property handlers: volume (with its basic support), mute,
 * multiplexer, the two on/off switches exposed as AGC, and the fixed answers
 * of the supermix and CPU-resource properties.
 *
 * Requests come from user mode through the framework: every size is checked
 * before its buffer is touched, a missing buffer counts as an empty one, and
 * values move through byte copies so an unaligned buffer does no harm. A
 * refused request changes neither the level cache nor the codec.
 */
#include <zatplatform.h>

#include "topology/miniport.h"

/* ---- Request helpers ------------------------------------------------------------------------- */

enum RequestVerb { VerbNone, VerbGet, VerbSet, VerbBasicSupport };

/* The first verb bit present decides, in the order get, set, basic support. */
static RequestVerb VerbOf(PPCPROPERTY_REQUEST Request)
{
    if (Request->Verb & KSPROPERTY_TYPE_GET)
        return VerbGet;
    if (Request->Verb & KSPROPERTY_TYPE_SET)
        return VerbSet;
    if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return VerbBasicSupport;
    return VerbNone;
}

static bool IsFilterRequest(PPCPROPERTY_REQUEST Request)
{
    return Request->Node == PCFILTER_NODE;
}

static ULONG PropertyIdOf(PPCPROPERTY_REQUEST Request)
{
    return Request->PropertyItem ? Request->PropertyItem->Id : (ULONG)-1;
}

/* Room in the value buffer; a missing buffer has none, whatever its size claims. */
static ULONG ValueRoom(PPCPROPERTY_REQUEST Request)
{
    return Request->Value ? Request->ValueSize : 0;
}

/* The channel from the instance data; false when the instance cannot hold one. */
static bool ChannelOf(PPCPROPERTY_REQUEST Request, LONG *Channel)
{
    if (!Request->Instance || Request->InstanceSize < sizeof(LONG))
        return false;
    RtlCopyMemory(Channel, Request->Instance, sizeof(LONG));
    return true;
}

static LONG ValueAsLong(PPCPROPERTY_REQUEST Request)
{
    LONG value;
    RtlCopyMemory(&value, Request->Value, sizeof(value));
    return value;
}

static void ReturnValue(PPCPROPERTY_REQUEST Request, const void *Data, ULONG Size)
{
    RtlCopyMemory(Request->Value, Data, Size);
    Request->ValueSize = Size;
}

static void ReturnUlong(PPCPROPERTY_REQUEST Request, ULONG Value)
{
    ReturnValue(Request, &Value, sizeof(Value));
}

/*
 * A basic-support request answered with success and no data: say that no
 * bytes came back, rather than let the caller take its own buffer for an answer.
 */
static NTSTATUS SupportedWithoutData(PPCPROPERTY_REQUEST Request)
{
    Request->ValueSize = 0;
    return STATUS_SUCCESS;
}

/* ---- Volume ------------------------------------------------------------------------------------- */

/* How a level becomes a codec field value; one per kind of codec volume field. */
enum VolumeConversion {
    GainFiveBit,    /* +12 dB .. -34.5 dB, 8 = 0 dB */
    BeepFourBit,    /* 0 dB .. -45 dB, 3 dB a step */
    GainSixBit,     /* +12 dB .. -82.5 dB, 8 = 0 dB */
    Attenuation,    /* 0 dB .. -94.5 dB */
    RecordGain,     /* 0 dB .. +22.5 dB */
    ThreeDSteps,    /* 0 .. 15 codec steps */
};

enum VolumeChannels {
    Stereo,         /* channel 0 in the high field, channel 1 in the low one */
    Mono,           /* channel 0 only */
    MonoBothFields, /* channel 0 only, written to the low field and then the high one */
};

typedef struct {
    ULONG Node;
    VolumeConversion Conversion;
    VolumeChannels Channels;
    UCHAR Width;
    UCHAR Shift[2];     /* field of channel 0 and 1 (MonoBothFields: first and second write) */
    LONG Minimum;
    LONG Maximum;
    ULONG Step;
} VolumeControl;

static const VolumeControl VolumeControls[] = {
    /* node conversion    channels        width shifts   minimum             maximum             step */
    {  0, GainFiveBit,    Stereo,         5,  {8, 0}, (LONG)0xFFDD8000, (LONG)0x000C0000, 0x00018000},
    {  2, BeepFourBit,    Mono,           4,  {1, 0}, (LONG)0xFFD30000, 0,                0x00030000},
    {  4, GainSixBit,     Mono,           6,  {0, 0}, (LONG)0xFFAD8000, (LONG)0x000C0000, 0x00018000},
    {  8, GainSixBit,     Mono,           6,  {0, 0}, (LONG)0xFFAD8000, (LONG)0x000C0000, 0x00018000},
    { 10, GainFiveBit,    Stereo,         5,  {8, 0}, (LONG)0xFFDD8000, (LONG)0x000C0000, 0x00018000},
    { 12, GainFiveBit,    Stereo,         5,  {8, 0}, (LONG)0xFFDD8000, (LONG)0x000C0000, 0x00018000},
    { 14, GainFiveBit,    Stereo,         5,  {8, 0}, (LONG)0xFFDD8000, (LONG)0x000C0000, 0x00018000},
    { 16, GainFiveBit,    Stereo,         5,  {8, 0}, (LONG)0xFFDD8000, (LONG)0x000C0000, 0x00018000},
    { 20, Attenuation,    Stereo,         6,  {8, 0}, (LONG)0xFFA18000, 0,                0x00018000},
    { 24, Attenuation,    Mono,           6,  {0, 0}, (LONG)0xFFA18000, 0,                0x00018000},
    { 28, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 30, RecordGain,     MonoBothFields, 4,  {0, 8}, 0,                (LONG)0x00168000, 0x00018000},
    { 31, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 32, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 33, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 34, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 35, RecordGain,     Stereo,         4,  {8, 0}, 0,                (LONG)0x00168000, 0x00018000},
    { 37, ThreeDSteps,    Mono,           4,  {8, 0}, 0,                (LONG)0x000F0000, 0x00001000},
    { 38, ThreeDSteps,    Mono,           4,  {0, 0}, 0,                (LONG)0x000F0000, 0x00001000},
};

static const VolumeControl *FindVolumeControl(ULONG Node)
{
    for (ULONG i = 0; i < SIZEOF_ARRAY(VolumeControls); i++)
        if (VolumeControls[i].Node == Node)
            return &VolumeControls[i];
    return NULL;
}

/*
 * The codec field value for a level. The bounds are tested first, in the
 * order given; in between, ">>" is an arithmetic shift (toward minus
 * infinity) and "/" truncates toward zero, which is what places each level
 * on its codec step.
 */
static USHORT VolumeFieldValue(VolumeConversion Conversion, LONG Level)
{
    switch (Conversion) {
    case GainFiveBit:
        if (Level <= (LONG)0xFFDD8000) return 31;
        if (Level >= (LONG)0x000C0000) return 0;
        return (USHORT)((((Level / -3) >> 15) + 8) & 0x1F);
    case BeepFourBit:
        if (Level <= (LONG)0xFFD30000) return 15;
        if (Level >= 0) return 0;
        return (USHORT)((Level >> 16) / -3);
    case GainSixBit:
        if (Level <= (LONG)0xFFAD8000) return 63;
        if (Level >= (LONG)0x000C0000) return 0;
        return (USHORT)(8 - ((Level >> 15) / 3));
    case Attenuation:
        if (Level <= (LONG)0xFFA18000) return 63;
        if (Level >= 0) return 0;
        return (USHORT)((Level >> 15) / -3);
    case RecordGain:
        if (Level <= 0) return 0;
        if (Level >= (LONG)0x00168000) return 15;
        return (USHORT)((Level >> 15) / 3);
    case ThreeDSteps:
        if (Level >= (LONG)0x000F0000) return 15;
        if (Level <= 0) return 0;
        return (USHORT)(Level >> 16);
    }
    return 0;
}

static LONG *CachedLevel(const AccessParam &Access, LONG Channel)
{
    CtrlVal &row = CtrlValCache[Access.CacheIndex];
    return Channel == 0 ? &row.Left : &row.Right;
}

/* Basic support of a volume node: access flags, then the description, then the stepped range. */
PAGED_ROUTINE
NTSTATUS ZATAC97TopoBasicSupportHandler(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    const VolumeControl *control = FindVolumeControl(PropertyRequest->Node);
    if (!control)
        return STATUS_INVALID_PARAMETER;

    const ULONG room = ValueRoom(PropertyRequest);
    const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_GET;

    if (room < sizeof(ULONG))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (room < sizeof(KSPROPERTY_DESCRIPTION)) {
        ReturnUlong(PropertyRequest, access);
        return STATUS_SUCCESS;
    }

    struct {
        KSPROPERTY_DESCRIPTION Description;
        KSPROPERTY_MEMBERSHEADER Members;
        KSPROPERTY_STEPPING_LONG Range;
    } answer;
    RtlZeroMemory(&answer, sizeof(answer));
    static_assert(sizeof(answer) == 72, "a volume description with one stepped range is 72 bytes");

    answer.Description.AccessFlags = access;
    answer.Description.DescriptionSize = sizeof(answer);
    answer.Description.PropTypeSet.Set = KSPROPTYPESETID_General;
    answer.Description.PropTypeSet.Id = 3; /* VT_I4 */
    answer.Description.PropTypeSet.Flags = 0;
    answer.Description.MembersListCount = 1;
    answer.Description.Reserved = 0;

    if (room < sizeof(answer)) {
        ReturnValue(PropertyRequest, &answer.Description, sizeof(answer.Description));
        return STATUS_SUCCESS;
    }

    answer.Members.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    answer.Members.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    answer.Members.MembersCount = 1;
    answer.Members.Flags = 0;
    answer.Range.SteppingDelta = control->Step;
    answer.Range.Reserved = 0;
    answer.Range.Bounds.SignedMinimum = control->Minimum;
    answer.Range.Bounds.SignedMaximum = control->Maximum;

    ReturnValue(PropertyRequest, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

PAGED_ROUTINE
NTSTATUS NTAPI PropertyHandler_Topo_Volume(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (IsFilterRequest(PropertyRequest))
        return STATUS_INVALID_PARAMETER;

    const RequestVerb verb = VerbOf(PropertyRequest);
    if (verb == VerbNone)
        return STATUS_INVALID_PARAMETER;

    const VolumeControl *control = FindVolumeControl(PropertyRequest->Node);
    const bool isVolume = PropertyIdOf(PropertyRequest) == KSPROPERTY_AUDIO_VOLUMELEVEL;

    if (verb == VerbBasicSupport) {
        if (!control)
            return STATUS_NOT_FOUND;
        return isVolume ? ZATAC97TopoBasicSupportHandler(PropertyRequest) : STATUS_INVALID_PARAMETER;
    }

    LONG channel;
    if (!ChannelOf(PropertyRequest, &channel) || (channel != 0 && channel != 1))
        return STATUS_INVALID_PARAMETER;
    if (ValueRoom(PropertyRequest) < sizeof(LONG))
        return STATUS_INVALID_PARAMETER;
    if (!control || !isVolume || (control->Channels != Stereo && channel != 0))
        return STATUS_INVALID_PARAMETER;

    const AccessParam &access = AccessParams[control->Node];
    LONG *cached = CachedLevel(access, channel);

    if (verb == VerbGet) {
        /* The level as it was set, not as the codec quantised it. */
        ReturnUlong(PropertyRequest, (ULONG)*cached);
        return STATUS_SUCCESS;
    }

    const LONG level = ValueAsLong(PropertyRequest);
    *cached = level;

    CMiniportTopologyZATAC97 *miniport = TopologyMiniportOf(PropertyRequest);
    const USHORT field = VolumeFieldValue(control->Conversion, level);
    if (control->Channels == MonoBothFields) {
        miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[0], field);
        miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[1], field);
    } else {
        miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[channel], field);
    }
    return STATUS_SUCCESS;
}

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
    miniport->WriteBitsToCodec(codecRegister, 1, MuteBit, ValueAsLong(PropertyRequest) ? 1 : 0);
    return STATUS_SUCCESS;
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
    if (control->SecondField)
        miniport->WriteBitsToCodec(codecRegister, control->Width, 0, field);
    miniport->WriteBitsToCodec(codecRegister, control->Width, control->Shift, field);
    return STATUS_SUCCESS;
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
    miniport->WriteBitsToCodec(codecRegister, 1, control->Shift, ValueAsLong(PropertyRequest) ? 1 : 0);
    return STATUS_SUCCESS;
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

        struct {
            ULONG InputChannels;
            ULONG OutputChannels;
            KSAUDIO_MIX_CAPS Capabilities[SupermixInputChannels * SupermixOutputChannels];
        } table;
        static_assert(sizeof(table) == 40, "two channels into one: 40 bytes");
        table.InputChannels = SupermixInputChannels;
        table.OutputChannels = SupermixOutputChannels;
        for (ULONG i = 0; i < SIZEOF_ARRAY(table.Capabilities); i++) {
            table.Capabilities[i].Mute = FALSE;
            table.Capabilities[i].Minimum = SupermixUnityLevel;
            table.Capabilities[i].Maximum = SupermixUnityLevel;
            table.Capabilities[i].Reset = SupermixUnityLevel;
        }

        /* A caller sizes the table first: no buffer, or just the two channel counts. */
        const ULONG room = ValueRoom(PropertyRequest);
        if (room == 0) {
            PropertyRequest->ValueSize = sizeof(table);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (room == 2 * sizeof(ULONG)) {
            ReturnValue(PropertyRequest, &table, 2 * sizeof(ULONG));
            return STATUS_SUCCESS;
        }
        if (room < sizeof(table))
            return STATUS_BUFFER_TOO_SMALL;
        ReturnValue(PropertyRequest, &table, sizeof(table));
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
        KSAUDIO_MIXLEVEL levels[SupermixInputChannels * SupermixOutputChannels];
        for (ULONG i = 0; i < SIZEOF_ARRAY(levels); i++) {
            levels[i].Mute = FALSE;
            levels[i].Level = SupermixUnityLevel;
        }
        const ULONG room = ValueRoom(PropertyRequest);
        if (room == 0) {
            PropertyRequest->ValueSize = sizeof(levels);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (room < sizeof(levels))
            return STATUS_INVALID_PARAMETER;
        ReturnValue(PropertyRequest, levels, sizeof(levels));
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
