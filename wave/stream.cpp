/*
 * The wave stream object: creation, destruction, format and framing. The
 * kernel-streaming states are in state.cpp, the position in position.cpp,
 * the data-path owner in owner.cpp, the data path itself in engine.cpp and
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
    InitializeListHead(&FreeMappings);
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
    MappingReserve = (MappingRecord *)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(MappingRecord) * WAVE_MAPPING_RESERVE, PoolTagScratch);
    if (!CompletionPool || !MarkerPool || !MappingReserve)
        return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(CompletionPool, sizeof(CompletionRecord) * WAVE_RECORD_POOL_SIZE);
    RtlZeroMemory(MarkerPool, sizeof(MappingRecord) * WAVE_RECORD_POOL_SIZE);
    RtlZeroMemory(MappingReserve, sizeof(MappingRecord) * WAVE_MAPPING_RESERVE);
    for (ULONG i = 0; i < WAVE_RECORD_POOL_SIZE; i++) {
        InsertTailList(&FreeCompletions, &CompletionPool[i].Link);
        MarkerPool[i].IsBlockMarker = TRUE;
        InsertTailList(&FreeMarkers, &MarkerPool[i].Link);
    }
    for (ULONG i = 0; i < WAVE_MAPPING_RESERVE; i++) {
        MappingReserve[i].FromReserve = TRUE;
        InsertTailList(&FreeMappings, &MappingReserve[i].Link);
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
    InitializeListHead(&FreeMappings);
    if (CompletionPool) {
        ExFreePool(CompletionPool);
        CompletionPool = NULL;
    }
    if (MarkerPool) {
        ExFreePool(MarkerPool);
        MarkerPool = NULL;
    }
    if (MappingReserve) {
        ExFreePool(MappingReserve);
        MappingReserve = NULL;
    }
}

PAGED_ROUTINE
CMiniportWavePciStreamZATAC97::~CMiniportWavePciStreamZATAC97()
{
    PAGED_CODE();

    /* A stream torn down while running would leave the channel writing into freed blocks. */
    if (State == KSSTATE_RUN && SgdTable)
        (void)HwStop(); /* a channel that will not stop has left its marker; nothing more to do here */

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

STDMETHODIMP_(NTSTATUS) CMiniportWavePciStreamZATAC97::GetAllocatorFraming(PKSALLOCATOR_FRAMING AllocatorFraming)
{
    AllocatorFraming->RequirementsFlags =
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
    AllocatorFraming->PoolType = NonPagedPool;
    AllocatorFraming->Frames = WAVE_FRAMING_FRAMES;
    AllocatorFraming->FrameSize = BlockSize;
    AllocatorFraming->FileAlignment = 3; /* FILE_LONG_ALIGNMENT */
    return STATUS_SUCCESS;
}
