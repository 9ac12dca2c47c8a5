/*
 * The wave stream's position: bytes played or recorded, and their time.
 */
#include <zatplatform.h>
#include "wave/stream.h"
#include "adapter/registers.h"

/*
 * Capture reports the bytes copied into mappings, in whole frames: the
 * hardware's progress in the current block is not in any client buffer yet,
 * and a client reading up to the position must find data there.
 */
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::GetPosition(PULONGLONG Position)
{
    ULONG count = READ_PORT_ULONG((PULONG)(ULONG_PTR)(ChannelBase + ChannelCurrentCount));

    /* The 64-bit counters change under MappingLock; read them there so no half-update is seen. */
    KIRQL irql;
    KeAcquireSpinLock(&MappingLock, &irql);
    ULONGLONG position;
    /* Until the run's channel is started, nothing of its blocks has played. */
    if (State != KSSTATE_RUN || Capture || RunArming)
        position = BytesCompleted;
    else if (BytesInBlocks > LastBlockBytes)
        position = BytesCompleted + BytesInBlocks - LastBlockBytes - count;
    else
        position = BytesCompleted + BytesInBlocks - count;
    if (Capture)
        position -= position % (1u << (SixteenBit + Stereo));
    if (State == KSSTATE_RUN) {
        if (position < LastPosition)
            position = LastPosition;
        LastPosition = position;
    }
    KeReleaseSpinLock(&MappingLock, irql);

    *Position = position;
    return STATUS_SUCCESS;
}

/*
 * Bytes to 100-ns units. Split into whole seconds and the remainder so the
 * product cannot overflow however long the stream has run; the result is the
 * same truncated quotient.
 */
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::NormalizePhysicalPosition(PLONGLONG PhysicalPosition)
{
    LONGLONG factor = (LONGLONG)(ULONG)(10000000u / (1u << (SixteenBit + Stereo)));
    LONGLONG rate = SampleRate;
    if (rate == 0)
        return STATUS_SUCCESS;
    LONGLONG position = *PhysicalPosition;
    *PhysicalPosition = (position / rate) * factor + (position % rate) * factor / rate;
    return STATUS_SUCCESS;
}
