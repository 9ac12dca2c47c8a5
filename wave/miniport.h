/*
 * CMiniportWavePciZATAC97: the "Wave" subdevice's miniport. It owns the two
 * bus-master DMA channels, decides once whether the codec runs with
 * variable-rate audio, validates formats and creates at most one playback
 * and one capture stream.
 */
#pragma once

#include <portcls.h>
#include "adapter/adapter.h"
#include "adapter/unknown.h"
#include "wave/wave.h"

class CMiniportWavePciStreamZATAC97;

/* ChannelIndex values: they index Streams, ServiceGroups and the adapter's event counts. */
const ULONG WAVE_CHANNEL_PLAYBACK = 0;
const ULONG WAVE_CHANNEL_CAPTURE = 1;

/* Every bus-master channel asks for the same limit: two blocks plus table slack. */
const ULONG WAVE_DMA_MAXIMUM_LENGTH = 0xF10;

class CMiniportWavePciZATAC97 : public IMiniportWavePci, public CUnknown
{
public:
    PADAPTERCOMMON AdapterCommon;
    PPORTWAVEPCI Port;
    /* Not counted: each stream clears its own entry when it dies. */
    CMiniportWavePciStreamZATAC97 *Streams[2];
    /* Read by the interrupt routine through the adapter; written by stream creation and destruction. */
    PSERVICEGROUP ServiceGroups[2];
    USHORT PortBase;
    PDMACHANNEL PlaybackDmaChannel;
    PDMACHANNEL CaptureDmaChannel;
    BOOLEAN VRASupported;

    explicit CMiniportWavePciZATAC97(PUNKNOWN UnknownOuter);
    ~CMiniportWavePciZATAC97() override;

    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface) override;

    /* IMiniport */
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR *Description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                  PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                                  PVOID ResultantFormat, PULONG ResultantFormatLength) override;
    /* IMiniportWavePci */
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVEPCI Port,
                                 PSERVICEGROUP *ServiceGroup) override;
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVEPCISTREAM *Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                      PPORTWAVEPCISTREAM PortStream, ULONG Pin, BOOLEAN Capture,
                                      PKSDATAFORMAT DataFormat, PDMACHANNEL *DmaChannel,
                                      PSERVICEGROUP *ServiceGroup) override;
    STDMETHODIMP_(void) Service() override;

    NTSTATUS CheckDataFormat(PKSDATAFORMAT DataFormat);

    /* Clears a stream's ServiceGroups entry with the interrupt excluded, so the
       interrupt routine never notifies a group that is about to be released. */
    void ClearServiceGroup(ULONG ChannelIndex);

private:
    NTSTATUS ProcessResources(PRESOURCELIST ResourceList);
    void EnableVariableRateAudioIfPresent();
};
