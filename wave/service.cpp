/*
 * The event side of the data path: Service handles the channel's completion
 * events in the order the entries were armed, refilling (playback) or
 * emptying (capture) the finished block and keeping the restart pending;
 * MappingAvailable pulls new mappings and restarts a starved playback stream.
 */
#include "wave/stream.h"
#include "adapter/registers.h"

static inline BOOLEAN ChannelRunning(UCHAR Status)
{
    return (Status & ChannelStatusActive) != 0;
}

/* ---- Entry points ----------------------------------------------------------------------------- */

STDMETHODIMP_(void) CMiniportWavePciStreamZATAC97::Service()
{
    AcquireMappingLock();
    if (!TryEnterDataPath()) {
        /* The owner has dropped the lock around a framework call; it runs this for us. */
        ServiceDeferred = TRUE;
        ReleaseMappingLock();
        return;
    }
    ServiceEvents();
    RunDeferredWork();
    LeaveDataPathLocked();
}

/*
 * Runs at up to dispatch level, so it never waits: while SetState owns the
 * queues (and so while the state changes) the work is left to it, which is
 * what keeps a restart from interleaving with a state change.
 */
STDMETHODIMP_(void) CMiniportWavePciStreamZATAC97::MappingAvailable()
{
    AcquireMappingLock();
    if (!TryEnterDataPath()) {
        MappingsDeferred = TRUE;
        ReleaseMappingLock();
        return;
    }
    MappingWork();
    RunDeferredWork();
    LeaveDataPathLocked();
}

void CMiniportWavePciStreamZATAC97::MappingWork()
{
    ProcessNewMappings();
    if (!Capture && State == KSSTATE_RUN && Starved)
        RestartStarvedPlayback();
}

/* Work that arrived while this caller owned the queues. */
void CMiniportWavePciStreamZATAC97::RunDeferredWork()
{
    while (ServiceDeferred || MappingsDeferred) {
        if (MappingsDeferred) {
            MappingsDeferred = FALSE;
            MappingWork();
        }
        if (ServiceDeferred) {
            ServiceDeferred = FALSE;
            ServiceEvents();
        }
    }
}

/*
 * Entry 0 first, entry 1 behind it if entry 0 is full; the channel starts
 * only when there is something to play. Without data the stream stays
 * starved, so the next MappingAvailable tries again instead of leaving the
 * stream idle for good.
 */
void CMiniportWavePciStreamZATAC97::RestartStarvedPlayback()
{
    /*
     * The idle channel's last events (an empty entry's among them) have no
     * record; dropped here, before entries are armed, so none of them can
     * be taken for the new entry 0 finishing.
     */
    if (!ChannelRunning(ReadStatus())) {
        WriteStatus(ChannelStatusEvents);
        TakeEventCount();
        StrayEvents = 0;
    }
    ArmPlaybackBlocks();
    if (CountWord(0) == SgdEol)
        return;
    Starved = FALSE;
    HwQTrig();
    ProcessNewMappings();
}

/* ---- Events ------------------------------------------------------------------------------------- */

/*
 * Events still to come for this call after the one being handled: those
 * counted since the count was taken, plus those taken and not handled yet
 * (8-bit, as the count itself).
 */
UCHAR CMiniportWavePciStreamZATAC97::EventsAfterThisOne()
{
    return (UCHAR)(PeekEventCount() + PendingEvents - 1);
}

void CMiniportWavePciStreamZATAC97::ServiceEvents()
{
    PendingEvents = TakeEventCount();
    UCHAR stray = StrayEvents < PendingEvents ? StrayEvents : PendingEvents;
    StrayEvents -= stray;
    PendingEvents -= stray;
    if (State != KSSTATE_RUN) {
        /* A late event of a channel that has been stopped since. */
        PendingEvents = 0;
        return;
    }

    while (PendingEvents != 0) {
        if (IsListEmpty(&CompletionQueue)) {
            DiagnosticMarker(DiagnosticPort, MarkerNoCompletionRecord);
        } else {
            CompletionRecord *record =
                CONTAINING_RECORD(RemoveHeadList(&CompletionQueue), CompletionRecord, Link);
            /* An empty entry's event came with this one, or is still to be counted. */
            for (UCHAR empty = record->EmptyEventsFollow; empty != 0; --empty) {
                if (PendingEvents > 1)
                    PendingEvents--;
                else
                    StrayEvents++;
            }
            if (Capture) {
                HandleCaptureEvent(record);
            } else {
                HandlePlaybackEvent(record);
                ReleaseStep();
            }
            PutCompletionRecord(record);
        }
        PendingEvents--;
    }
}

void CMiniportWavePciStreamZATAC97::HandleCaptureEvent(CompletionRecord *Record)
{
    if (!Record->EndsWithEol) {
        /* Entry 0 is full and the channel has gone on to entry 1: restart behind it. */
        ExtractOutSGDTable(0);
        ReadStatus();
        if (Record->EmptyEventsFollow == 0) {
            /*
             * The channel read entry 1 when it began it; the restarted pass
             * reads it again. Empty until entry 1's event has emptied block 1,
             * it stops a pass that gets there first instead of letting it
             * record over the block still to be emptied.
             */
            SetCountWord(1, SgdEol);
        } else {
            /* The channel stopped at that empty entry: it starts afresh at entry 0, entry 1 armed behind it. */
            CompletionRecord *entry1 = GetCompletionRecord();
            SetCountWord(1, BlockSize | SgdEol);
            if (entry1) {
                entry1->EndsWithEol = 1;
                InsertTailList(&CompletionQueue, &entry1->Link);
            }
        }
        HwQTrig();
    } else {
        ExtractOutSGDTable(1);
        if (!ChannelRunning(ReadStatus()) && !IsListEmpty(&CompletionQueue)) {
            /*
             * Too late: the restarted pass has recorded entry 0 and stopped at
             * the empty entry 1. Entry 1 stays empty and without a record;
             * entry 0's event takes the empty entry's with it and restarts.
             */
            PutCompletionRecord(CONTAINING_RECORD(RemoveTailList(&CompletionQueue), CompletionRecord, Link));
            SetCountWord(1, SgdEol);
            if (!IsListEmpty(&CompletionQueue))
                CONTAINING_RECORD(CompletionQueue.Flink, CompletionRecord, Link)->EmptyEventsFollow = 1;
        }
        if (QueuedBytes < BlockSize)
            ProcessNewMappings();
    }
}

void CMiniportWavePciStreamZATAC97::HandlePlaybackEvent(CompletionRecord *Record)
{
    if (!Record->EndsWithEol)
        PlaybackCaseF();
    else if (Record->EntryIndex != 0)
        PlaybackCaseE1();
    else
        PlaybackCaseE0();
}

/* Entry 0 (full, FLAG) finished; the channel went on to entry 1. */
void CMiniportWavePciStreamZATAC97::PlaybackCaseF()
{
    FillInSGDTable(0);

    if (ChannelRunning(ReadStatus()) && CountWord(1) != SgdEol) {
        /* An empty entry 0 is not restarted into: entry 1's EOL stops the channel and its event refills. */
        if (CountWord(0) != SgdEol) {
            HwQTrig();
            /*
             * The channel read entry 1 when it began it. After the restart it
             * reads it again, and until entry 1's event refills it, it holds
             * the block playing now: left empty, a late refill finds the
             * channel stopped there instead of the block played twice.
             */
            SetCountWord(1, SgdEol);
        }
        TopUpAfterRefill();
        return;
    }

    /* The channel has stopped, or entry 1 is empty: entry 0 must end the run by itself. */
    ULONG c0 = CountWord(0);
    if (c0 & SgdFlag) {
        c0 = (c0 & SgdCountMask) | SgdEol;
        SetCountWord(0, c0);
    }
    if (c0 != SgdEol) {
        HwQTrig();
        EndRunAtEntry0();
    } else if (EventsAfterThisOne() == 0 && IsListEmpty(&CompletionQueue)) {
        /*
         * Starved only with nothing armed left to report: an entry 1 whose
         * event is not counted yet restarts or starves the stream itself,
         * and a restart now would drop that event with the idle channel's.
         */
        ProcessNewMappings();
        Starved = TRUE;
    }
}

/* Entry 1 finished with EOL. */
void CMiniportWavePciStreamZATAC97::PlaybackCaseE1()
{
    ULONG c0 = CountWord(0);

    if (c0 & SgdFlag) {
        /* Entry 0 was refilled and the pending restart has taken it. */
        UCHAR now = ReadStatus();
        if (!ChannelRunning(now) && ((now & ChannelStatusEvents) || EventsAfterThisOne() != 0)) {
            /*
             * Too late: the channel has played entry 0 and stopped at the
             * empty entry 1. Entry 0's event refills and restarts; the empty
             * entry's event comes with it and has no record.
             */
            if (!IsListEmpty(&CompletionQueue))
                CONTAINING_RECORD(CompletionQueue.Flink, CompletionRecord, Link)->EmptyEventsFollow = 1;
            TopUpAfterRefill();
            return;
        }
        REFILL_TIMES times;
        times.CountReadFrom = PcGetTimeInterval(0);
        times.Entry0Left = READ_PORT_ULONG((PULONG)(ULONG_PTR)(ChannelBase + ChannelCurrentCount)) & SgdCountMask;
        FillInSGDTable(1);
        if (ChannelRunning(now) && CountWord(1) != SgdEol && SkippedRefilledEntry1(&times)) {
            ReplayRefilledEntry1();
            TopUpAfterRefill();
            return;
        }
        if (CountWord(1) == SgdEol) {
            /* Too late to make entry 0 the last: the channel will finish the empty entry 1 too. */
            if (!IsListEmpty(&CompletionQueue))
                CONTAINING_RECORD(CompletionQueue.Blink, CompletionRecord, Link)->EmptyEventsFollow = 1;
        }
        UCHAR status = 0;
        WaitStartPendingClear(&status);
        if (status == 0) {
            UCHAR eventsToCome = EventsAfterThisOne();
            DiagnosticMarker(DiagnosticPortIdle, MarkerIdleAfterRefill);
            /* Idle with both entries armed and no event to come: nothing else would start it. */
            if (eventsToCome == 0)
                HwQTrig();
        }
        TopUpAfterRefill();
        return;
    }

    if (c0 == SgdEol) {
        PlaybackCaseE0();
        return;
    }

    /*
     * Entry 0 holds a short block ending in EOL, being played or played
     * already. The status first, then the count: an idle channel with no bit
     * set has had its last event counted, so a count read after it holds
     * that event; read before it, the count can miss one counted in between.
     */
    ProcessNewMappings();
    UCHAR status = 0;
    WaitStartPendingClear(&status);
    if (status == 0 && EventsAfterThisOne() == 0) {
        DiagnosticMarker(DiagnosticPortIdle, MarkerIdleEarlyEntry0);
        PendingEvents++;
    }
}

/*
 * Entry 0 may finish between the status read that found the channel in it
 * and the write that arms entry 1: the channel then ran through the empty
 * entry 1 and stopped, and the block just armed would never play. A channel
 * found stopped after the write did that, or played the new block to its
 * end. It skipped if entry 0 had nothing left when read before the write,
 * or if it stopped sooner than entry 0's earliest end (its bytes left at
 * the stream's rate, less a margin) and the new block's time: it cannot
 * have played the block. Measured from entry 0's end, not from the refill:
 * a service held up for a block's time after a skip found by the first
 * rule would otherwise take it for a played block and lose it. Held up that
 * long while arming, the service cannot tell; the block is taken as played.
 */
BOOLEAN CMiniportWavePciStreamZATAC97::SkippedRefilledEntry1(const REFILL_TIMES *Times)
{
    if (ChannelRunning(ReadStatus()))
        return FALSE;
    ULONGLONG stoppedBy = PcGetTimeInterval(0);
    if (Times->Entry0Left == 0)
        return TRUE;
    ULONGLONG earliestEnd = Times->CountReadFrom + PlayingTime(Times->Entry0Left);
    earliestEnd = earliestEnd > WAVE_CHANNEL_TIME_MARGIN ? earliestEnd - WAVE_CHANNEL_TIME_MARGIN : 0;
    return stoppedBy < earliestEnd + PlayingTime(CountWord(1) & SgdCountMask);
}

/* How long the channel takes to play Bytes of this stream's format, in 100-ns units. */
ULONGLONG CMiniportWavePciStreamZATAC97::PlayingTime(ULONG Bytes)
{
    ULONGLONG bytesPerSecond = (ULONGLONG)SampleRate << (SixteenBit + Stereo);
    return bytesPerSecond ? (ULONGLONG)Bytes * 10000000 / bytesPerSecond : 0;
}

/*
 * Plays the skipped entry 1 without playing entry 0 again: entry 0 becomes
 * an empty FLAG entry, which the restarted channel passes at once into
 * entry 1. Entry 0's record then has two events behind it with no record
 * (the empty entry 1 already run through, and the empty entry 0), and the
 * old events are counted before the restart raises the same bit again.
 */
void CMiniportWavePciStreamZATAC97::ReplayRefilledEntry1()
{
    ULONGLONG start = PcGetTimeInterval(0);
    while ((ReadStatus() & ChannelStatusEvents) && PcGetTimeInterval(start) <= WAVE_CHANNEL_WAIT_LIMIT) {
    }
    CONTAINING_RECORD(CompletionQueue.Flink, CompletionRecord, Link)->EmptyEventsFollow = 2;
    SetCountWord(0, SgdFlag);
    HwQTrig();
}

/*
 * After a refill for a running channel: half a block or more still queued
 * lasts until the next event, which pulls then; with less the stream pulls now.
 */
void CMiniportWavePciStreamZATAC97::TopUpAfterRefill()
{
    if (QueuedBytes < (BlockSize >> 1))
        ProcessNewMappings();
}

/* Entry 0 finished with EOL; the channel has stopped. */
void CMiniportWavePciStreamZATAC97::PlaybackCaseE0()
{
    ArmPlaybackBlocks();
    if (CountWord(0) == SgdEol) {
        ProcessNewMappings();
        Starved = TRUE;
        return;
    }
    HwQTrig();
    if (QueuedBytes < BlockSize)
        ProcessNewMappings();
}

/*
 * Hands back exactly the mappings whose last byte was in the block just
 * played, in stream order, then any zero-length ones now at the head.
 */
void CMiniportWavePciStreamZATAC97::ReleaseStep()
{
    while (!IsListEmpty(&ReleaseQueue)) {
        MappingRecord *record = CONTAINING_RECORD(RemoveHeadList(&ReleaseQueue), MappingRecord, Link);
        if (record->IsBlockMarker) {
            FreeMappingRecord(record);
            break;
        }
        BytesCompleted += record->ByteCount;
        BytesInBlocks -= record->ByteCount;
        ReleaseAndFree(record);
    }
    ReleaseEmptyMappingsDue();
}
