/*
 * The wave stream object: creation, format, kernel-streaming states,
 * position and framing. The data path itself is in engine.cpp and
 * service.cpp.
 */
#include <zatplatform.h>
#include "wave/stream.h"
#include "adapter/registers.h"

static inline PUCHAR IoPort(ULONG Address)
{
    return (PUCHAR)(ULONG_PTR)Address;
}

void DiagnosticMarker(ULONG Port, UCHAR Value)
{
    WRITE_PORT_UCHAR(IoPort(Port), Value);
}

CMiniportWavePciStreamZATAC97::CMiniportWavePciStreamZATAC97(PUNKNOWN OuterUnknown)
    : CUnknown(OuterUnknown)
{
    /* The pool hands the object over zero-filled; the lists must still point at themselves. */
    InitializeListHead(&InputQueue);
    InitializeListHead(&CompletionQueue);
    InitializeListHead(&ReleaseQueue);
    InitializeListHead(&FreeCompletions);
    InitializeListHead(&FreeMarkers);
}

STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::NonDelegatingQueryInterface(REFIID InterfaceId,
                                                                                   PVOID *Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportWavePciStream)) {
        *Interface = static_cast<PMINIPORTWAVEPCISTREAM>(this);
        static_cast<PMINIPORTWAVEPCISTREAM>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = NULL;
    return STATUS_INVALID_PARAMETER;
}

PAGED_ROUTINE
NTSTATUS CMiniportWavePciStreamZATAC97::Init(CMiniportWavePciZATAC97 *Miniport_, PPORTWAVEPCISTREAM PortStream_,
                                             ULONG Pin_, BOOLEAN Capture_, ULONG ChannelIndex_,
                                             PKSDATAFORMAT DataFormat, PDMACHANNEL DmaChannel_,
                                             PSERVICEGROUP *ServiceGroupOut)
{
    PAGED_CODE();

    Miniport = Miniport_;
    if (Miniport)
        static_cast<PMINIPORTWAVEPCI>(Miniport)->AddRef();
    PortStream = PortStream_;
    if (PortStream)
        PortStream->AddRef();
    DmaChannel = DmaChannel_;
    if (DmaChannel) {
        DmaChannel->AddRef();
        DmaAdapter = DmaChannel->GetAdapterObject();
    }

    Pin = Pin_;
    Capture = Capture_;
    ChannelIndex = ChannelIndex_;
    BytesCompleted = 0;
    BytesInBlocks = 0;
    LastBlockBytes = 0;
    QueuedBytes = 0;
    State = KSSTATE_STOP;

    KeInitializeSpinLock(&MappingLock);
    KeInitializeMutex(&StateMutex, 0);
    KeInitializeEvent(&DataPathIdle, SynchronizationEvent, FALSE);

    ChannelBase = (USHORT)(Miniport->PortBase + (Capture ? CaptureChannel : ChannelIndex * 0x20));

    NTSTATUS status = SetFormat(DataFormat);
    if (NT_SUCCESS(status)) {
        status = PcNewServiceGroup(&ServiceGroup, NULL);
        if (!NT_SUCCESS(status))
            ServiceGroup = NULL;
    }
    if (NT_SUCCESS(status)) {
        ServiceGroup->AddRef();
        *ServiceGroupOut = ServiceGroup;

        Miniport->AdapterCommon->WriteIntTimes(ChannelIndex, 0);
        BlockAllocSize = WAVE_BLOCK_ALLOC_SIZE;
        CurrentMapping = NULL;
        BlockFill = 0;

        status = AllocateRecordPools();
        if (NT_SUCCESS(status))
            status = AllocateCommonBuffers();
    }
    if (NT_SUCCESS(status))
        return status;

    /* Unwind: the stream is left holding nothing and NewStream releases it. */
    FreeCommonBuffers();
    FreeQueuesAndPools();
    if (ServiceGroup) {
        Miniport->ClearServiceGroup(ChannelIndex);
        ServiceGroup->Release(); /* the out-parameter's reference */
        ServiceGroup->Release();
        ServiceGroup = NULL;
    }
    if (DmaChannel) {
        DmaChannel->Release();
        DmaChannel = NULL;
    }
    DmaAdapter = NULL;
    if (PortStream) {
        PortStream->Release();
        PortStream = NULL;
    }
    if (Miniport) {
        static_cast<PMINIPORTWAVEPCI>(Miniport)->Release();
        Miniport = NULL;
    }
    return status;
}

PAGED_ROUTINE
NTSTATUS CMiniportWavePciStreamZATAC97::AllocateCommonBuffers()
{
    PAGED_CODE();

    if (!DmaAdapter)
        return STATUS_INSUFFICIENT_RESOURCES;

    SgdTable = (PULONG)DmaAdapter->DmaOperations->AllocateCommonBuffer(DmaAdapter, WAVE_SGD_TABLE_SIZE,
                                                                       &SgdTablePhysical, FALSE);
    if (!SgdTable) {
        SgdTablePhysical.QuadPart = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)(ChannelBase + ChannelTableAddress), SgdTablePhysical.LowPart);

    for (UCHAR i = 0; i < 2; i++) {
        BlockBuffer[i] = (PUCHAR)DmaAdapter->DmaOperations->AllocateCommonBuffer(DmaAdapter, BlockAllocSize,
                                                                                 &BlockPhysical[i], FALSE);
        if (!BlockBuffer[i]) {
            BlockPhysical[i].QuadPart = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        SgdTable[i * 2] = BlockPhysical[i].LowPart;
        /* Nothing is armed until the run transition. */
        SetCountWord(i, SgdEol);
    }
    return STATUS_SUCCESS;
}

void CMiniportWavePciStreamZATAC97::FreeCommonBuffers()
{
    for (UCHAR i = 0; i < 2; i++) {
        if (BlockBuffer[i]) {
            DmaAdapter->DmaOperations->FreeCommonBuffer(DmaAdapter, BlockAllocSize, BlockPhysical[i],
                                                        BlockBuffer[i], FALSE);
            BlockBuffer[i] = NULL;
        }
        BlockPhysical[i].QuadPart = 0;
    }
    if (SgdTable) {
        DmaAdapter->DmaOperations->FreeCommonBuffer(DmaAdapter, WAVE_SGD_TABLE_SIZE, SgdTablePhysical, SgdTable,
                                                    FALSE);
        SgdTable = NULL;
        SgdTablePhysical.QuadPart = 0;
    }
}

PAGED_ROUTINE
NTSTATUS CMiniportWavePciStreamZATAC97::AllocateRecordPools()
{
    PAGED_CODE();

    CompletionPool = (CompletionRecord *)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(CompletionRecord) * WAVE_RECORD_POOL_SIZE, PoolTagScratch);
    MarkerPool = (MappingRecord *)ExAllocatePoolWithTag(NonPagedPool, sizeof(MappingRecord) * WAVE_RECORD_POOL_SIZE,
                                                        PoolTagScratch);
    if (!CompletionPool || !MarkerPool)
        return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(CompletionPool, sizeof(CompletionRecord) * WAVE_RECORD_POOL_SIZE);
    RtlZeroMemory(MarkerPool, sizeof(MappingRecord) * WAVE_RECORD_POOL_SIZE);
    for (ULONG i = 0; i < WAVE_RECORD_POOL_SIZE; i++) {
        InsertTailList(&FreeCompletions, &CompletionPool[i].Link);
        MarkerPool[i].IsBlockMarker = TRUE;
        InsertTailList(&FreeMarkers, &MarkerPool[i].Link);
    }
    return STATUS_SUCCESS;
}

/* Frees every record still queued, then the pools; pooled records are not freed one by one. */
void CMiniportWavePciStreamZATAC97::FreeQueuesAndPools()
{
    while (!IsListEmpty(&InputQueue))
        FreeMappingRecord(CONTAINING_RECORD(RemoveHeadList(&InputQueue), MappingRecord, Link));
    while (!IsListEmpty(&ReleaseQueue))
        FreeMappingRecord(CONTAINING_RECORD(RemoveHeadList(&ReleaseQueue), MappingRecord, Link));
    if (CurrentMapping) {
        FreeMappingRecord(CurrentMapping);
        CurrentMapping = NULL;
    }
    InitializeListHead(&CompletionQueue);
    InitializeListHead(&FreeCompletions);
    InitializeListHead(&FreeMarkers);
    if (CompletionPool) {
        ExFreePool(CompletionPool);
        CompletionPool = NULL;
    }
    if (MarkerPool) {
        ExFreePool(MarkerPool);
        MarkerPool = NULL;
    }
}

PAGED_ROUTINE
CMiniportWavePciStreamZATAC97::~CMiniportWavePciStreamZATAC97()
{
    PAGED_CODE();

    /* A stream torn down while running would leave the channel writing into freed blocks. */
    if (State == KSSTATE_RUN && SgdTable)
        HwStop();

    if (!IsListEmpty(&CompletionQueue))
        DiagnosticMarker(DiagnosticPort, MarkerRecordsAtDestroy);

    FreeCommonBuffers();
    FreeQueuesAndPools();
    ChannelBase = 0;

    if (Miniport) {
        Miniport->AdapterCommon->WriteIntTimes(ChannelIndex, 0);
        if (ServiceGroup)
            Miniport->ClearServiceGroup(ChannelIndex);
    }
    if (ServiceGroup) {
        ServiceGroup->Release();
        ServiceGroup = NULL;
    }
    if (DmaChannel) {
        DmaChannel->Release();
        DmaChannel = NULL;
    }
    DmaAdapter = NULL;
    if (Miniport && Miniport->Streams[ChannelIndex] == this)
        Miniport->Streams[ChannelIndex] = NULL;
    if (PortStream) {
        PortStream->Release();
        PortStream = NULL;
    }
    if (Miniport) {
        static_cast<PMINIPORTWAVEPCI>(Miniport)->Release();
        Miniport = NULL;
    }
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::SetFormat(PKSDATAFORMAT DataFormat)
{
    PAGED_CODE();

    /* Under StateMutex so that a format never changes halfway through a run transition. */
    KeWaitForSingleObject(&StateMutex, Executive, KernelMode, FALSE, NULL);

    NTSTATUS status;
    if (State == KSSTATE_RUN) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        status = Miniport->CheckDataFormat(DataFormat);
    }
    if (!NT_SUCCESS(status)) {
        KeReleaseMutex(&StateMutex, FALSE);
        return status;
    }

    const WAVEFORMATEX *wave = &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(DataFormat)->WaveFormatEx;
    SixteenBit = wave->wBitsPerSample == 16;
    Stereo = wave->nChannels == 2;

    PUCHAR type = IoPort(ChannelBase + ChannelType);
    UCHAR value = (UCHAR)(READ_PORT_UCHAR(type) & ~ChannelTypeFormatBits);
    if (SixteenBit)
        value |= ChannelTypeSixteenBit;
    if (Stereo)
        value |= ChannelTypeStereo;
    WRITE_PORT_UCHAR(type, value);

    SampleRate = (USHORT)wave->nSamplesPerSec;
    BlockSize = (USHORT)((SampleRate / 100) * (1u << (SixteenBit + Stereo)));
    QueueLimit = 2 * BlockSize;

    if (Miniport->VRASupported)
        Miniport->AdapterCommon->CodecRegWrite(Capture ? AC97_PCM_LR_ADC_RATE : AC97_PCM_FRONT_DAC_RATE,
                                               (USHORT)wave->nSamplesPerSec);

    KeReleaseMutex(&StateMutex, FALSE);
    return status;
}

/*
 * The framework steps through the states one at a time; a request that skips
 * one (run straight to stop) is walked through the states between, so the
 * channel is always stopped and the queues drained in the one safe order.
 */
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::SetState(KSSTATE NewState)
{
    PAGED_CODE();

    if (NewState != KSSTATE_STOP && NewState != KSSTATE_ACQUIRE && NewState != KSSTATE_PAUSE &&
        NewState != KSSTATE_RUN)
        return STATUS_SUCCESS;

    KeWaitForSingleObject(&StateMutex, Executive, KernelMode, FALSE, NULL);
    if (NewState != State) {
        EnterDataPathWaiting();
        while (State != NewState)
            StepState(NewState > State ? (KSSTATE)(State + 1) : (KSSTATE)(State - 1));

        /*
         * Service and MappingAvailable calls that came while the queues were
         * ours left their work behind; a running stream hands it to its
         * service group, any other state has nothing for it to do.
         */
        AcquireMappingLock();
        BOOLEAN deferred = ServiceDeferred || MappingsDeferred;
        if (NewState != KSSTATE_RUN) {
            ServiceDeferred = FALSE;
            MappingsDeferred = FALSE;
        }
        LeaveDataPathLocked();
        if (deferred && NewState == KSSTATE_RUN)
            ServiceGroup->RequestService();
    }
    KeReleaseMutex(&StateMutex, FALSE);
    return STATUS_SUCCESS;
}

void CMiniportWavePciStreamZATAC97::StepState(KSSTATE Next)
{
    switch (Next) {
    case KSSTATE_STOP:
        EnterStop();
        break;
    case KSSTATE_ACQUIRE:
        EnterAcquire();
        break;
    case KSSTATE_PAUSE:
        EnterPause();
        break;
    case KSSTATE_RUN:
        EnterRun();
        break;
    }
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

void CMiniportWavePciStreamZATAC97::EnterPause()
{
    AcquireMappingLock();
    Starved = FALSE;
    if (State == KSSTATE_RUN) {
        HwStop();
        WriteStatus(ChannelStatusEvents);
        while (!IsListEmpty(&CompletionQueue))
            PutCompletionRecord(CONTAINING_RECORD(RemoveHeadList(&CompletionQueue), CompletionRecord, Link));
        TakeEventCount();
        PendingEvents = 0;
        StrayEvents = 0;

        if (!Capture) {
            /* Everything copied into the blocks is done with: hand it back in order. */
            while (!IsListEmpty(&ReleaseQueue)) {
                MappingRecord *record = CONTAINING_RECORD(RemoveHeadList(&ReleaseQueue), MappingRecord, Link);
                if (record->IsBlockMarker) {
                    FreeMappingRecord(record);
                    continue;
                }
                BytesCompleted += record->ByteCount;
                BytesInBlocks -= record->ByteCount;
                ReleaseAndFree(record);
            }
            BytesInBlocks = 0;
            LastBlockBytes = 0;
        }
        /* The lock was dropped around each release: CurrentMapping is read afresh. */
        if (CurrentMapping) {
            MappingRecord *record = CurrentMapping;
            CurrentMapping = NULL;
            if (!Capture)
                BytesCompleted += record->ByteCount;
            QueuedBytes -= record->ByteCount - record->BytesCopied;
            BlockFill = 0;
            ReleaseAndFree(record);
        }
    }
    State = KSSTATE_PAUSE;
    ReleaseMappingLock();
}

void CMiniportWavePciStreamZATAC97::EnterRun()
{
    AcquireMappingLock();
    State = KSSTATE_RUN;
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

    if (QueuedBytes < QueueLimit / 4)
        ProcessNewMappings();
    ReleaseMappingLock();
}

STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::GetPosition(PULONGLONG Position)
{
    ULONG count = READ_PORT_ULONG((PULONG)(ULONG_PTR)(ChannelBase + ChannelCurrentCount));

    /* The 64-bit counters change under MappingLock; read them there so no half-update is seen. */
    KIRQL irql;
    KeAcquireSpinLock(&MappingLock, &irql);
    ULONGLONG position;
    if (State != KSSTATE_RUN)
        position = BytesCompleted;
    else if (Capture)
        position = BytesCompleted + (ULONG)(BlockSize - count);
    else if (BytesInBlocks > LastBlockBytes)
        position = BytesCompleted + BytesInBlocks - LastBlockBytes - count;
    else
        position = BytesCompleted + BytesInBlocks - count;
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

STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::GetAllocatorFraming(PKSALLOCATOR_FRAMING AllocatorFraming)
{
    AllocatorFraming->RequirementsFlags =
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
    AllocatorFraming->PoolType = NonPagedPool;
    AllocatorFraming->Frames = 2;
    AllocatorFraming->FrameSize = BlockSize;
    AllocatorFraming->FileAlignment = 3; /* FILE_LONG_ALIGNMENT */
    return STATUS_SUCCESS;
}

/* ---- MappingLock and the data-path owner ------------------------------------------------ */

void CMiniportWavePciStreamZATAC97::AcquireMappingLock()
{
    KIRQL irql;
    KeAcquireSpinLock(&MappingLock, &irql);
    MappingLockIrql = irql;
}

void CMiniportWavePciStreamZATAC97::ReleaseMappingLock()
{
    KeReleaseSpinLock(&MappingLock, MappingLockIrql);
}

/* With MappingLock held: claim the queues, or leave them to the caller that has them. */
BOOLEAN CMiniportWavePciStreamZATAC97::TryEnterDataPath()
{
    if (DataPathBusy)
        return FALSE;
    DataPathBusy = TRUE;
    return TRUE;
}

/* Passive level only: waits for the current owner, then owns the queues (lock not held on return). */
void CMiniportWavePciStreamZATAC97::EnterDataPathWaiting()
{
    for (;;) {
        AcquireMappingLock();
        if (TryEnterDataPath()) {
            ReleaseMappingLock();
            return;
        }
        IdleWaiter = TRUE;
        ReleaseMappingLock();
        KeWaitForSingleObject(&DataPathIdle, Executive, KernelMode, FALSE, NULL);
    }
}

/* Gives the queues up (lock not held on entry or return). */
void CMiniportWavePciStreamZATAC97::LeaveDataPath()
{
    AcquireMappingLock();
    LeaveDataPathLocked();
}

/* Gives the queues up and drops MappingLock, waking a SetState that waits for them. */
void CMiniportWavePciStreamZATAC97::LeaveDataPathLocked()
{
    DataPathBusy = FALSE;
    BOOLEAN wake = IdleWaiter;
    IdleWaiter = FALSE;
    ReleaseMappingLock();
    if (wake)
        KeSetEvent(&DataPathIdle, IO_NO_INCREMENT, FALSE);
}
