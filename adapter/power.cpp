/*
 * Power management: the device power state, the way back to D0 (controller
 * link reset and mixer restore, or a link pulse, as CodecLinkStatus asks),
 * and the codec's Powerdown register on every change.
 */
#include "adapter/common.h"

/*
 * One chain of steps D0 -> D1 -> D2 -> D3: a request enters at the step of
 * its state and runs every step after it. No transition is vetoed.
 */
PAGED_ROUTINE
STDMETHODIMP_(void) CAdapterCommon::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();

    /* The framework may hand any 32-bit value: look at it as a number before trusting it as a state. */
    ULONG requested;
    RtlCopyMemory(&requested, &NewState, sizeof(requested));
    if (requested < (ULONG)PowerDeviceD0 || requested > (ULONG)PowerDeviceD3)
        return;
    DEVICE_POWER_STATE state = (DEVICE_POWER_STATE)requested;

    /*
     * The whole change holds the codec bracket: a property request waits
     * until the codec is back and restored, instead of writing a register
     * the reset then wipes or the restore writes over with an older value.
     */
    HwAcquireCodecSync();
    if (state != PowerState)
        ChangePowerStateLocked(state);
    HwReleaseCodecSync();
}

PAGED_ROUTINE
void CAdapterCommon::ChangePowerStateLocked(DEVICE_POWER_STATE state)
{
    PAGED_CODE();

    /* From here on every write goes to the codec again; the ones kept while it was down go in below. */
    CodecPoweredOff = FALSE;

    /* The D1 step writes the link status into the Powerdown low byte; entered at D1 that is 0. */
    UCHAR linkStatus = 0;

    if (state <= PowerDeviceD0) {
        linkStatus = ReadPCIRegB(CodecLinkStatus);
        if (linkStatus != CodecLinkStatusPulseNeeded) {
            /*
             * The codec lost its registers, or is still coming back from a
             * cold start (status 0): the reset waits for it to be ready, then
             * the converters get their rates back before a running stream
             * moves on at the codec's default, and the mixer goes back in:
             * the persisted settings with this run's changes over them.
             */
            if (NT_SUCCESS(ResetZATAC97Controller())) {
                RestoreConverterSettings();
                RestoreMixerSettingsAfterReset();
                CodecRegWrite(AC97_POWERDOWN, 0x0000);
            }
        } else {
            UCHAR control = ReadPCIRegB(CodecLinkControl);
            WritePCIRegB(CodecLinkControl, (UCHAR)(control | CodecLinkControlPulse));
            KeStallExecutionProcessor(CodecLinkPulseMicroseconds);
            WritePCIRegB(CodecLinkControl, (UCHAR)(control & ~CodecLinkControlPulse));
            WaitForCodecAwake();
            CodecRegWrite(AC97_POWERDOWN, 0x0000);
        }
    }

    if (state <= PowerDeviceD0)
        ReplayWritesWhilePoweredOff();

    if (state <= PowerDeviceD1) {
        (void)CodecRegRead(AC97_POWERDOWN);
        /* High byte 0: every power-down request off. */
        CodecRegWrite(AC97_POWERDOWN, (USHORT)(linkStatus & AC97_POWERDOWN_STATUS_BYTE));
    }

    /* Step D2 changes nothing but the recorded state. */

    USHORT powerdown = CodecRegRead(AC97_POWERDOWN);
    CodecRegWrite(AC97_POWERDOWN, (USHORT)(powerdown | AC97_POWERDOWN_LOW_POWER_MARK));

    PowerState = state;
    CodecPoweredOff = state == PowerDeviceD3;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

/* The framework's defaults for this device stand; the record is left as it came. */
PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(PowerDeviceCaps);
    return STATUS_SUCCESS;
}
