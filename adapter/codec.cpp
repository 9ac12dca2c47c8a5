/*
 * The only road to the AC'97 codec (the codec access port and its register
 * cache), the controller link reset, the codec lock and the per-channel
 * event counts.
 */
#include "adapter/common.h"

/* The cache word of a mixer register (an odd one shares the even one below), or NULL. */
USHORT *CAdapterCommon::ShadowWord(UCHAR Register)
{
    if (Register < CodecShadowFirst || Register > CodecShadowLast)
        return NULL;
    return &CodecShadow[Register / 2 - 1];
}

/*
 * Every port access holds CodecMutex, so a property request, a format change
 * and a power request cannot interleave their port writes. The mutex is
 * recursive, so the topology's HwAcquireCodecSync bracket still nests. A
 * caller at dispatch level must not wait: its access is refused like a busy
 * port, and so is any access before Init has found the registers.
 */
BOOLEAN CAdapterCommon::AcquireCodecPort()
{
    if (PortBase == 0 || KeGetCurrentIrql() >= DISPATCH_LEVEL)
        return FALSE;
    KeWaitForSingleObject(&CodecMutex, Executive, KernelMode, FALSE, NULL);
    return TRUE;
}

void CAdapterCommon::ReleaseCodecPort()
{
    KeReleaseMutex(&CodecMutex, FALSE);
}

/* Before a read: the elapsed time is checked before each status read. */
BOOLEAN CAdapterCommon::WaitCodecPortFree(ULONGLONG Limit)
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (PcGetTimeInterval(start) > Limit)
            return FALSE;
        if (READ_PORT_UCHAR(Port(CodecStatusPort)) == CodecStatusFree)
            return TRUE;
    }
}

BOOLEAN CAdapterCommon::WaitCodecReadData()
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (PcGetTimeInterval(start) >= CodecReadTimeout)
            return FALSE;
        if (READ_PORT_UCHAR(Port(CodecStatusPort)) & CodecStatusDataReady)
            return TRUE;
    }
}

/* Before a write the port is read first, then the (much shorter) limit checked. */
static BOOLEAN WaitCodecPortFreeForWrite(PUCHAR StatusPort)
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (READ_PORT_UCHAR(StatusPort) == CodecStatusFree)
            return TRUE;
        if (PcGetTimeInterval(start) > CodecWriteTimeout)
            return FALSE;
    }
}

STDMETHODIMP_(USHORT) CAdapterCommon::CodecRegRead(UCHAR Register)
{
    /* Mixer registers are never read from the codec: the cache holds what was written. */
    USHORT *cached = ShadowWord(Register);
    if (cached)
        return *cached;

    /* The index port carries 7 bits; a larger number would alias another register. */
    if (Register > AC97_LAST_REGISTER)
        return CodecReadTimedOut;

    if (!AcquireCodecPort()) {
        CodecTimedOut = 1;
        return CodecReadTimedOut;
    }

    USHORT value = CodecReadTimedOut;
    if (WaitCodecPortFree(CodecReadTimeout)) {
        WRITE_PORT_UCHAR(Port(CodecStatusPort), 0);
        WRITE_PORT_UCHAR(Port(CodecIndexPort), (UCHAR)(Register | CodecIndexRead));
        if (WaitCodecReadData()) {
            value = READ_PORT_USHORT((PUSHORT)Port(CodecDataPort));
            WRITE_PORT_UCHAR(Port(CodecStatusPort), CodecStatusDataReady);
        } else {
            CodecTimedOut = 1;
        }
    } else {
        CodecTimedOut = 1;
    }

    ReleaseCodecPort();
    return value;
}

STDMETHODIMP_(void) CAdapterCommon::CodecRegWrite(UCHAR Register, USHORT Value)
{
    if (Register > AC97_LAST_REGISTER)
        return;

    if (!AcquireCodecPort()) {
        CodecTimedOut = 1;
        return;
    }

    if (!WaitCodecPortFreeForWrite(Port(CodecStatusPort))) {
        CodecTimedOut = 1;
    } else if ((Register & 1) || Register == AC97_RESET) {
        /*
         * Odd registers do not exist. Register 0 would reset the codec's mixer
         * behind the cache's back, and nothing in the driver needs that.
         */
    } else {
        WRITE_PORT_UCHAR(Port(CodecStatusPort), 0);
        WRITE_PORT_USHORT((PUSHORT)Port(CodecDataPort), Value);
        WRITE_PORT_UCHAR(Port(CodecIndexPort), (UCHAR)(Register & CodecIndexRegisterMask));
        USHORT *cached = ShadowWord(Register);
        if (cached)
            *cached = Value;
        NoteMixerWrite(Register);
    }

    ReleaseCodecPort();
}

void CAdapterCommon::NoteMixerWrite(UCHAR Register)
{
    if (Register >= CodecShadowFirst && Register <= CodecShadowLast)
        CodecShadowWritten |= 1UL << (Register / 2 - 1);
    else if (Register == AC97_GENERAL_PURPOSE)
        GeneralPurposeWritten = TRUE;
}

BOOLEAN CAdapterCommon::MixerSettingKnown(UCHAR Register) const
{
    if (Register >= CodecShadowFirst && Register <= CodecShadowLast)
        return (CodecShadowWritten & (1UL << (Register / 2 - 1))) != 0;
    return Register == AC97_GENERAL_PURPOSE && GeneralPurposeWritten;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::ResetZATAC97Controller()
{
    PAGED_CODE();

    CodecTimedOut = 0;

    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (ReadPCIRegB(CodecLinkStatus) & CodecLinkReady)
            break;
        if (PcGetTimeInterval(start) > CodecLinkTimeout) {
            CodecTimedOut = 1;
            return STATUS_UNSUCCESSFUL;
        }
    }

    UCHAR control = ReadPCIRegB(CodecLinkControl);
    WritePCIRegB(CodecLinkControl, (UCHAR)((control & CodecLinkControlVra) | CodecLinkControlReset));
    return STATUS_SUCCESS;
}

/* No hardware reset here: the codec gets the persisted mixer settings back. */
PAGED_ROUTINE
STDMETHODIMP_(void) CAdapterCommon::CodecReset()
{
    PAGED_CODE();
    (void)RestoreMixerSettingsFromRegistry();
}

PAGED_ROUTINE
STDMETHODIMP_(void) CAdapterCommon::HwAcquireCodecSync()
{
    PAGED_CODE();
    KeWaitForSingleObject(&CodecMutex, Executive, KernelMode, FALSE, NULL);
}

PAGED_ROUTINE
STDMETHODIMP_(void) CAdapterCommon::HwReleaseCodecSync()
{
    PAGED_CODE();
    KeReleaseMutex(&CodecMutex, FALSE);
}

/* Plain byte accesses, also from the interrupt routine; a channel out of range reads 0 and stores nothing. */
STDMETHODIMP_(UCHAR) CAdapterCommon::ReadIntTimes(ULONG Channel)
{
    return Channel < SgdChannelCount ? IntTimes[Channel] : 0;
}

STDMETHODIMP_(void) CAdapterCommon::WriteIntTimes(ULONG Channel, UCHAR Count)
{
    if (Channel < SgdChannelCount)
        IntTimes[Channel] = Count;
}

struct TAKE_INT_TIMES_CONTEXT {
    PADAPTERCOMMON AdapterCommon;
    ULONG Channel;
    UCHAR Count;
    BOOLEAN Taken;
};

static NTSTATUS NTAPI TakeIntTimesSynchronized(PINTERRUPTSYNC InterruptSync, PVOID Context)
{
    UNREFERENCED_PARAMETER(InterruptSync);
    TAKE_INT_TIMES_CONTEXT *context = static_cast<TAKE_INT_TIMES_CONTEXT *>(Context);
    context->Count = context->AdapterCommon->ReadIntTimes(context->Channel);
    context->AdapterCommon->WriteIntTimes(context->Channel, 0);
    context->Taken = TRUE;
    return STATUS_SUCCESS;
}

UCHAR TakeIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel)
{
    TAKE_INT_TIMES_CONTEXT context = {AdapterCommon, Channel, 0, FALSE};
    PINTERRUPTSYNC interruptSync = AdapterCommon->GetInterruptSync();
    if (interruptSync)
        interruptSync->CallSynchronizedRoutine(TakeIntTimesSynchronized, &context);
    /* Without a connected interrupt there is nothing to race with. */
    if (!context.Taken)
        TakeIntTimesSynchronized(NULL, &context);
    return context.Count;
}
