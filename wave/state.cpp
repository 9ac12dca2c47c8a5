/*
 * The wave stream's kernel-streaming states: each transition, walked one
 * state at a time, with the channel started and stopped and the queues
 * drained in the one safe order.
 */
#include <zatplatform.h>
#include "wave/stream.h"
#include "adapter/registers.h"

static inline PUCHAR IoPort(ULONG Address)
{
    return (PUCHAR)(ULONG_PTR)Address;
}

/*
 * The framework steps through the states one at a time; a request that skips
 * one (run straight to stop) is walked through the states between, so the
 * channel is always stopped and the queues drained in the one safe order.
 * A channel that will not stop fails the pause (the stream is paused all
 * the same, and the walk goes on); a start that cannot stop the leftover
 * channel fails and leaves the stream paused.
 */
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::SetState(KSSTATE NewState)
{
    PAGED_CODE();

    if (NewState != KSSTATE_STOP && NewState != KSSTATE_ACQUIRE && NewState != KSSTATE_PAUSE &&
        NewState != KSSTATE_RUN)
        return STATUS_SUCCESS;

    NTSTATUS status = STATUS_SUCCESS;
    KeWaitForSingleObject(&StateMutex, Executive, KernelMode, FALSE, NULL);
    if (NewState != State) {
        EnterDataPathWaiting();
        while (State != NewState) {
            const KSSTATE next = NewState > State ? (KSSTATE)(State + 1) : (KSSTATE)(State - 1);
            NTSTATUS stepStatus = StepState(next);
            if (NT_SUCCESS(status))
                status = stepStatus;
            if (State != next)
                break;
        }

        /*
         * Service and MappingAvailable calls that came while the queues were
         * ours left their work behind; a running stream hands it to its
         * service group, any other state has nothing for it to do.
         */
        AcquireMappingLock();
        const BOOLEAN running = State == KSSTATE_RUN;
        BOOLEAN deferred = ServiceDeferred || MappingsDeferred;
        if (!running) {
            ServiceDeferred = FALSE;
            MappingsDeferred = FALSE;
        }
        LeaveDataPathLocked();
        if (deferred && running)
            ServiceGroup->RequestService();
    }
    KeReleaseMutex(&StateMutex, FALSE);
    return status;
}

NTSTATUS CMiniportWavePciStreamZATAC97::StepState(KSSTATE Next)
{
    switch (Next) {
    case KSSTATE_STOP:
        EnterStop();
        break;
    case KSSTATE_ACQUIRE:
        EnterAcquire();
        break;
    case KSSTATE_PAUSE:
        return EnterPause();
    case KSSTATE_RUN:
        return EnterRun();
    }
    return STATUS_SUCCESS;
}

void CMiniportWavePciStreamZATAC97::EnterStop()
{
    AcquireMappingLock();
    BytesCompleted = 0;
    BytesInBlocks = 0;
    LastBlockBytes = 0;
    State = KSSTATE_STOP;
    ReleaseMappingLock();
}

/* Hands back every mapping not started yet, in stream order. */
void CMiniportWavePciStreamZATAC97::EnterAcquire()
{
    AcquireMappingLock();
    State = KSSTATE_ACQUIRE;
    while (!IsListEmpty(&InputQueue)) {
        MappingRecord *record = CONTAINING_RECORD(RemoveHeadList(&InputQueue), MappingRecord, Link);
        QueuedBytes -= record->ByteCount;
        ReleaseAndFree(record);
    }
    ReleaseMappingLock();
}

/*
 * A pause stops the channel; a run after it goes on from the first byte
 * that did not play, as a paused stream must. Mappings that played in full
 * go back; the rest, and the unplayed part of one that played in part, are
 * kept for the next run (or handed back by the acquire on the way to stop).
 */
NTSTATUS CMiniportWavePciStreamZATAC97::EnterPause()
{
    /* The queues are ours (the data-path owner): the wait for the channel needs no lock. */
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN wasActive = FALSE;
    UCHAR eventsLeft = 0;
    ULONG remaining = 0;
    if (State == KSSTATE_RUN) {
        wasActive = (ReadStatus() & ChannelStatusActive) != 0;
        status = HwStop(&eventsLeft);
        remaining = READ_PORT_ULONG((PULONG)(ULONG_PTR)(ChannelBase + ChannelCurrentCount)) & SgdCountMask;
    }

    AcquireMappingLock();
    Starved = FALSE;
    if (State == KSSTATE_RUN) {
        WriteStatus(ChannelStatusEvents);
        /* The interrupt routine counts one event per event bit; the stop cleared the uncounted ones. */
        UCHAR events = (UCHAR)(TakeEventCount() + (eventsLeft & 1) + (eventsLeft >> 1 & 1));
        /* A channel that would not stop may still be playing the blocks: nothing in them is kept. */
        ULONG unplayed = NT_SUCCESS(status) && !Capture ? UnplayedAfterStop(events, wasActive, remaining) : 0;
        while (!IsListEmpty(&CompletionQueue))
            PutCompletionRecord(CONTAINING_RECORD(RemoveHeadList(&CompletionQueue), CompletionRecord, Link));
        PendingEvents = 0;
        StrayEvents = 0;

        if (!Capture) {
            KeepUnplayedMappings(unplayed);
            BytesInBlocks = 0;
            LastBlockBytes = 0;
        } else if (CurrentMapping) {
            MappingRecord *record = CurrentMapping;
            CurrentMapping = NULL;
            QueuedBytes -= record->ByteCount - record->BytesCopied;
            BlockFill = 0;
            ReleaseAndFree(record);
        }
    }
    State = KSSTATE_PAUSE;
    ReleaseMappingLock();
    return status;
}

/*
 * The bytes armed in the SGD entries that the stopped channel did not play.
 * The completion records are the armed entries in playing order; the events
 * not yet serviced (less those of empty entries) are the first ones
 * finished; the next one was cut short with Remaining bytes left, or not
 * begun if the channel was idle; the ones after it were not begun.
 */
ULONG CMiniportWavePciStreamZATAC97::UnplayedAfterStop(UCHAR Events, BOOLEAN WasActive, ULONG Remaining)
{
    UCHAR finished = Events;
    finished -= StrayEvents < finished ? StrayEvents : finished;
    /* A frame the stop cut short was not heard as a sample: it plays again, whole. */
    const ULONG frame = 1u << (SixteenBit + Stereo);
    Remaining += (frame - Remaining % frame) % frame;
    ULONG unplayed = 0;
    BOOLEAN current = TRUE;
    for (PLIST_ENTRY entry = CompletionQueue.Flink; entry != &CompletionQueue; entry = entry->Flink) {
        CompletionRecord *record = CONTAINING_RECORD(entry, CompletionRecord, Link);
        if (finished) {
            finished--;
            for (UCHAR empty = record->EmptyEventsFollow; empty != 0 && finished; --empty)
                finished--;
            continue;
        }
        if (current && WasActive)
            unplayed += Remaining < record->ByteCount ? Remaining : record->ByteCount;
        else
            unplayed += record->ByteCount;
        current = FALSE;
    }
    return unplayed;
}

/*
 * Playback, at a pause: the copied bytes (the ReleaseQueue's mappings, then
 * what CurrentMapping has copied) end with Unplayed bytes that did not play.
 * The mappings that played in full are handed back; the others go back to
 * the head of the InputQueue in stream order, the one that played in part
 * trimmed to its unplayed bytes (its tag, and so its release, unchanged).
 */
void CMiniportWavePciStreamZATAC97::KeepUnplayedMappings(ULONG Unplayed)
{
    ULONGLONG copied = 0;
    for (PLIST_ENTRY entry = ReleaseQueue.Flink; entry != &ReleaseQueue; entry = entry->Flink) {
        MappingRecord *record = CONTAINING_RECORD(entry, MappingRecord, Link);
        if (!record->IsBlockMarker)
            copied += record->ByteCount;
    }
    if (CurrentMapping)
        copied += CurrentMapping->BytesCopied;
    ULONGLONG played = copied > Unplayed ? copied - Unplayed : 0;

    /* The lock is dropped around each release: the head is read afresh every time. */
    while (!IsListEmpty(&ReleaseQueue)) {
        MappingRecord *record = CONTAINING_RECORD(ReleaseQueue.Flink, MappingRecord, Link);
        if (!record->IsBlockMarker && record->ByteCount > played)
            break;
        RemoveEntryList(&record->Link);
        if (record->IsBlockMarker) {
            FreeMappingRecord(record);
            continue;
        }
        played -= record->ByteCount;
        BytesCompleted += record->ByteCount;
        ReleaseAndFree(record);
    }

    /* From here on the lock is held throughout. */
    PLIST_ENTRY after = &InputQueue;
    for (;;) {
        MappingRecord *record;
        if (!IsListEmpty(&ReleaseQueue)) {
            record = CONTAINING_RECORD(RemoveHeadList(&ReleaseQueue), MappingRecord, Link);
            if (record->IsBlockMarker) {
                FreeMappingRecord(record);
                continue;
            }
        } else if (CurrentMapping) {
            record = CurrentMapping;
            CurrentMapping = NULL;
        } else {
            break;
        }
        ULONG done = played < record->ByteCount ? (ULONG)played : record->ByteCount;
        played -= done;
        BytesCompleted += done;
        if (record->Revoked) {
            /* The framework has it back already: what did not play of it is gone with it. */
            FreeMappingRecord(record);
            continue;
        }
        record->VirtualAddress = (PUCHAR)record->VirtualAddress + done;
        record->PhysicalAddress.QuadPart += done;
        record->ByteCount -= done;
        record->BytesCopied = 0;
        InsertHeadList(after, &record->Link);
        after = &record->Link;
    }
    BlockFill = 0;

    QueuedBytes = 0;
    for (PLIST_ENTRY entry = InputQueue.Flink; entry != &InputQueue; entry = entry->Flink)
        QueuedBytes += CONTAINING_RECORD(entry, MappingRecord, Link)->ByteCount;
}

NTSTATUS CMiniportWavePciStreamZATAC97::EnterRun()
{
    /*
     * A channel still active here did not stop at the last pause: a start
     * command would be taken as a restart and ignored. Terminate it again
     * and start afresh; if it still will not stop, say so and stay paused.
     */
    if (ReadStatus() & ChannelStatusActive) {
        NTSTATUS status = HwStop();
        if (!NT_SUCCESS(status))
            return status;
        AcquireMappingLock();
        TakeEventCount();
        StrayEvents = 0;
        ReleaseMappingLock();
    }

    AcquireMappingLock();
    State = KSSTATE_RUN;
    RunArming = TRUE;
    LastPosition = 0;
    ProcessNewMappings();

    if (Capture) {
        CompletionRecord *first = GetCompletionRecord();
        CompletionRecord *second = GetCompletionRecord();
        /* The pool cannot run dry here: the queue is empty after any pause. */
        SetCountWord(0, BlockSize | SgdFlag);
        first->EndsWithEol = 0;
        InsertTailList(&CompletionQueue, &first->Link);
        SetCountWord(1, BlockSize | SgdEol);
        second->EndsWithEol = 1;
        InsertTailList(&CompletionQueue, &second->Link);
    } else {
        ArmPlaybackBlocks();
        /* Nothing to play yet: the first MappingAvailable with data starts the channel again. */
        if (CountWord(0) == SgdEol)
            Starved = TRUE;
    }

    WriteStatus(ChannelStatusEvents);
    PUCHAR type = IoPort(ChannelBase + ChannelType);
    WRITE_PORT_UCHAR(type, (UCHAR)(READ_PORT_UCHAR(type) | ChannelTypeInterruptEnables));
    HwQTrig();
    RunArming = FALSE;

    if (QueuedBytes < QueueLimit / 4)
        ProcessNewMappings();
    ReleaseMappingLock();
    return STATUS_SUCCESS;
}
