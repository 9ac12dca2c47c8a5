/*
 * Mixer settings persistence: the codec's mixer registers, one REG_DWORD
 * each, in the subkey "AC97CodecSettings" of the driver's registry key.
 */
#include "adapter/common.h"

struct MixerSetting {
    PCWSTR ValueName;
    UCHAR Register;
    USHORT DefaultValue;
    /* Settings stored before this row existed lack it: then the register is left alone. */
    BOOLEAN OnlyWhenStored;
};

static const MixerSetting DefaultMixerSettings[] = {
    /* ValueName          Register                  DefaultValue  only when stored   reading of the default */
    {L"AC97_MASTER",      AC97_MASTER_VOLUME,       0x0707,       FALSE},   /* 10.5 dB down each side */
    {L"AC97_MONO",        AC97_MASTER_VOLUME_MONO,  0x001F,       FALSE},   /* 31 steps down */
    {L"AC97_PCBEEP",      AC97_PC_BEEP_VOLUME,      0x8000,       FALSE},   /* muted */
    {L"AC97_PHONE",       AC97_PHONE_VOLUME,        0x8008,       FALSE},   /* muted, 0 dB */
    {L"AC97_MIC",         AC97_MIC_VOLUME,          0x0008,       FALSE},   /* 0 dB, no boost */
    {L"AC97_LINEIN",      AC97_LINE_IN_VOLUME,      0x8808,       FALSE},   /* muted, 0 dB each side */
    {L"AC97_CD",          AC97_CD_VOLUME,           0x0808,       FALSE},   /* 0 dB each side */
    {L"AC97_VIDEO",       AC97_VIDEO_VOLUME,        0x8808,       FALSE},   /* muted, 0 dB each side */
    {L"AC97_AUX",         AC97_AUX_VOLUME,          0x8808,       FALSE},   /* muted, 0 dB each side */
    {L"AC97_PCMOUT",      AC97_PCM_OUT_VOLUME,      0x0707,       FALSE},   /* field value 7 each side */
    {L"AC97_RECSEL",      AC97_RECORD_SELECT,       0x0000,       FALSE},   /* microphone both sides */
    {L"AC97_RECGAIN",     AC97_RECORD_GAIN,         0x0000,       FALSE},   /* 0 dB */
    {L"AC97_GPCTL",       AC97_GENERAL_PURPOSE,     0x0000,       FALSE},   /* all features off */
    {L"AC97_3DCTL",       AC97_3D_CONTROL,          0x0000,       TRUE},    /* 3D depth and centre */
};

/*
 * Phone and Mic Volume have a 5-bit gain; bit 5 is reserved. Older settings
 * may hold a 6-bit value there: it comes back as the lowest gain, 31, never
 * wider, so a codec that drops bit 5 does not turn it into a loud one.
 */
struct NarrowedField {
    UCHAR Register;
    USHORT StoredMask;  /* the field as it may have been stored */
    USHORT Largest;     /* its largest value under the AC'97 standard */
};

static const NarrowedField NarrowedFields[] = {
    /* Register             stored mask  largest */
    {AC97_PHONE_VOLUME,     0x003F,      0x001F},   /* 5-bit gain, -34.5 dB */
    {AC97_MIC_VOLUME,       0x003F,      0x001F},
};

static USHORT LimitStoredValue(UCHAR Register, USHORT Value)
{
    for (ULONG i = 0; i < ARRAYSIZE(NarrowedFields); ++i) {
        const NarrowedField &f = NarrowedFields[i];
        if (f.Register == Register && (Value & f.StoredMask) > f.Largest)
            return (USHORT)((Value & ~f.StoredMask) | f.Largest);
    }
    return Value;
}

static const WCHAR MixerSettingsSubkey[] = L"AC97CodecSettings";

/* A stored value's header and up to 8 data bytes: anything larger is not ours. */
const ULONG MixerQueryBufferSize = 20;

/* Opens the driver's key and, under it, the settings subkey (created when missing). */
PAGED_ROUTINE
static NTSTATUS OpenMixerSettingsKey(PDEVICE_OBJECT DeviceObject, PREGISTRYKEY *DriverKey,
                                     PREGISTRYKEY *SettingsKey, PULONG Disposition)
{
    PAGED_CODE();

    *DriverKey = NULL;
    *SettingsKey = NULL;

    PREGISTRYKEY driverKey = NULL;
    NTSTATUS status = PcNewRegistryKey(&driverKey, NULL, DriverRegistryKey, KEY_ALL_ACCESS, DeviceObject, NULL,
                                       NULL, 0, NULL);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, MixerSettingsSubkey);
    PREGISTRYKEY settingsKey = NULL;
    status = driverKey->NewSubKey(&settingsKey, NULL, KEY_ALL_ACCESS, &name, REG_OPTION_NON_VOLATILE, Disposition);
    if (!NT_SUCCESS(status)) {
        driverKey->Release();
        return status;
    }

    *DriverKey = driverKey;
    *SettingsKey = settingsKey;
    return status;
}

PAGED_ROUTINE
static void CloseMixerSettingsKey(PREGISTRYKEY DriverKey, PREGISTRYKEY SettingsKey)
{
    PAGED_CODE();
    SettingsKey->Release();
    DriverKey->Release();
}

/*
 * What a register gets when no stored value says otherwise: what the driver
 * last gave it in this run (a setting made since start survives a restore on
 * the way back to D0, 3D enhancement included), else its default. A row
 * added later has no default to write.
 */
PAGED_ROUTINE
void CAdapterCommon::WriteFallbackValue(const MixerSetting &Row)
{
    PAGED_CODE();
    if (MixerSettingKnown(Row.Register))
        CodecRegWrite(Row.Register, *StoredWord(Row.Register));
    else if (!Row.OnlyWhenStored)
        CodecRegWrite(Row.Register, Row.DefaultValue);
}

PAGED_ROUTINE
void CAdapterCommon::WriteCodecDefaults()
{
    PAGED_CODE();
    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i)
        WriteFallbackValue(DefaultMixerSettings[i]);
}

/*
 * The stored settings exist but cannot be read. A default written now is no
 * setting: the save at stop keeps the user's stored value instead of storing
 * the default over it.
 */
PAGED_ROUTINE
void CAdapterCommon::WriteCodecDefaultsNotStored()
{
    PAGED_CODE();
    const ULONG known = CodecShadowWritten;
    WriteCodecDefaults();
    CodecShadowWritten = known;
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)DiagnosticPort, MarkerMixerNotRestored);
}

/*
 * Returns the status of the last query of a row every stored setting has,
 * so a missing "AC97_GPCTL" reports a failure although every register got a
 * value; a missing later row does not.
 */
PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::RestoreMixerSettingsFromRegistry()
{
    PAGED_CODE();

    PREGISTRYKEY driverKey;
    PREGISTRYKEY settingsKey;
    ULONG disposition = 0;
    NTSTATUS status = OpenMixerSettingsKey(DeviceObject, &driverKey, &settingsKey, &disposition);
    if (!NT_SUCCESS(status))
        return status;

    if (disposition == REG_CREATED_NEW_KEY) {
        /* First start of this device: the codec gets the defaults, the subkey stays empty. */
        WriteCodecDefaults();
        CloseMixerSettingsKey(driverKey, settingsKey);
        return status;
    }

    PKEY_VALUE_PARTIAL_INFORMATION info =
        (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, MixerQueryBufferSize, PoolTagScratch);
    if (!info) {
        WriteCodecDefaultsNotStored();
        CloseMixerSettingsKey(driverKey, settingsKey);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i) {
        const MixerSetting &row = DefaultMixerSettings[i];
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, row.ValueName);
        ULONG resultLength = 0;
        NTSTATUS queried = settingsKey->QueryValueKey(&name, KeyValuePartialInformation, info,
                                                      MixerQueryBufferSize, &resultLength);
        if (!row.OnlyWhenStored)
            status = queried;
        if (!NT_SUCCESS(queried)) {
            /* Missing, or too large to be one of ours. */
            WriteFallbackValue(row);
        } else if (info->DataLength == sizeof(ULONG)) {
            ULONG stored;
            RtlCopyMemory(&stored, info->Data, sizeof(stored));
            CodecRegWrite(row.Register, LimitStoredValue(row.Register, (USHORT)(stored & 0xFFFF)));
        }
        /* Any other length: the register keeps what it has. */
    }

    ExFreePool(info);
    CloseMixerSettingsKey(driverKey, settingsKey);
    return status;
}

/*
 * Back in D0 after the codec lost its registers: the stored settings go back
 * in, then every setting made in this run goes back over them, so a power
 * cycle never undoes a change the user made since the settings were read.
 */
PAGED_ROUTINE
void CAdapterCommon::RestoreMixerSettingsAfterReset()
{
    PAGED_CODE();
    BOOLEAN known[ARRAYSIZE(DefaultMixerSettings)];
    USHORT current[ARRAYSIZE(DefaultMixerSettings)];
    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i) {
        known[i] = MixerSettingKnown(DefaultMixerSettings[i].Register);
        current[i] = *StoredWord(DefaultMixerSettings[i].Register);
    }

    CodecReset();

    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i) {
        const UCHAR reg = DefaultMixerSettings[i].Register;
        if (known[i] && *StoredWord(reg) != current[i])
            CodecRegWrite(reg, current[i]);
    }
}

/*
 * Stores what was last written through CodecRegWrite (General Purpose and 3D
 * Control: or what the codec last answered for them). A register the driver
 * never wrote, or wrote only because the restore failed, keeps the value
 * already stored: that must not overwrite the user's settings.
 */
PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::SaveMixerSettingsToRegistry()
{
    PAGED_CODE();

    PREGISTRYKEY driverKey;
    PREGISTRYKEY settingsKey;
    NTSTATUS status = OpenMixerSettingsKey(DeviceObject, &driverKey, &settingsKey, NULL);
    if (!NT_SUCCESS(status))
        return status;

    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i) {
        const MixerSetting &row = DefaultMixerSettings[i];
        if (!MixerSettingKnown(row.Register))
            continue;
        ULONG value = *StoredWord(row.Register);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, row.ValueName);
        status = settingsKey->SetValueKey(&name, REG_DWORD, &value, sizeof(value));
        if (!NT_SUCCESS(status))
            break;
    }

    CloseMixerSettingsKey(driverKey, settingsKey);
    return status;
}
