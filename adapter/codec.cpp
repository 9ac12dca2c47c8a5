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

/* The word a stored mixer register is saved from: its cache word, or its own shadow; NULL if not stored. */
USHORT *CAdapterCommon::StoredWord(UCHAR Register)
{
    if (Register == AC97_GENERAL_PURPOSE)
        return &GeneralPurposeShadow;
    if (Register == AC97_3D_CONTROL)
        return &ThreeDControlShadow;
    return ShadowWord(Register);
}

/*
 * The converter settings a cold reset takes from the codec, in the order
 * they go back: the VRA enable first, or the codec ignores the rates.
 */
static const UCHAR ConverterRegisters[] = {
    /* Register                        set by */
    AC97_EXTENDED_AUDIO_CONTROL,    /* the wave miniport: VRA enable */
    AC97_PCM_FRONT_DAC_RATE,        /* the playback stream's format */
    AC97_PCM_LR_ADC_RATE,           /* the capture stream's format */
};
static_assert(SIZEOF_ARRAY(ConverterRegisters) == ConverterSettingCount, "one shadow word per converter register");

/* One bit per even register 0x02-0x22. */
static inline ULONG StoredRegisterBit(UCHAR Register)
{
    return 1UL << (Register / 2 - 1);
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

/*
 * The thread may have been preempted between a status read and the check of
 * the limit, as before a write: past the limit the port is read once more,
 * and only that answer gives up.
 */
BOOLEAN CAdapterCommon::WaitCodecPortFree(ULONGLONG Limit)
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (PcGetTimeInterval(start) > Limit)
            return READ_PORT_UCHAR(Port(CodecStatusPort)) == CodecStatusFree;
        if (READ_PORT_UCHAR(Port(CodecStatusPort)) == CodecStatusFree)
            return TRUE;
    }
}

BOOLEAN CAdapterCommon::WaitCodecReadData()
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (PcGetTimeInterval(start) >= CodecReadTimeout)
            return (READ_PORT_UCHAR(Port(CodecStatusPort)) & CodecStatusDataReady) != 0;
        if (READ_PORT_UCHAR(Port(CodecStatusPort)) & CodecStatusDataReady)
            return TRUE;
    }
}

/*
 * Before a write the port is read first, then the (much shorter) limit
 * checked. The thread may have been preempted between a busy read and the
 * check, so the write is given up only on a read made after the limit.
 */
static BOOLEAN WaitCodecPortFreeForWrite(PUCHAR StatusPort)
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (READ_PORT_UCHAR(StatusPort) == CodecStatusFree)
            return TRUE;
        if (PcGetTimeInterval(start) > CodecWriteTimeout)
            return READ_PORT_UCHAR(StatusPort) == CodecStatusFree;
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
            NoteMixerRead(Register, value);
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

    if (KeepWriteWhilePoweredOff(Register, Value)) {
        /* Kept for the way back to D0. */
    } else if (!WaitCodecPortFreeForWrite(Port(CodecStatusPort))) {
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
        NoteMixerWrite(Register, Value);
        NoteConverterWrite(Register, Value);
    }

    ReleaseCodecPort();
}

/* With CodecMutex held: in D3 a register the driver keeps a shadow of is only noted. */
BOOLEAN CAdapterCommon::KeepWriteWhilePoweredOff(UCHAR Register, USHORT Value)
{
    if (!CodecPoweredOff)
        return FALSE;
    BOOLEAN remembered = StoredWord(Register) != NULL;
    for (ULONG i = 0; i < ConverterSettingCount; ++i)
        remembered |= ConverterRegisters[i] == Register;
    if (remembered && !(Register & 1)) {
        NoteMixerWrite(Register, Value);
        NoteConverterWrite(Register, Value);
        CodecWritesWhileOff |= 1ULL << (Register / 2);
    }
    return TRUE;
}

/* Back in D0, with CodecMutex held: what was set while the codec was down, newest of all, goes in last. */
void CAdapterCommon::ReplayWritesWhilePoweredOff()
{
    ULONGLONG pending = CodecWritesWhileOff;
    CodecWritesWhileOff = 0;
    for (UCHAR word = 0; pending != 0; ++word, pending >>= 1) {
        if (!(pending & 1))
            continue;
        const UCHAR reg = (UCHAR)(word * 2);
        USHORT *stored = StoredWord(reg);
        if (stored) {
            CodecRegWrite(reg, *stored);
            continue;
        }
        for (ULONG i = 0; i < ConverterSettingCount; ++i)
            if (ConverterRegisters[i] == reg)
                CodecRegWrite(reg, ConverterShadow[i]);
    }
}

void CAdapterCommon::NoteMixerWrite(UCHAR Register, USHORT Value)
{
    USHORT *stored = StoredWord(Register);
    if (stored) {
        *stored = Value;
        CodecShadowWritten |= StoredRegisterBit(Register);
    }
}

void CAdapterCommon::NoteConverterWrite(UCHAR Register, USHORT Value)
{
    for (ULONG i = 0; i < ConverterSettingCount; ++i) {
        if (ConverterRegisters[i] == Register) {
            ConverterShadow[i] = Value;
            ConverterShadowWritten |= 1UL << i;
        }
    }
}

/*
 * After the codec lost its registers: the converters get back what the wave
 * miniport and the streams gave them, so a stream prepared or running
 * across the loss keeps its rate. Nothing is written that was never set.
 */
PAGED_ROUTINE
void CAdapterCommon::RestoreConverterSettings()
{
    PAGED_CODE();
    for (ULONG i = 0; i < ConverterSettingCount; ++i)
        if (ConverterShadowWritten & (1UL << i))
            CodecRegWrite(ConverterRegisters[i], ConverterShadow[i]);
}

/*
 * The two uncached stored registers follow what the codec answers, so the
 * save stores the bits the codec kept (a 3D enable it dropped is not stored).
 */
void CAdapterCommon::NoteMixerRead(UCHAR Register, USHORT Value)
{
    if (Register == AC97_GENERAL_PURPOSE || Register == AC97_3D_CONTROL)
        *StoredWord(Register) = Value;
}

BOOLEAN CAdapterCommon::MixerSettingKnown(UCHAR Register) const
{
    if (Register < CodecShadowFirst || Register > AC97_3D_CONTROL || (Register & 1))
        return FALSE;
    return (CodecShadowWritten & StoredRegisterBit(Register)) != 0;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CAdapterCommon::ResetZATAC97Controller()
{
    PAGED_CODE();

    CodecTimedOut = 0;

    if (!WaitForCodecLink())
        return STATUS_UNSUCCESSFUL;

    /*
     * Bit 3 stays as it was, and as the driver last set it: a function back
     * from D3 has the byte at its power-on value, the variable-rate slots off.
     */
    UCHAR control = (UCHAR)(ReadPCIRegB(CodecLinkControl) | LinkControlShadow);
    WritePCIRegB(CodecLinkControl, (UCHAR)((control & CodecLinkControlVra) | CodecLinkControlReset));

    /*
     * The write restarts the link, and a codec may take a good part of the
     * half second to answer again: the mixer settings written next would be lost.
     */
    if (!WaitForCodecLink())
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

/* Polls CodecLinkStatus bit 0 for at most 0.5 s; a time-out is recorded in CodecTimedOut. */
PAGED_ROUTINE
BOOLEAN CAdapterCommon::WaitForCodecLink()
{
    PAGED_CODE();

    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (ReadPCIRegB(CodecLinkStatus) & CodecLinkReady)
            return TRUE;
        if (PcGetTimeInterval(start) > CodecLinkTimeout) {
            CodecTimedOut = 1;
            return FALSE;
        }
    }
}

/*
 * After a warm link pulse the codec takes commands again only once it is
 * awake, which may take a good part of the half second; a codec write alone
 * would give up after half a millisecond and drop its command. A codec not
 * awake by then is left to that write, which records the time-out.
 */
PAGED_ROUTINE
void CAdapterCommon::WaitForCodecAwake()
{
    PAGED_CODE();

    if (!AcquireCodecPort())
        return;
    (void)WaitCodecPortFree(CodecLinkTimeout);
    ReleaseCodecPort();
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
    BOOLEAN Clear;
};

static NTSTATUS NTAPI TakeIntTimesSynchronized(PINTERRUPTSYNC InterruptSync, PVOID Context)
{
    UNREFERENCED_PARAMETER(InterruptSync);
    TAKE_INT_TIMES_CONTEXT *context = static_cast<TAKE_INT_TIMES_CONTEXT *>(Context);
    context->Count = context->AdapterCommon->ReadIntTimes(context->Channel);
    if (context->Clear)
        context->AdapterCommon->WriteIntTimes(context->Channel, 0);
    context->Taken = TRUE;
    return STATUS_SUCCESS;
}

/* The count as the interrupt routine left it: read with the interrupt excluded, as it writes it on another processor. */
static UCHAR SynchronizedIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel, BOOLEAN Clear)
{
    TAKE_INT_TIMES_CONTEXT context = {AdapterCommon, Channel, 0, FALSE, Clear};
    PINTERRUPTSYNC interruptSync = AdapterCommon->GetInterruptSync();
    if (interruptSync)
        interruptSync->CallSynchronizedRoutine(TakeIntTimesSynchronized, &context);
    /* Without a connected interrupt there is nothing to race with. */
    if (!context.Taken)
        TakeIntTimesSynchronized(NULL, &context);
    return context.Count;
}

UCHAR TakeIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel)
{
    return SynchronizedIntTimes(AdapterCommon, Channel, TRUE);
}

UCHAR PeekIntTimes(PADAPTERCOMMON AdapterCommon, ULONG Channel)
{
    return SynchronizedIntTimes(AdapterCommon, Channel, FALSE);
}
