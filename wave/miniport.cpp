/*
 * The wave miniport: resources, DMA channels, variable-rate audio, formats
 * and stream creation.
 */
#include <zatplatform.h>
#include "wave/miniport.h"
#include "adapter/registers.h"
#include "wave/stream.h"
#include "wave/tables.h"

/* The rates the codec can be set to when it does variable-rate audio. */
static const ULONG VariableRates[] = {48000, 44100, 22050, 11025, 8000};
static const ULONG FixedRate = 48000;

/* A KSDATAFORMAT followed by a WAVEFORMATEX: the least a PCM format can be. */
static const ULONG MinimumWaveFormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);

PAGED_ROUTINE
NTSTATUS NTAPI CreateZATAC97WavePci(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ClassId);

    CMiniportWavePciZATAC97 *miniport = new (PoolType, PoolTagObject) CMiniportWavePciZATAC97(UnknownOuter);
    if (!miniport)
        return STATUS_INSUFFICIENT_RESOURCES;

    *Unknown = static_cast<PUNKNOWN>(static_cast<PMINIPORTWAVEPCI>(miniport));
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

CMiniportWavePciZATAC97::CMiniportWavePciZATAC97(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter),
      AdapterCommon(NULL),
      Port(NULL),
      Streams{NULL, NULL},
      ServiceGroups{NULL, NULL},
      PortBase(0),
      PlaybackDmaChannel(NULL),
      CaptureDmaChannel(NULL),
      VRASupported(FALSE)
{
}

PAGED_ROUTINE
CMiniportWavePciZATAC97::~CMiniportWavePciZATAC97()
{
    PAGED_CODE();

    /* The interrupt stays connected after this object is gone: take our array away from it first. */
    if (AdapterCommon)
        AdapterCommon->SetWaveServiceGroups(NULL);

    if (Port) {
        Port->Release();
        Port = NULL;
    }
    if (CaptureDmaChannel) {
        CaptureDmaChannel->Release();
        CaptureDmaChannel = NULL;
    }
    if (PlaybackDmaChannel) {
        PlaybackDmaChannel->Release();
        PlaybackDmaChannel = NULL;
    }
    if (AdapterCommon) {
        AdapterCommon->Release();
        AdapterCommon = NULL;
    }
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciZATAC97::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface)
{
    PAGED_CODE();

    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportWavePci)) {
        *Interface = static_cast<PMINIPORTWAVEPCI>(this);
        static_cast<PMINIPORTWAVEPCI>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = NULL;
    return STATUS_INVALID_PARAMETER;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciZATAC97::GetDescription(PPCFILTER_DESCRIPTOR *Description)
{
    PAGED_CODE();

    *Description = const_cast<PPCFILTER_DESCRIPTOR>(VRASupported ? &VRAMiniportFilterDescriptor
                                                                 : &NoVRAMiniportFilterDescriptor);
    return STATUS_SUCCESS;
}

/* The framework's own intersection of the published data ranges is the right one. */
PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciZATAC97::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG,
                                                                       PVOID, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciZATAC97::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                                                      PPORTWAVEPCI Port_, PSERVICEGROUP *ServiceGroup)
{
    PAGED_CODE();

    Port = Port_;
    if (Port)
        Port->AddRef();
    /* The miniport itself has nothing to service; each stream has its own group. */
    *ServiceGroup = NULL;

    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IAdapterCommon, (PVOID *)&AdapterCommon);
    if (!NT_SUCCESS(status)) {
        AdapterCommon = NULL;
        return status;
    }

    ServiceGroups[WAVE_CHANNEL_PLAYBACK] = NULL;
    ServiceGroups[WAVE_CHANNEL_CAPTURE] = NULL;
    Streams[WAVE_CHANNEL_PLAYBACK] = NULL;
    Streams[WAVE_CHANNEL_CAPTURE] = NULL;
    PlaybackDmaChannel = NULL;
    AdapterCommon->SetWaveServiceGroups(ServiceGroups);

    status = ProcessResources(ResourceList);
    if (!NT_SUCCESS(status))
        return status;

    EnableVariableRateAudioIfPresent();
    return status;
}

PAGED_ROUTINE
NTSTATUS CMiniportWavePciZATAC97::ProcessResources(PRESOURCELIST ResourceList)
{
    PAGED_CODE();

    if (ResourceList->NumberOfPorts() < 1 || ResourceList->NumberOfInterrupts() < 1)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    PortBase = (USHORT)ResourceList->FindTranslatedPort(0)->u.Port.Start.LowPart;

    NTSTATUS status = Port->NewMasterDmaChannel(&CaptureDmaChannel, NULL, NonPagedPool, ResourceList, TRUE, TRUE,
                                                FALSE, FALSE, Width32Bits, MaximumDmaSpeed,
                                                WAVE_DMA_MAXIMUM_LENGTH, 0);
    if (!NT_SUCCESS(status)) {
        CaptureDmaChannel = NULL;
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    status = Port->NewMasterDmaChannel(&PlaybackDmaChannel, NULL, NonPagedPool, ResourceList, TRUE, TRUE, FALSE,
                                       FALSE, Width32Bits, MaximumDmaSpeed, WAVE_DMA_MAXIMUM_LENGTH, 0);
    if (!NT_SUCCESS(status)) {
        PlaybackDmaChannel = NULL;
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return status;
}

/*
 * Only a codec that reports variable-rate audio and neither of bits 6-7 gets
 * switched; 0xFFFF is what a codec read returns after a time-out.
 */
PAGED_ROUTINE
void CMiniportWavePciZATAC97::EnableVariableRateAudioIfPresent()
{
    PAGED_CODE();

    USHORT id = AdapterCommon->CodecRegRead(AC97_EXTENDED_AUDIO_ID);
    if (id == CodecReadTimedOut || !(id & AC97_EXTENDED_ID_VRA) || (id & 0x00C0)) {
        VRASupported = FALSE;
        return;
    }

    UCHAR link = AdapterCommon->ReadPCIRegB(CodecLinkControl);
    AdapterCommon->WritePCIRegB(CodecLinkControl, (UCHAR)(link | CodecLinkControlVra));
    USHORT control = AdapterCommon->CodecRegRead(AC97_EXTENDED_AUDIO_CONTROL);
    AdapterCommon->CodecRegWrite(AC97_EXTENDED_AUDIO_CONTROL, (USHORT)(control | AC97_EXTENDED_CONTROL_VRA));
    VRASupported = TRUE;
}

PAGED_ROUTINE
NTSTATUS CMiniportWavePciZATAC97::CheckDataFormat(PKSDATAFORMAT DataFormat)
{
    PAGED_CODE();

    if (!DataFormat || DataFormat->FormatSize < MinimumWaveFormatSize)
        return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUIDAligned(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUIDAligned(DataFormat->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        !IsEqualGUIDAligned(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return STATUS_INVALID_PARAMETER;

    const WAVEFORMATEX *wave = &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(DataFormat)->WaveFormatEx;
    if (wave->wFormatTag != WAVE_FORMAT_PCM)
        return STATUS_INVALID_PARAMETER;
    if (wave->wBitsPerSample != 8 && wave->wBitsPerSample != 16)
        return STATUS_INVALID_PARAMETER;
    if (wave->nChannels != 1 && wave->nChannels != 2)
        return STATUS_INVALID_PARAMETER;

    if (!VRASupported)
        return wave->nSamplesPerSec == FixedRate ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < SIZEOF_ARRAY(VariableRates); i++)
        if (wave->nSamplesPerSec == VariableRates[i])
            return STATUS_SUCCESS;
    return STATUS_INVALID_PARAMETER;
}

PAGED_ROUTINE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciZATAC97::NewStream(PMINIPORTWAVEPCISTREAM *Stream, PUNKNOWN OuterUnknown,
                                                           POOL_TYPE PoolType, PPORTWAVEPCISTREAM PortStream,
                                                           ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                                           PDMACHANNEL *DmaChannel, PSERVICEGROUP *ServiceGroup)
{
    PAGED_CODE();

    ULONG channelIndex;
    if (Pin == WAVE_PIN_RENDER_STREAM)
        channelIndex = WAVE_CHANNEL_PLAYBACK;
    else if (Pin == WAVE_PIN_CAPTURE_STREAM)
        channelIndex = WAVE_CHANNEL_CAPTURE;
    else
        return STATUS_INVALID_PARAMETER;

    /*
     * A capture flag that disagrees with the pin would drive one channel's
     * registers while counting the other channel's events: refuse it.
     */
    if ((Capture ? TRUE : FALSE) != (channelIndex == WAVE_CHANNEL_CAPTURE))
        return STATUS_INVALID_PARAMETER;

    if (Streams[channelIndex])
        return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = CheckDataFormat(DataFormat);
    if (!NT_SUCCESS(status))
        return status;

    CMiniportWavePciStreamZATAC97 *stream =
        new (PoolType, PoolTagStream) CMiniportWavePciStreamZATAC97(OuterUnknown);
    if (!stream)
        return STATUS_INSUFFICIENT_RESOURCES;
    /*
     * The creator's reference is on the object's own count: aggregated, the
     * face's AddRef would count on the outer object, and a failed Init could
     * not destroy the stream.
     */
    stream->NonDelegatingAddRef();

    PDMACHANNEL dma = (Capture || channelIndex == WAVE_CHANNEL_CAPTURE) ? CaptureDmaChannel : PlaybackDmaChannel;

    status = stream->Init(this, PortStream, Pin, Capture, channelIndex, DataFormat, dma,
                          &ServiceGroups[channelIndex]);
    if (!NT_SUCCESS(status)) {
        stream->NonDelegatingRelease();
        return status;
    }

    /* The framework calls the stream through this, aggregated or not. */
    Streams[channelIndex] = stream;
    *Stream = static_cast<PMINIPORTWAVEPCISTREAM>(stream);
    *DmaChannel = dma;
    *ServiceGroup = ServiceGroups[channelIndex];
    return status;
}

STDMETHODIMP_(void) CMiniportWavePciZATAC97::Service()
{
}

struct CLEAR_SERVICE_GROUP_CONTEXT {
    PSERVICEGROUP *Entry;
};

static NTSTATUS NTAPI ClearServiceGroupSynchronized(PINTERRUPTSYNC, PVOID Context)
{
    *static_cast<CLEAR_SERVICE_GROUP_CONTEXT *>(Context)->Entry = NULL;
    return STATUS_SUCCESS; /* nothing to fail; the caller takes no status from here */
}

void CMiniportWavePciZATAC97::ClearServiceGroup(ULONG ChannelIndex)
{
    CLEAR_SERVICE_GROUP_CONTEXT context = {&ServiceGroups[ChannelIndex]};
    PINTERRUPTSYNC sync = AdapterCommon ? AdapterCommon->GetInterruptSync() : NULL;
    if (sync)
        sync->CallSynchronizedRoutine(ClearServiceGroupSynchronized, &context);
    else
        ClearServiceGroupSynchronized(NULL, &context);
}
