/*
 * Mixer settings persistence: thirteen codec registers, one REG_DWORD each,
 * in the subkey "AC97CodecSettings" of the driver's registry key.
 */
#include "adapter/common.h"

struct MixerSetting {
    PCWSTR ValueName;
    UCHAR Register;
    USHORT DefaultValue;
};

static const MixerSetting DefaultMixerSettings[] = {
    /* ValueName          Register                  DefaultValue   reading of the default */
    {L"AC97_MASTER",      AC97_MASTER_VOLUME,       0x0707},    /* 10.5 dB down each side */
    {L"AC97_MONO",        AC97_MASTER_VOLUME_MONO,  0x001F},    /* 31 steps down */
    {L"AC97_PCBEEP",      AC97_PC_BEEP_VOLUME,      0x8000},    /* muted */
    {L"AC97_PHONE",       AC97_PHONE_VOLUME,        0x8008},    /* muted, 0 dB */
    {L"AC97_MIC",         AC97_MIC_VOLUME,          0x0008},    /* 0 dB, no boost */
    {L"AC97_LINEIN",      AC97_LINE_IN_VOLUME,      0x8808},    /* muted, 0 dB each side */
    {L"AC97_CD",          AC97_CD_VOLUME,           0x0808},    /* 0 dB each side */
    {L"AC97_VIDEO",       AC97_VIDEO_VOLUME,        0x8808},    /* muted, 0 dB each side */
    {L"AC97_AUX",         AC97_AUX_VOLUME,          0x8808},    /* muted, 0 dB each side */
    {L"AC97_PCMOUT",      AC97_PCM_OUT_VOLUME,      0x0707},    /* field value 7 each side */
    {L"AC97_RECSEL",      AC97_RECORD_SELECT,       0x0000},    /* microphone both sides */
    {L"AC97_RECGAIN",     AC97_RECORD_GAIN,         0x0000},    /* 0 dB */
    {L"AC97_GPCTL",       AC97_GENERAL_PURPOSE,     0x0000},    /* all features off */
};

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

PAGED_ROUTINE
void CAdapterCommon::WriteCodecDefaults()
{
    PAGED_CODE();
    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i)
        CodecRegWrite(DefaultMixerSettings[i].Register, DefaultMixerSettings[i].DefaultValue);
}

/*
 * Returns the status of the last row's query, so a missing "AC97_GPCTL"
 * reports a failure although every register got a value.
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
        WriteCodecDefaults();
        CloseMixerSettingsKey(driverKey, settingsKey);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (ULONG i = 0; i < ARRAYSIZE(DefaultMixerSettings); ++i) {
        const MixerSetting &row = DefaultMixerSettings[i];
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, row.ValueName);
        ULONG resultLength = 0;
        status = settingsKey->QueryValueKey(&name, KeyValuePartialInformation, info, MixerQueryBufferSize,
                                            &resultLength);
        if (!NT_SUCCESS(status)) {
            /* Missing, or too large to be one of ours. */
            CodecRegWrite(row.Register, row.DefaultValue);
        } else if (info->DataLength == sizeof(ULONG)) {
            ULONG stored;
            RtlCopyMemory(&stored, info->Data, sizeof(stored));
            CodecRegWrite(row.Register, (USHORT)(stored & 0xFFFF));
        }
        /* Any other length: the register keeps what it has. */
    }

    ExFreePool(info);
    CloseMixerSettingsKey(driverKey, settingsKey);
    return status;
}

/*
 * Stores what was last written through CodecRegWrite, not what the codec
 * holds. "AC97_GPCTL" names a register outside the cache; it is stored as 0.
 * A register the driver never wrote (its restore failed, say) keeps the value
 * already stored: the empty cache must not overwrite the user's settings.
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
        USHORT *cached = ShadowWord(row.Register);
        ULONG value = cached ? *cached : 0;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, row.ValueName);
        status = settingsKey->SetValueKey(&name, REG_DWORD, &value, sizeof(value));
        if (!NT_SUCCESS(status))
            break;
    }

    CloseMixerSettingsKey(driverKey, settingsKey);
    return status;
}
