/*
 * CMiniportWavePciStreamZATAC97: one open wave stream. It copies the
 * framework's mappings into (playback) or out of (capture) two fixed 10 ms
 * blocks that its SGD channel works through alternately, one interrupt per
 * block.
 */
#pragma once

#include <portcls.h>
#include "adapter/unknown.h"
#include "wave/miniport.h"

/* One framework mapping while the stream holds it. */
struct MappingRecord {
    PVOID Tag;                 /* the record's own address: the tag given to GetMapping */
    PVOID VirtualAddress;
    PHYSICAL_ADDRESS PhysicalAddress;
    ULONG ByteCount;
    ULONG BytesCopied;
    ULONG Flags;               /* as GetMapping returned them; not used */
    BOOLEAN IsBlockMarker;     /* closes one block's group in the ReleaseQueue */
    BOOLEAN Revoked;           /* the framework took it back; its bytes still play, it is not released */
    BOOLEAN FromReserve;       /* goes back to the stream's reserve, not to the pool */
    LIST_ENTRY Link;
};

/* One armed SGD entry holding data that the hardware has still to finish. */
struct CompletionRecord {
    ULONG EndsWithEol;
    UCHAR EntryIndex;          /* which entry ends with EOL; playback with EndsWithEol only */
    UCHAR EmptyEventsFollow;   /* events of empty entries the channel runs through after this one: no records */
    ULONG ByteCount;           /* playback: the bytes armed in its entry */
    LIST_ENTRY Link;
};

/*
 * At most three completion records and three markers are alive at once (two
 * armed entries plus the one being handled); one spare makes the pool
 * impossible to exhaust, so the data path never allocates them.
 */
const ULONG WAVE_RECORD_POOL_SIZE = 4;

/*
 * Mapping records held at once when the client's buffers follow the
 * allocator framing: two frames queued, two in the blocks, one more pulled
 * past the limit; a frame of at most one block crosses at most one page
 * boundary, so it comes as two mappings. Records come from this reserve and
 * go back to it, so the data path does not depend on the pool; only smaller
 * buffers than the framing asks for can need more.
 */
const ULONG WAVE_FRAMING_FRAMES = 2;
const ULONG WAVE_MAPPINGS_PER_FRAME = 2;
const ULONG WAVE_MAPPING_RESERVE = (2 * WAVE_FRAMING_FRAMES + 1) * WAVE_MAPPINGS_PER_FRAME;

/* Two 8-byte SGD entries; each block holds at most 10 ms of 48 kHz 16-bit stereo. */
const ULONG WAVE_SGD_TABLE_SIZE = 16;
const ULONG WAVE_BLOCK_ALLOC_SIZE = 1920;

/* Bound on every busy wait for the channel; the stop sequence uses the same. */
const ULONGLONG WAVE_CHANNEL_WAIT_LIMIT = 5000000; /* 0.5 s in 100-ns units */
const ULONGLONG WAVE_BLOCK_DURATION = 100000;     /* a block is 10 ms of audio, in 100-ns units */
/* What a time worked out from bytes left and the rate may be off by, either way (100-ns units). */
const ULONGLONG WAVE_CHANNEL_TIME_MARGIN = WAVE_BLOCK_DURATION / 16;

/* Between two looks at a stopping channel, at passive level. */
const ULONG WAVE_STOP_POLL_MICROSECONDS = 10;

/* A refill of entry 1 behind a running entry 0: entry 0's bytes left, read from CountReadFrom (a 100-ns interval time). */
struct REFILL_TIMES {
    ULONG Entry0Left;
    ULONGLONG CountReadFrom;
};

class CMiniportWavePciStreamZATAC97 : public IMiniportWavePciStream, public CUnknown
{
public:
    explicit CMiniportWavePciStreamZATAC97(PUNKNOWN OuterUnknown);
    ~CMiniportWavePciStreamZATAC97() override;

    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface) override;

    NTSTATUS Init(CMiniportWavePciZATAC97 *Miniport, PPORTWAVEPCISTREAM PortStream, ULONG Pin, BOOLEAN Capture,
                  ULONG ChannelIndex, PKSDATAFORMAT DataFormat, PDMACHANNEL DmaChannel,
                  PSERVICEGROUP *ServiceGroup);

    /* IMiniportWavePciStream */
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONGLONG Position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
    STDMETHODIMP_(NTSTATUS) GetAllocatorFraming(PKSALLOCATOR_FRAMING AllocatorFraming) override;
    STDMETHODIMP_(NTSTATUS) RevokeMappings(PVOID FirstTag, PVOID LastTag, PULONG MappingsRevoked) override;
    STDMETHODIMP_(void) MappingAvailable() override;
    STDMETHODIMP_(void) Service() override;

    /* The SGD engine; every one of these runs with MappingLock held and the data path owned. */
    NTSTATUS ProcessNewMappings();
    MappingRecord *RemoveFromInputQueueHead();
    void FillInSGDTable(UCHAR Entry);
    void ExtractOutSGDTable(UCHAR Entry);
    void HwQTrig();
    void HwFire() { HwQTrig(); }
    NTSTATUS HwStop(PUCHAR EventsLeft = NULL);

private:
    /* Fields in the order the stream's description gives them. */
    PDMACHANNEL DmaChannel;
    PDMA_ADAPTER DmaAdapter;
    ULONG Pin;
    BOOLEAN Capture;
    ULONG ChannelIndex;
    KSSTATE State;
    USHORT ChannelBase;
    KSPIN_LOCK MappingLock;
    KMUTEX StateMutex;
    BOOLEAN Stereo;
    BOOLEAN SixteenBit;
    USHORT SampleRate;
    ULONG BlockFill;
    MappingRecord *CurrentMapping;
    PULONG SgdTable;
    PHYSICAL_ADDRESS SgdTablePhysical;
    PUCHAR BlockBuffer[2];
    PHYSICAL_ADDRESS BlockPhysical[2];
    ULONG BlockAllocSize;
    ULONG BlockSize;
    CMiniportWavePciZATAC97 *Miniport;
    PPORTWAVEPCISTREAM PortStream;
    PSERVICEGROUP ServiceGroup;
    ULONGLONG BytesCompleted;
    ULONGLONG BytesInBlocks;
    ULONGLONG LastBlockBytes;
    LIST_ENTRY InputQueue;
    LIST_ENTRY CompletionQueue;
    LIST_ENTRY ReleaseQueue;
    ULONG QueueLimit;
    ULONG QueuedBytes;
    UCHAR PendingEvents;
    BOOLEAN Starved;
    /*
     * Set from the moment a run begins until its channel is started: the
     * blocks are being armed (the lock is dropped for each mapping pulled) and
     * the channel's count still belongs to the stopped run.
     */
    BOOLEAN RunArming;
    /* Events of empty entries not counted yet; they have no record and are dropped. */
    UCHAR StrayEvents;
    /*
     * The last position reported in this run. Between a block's event and
     * its service the counters and the hardware count disagree about which
     * block is playing; the position then holds rather than go back.
     */
    ULONGLONG LastPosition;

    /*
     * The data path's owner. MappingLock is dropped around every GetMapping
     * and ReleaseMapping call (the framework may call back into the stream
     * under its own lock), so a flag under the lock marks that one caller
     * owns the queues; Service and MappingAvailable arriving meanwhile leave
     * their work to the owner instead of waiting, and SetState waits for the
     * owner at passive level before it changes the queues.
     */
    KIRQL MappingLockIrql;
    BOOLEAN DataPathBusy;
    BOOLEAN ServiceDeferred;
    BOOLEAN MappingsDeferred;
    BOOLEAN IdleWaiter;
    KEVENT DataPathIdle;
    /* The record whose GetMapping is in flight; RevokeMappings may take it back meanwhile. */
    MappingRecord *PullingRecord;
    BOOLEAN PullingRevoked;
    /*
     * The tag of the latest mapping handed back. Its record is gone before
     * ReleaseMapping is called (no lock is held across the call), so a
     * revocation crossing that release names it as FirstTag.
     */
    PVOID LastReleaseTag;

    /* Preallocated so that arming an entry never depends on the pool at dispatch level. */
    CompletionRecord *CompletionPool;
    MappingRecord *MarkerPool;
    MappingRecord *MappingReserve;
    LIST_ENTRY FreeCompletions;
    LIST_ENTRY FreeMarkers;
    LIST_ENTRY FreeMappings;
    /* Capture: the last pull stopped for want of a record, not of client buffers. */
    BOOLEAN PullStarved;

    friend class CWaveStreamTestAccess;

    void AcquireMappingLock();
    void ReleaseMappingLock();
    BOOLEAN TryEnterDataPath();
    void EnterDataPathWaiting();
    void LeaveDataPath();
    void LeaveDataPathLocked();
    void RunDeferredWork();
    void MappingWork();

    void ServiceEvents();
    void HandlePlaybackEvent(CompletionRecord *Record);
    void HandleCaptureEvent(CompletionRecord *Record);
    void PlaybackCaseF();
    void PlaybackCaseE1();
    void PlaybackCaseE0();
    BOOLEAN SkippedRefilledEntry1(const REFILL_TIMES *Times);
    ULONGLONG PlayingTime(ULONG Bytes);
    void ReplayRefilledEntry1();
    void TopUpAfterRefill();
    void ReleaseStep();
    BOOLEAN RangeHeld(PVOID FirstTag, PVOID LastTag);
    void RestartStarvedPlayback();
    void ArmPlaybackBlocks();
    void EndRunAtEntry0();

    BOOLEAN TakeNextMapping();
    void ReleaseMappingUnlocked(MappingRecord *Record);
    void ReleaseAndFree(MappingRecord *Record);

    CompletionRecord *GetCompletionRecord();
    void PutCompletionRecord(CompletionRecord *Record);
    MappingRecord *GetBlockMarker();
    MappingRecord *GetMappingRecord();
    void FreeMappingRecord(MappingRecord *Record);
    void ReleaseEmptyMappingsDue();

    ULONG CountWord(UCHAR Entry) const { return SgdTable[Entry * 2 + 1]; }
    void SetCountWord(UCHAR Entry, ULONG Value) { SgdTable[Entry * 2 + 1] = Value; }
    UCHAR ReadStatus();
    void WriteStatus(UCHAR Value);
    struct STOP_EVENTS_CONTEXT {
        CMiniportWavePciStreamZATAC97 *Stream;
        UCHAR Events;
    };
    static NTSTATUS NTAPI TakeStopEvents(PINTERRUPTSYNC InterruptSync, PVOID Context);
    BOOLEAN WaitStartPendingClear(PUCHAR LastStatus);
    UCHAR TakeEventCount();
    UCHAR PeekEventCount();
    UCHAR EventsAfterThisOne();

    NTSTATUS StepState(KSSTATE Next);
    NTSTATUS EnterRun();
    NTSTATUS EnterPause();
    void EnterAcquire();
    void EnterStop();
    ULONG UnplayedAfterStop(UCHAR Events, BOOLEAN WasActive, ULONG Remaining);
    void KeepUnplayedMappings(ULONG Unplayed);

    NTSTATUS AllocateCommonBuffers();
    void FreeCommonBuffers();
    NTSTATUS AllocateRecordPools();
    void FreeQueuesAndPools();
};

/* Writes one diagnostic byte to an absolute I/O port: the driver's only trace. */
void DiagnosticMarker(ULONG Port, UCHAR Value);
