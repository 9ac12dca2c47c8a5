/*
 * The wave filter's static description: data ranges, pins, nodes and
 * connections, in two variants that differ only in the sample rates the
 * streaming pins offer (five with variable-rate audio, 48000 Hz without).
 */
#include "wave/tables.h"

#define AUDIO_RANGE(Rate)                                                                  \
    {                                                                                      \
        {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},     \
          {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},                                       \
          {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}}},                          \
            2, 8, 16, (Rate), (Rate)                                                       \
    }

/* Each range: 1-2 channels, 8-16 bits, one fixed rate. */
static const KSDATARANGE_AUDIO PinDataRangesStream[] = {
    AUDIO_RANGE(48000),
    AUDIO_RANGE(44100),
    AUDIO_RANGE(22050),
    AUDIO_RANGE(11025),
    AUDIO_RANGE(8000),
};

static const KSDATARANGE PinDataRangesBridge[] = {
    {{sizeof(KSDATARANGE), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
      {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)}, {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}},
};

/* Each list ends with a null entry; the pins count only the ranges before it. */
static const PKSDATARANGE NoVRAPinDataRangePointersStream[] = {
    (PKSDATARANGE)&PinDataRangesStream[0],
    NULL,
};

static const PKSDATARANGE VRAPinDataRangePointersStream[] = {
    (PKSDATARANGE)&PinDataRangesStream[0],
    (PKSDATARANGE)&PinDataRangesStream[1],
    (PKSDATARANGE)&PinDataRangesStream[2],
    (PKSDATARANGE)&PinDataRangesStream[3],
    (PKSDATARANGE)&PinDataRangesStream[4],
    NULL,
};

static const PKSDATARANGE PinDataRangePointersBridge[] = {
    (PKSDATARANGE)&PinDataRangesBridge[0],
    NULL,
};

#define PIN(MaxGlobal, MaxFilter, MinFilter, RangeCount, Ranges, Flow, Communication, Name)         \
    {                                                                                               \
        (MaxGlobal), (MaxFilter), (MinFilter), NULL,                                                \
        {                                                                                           \
            0, NULL, 0, NULL, (RangeCount), (Ranges), (Flow), (Communication), &KSCATEGORY_AUDIO,     \
                (Name), {0}                                                                         \
        }                                                                                           \
    }

/* Pin identifiers are the indices; NewStream and device start rely on them. */
static const PCPIN_DESCRIPTOR NoVRAMiniportPins[] = {
    /* 0: capture stream */
    PIN(1, 1, 0, 1, NoVRAPinDataRangePointersStream, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
        &KSAUDFNAME_RECORDING_CONTROL),
    /* 1: capture bridge, analog in from the topology filter */
    PIN(0, 0, 0, 1, PinDataRangePointersBridge, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, NULL),
    /* 2: render stream */
    PIN(1, 1, 0, 1, NoVRAPinDataRangePointersStream, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, NULL),
    /* 3: render bridge, analog out to the topology filter */
    PIN(0, 0, 0, 1, PinDataRangePointersBridge, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, NULL),
};

static const PCPIN_DESCRIPTOR VRAMiniportPins[] = {
    PIN(1, 1, 0, 5, VRAPinDataRangePointersStream, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
        &KSAUDFNAME_RECORDING_CONTROL),
    PIN(0, 0, 0, 1, PinDataRangePointersBridge, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, NULL),
    PIN(1, 1, 0, 5, VRAPinDataRangePointersStream, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, NULL),
    PIN(0, 0, 0, 1, PinDataRangePointersBridge, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, NULL),
};

static const PCNODE_DESCRIPTOR MiniportNodes[] = {
    /* flags  automation  type             name */
    {0, NULL, &KSNODETYPE_DAC, NULL}, /* 0 */
    {0, NULL, &KSNODETYPE_ADC, NULL}, /* 1 */
};

/* Node pin 1 is a node's input, node pin 0 its output. */
static const PCCONNECTION_DESCRIPTOR MiniportConnections[] = {
    /* from node        from pin    to node          to pin */
    {PCFILTER_NODE, WAVE_PIN_RENDER_STREAM, WAVE_NODE_DAC, 1},
    {WAVE_NODE_DAC, 0, PCFILTER_NODE, WAVE_PIN_RENDER_BRIDGE},
    {PCFILTER_NODE, WAVE_PIN_CAPTURE_BRIDGE, WAVE_NODE_ADC, 1},
    {WAVE_NODE_ADC, 0, PCFILTER_NODE, WAVE_PIN_CAPTURE_STREAM},
};

#define FILTER(Pins)                                                                           \
    {                                                                                          \
        0, NULL, sizeof(PCPIN_DESCRIPTOR), SIZEOF_ARRAY(Pins), (Pins), sizeof(PCNODE_DESCRIPTOR), \
            SIZEOF_ARRAY(MiniportNodes), MiniportNodes, SIZEOF_ARRAY(MiniportConnections),      \
            MiniportConnections, 0, NULL                                                       \
    }

const PCFILTER_DESCRIPTOR NoVRAMiniportFilterDescriptor = FILTER(NoVRAMiniportPins);
const PCFILTER_DESCRIPTOR VRAMiniportFilterDescriptor = FILTER(VRAMiniportPins);
