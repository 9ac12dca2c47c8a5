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
    LIST_ENTRY Link;
};

/* One armed SGD entry holding data that the hardware has still to finish. */
struct CompletionRecord {
    ULONG EndsWithEol;
    UCHAR EntryIndex;          /* which entry ends with EOL; playback with EndsWithEol only */
    BOOLEAN EmptyEntryFollows; /* the channel runs on into an empty entry 1: one more event, no record */
    LIST_ENTRY Link;
};

/*
 * At most three completion records and three markers are alive at once (two
 * armed entries plus the one being handled); one spare makes the pool
 * impossible to exhaust, so the data path never allocates them.
 */
const ULONG WAVE_RECORD_POOL_SIZE = 4;

/* Two 8-byte SGD entries; each block holds at most 10 ms of 48 kHz 16-bit stereo. */
const ULONG WAVE_SGD_TABLE_SIZE = 16;
const ULONG WAVE_BLOCK_ALLOC_SIZE = 1920;

/* Bound on every busy wait for the channel; the stop sequence uses the same. */
const ULONGLONG WAVE_CHANNEL_WAIT_LIMIT = 5000000; /* 0.5 s in 100-ns units */

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
    void HwStop();

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

    /* Preallocated so that arming an entry never depends on the pool at dispatch level. */
    CompletionRecord *CompletionPool;
    MappingRecord *MarkerPool;
    LIST_ENTRY FreeCompletions;
    LIST_ENTRY FreeMarkers;

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
    void ReleaseStep();
    void RestartStarvedPlayback();
    void ArmPlaybackBlocks();
    void EndRunAtEntry0();

    BOOLEAN TakeNextMapping();
    void ReleaseMappingUnlocked(MappingRecord *Record);
    void ReleaseAndFree(MappingRecord *Record);

    CompletionRecord *GetCompletionRecord();
    void PutCompletionRecord(CompletionRecord *Record);
    MappingRecord *GetBlockMarker();
    void FreeMappingRecord(MappingRecord *Record);

    ULONG CountWord(UCHAR Entry) const { return SgdTable[Entry * 2 + 1]; }
    void SetCountWord(UCHAR Entry, ULONG Value) { SgdTable[Entry * 2 + 1] = Value; }
    UCHAR ReadStatus();
    void WriteStatus(UCHAR Value);
    BOOLEAN WaitStartPendingClear(PUCHAR LastStatus);
    UCHAR TakeEventCount();
    UCHAR PeekEventCount();

    void StepState(KSSTATE Next);
    void EnterRun();
    void EnterPause();
    void EnterAcquire();
    void EnterStop();

    NTSTATUS AllocateCommonBuffers();
    void FreeCommonBuffers();
    NTSTATUS AllocateRecordPools();
    void FreeQueuesAndPools();
};

/* Writes one diagnostic byte to an absolute I/O port: the driver's only trace. */
void DiagnosticMarker(ULONG Port, UCHAR Value);
