/*
 * The SGD engine: pulls the framework's mappings, copies them into or out of
 * the two blocks, arms the SGD entries, starts and stops the channel, and
 * gives mappings back when the framework revokes them.
 *
 * Everything here runs with MappingLock held by the caller that owns the
 * data path. The lock is dropped only around GetMapping and ReleaseMapping;
 * RevokeMappings can run in those windows, so whatever it may change
 * (InputQueue, CurrentMapping, QueuedBytes) is read afresh after each one.
 */
#include "wave/stream.h"
#include "adapter/registers.h"

static inline PUCHAR IoPort(ULONG Address)
{
    return (PUCHAR)(ULONG_PTR)Address;
}

/* Whole 32-bit words first (one copy of all of them), then the 0-3 bytes left over. */
static void CopyBlockBytes(PUCHAR Destination, const UCHAR *Source, ULONG Count)
{
    ULONG wordBytes = Count & ~3UL;
    RtlCopyMemory(Destination, Source, wordBytes);
    for (ULONG i = wordBytes; i < Count; i++)
        Destination[i] = Source[i];
}

/* ---- Records ----------------------------------------------------------------------------- */

CompletionRecord *CMiniportWavePciStreamZATAC97::GetCompletionRecord()
{
    if (IsListEmpty(&FreeCompletions))
        return NULL;
    CompletionRecord *record = CONTAINING_RECORD(RemoveHeadList(&FreeCompletions), CompletionRecord, Link);
    record->EndsWithEol = 0;
    record->EntryIndex = 0;
    record->EmptyEventsFollow = 0;
    record->ByteCount = 0;
    return record;
}

void CMiniportWavePciStreamZATAC97::PutCompletionRecord(CompletionRecord *Record)
{
    InsertTailList(&FreeCompletions, &Record->Link);
}

MappingRecord *CMiniportWavePciStreamZATAC97::GetBlockMarker()
{
    if (IsListEmpty(&FreeMarkers))
        return NULL;
    return CONTAINING_RECORD(RemoveHeadList(&FreeMarkers), MappingRecord, Link);
}

/* From the stream's reserve; the pool only when smaller buffers than the framing asks for need more. */
MappingRecord *CMiniportWavePciStreamZATAC97::GetMappingRecord()
{
    MappingRecord *record;
    BOOLEAN fromReserve = !IsListEmpty(&FreeMappings);
    if (fromReserve)
        record = CONTAINING_RECORD(RemoveHeadList(&FreeMappings), MappingRecord, Link);
    else
        record = (MappingRecord *)ExAllocatePoolWithTag(NonPagedPool, sizeof(MappingRecord), PoolTagScratch);
    if (!record)
        return NULL;
    RtlZeroMemory(record, sizeof(MappingRecord));
    record->FromReserve = fromReserve;
    record->Tag = record;
    return record;
}

/* Markers and reserve records go back to the stream; other mapping records to the pool. */
void CMiniportWavePciStreamZATAC97::FreeMappingRecord(MappingRecord *Record)
{
    if (Record->IsBlockMarker)
        InsertTailList(&FreeMarkers, &Record->Link);
    else if (Record->FromReserve)
        InsertTailList(&FreeMappings, &Record->Link);
    else
        ExFreePool(Record);
}

/*
 * A zero-length mapping has nothing to wait for: it goes back as soon as
 * every mapping ahead of it has, even while nothing is armed to bring an
 * event (alone at the start of a run, or after the data ran out).
 */
void CMiniportWavePciStreamZATAC97::ReleaseEmptyMappingsDue()
{
    PLIST_ENTRY queue = Capture ? &InputQueue : &ReleaseQueue;
    while (!IsListEmpty(queue) && !(Capture && CurrentMapping)) {
        MappingRecord *head = CONTAINING_RECORD(queue->Flink, MappingRecord, Link);
        if (head->IsBlockMarker || head->ByteCount != 0)
            break;
        RemoveEntryList(&head->Link);
        ReleaseAndFree(head);
    }
}

/* The framework forbids holding our own spin lock across ReleaseMapping. */
void CMiniportWavePciStreamZATAC97::ReleaseMappingUnlocked(MappingRecord *Record)
{
    PVOID tag = Record->Tag;
    ReleaseMappingLock();
    PortStream->ReleaseMapping(tag);
    AcquireMappingLock();
}

/* Hands an unlinked mapping back (unless the framework revoked it) and frees its record. */
void CMiniportWavePciStreamZATAC97::ReleaseAndFree(MappingRecord *Record)
{
    BOOLEAN revoked = Record->Revoked;
    PVOID tag = Record->Tag;
    FreeMappingRecord(Record);
    if (!revoked) {
        LastReleaseTag = tag;
        ReleaseMappingLock();
        PortStream->ReleaseMapping(tag);
        AcquireMappingLock();
    }
}

/* ---- Pulling mappings ----------------------------------------------------------------------- */

NTSTATUS CMiniportWavePciStreamZATAC97::ProcessNewMappings()
{
    if (State != KSSTATE_RUN)
        return STATUS_SUCCESS;

    PullStarved = FALSE;
    while (QueuedBytes < QueueLimit) {
        /* A record that cannot be had stops the pull before the framework hands anything out. */
        MappingRecord *record = GetMappingRecord();
        if (!record) {
            PullStarved = TRUE;
            break;
        }

        PullingRecord = record;
        PullingRevoked = FALSE;
        ReleaseMappingLock();
        PHYSICAL_ADDRESS physical;
        PVOID virtualAddress = NULL;
        ULONG byteCount = 0;
        ULONG flags = 0;
        physical.QuadPart = 0;
        NTSTATUS status = PortStream->GetMapping(record, &physical, &virtualAddress, &byteCount, &flags);
        AcquireMappingLock();
        PullingRecord = NULL;

        if (!NT_SUCCESS(status)) {
            FreeMappingRecord(record);
            break;
        }
        if (PullingRevoked) {
            /* Revoked before it was ever queued: the framework has it back already. */
            FreeMappingRecord(record);
            continue;
        }
        record->VirtualAddress = virtualAddress;
        record->PhysicalAddress = physical;
        record->ByteCount = byteCount;
        record->BytesCopied = 0;
        record->Flags = flags;
        QueuedBytes += byteCount;
        InsertTailList(&InputQueue, &record->Link);
    }
    if (Capture)
        ReleaseEmptyMappingsDue();
    return STATUS_SUCCESS;
}

MappingRecord *CMiniportWavePciStreamZATAC97::RemoveFromInputQueueHead()
{
    if (IsListEmpty(&InputQueue))
        return NULL;
    return CONTAINING_RECORD(RemoveHeadList(&InputQueue), MappingRecord, Link);
}

/* FALSE when the data has run out, even after asking the framework for more. */
BOOLEAN CMiniportWavePciStreamZATAC97::TakeNextMapping()
{
    if (CurrentMapping)
        return TRUE;
    CurrentMapping = RemoveFromInputQueueHead();
    if (!CurrentMapping) {
        ProcessNewMappings();
        /* ProcessNewMappings dropped the lock; a revocation may have changed the queue. */
        if (!CurrentMapping)
            CurrentMapping = RemoveFromInputQueueHead();
    }
    return CurrentMapping != NULL;
}

/* ---- Playback: filling a block ---------------------------------------------------------------- */

void CMiniportWavePciStreamZATAC97::FillInSGDTable(UCHAR Entry)
{
    /*
     * The entry's record and marker are taken before any byte is copied: if
     * either were missing the entry is armed empty and no mapping is touched,
     * so nothing is lost and the one-record-per-entry rule holds.
     */
    CompletionRecord *record = GetCompletionRecord();
    MappingRecord *marker = GetBlockMarker();
    if (!record || !marker) {
        if (record)
            PutCompletionRecord(record);
        if (marker)
            FreeMappingRecord(marker);
        SetCountWord(Entry, SgdEol);
        LastBlockBytes = 0;
        BlockFill = 0;
        return;
    }

    BlockFill = 0;
    while (BlockFill < BlockSize) {
        if (!TakeNextMapping())
            break;
        MappingRecord *mapping = CurrentMapping;
        ULONG n = BlockSize - BlockFill;
        if (mapping->ByteCount - mapping->BytesCopied < n)
            n = mapping->ByteCount - mapping->BytesCopied;

        if (n)
            CopyBlockBytes(BlockBuffer[Entry] + BlockFill, (const UCHAR *)mapping->VirtualAddress + mapping->BytesCopied,
                           n);
        QueuedBytes -= n;
        mapping->BytesCopied += n;
        BlockFill += n;
        BytesInBlocks += n;

        /* Handed back only when the block holding its last byte has played. */
        if (mapping->BytesCopied == mapping->ByteCount) {
            InsertTailList(&ReleaseQueue, &mapping->Link);
            CurrentMapping = NULL;
        }
    }

    if (BlockFill >= BlockSize) {
        if (Entry == 1) {
            SetCountWord(1, BlockSize | SgdEol);
            record->EndsWithEol = 1;
            record->EntryIndex = 1;
        } else {
            SetCountWord(0, BlockSize | SgdFlag);
            record->EndsWithEol = 0;
        }
        record->ByteCount = BlockSize;
        InsertTailList(&CompletionQueue, &record->Link);
        LastBlockBytes = BlockSize;
        InsertTailList(&ReleaseQueue, &marker->Link);
        BlockFill = 0;
        ReleaseEmptyMappingsDue();
        return;
    }

    if (BlockFill > 0) {
        SetCountWord(Entry, BlockFill | SgdEol);
        record->EndsWithEol = 1;
        record->EntryIndex = Entry;
        record->ByteCount = BlockFill;
        InsertTailList(&CompletionQueue, &record->Link);
        InsertTailList(&ReleaseQueue, &marker->Link);
    } else {
        SetCountWord(Entry, SgdEol);
        PutCompletionRecord(record);
        FreeMappingRecord(marker);
    }
    LastBlockBytes = BlockFill;
    BlockFill = 0;
    ReleaseEmptyMappingsDue();
}

/*
 * Arms both playback entries from the queued mappings. Entry 1 is filled only
 * behind a full entry 0: the channel stops at a short entry 0, and data put
 * in entry 1 would play after newer data refilled into entry 0. A full entry
 * 0 with nothing behind it ends the run itself, because the controller
 * finishes an empty entry at once with an event that has no record.
 */
void CMiniportWavePciStreamZATAC97::ArmPlaybackBlocks()
{
    FillInSGDTable(0);
    if (!(CountWord(0) & SgdFlag)) {
        SetCountWord(1, SgdEol);
        return;
    }
    FillInSGDTable(1);
    if (CountWord(1) == SgdEol)
        EndRunAtEntry0();
}

/* Entry 0, armed full with FLAG, becomes the last entry: EOL, and its record says so. */
void CMiniportWavePciStreamZATAC97::EndRunAtEntry0()
{
    SetCountWord(0, (CountWord(0) & SgdCountMask) | SgdEol);
    CompletionRecord *last = CONTAINING_RECORD(CompletionQueue.Blink, CompletionRecord, Link);
    last->EndsWithEol = 1;
    last->EntryIndex = 0;
}

/* ---- Capture: emptying a block ------------------------------------------------------------------ */

/*
 * Captured bytes that no client buffer takes are dropped, as the client's own
 * overrun. Bytes lost for the driver's own reasons (no record to pull a
 * waiting buffer with, no way to reach a mapping's pages) are reported with
 * a marker, once per block.
 */
void CMiniportWavePciStreamZATAC97::ExtractOutSGDTable(UCHAR Entry)
{
    BOOLEAN lost = FALSE;
    BlockFill = 0;
    while (BlockFill < BlockSize) {
        if (!TakeNextMapping()) {
            lost = PullStarved;
            break; /* no mapping: the rest of the block is dropped */
        }
        MappingRecord *mapping = CurrentMapping;
        ULONG n = BlockSize - BlockFill;
        if (mapping->ByteCount - mapping->BytesCopied < n)
            n = mapping->ByteCount - mapping->BytesCopied;

        if (n) {
            PUCHAR target = (PUCHAR)MmMapIoSpace(mapping->PhysicalAddress, mapping->ByteCount, MmCached);
            if (target) {
                CopyBlockBytes(target + mapping->BytesCopied, BlockBuffer[Entry] + BlockFill, n);
                MmUnmapIoSpace(target, mapping->ByteCount);
            } else if (mapping->VirtualAddress) {
                /* No mapping of the pages to be had: the system address reaches the same bytes. */
                CopyBlockBytes((PUCHAR)mapping->VirtualAddress + mapping->BytesCopied, BlockBuffer[Entry] + BlockFill,
                               n);
            } else {
                lost = TRUE;
            }
        }
        QueuedBytes -= n;
        BytesCompleted += n;
        mapping->BytesCopied += n;
        BlockFill += n;

        /* A capture mapping is done the moment its last byte is in. */
        if (mapping->BytesCopied == mapping->ByteCount) {
            CurrentMapping = NULL;
            ReleaseAndFree(mapping);
        }
    }

    if (lost)
        DiagnosticMarker(DiagnosticPort, MarkerCaptureDataLost);

    /* A capture entry is always re-armed in full, whether or not mappings took its data. */
    CompletionRecord *record = GetCompletionRecord();
    if (Entry == 1)
        SetCountWord(1, BlockSize | SgdEol);
    else
        SetCountWord(0, BlockSize | SgdFlag);
    if (record) {
        record->EndsWithEol = Entry == 1 ? 1 : 0;
        InsertTailList(&CompletionQueue, &record->Link);
    }
    BlockFill = 0;
}

/* ---- The channel --------------------------------------------------------------------------------- */

UCHAR CMiniportWavePciStreamZATAC97::ReadStatus()
{
    return READ_PORT_UCHAR(IoPort(ChannelBase + ChannelStatus));
}

void CMiniportWavePciStreamZATAC97::WriteStatus(UCHAR Value)
{
    WRITE_PORT_UCHAR(IoPort(ChannelBase + ChannelStatus), Value);
}

/* An idle channel starts at entry 0; an active one holds the start until its EOL entry. */
void CMiniportWavePciStreamZATAC97::HwQTrig()
{
    WRITE_PORT_UCHAR(IoPort(ChannelBase + ChannelControl), ChannelControlStart);
}

/*
 * Passive level, MappingLock not held: a channel that will not stop costs
 * this thread half a second, not a processor spinning at dispatch level with
 * the lock that GetPosition and RevokeMappings need. EventsLeft gets the
 * event bits the interrupt routine had not taken (and so not counted) when
 * the stop cleared them.
 */
NTSTATUS CMiniportWavePciStreamZATAC97::HwStop(PUCHAR EventsLeft)
{
    PUCHAR type = IoPort(ChannelBase + ChannelType);
    WRITE_PORT_UCHAR(type, (UCHAR)(READ_PORT_UCHAR(type) & ~ChannelTypeInterruptEnables));
    WRITE_PORT_UCHAR(IoPort(ChannelBase + ChannelControl), ChannelControlTerminate);

    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        if (!(ReadStatus() & ChannelStatusActive))
            break;
        if (PcGetTimeInterval(start) > WAVE_CHANNEL_WAIT_LIMIT) {
            DiagnosticMarker(DiagnosticPort, MarkerStopTimedOut);
            status = STATUS_IO_DEVICE_ERROR;
            break;
        }
        KeStallExecutionProcessor(WAVE_STOP_POLL_MICROSECONDS);
    }

    /*
     * An interrupt routine on another processor may have read these bits
     * and not yet counted them: taken with the interrupt excluded, each
     * event is either counted there or left here, never both.
     */
    STOP_EVENTS_CONTEXT context = {this, 0};
    PINTERRUPTSYNC interruptSync = Miniport->AdapterCommon->GetInterruptSync();
    if (!interruptSync || !NT_SUCCESS(interruptSync->CallSynchronizedRoutine(TakeStopEvents, &context)))
        TakeStopEvents(NULL, &context);
    if (EventsLeft)
        *EventsLeft = context.Events;
    WRITE_PORT_UCHAR(type, (UCHAR)(READ_PORT_UCHAR(type) | ChannelTypeInterruptEnables));
    return status;
}

NTSTATUS NTAPI CMiniportWavePciStreamZATAC97::TakeStopEvents(PINTERRUPTSYNC InterruptSync, PVOID Context)
{
    UNREFERENCED_PARAMETER(InterruptSync);
    STOP_EVENTS_CONTEXT *context = static_cast<STOP_EVENTS_CONTEXT *>(Context);
    context->Events = (UCHAR)(context->Stream->ReadStatus() & ChannelStatusEvents);
    context->Stream->WriteStatus(ChannelStatusEvents);
    return STATUS_SUCCESS;
}

/*
 * Waits for a pending start to be taken. Bounded like the stop sequence, so
 * a channel that never gets there cannot hold the processor at dispatch
 * level; FALSE when the bound was reached.
 */
BOOLEAN CMiniportWavePciStreamZATAC97::WaitStartPendingClear(PUCHAR LastStatus)
{
    ULONGLONG start = PcGetTimeInterval(0);
    for (;;) {
        UCHAR status = ReadStatus();
        *LastStatus = status;
        if (!(status & ChannelStatusStartPending))
            return TRUE;
        if (PcGetTimeInterval(start) > WAVE_CHANNEL_WAIT_LIMIT)
            return FALSE;
    }
}

UCHAR CMiniportWavePciStreamZATAC97::TakeEventCount()
{
    return TakeIntTimes(Miniport->AdapterCommon, ChannelIndex);
}

UCHAR CMiniportWavePciStreamZATAC97::PeekEventCount()
{
    return PeekIntTimes(Miniport->AdapterCommon, ChannelIndex);
}

/* ---- Revocation ---------------------------------------------------------------------------------- */

/*
 * Whether the stream holds both ends of a range, LastTag first and FirstTag
 * at or behind it, in the order RevokeMappings walks. A FirstTag the stream
 * no longer holds says nothing about where the range starts: an older
 * mapping revoked before may have left mappings behind it that the
 * framework still counts as out.
 */
BOOLEAN CMiniportWavePciStreamZATAC97::RangeHeld(PVOID FirstTag, PVOID LastTag)
{
    BOOLEAN inRange = PullingRecord && !PullingRevoked && PullingRecord == LastTag;
    if (inRange && PullingRecord == FirstTag)
        return TRUE;

    for (PLIST_ENTRY entry = InputQueue.Blink; entry != &InputQueue; entry = entry->Blink) {
        MappingRecord *record = CONTAINING_RECORD(entry, MappingRecord, Link);
        inRange = inRange || record == LastTag;
        if (inRange && record == FirstTag)
            return TRUE;
    }

    if (CurrentMapping) {
        inRange = inRange || CurrentMapping == LastTag;
        if (inRange && CurrentMapping == FirstTag)
            return TRUE;
    }

    if (!Capture) {
        for (PLIST_ENTRY entry = ReleaseQueue.Blink; entry != &ReleaseQueue; entry = entry->Blink) {
            MappingRecord *record = CONTAINING_RECORD(entry, MappingRecord, Link);
            if (record->IsBlockMarker || record->Revoked)
                continue;
            inRange = inRange || record == LastTag;
            if (inRange && record == FirstTag)
                return TRUE;
        }
    }
    /*
     * FirstTag handed back as the framework took the range: releases go in
     * stream order, so the range is everything held from LastTag back.
     */
    return inRange && FirstTag == LastReleaseTag;
}

/*
 * Takes back the mappings from FirstTag to LastTag. The stream holds its
 * mappings in stream order as: the ReleaseQueue (copied, waiting for their
 * block), CurrentMapping, the InputQueue, and the one whose GetMapping is in
 * flight. The range is found by LastTag and walked back toward older
 * mappings until FirstTag; every mapping inside it is taken back, wherever
 * it sits, so none is later released or read after the framework has it.
 * A range with either end not held is refused and nothing changes.
 */
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::RevokeMappings(PVOID FirstTag, PVOID LastTag,
                                                                      PULONG MappingsRevoked)
{
    ULONG count = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    BOOLEAN reachedFirst = FALSE;
    BOOLEAN inRange = FALSE;

    AcquireMappingLock();

    /* A range the stream does not hold from end to end is refused whole. */
    if (!RangeHeld(FirstTag, LastTag)) {
        ReleaseMappingLock();
        *MappingsRevoked = 0;
        return STATUS_UNSUCCESSFUL;
    }

    /* Newest first: the mapping being pulled. */
    if (PullingRecord && !PullingRevoked && PullingRecord == LastTag) {
        inRange = TRUE;
        PullingRevoked = TRUE;
        count++;
        reachedFirst = PullingRecord == FirstTag;
    }

    /* The InputQueue, tail to head. */
    PLIST_ENTRY entry = InputQueue.Blink;
    while (!reachedFirst && entry != &InputQueue) {
        MappingRecord *record = CONTAINING_RECORD(entry, MappingRecord, Link);
        entry = entry->Blink;
        if (!inRange && record == LastTag)
            inRange = TRUE;
        if (!inRange)
            continue;
        RemoveEntryList(&record->Link);
        QueuedBytes -= record->ByteCount;
        reachedFirst = record == FirstTag;
        FreeMappingRecord(record);
        count++;
    }

    /*
     * CurrentMapping: inside the range, or its last mapping. Named only by
     * FirstTag, the range ends at a LastTag the stream does not hold: it is
     * refused like any such range, not cut down to CurrentMapping while the
     * framework takes back the mappings behind it too.
     */
    if (!reachedFirst && CurrentMapping && (inRange || CurrentMapping == LastTag)) {
        MappingRecord *record = CurrentMapping;
        CurrentMapping = NULL;
        QueuedBytes -= record->ByteCount - record->BytesCopied;
        reachedFirst = record == FirstTag;
        inRange = inRange || record == LastTag;
        count++;
        if (!Capture && record->BytesCopied) {
            /* Its copied bytes are in the last block filled: they complete with that block's group. */
            record->ByteCount = record->BytesCopied;
            record->Revoked = TRUE;
            PLIST_ENTRY tail = ReleaseQueue.Blink;
            if (tail != &ReleaseQueue && CONTAINING_RECORD(tail, MappingRecord, Link)->IsBlockMarker)
                InsertTailList(tail, &record->Link); /* just ahead of the marker */
            else
                InsertTailList(&ReleaseQueue, &record->Link);
        } else {
            FreeMappingRecord(record);
        }
    }

    /* Copied mappings waiting for their block: still played, no longer released. */
    if (!Capture) {
        entry = ReleaseQueue.Blink;
        while (!reachedFirst && entry != &ReleaseQueue) {
            MappingRecord *record = CONTAINING_RECORD(entry, MappingRecord, Link);
            entry = entry->Blink;
            if (record->IsBlockMarker || record->Revoked)
                continue;
            if (!inRange && record == LastTag)
                inRange = TRUE;
            if (!inRange)
                continue;
            record->Revoked = TRUE;
            reachedFirst = record == FirstTag;
            count++;
        }
    }

    if (count)
        status = STATUS_SUCCESS;
    ReleaseMappingLock();

    *MappingsRevoked = count;
    return status;
}
