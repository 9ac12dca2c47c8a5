/*
 * The volume property: decibels to codec steps and back, the per-miniport
 * level cache, and basic support with each node's range.
 */
#include <zatplatform.h>

#include "topology/miniport.h"
#include "topology/request.h"

/* A level in the kernel-streaming unit, 1/65536 dB, from decibels as the AC'97 standard writes them. */
#define DB(Decibels) ((LONG)((Decibels) * 65536.0))
/* The 3D depth and centre nodes count codec steps in the same unit. */
#define STEPS(Steps) ((LONG)((Steps) * 65536.0))

/* How a level becomes a codec field value; one per kind of codec volume field. */
enum VolumeConversion {
    LineGain,       /* 5-bit gain, +12 dB .. -34.5 dB, 8 = 0 dB */
    BeepAttenuation,/* 4-bit, 0 dB .. -45 dB, 3 dB a step */
    MonoGain,       /* Phone and Mic: 5-bit gain, +12 dB .. -34.5 dB, 8 = 0 dB; bit 5 is reserved */
    Attenuation,    /* 6-bit, 0 dB .. -94.5 dB */
    RecordGain,     /* 4-bit, 0 dB .. +22.5 dB */
    ThreeDSteps,    /* 4-bit, 0 .. 15 codec steps */
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
    LONG Minimum;       /* announced range and step */
    LONG Maximum;
    ULONG Step;
    LONG FieldZero;     /* the level of field value 0 ... */
    LONG FieldStep;     /* ... and what each field step adds */
} VolumeControl;

static const VolumeControl VolumeControls[] = {
    /* node conversion        channels        width shifts   minimum     maximum     step        field 0     per field */
    {  0, LineGain,        Stereo,         5,  {8, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    {  2, BeepAttenuation, Mono,           4,  {1, 0}, DB(-45),    DB(0),      DB(3),      DB(0),      DB(-3)},
    {  4, MonoGain,        Mono,           5,  {0, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    {  8, MonoGain,        Mono,           5,  {0, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    { 10, LineGain,        Stereo,         5,  {8, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    { 12, LineGain,        Stereo,         5,  {8, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    { 14, LineGain,        Stereo,         5,  {8, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    { 16, LineGain,        Stereo,         5,  {8, 0}, DB(-34.5),  DB(+12),    DB(1.5),    DB(+12),    DB(-1.5)},
    { 20, Attenuation,     Stereo,         6,  {8, 0}, DB(-94.5),  DB(0),      DB(1.5),    DB(0),      DB(-1.5)},
    { 24, Attenuation,     Mono,           6,  {0, 0}, DB(-94.5),  DB(0),      DB(1.5),    DB(0),      DB(-1.5)},
    { 28, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 30, RecordGain,      MonoBothFields, 4,  {0, 8}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 31, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 32, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 33, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 34, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    { 35, RecordGain,      Stereo,         4,  {8, 0}, DB(0),      DB(+22.5),  DB(1.5),    DB(0),      DB(+1.5)},
    /* 3D centre and depth: a sixteenth of a step is announced, whole steps reach the codec */
    { 37, ThreeDSteps,     Mono,           4,  {8, 0}, STEPS(0),   STEPS(15),  STEPS(1)/16, STEPS(0),  STEPS(1)},
    { 38, ThreeDSteps,     Mono,           4,  {0, 0}, STEPS(0),   STEPS(15),  STEPS(1)/16, STEPS(0),  STEPS(1)},
};

static const VolumeControl *FindVolumeControl(ULONG Node)
{
    for (ULONG i = 0; i < SIZEOF_ARRAY(VolumeControls); i++)
        if (VolumeControls[i].Node == Node)
            return &VolumeControls[i];
    return NULL;
}

/* The field value of the lowest and the highest announced level. */
static USHORT FieldAtMinimum(const VolumeControl *Control)
{
    return Control->FieldStep > 0 ? 0 : (USHORT)((1u << Control->Width) - 1);
}

static USHORT FieldAtMaximum(const VolumeControl *Control)
{
    return Control->FieldStep > 0 ? (USHORT)((1u << Control->Width) - 1) : 0;
}

/*
 * The codec field value for a level. The bounds are tested first (the 3D
 * nodes test their maximum first); in between, ">>" is an arithmetic shift
 * (toward minus infinity) and "/" truncates toward zero, which is what
 * places each level on its codec step.
 */
static USHORT VolumeFieldValue(const VolumeControl *Control, LONG Level)
{
    if (Control->Conversion == ThreeDSteps) {
        if (Level >= Control->Maximum) return FieldAtMaximum(Control);
        if (Level <= Control->Minimum) return FieldAtMinimum(Control);
        return (USHORT)(Level >> 16);
    }
    if (Level <= Control->Minimum) return FieldAtMinimum(Control);
    if (Level >= Control->Maximum) return FieldAtMaximum(Control);

    switch (Control->Conversion) {
    case LineGain:
        return (USHORT)((((Level / -3) >> 15) + 8) & 0x1F);
    case BeepAttenuation:
        return (USHORT)((Level >> 16) / -3);
    case MonoGain:
        return (USHORT)(8 - ((Level >> 15) / 3));
    case Attenuation:
        return (USHORT)((Level >> 15) / -3);
    case RecordGain:
        return (USHORT)((Level >> 15) / 3);
    case ThreeDSteps:
        break;
    }
    return 0;
}

/* The level a codec field stands for: exactly one that VolumeFieldValue maps back to the same field. */
static LONG VolumeLevelOfField(const VolumeControl *Control, USHORT Field)
{
    return Control->FieldZero + (LONG)Field * Control->FieldStep;
}

static LONG *CachedLevel(CMiniportTopologyZATAC97 *Miniport, const AccessParam &Access, LONG Channel)
{
    CtrlVal &row = Miniport->LevelCacheRow(Access.CacheIndex);
    return Channel == 0 ? &row.Left : &row.Right;
}

/*
 * Called once the codec holds its restored settings: from then on a get
 * reports what the codec does, until a set stores the level as asked.
 */
PAGED_ROUTINE
void CMiniportTopologyZATAC97::LoadLevelsFromCodec()
{
    PAGED_CODE();

    const ULONG nodeCount = Ctrl3DSupported ? TopologyNodeCountCtrl3D : TopologyNodeCountNoCtrl3D;
    for (ULONG i = 0; i < SIZEOF_ARRAY(VolumeControls); i++) {
        const VolumeControl *control = &VolumeControls[i];
        CtrlVal &row = CtrlValCache[AccessParams[control->Node].CacheIndex];
        row.Left = 0;
        row.Right = 0;
        if (control->Node >= nodeCount)
            continue;
        const UCHAR codecRegister = AccessParams[control->Node].CodecRegister;
        row.Left = VolumeLevelOfField(control, ReadBitsFromCodec(codecRegister, control->Width, control->Shift[0]));
        if (control->Channels == Stereo)
            row.Right =
                VolumeLevelOfField(control, ReadBitsFromCodec(codecRegister, control->Width, control->Shift[1]));
    }
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

    CMiniportTopologyZATAC97 *miniport = TopologyMiniportOf(PropertyRequest);
    const AccessParam &access = AccessParams[control->Node];
    LONG *cached = CachedLevel(miniport, access, channel);

    if (verb == VerbGet) {
        /* The level as it was set, not as the codec quantised it. */
        ReturnUlong(PropertyRequest, (ULONG)*cached);
        return STATUS_SUCCESS;
    }

    const LONG level = ValueAsLong(PropertyRequest);
    const USHORT field = VolumeFieldValue(control, level);
    NTSTATUS status;
    if (control->Channels == MonoBothFields) {
        status = miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[0], field);
        if (NT_SUCCESS(status))
            status = miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[1], field);
    } else {
        status = miniport->WriteBitsToCodec(access.CodecRegister, control->Width, control->Shift[channel], field);
    }
    /* A level the codec never got is not reported as set. */
    if (NT_SUCCESS(status))
        *cached = level;
    return status;
}
