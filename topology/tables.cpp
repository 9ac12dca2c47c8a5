/*
 * The mixer's static description: pins, nodes, connections, automation tables
 * and the one data range, in the two filter variants (with and without the
 * codec's 3D controls), plus the node-to-register table. Nodes 0-35 and pins 0-11 mean the same in both variants, so
 * one set of handlers and one AccessParams table serve both.
 */
#include "topology/miniport.h"
#include "topology/names.h"

/* ---- Data range ------------------------------------------------------------------------ */

/* Topology pins carry analog signals only; none of them can be opened. */
static const KSDATARANGE PinDataRangesAnalogBridge = {
    {sizeof(KSDATARANGE), 0, 0, 0,
     {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)}, {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)},
     {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}};

/* The published descriptor points at non-const ranges; nothing writes through it. */
static const PKSDATARANGE PinDataRangePointersAnalogBridge[] = {
    const_cast<PKSDATARANGE>(&PinDataRangesAnalogBridge),
};

/* ---- Pins ------------------------------------------------------------------------------------ */

#define TOPOLOGY_PIN(DataFlow, Category, Name)                                             \
    {0, 0, 0, NULL,                                                                        \
     {0, NULL, 0, NULL,                                                                    \
      SIZEOF_ARRAY(PinDataRangePointersAnalogBridge), PinDataRangePointersAnalogBridge,    \
      DataFlow, KSPIN_COMMUNICATION_NONE, Category, Name, {0}}}

#define TOPOLOGY_PINS_COMMON                                                                              \
    /*  0 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSCATEGORY_AUDIO,              NULL),                          \
    /*  1 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_ANALOG_CONNECTOR,   &TOPONAME_PC_BEEP_IN),          \
    /*  2 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_PHONE_LINE,         &TOPONAME_PHONE_IN),            \
    /*  3 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_LINE_CONNECTOR,     &TOPONAME_AUX_IN),              \
    /*  4 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_TV_TUNER_AUDIO,     &TOPONAME_VIDEO_IN),            \
    /*  5 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_CD_PLAYER,          &TOPONAME_CD_IN),               \
    /*  6 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_LINE_CONNECTOR,     &TOPONAME_LINE_IN),             \
    /*  7 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_MICROPHONE,         &TOPONAME_MIC_IN),              \
    /*  8 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_ANALOG_CONNECTOR,   &TOPONAME_STEREO_MIX_SOURCE),   \
    /*  9 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER,            &KSAUDFNAME_VOLUME_CONTROL),    \
    /* 10 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_OUT, &KSNODETYPE_PHONE_LINE,         &TOPONAME_PHONE_OUT),           \
    /* 11 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO,              NULL)

static const PCPIN_DESCRIPTOR NoCtrl3DTopologyPins[] = {
    TOPOLOGY_PINS_COMMON,
};

static const PCPIN_DESCRIPTOR Ctrl3DTopologyPins[] = {
    TOPOLOGY_PINS_COMMON,
    /* 12 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_ANALOG_CONNECTOR,   &TOPONAME_3D_CENTER_SOURCE),
    /* 13 */ TOPOLOGY_PIN(KSPIN_DATAFLOW_IN,  &KSNODETYPE_ANALOG_CONNECTOR,   &TOPONAME_3D_DEPTH_SOURCE),
};

/* ---- Automation tables ------------------------------------------------------------------------- */

#define GET       KSPROPERTY_TYPE_GET
#define SET       KSPROPERTY_TYPE_SET
#define BASIC     KSPROPERTY_TYPE_BASICSUPPORT

static const PCPROPERTY_ITEM PropertiesVolume[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,     GET | SET | BASIC, PropertyHandler_Topo_Volume},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,   GET,               PropertyHandler_CpuResources},
};
static DEFINE_PCAUTOMATION_TABLE_PROP(AutomationVolume, PropertiesVolume);

static const PCPROPERTY_ITEM PropertiesMute[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,            GET | SET,         PropertyHandler_Topo_Mute},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,   GET,               PropertyHandler_CpuResources},
};
static DEFINE_PCAUTOMATION_TABLE_PROP(AutomationMute, PropertiesMute);

static const PCPROPERTY_ITEM PropertiesSupermix[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MIX_LEVEL_CAPS,  GET,               PropertyHandler_SuperMixCaps},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE, GET | SET,         PropertyHandler_SuperMixTable},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,   GET,               PropertyHandler_CpuResources},
};
static DEFINE_PCAUTOMATION_TABLE_PROP(AutomationSupermix, PropertiesSupermix);

static const PCPROPERTY_ITEM PropertiesMux[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE,      GET | SET,         PropertyHandler_Topo_MUX},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,   GET,               PropertyHandler_CpuResources},
};
static DEFINE_PCAUTOMATION_TABLE_PROP(AutomationMux, PropertiesMux);

static const PCPROPERTY_ITEM PropertiesAgc[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC,             GET | SET | BASIC, PropertyHandler_Topo_Agc},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,   GET | BASIC,       PropertyHandler_CpuResources},
};
static DEFINE_PCAUTOMATION_TABLE_PROP(AutomationAgc, PropertiesAgc);

#undef GET
#undef SET
#undef BASIC

/* ---- Nodes --------------------------------------------------------------------------------------- */

#define TOPOLOGY_NODES_COMMON                                                                         \
    /*  0 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_WAVE_VOLUME},                 \
    /*  1 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_WAVE_MUTE},                   \
    /*  2 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_PC_SPEAKER_VOLUME},           \
    /*  3 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_PC_SPEAKER_MUTE},             \
    /*  4 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /*  5 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     NULL},                                    \
    /*  6 */ {0, &AutomationMux,      &KSNODETYPE_MUX,      &TOPONAME_MIC_SELECT},                    \
    /*  7 */ {0, &AutomationAgc,      &KSNODETYPE_AGC,      &TOPONAME_MIC_BOOST},                     \
    /*  8 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_MIC_VOLUME},                  \
    /*  9 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_MIC_MUTE},                    \
    /* 10 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_LINE_VOLUME},                 \
    /* 11 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_LINE_MUTE},                   \
    /* 12 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_CD_VOLUME},                   \
    /* 13 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_CD_MUTE},                     \
    /* 14 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 15 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     NULL},                                    \
    /* 16 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_AUX_VOLUME},                  \
    /* 17 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_AUX_MUTE},                    \
    /* 18 */ {0, NULL,                &KSNODETYPE_SUM,      &KSAUDFNAME_WAVE_OUT_MIX},                \
    /* 19 */ {0, NULL,                &KSNODETYPE_SUM,      &TOPONAME_MONO_MIX},                      \
    /* 20 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_MASTER_VOLUME},               \
    /* 21 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &KSAUDFNAME_MASTER_MUTE},                 \
    /* 22 */ {0, &AutomationSupermix, &KSNODETYPE_SUPERMIX, &TOPONAME_SUPERMIX},                      \
    /* 23 */ {0, &AutomationMux,      &KSNODETYPE_MUX,      &TOPONAME_MONO_OUT_SELECT},               \
    /* 24 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &TOPONAME_MONO_OUT_VOLUME},               \
    /* 25 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     &TOPONAME_MONO_OUT_MUTE},                 \
    /* 26 */ {0, &AutomationSupermix, &KSNODETYPE_SUPERMIX, &KSAUDFNAME_WAVE_OUT_MIX},                \
    /* 27 */ {0, &AutomationMux,      &KSNODETYPE_MUX,      &KSAUDFNAME_RECORDING_SOURCE},            \
    /* 28 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &KSAUDFNAME_WAVE_IN_VOLUME},              \
    /* 29 */ {0, &AutomationMute,     &KSNODETYPE_MUTE,     NULL},                                    \
    /* 30 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 31 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 32 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 33 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 34 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL},                                    \
    /* 35 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   NULL}

static const PCNODE_DESCRIPTOR NoCtrl3DTopologyNodes[] = {
    TOPOLOGY_NODES_COMMON,
};

static const PCNODE_DESCRIPTOR Ctrl3DTopologyNodes[] = {
    TOPOLOGY_NODES_COMMON,
    /* 36 */ {0, &AutomationAgc,      &KSNODETYPE_AGC,      &TOPONAME_3D_ENABLE},
    /* 37 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &TOPONAME_3D_CENTER},
    /* 38 */ {0, &AutomationVolume,   &KSNODETYPE_VOLUME,   &TOPONAME_3D_DEPTH},
};

static_assert(SIZEOF_ARRAY(NoCtrl3DTopologyNodes) == TopologyNodeCountNoCtrl3D, "node numbers are fixed");
static_assert(SIZEOF_ARRAY(Ctrl3DTopologyNodes) == TopologyNodeCountCtrl3D, "node numbers are fixed");

/* ---- Connections ----------------------------------------------------------------------------------- */

/* A row end on the filter itself is a filter pin; on a node, pin 0 is the output and 1.. the inputs. */
#define FILTER PCFILTER_NODE

static const PCCONNECTION_DESCRIPTOR NoCtrl3DTopologyConnections[] = {
    /*        from node, pin     to node, pin */
    /*  0 */ {FILTER,  0,        1, 1},     /* wave bridge -> wave mute */
    /*  1 */ {     1,  0,        0, 1},     /* wave mute -> wave volume */
    /*  2 */ {     0,  0,       18, 1},     /* wave volume -> output mix */
    /*  3 */ {FILTER,  1,        3, 1},     /* PC beep */
    /*  4 */ {     3,  0,        2, 1},
    /*  5 */ {     2,  0,       18, 2},
    /*  6 */ {FILTER,  2,        5, 1},     /* phone */
    /*  7 */ {     5,  0,        4, 1},
    /*  8 */ {     4,  0,       18, 3},
    /*  9 */ {FILTER,  7,        7, 1},     /* microphone: boost, mute, volume */
    /* 10 */ {     7,  0,        9, 1},
    /* 11 */ {     9,  0,        8, 1},
    /* 12 */ {     8,  0,       18, 4},
    /* 13 */ {FILTER,  6,       11, 1},     /* line in */
    /* 14 */ {    11,  0,       10, 1},
    /* 15 */ {    10,  0,       18, 5},
    /* 16 */ {FILTER,  5,       13, 1},     /* CD */
    /* 17 */ {    13,  0,       12, 1},
    /* 18 */ {    12,  0,       18, 6},
    /* 19 */ {FILTER,  4,       15, 1},     /* video */
    /* 20 */ {    15,  0,       14, 1},
    /* 21 */ {    14,  0,       18, 7},
    /* 22 */ {FILTER,  3,       17, 1},     /* aux */
    /* 23 */ {    17,  0,       16, 1},
    /* 24 */ {    16,  0,       18, 8},
    /* 25 */ {    18,  0,       21, 1},     /* output mix -> master mute */
    /* 26 */ {    21,  0,       20, 1},     /* master mute -> master volume */
    /* 27 */ {    20,  0,   FILTER, 9},     /* master volume -> line out */
    /* 28 */ {FILTER,  7,       30, 1},     /* recording levels per source */
    /* 29 */ {FILTER,  5,       31, 1},
    /* 30 */ {FILTER,  4,       32, 1},
    /* 31 */ {FILTER,  3,       33, 1},
    /* 32 */ {FILTER,  6,       34, 1},
    /* 33 */ {FILTER,  8,       35, 1},
    /* 34 */ {    30,  0,       27, 1},     /* record select input n = codec select value n - 1 */
    /* 35 */ {    31,  0,       27, 2},
    /* 36 */ {    32,  0,       27, 3},
    /* 37 */ {    33,  0,       27, 4},
    /* 38 */ {    34,  0,       27, 5},
    /* 39 */ {    35,  0,       27, 6},
    /* 40 */ {    27,  0,       29, 1},     /* record select -> record mute */
    /* 41 */ {    29,  0,       28, 1},     /* record mute -> record volume */
    /* 42 */ {    28,  0,   FILTER, 11},    /* record volume -> capture bridge */
};

static const PCCONNECTION_DESCRIPTOR Ctrl3DTopologyConnections[] = {
    /*        from node, pin     to node, pin */
    /*  0 */ {FILTER,  0,        1, 1},     /* wave bridge -> wave mute */
    /*  1 */ {     1,  0,        0, 1},
    /*  2 */ {     0,  0,       18, 1},
    /*  3 */ {FILTER,  1,        3, 1},     /* PC beep */
    /*  4 */ {     3,  0,        2, 1},
    /*  5 */ {     2,  0,       18, 2},
    /*  6 */ {FILTER,  2,        5, 1},     /* phone */
    /*  7 */ {     5,  0,        4, 1},
    /*  8 */ {     4,  0,       18, 3},
    /*  9 */ {FILTER,  7,        7, 1},     /* microphone */
    /* 10 */ {     7,  0,        9, 1},
    /* 11 */ {     9,  0,        8, 1},
    /* 12 */ {     8,  0,       18, 4},
    /* 13 */ {FILTER,  6,       11, 1},     /* line in */
    /* 14 */ {    11,  0,       10, 1},
    /* 15 */ {    10,  0,       18, 5},
    /* 16 */ {FILTER,  5,       13, 1},     /* CD */
    /* 17 */ {    13,  0,       12, 1},
    /* 18 */ {    12,  0,       18, 6},
    /* 19 */ {FILTER,  4,       15, 1},     /* video */
    /* 20 */ {    15,  0,       14, 1},
    /* 21 */ {    14,  0,       18, 7},
    /* 22 */ {FILTER,  3,       17, 1},     /* aux */
    /* 23 */ {    17,  0,       16, 1},
    /* 24 */ {    16,  0,       18, 8},
    /* 25 */ {FILTER, 13,       36, 1},     /* 3D line: enable, depth */
    /* 26 */ {    36,  0,       38, 1},
    /* 27 */ {    38,  0,       18, 9},
    /* 28 */ {    18,  0,       21, 1},     /* output mix -> master mute */
    /* 29 */ {    21,  0,       20, 1},
    /* 30 */ {    20,  0,   FILTER, 9},
    /* 31 */ {FILTER,  7,       30, 1},     /* recording levels per source */
    /* 32 */ {FILTER,  5,       31, 1},
    /* 33 */ {FILTER,  4,       32, 1},
    /* 34 */ {FILTER,  3,       33, 1},
    /* 35 */ {FILTER,  6,       34, 1},
    /* 36 */ {FILTER,  8,       35, 1},
    /* 37 */ {    30,  0,       27, 1},
    /* 38 */ {    31,  0,       27, 2},
    /* 39 */ {    32,  0,       27, 3},
    /* 40 */ {    33,  0,       27, 4},
    /* 41 */ {    34,  0,       27, 5},
    /* 42 */ {    35,  0,       27, 6},
    /* 43 */ {    27,  0,       29, 1},     /* record select -> record mute */
    /* 44 */ {    29,  0,   FILTER, 11},    /* record mute -> capture bridge (no record volume) */
};

#undef FILTER

/* ---- Filter descriptors --------------------------------------------------------------------------- */

#define TOPOLOGY_FILTER(Pins, Nodes, Connections)                     \
    {0, NULL,                                                         \
     sizeof(PCPIN_DESCRIPTOR), SIZEOF_ARRAY(Pins), Pins,              \
     sizeof(PCNODE_DESCRIPTOR), SIZEOF_ARRAY(Nodes), Nodes,           \
     SIZEOF_ARRAY(Connections), Connections,                          \
     0, NULL}

const PCFILTER_DESCRIPTOR NoCtrl3DMiniportFilterDescriptor =
    TOPOLOGY_FILTER(NoCtrl3DTopologyPins, NoCtrl3DTopologyNodes, NoCtrl3DTopologyConnections);

const PCFILTER_DESCRIPTOR Ctrl3DMiniportFilterDescriptor =
    TOPOLOGY_FILTER(Ctrl3DTopologyPins, Ctrl3DTopologyNodes, Ctrl3DTopologyConnections);

/* ---- Node-to-register table ----------------------------------------------------------------------- */

const AccessParam AccessParams[TopologyNodeCountCtrl3D] = {
    /* node     register                  cache row */
    /*  0 */ {AC97REG_PCM_OUT_VOLUME,     0},
    /*  1 */ {AC97REG_PCM_OUT_VOLUME,     NoCacheIndex},
    /*  2 */ {AC97REG_PCBEEP_VOLUME,      1},
    /*  3 */ {AC97REG_PCBEEP_VOLUME,      NoCacheIndex},
    /*  4 */ {AC97REG_PHONE_VOLUME,       2},
    /*  5 */ {AC97REG_PHONE_VOLUME,       NoCacheIndex},
    /*  6 */ {AC97REG_GENERAL_PURPOSE,    NoCacheIndex},
    /*  7 */ {AC97REG_MIC_VOLUME,         NoCacheIndex},
    /*  8 */ {AC97REG_MIC_VOLUME,         3},
    /*  9 */ {AC97REG_MIC_VOLUME,         NoCacheIndex},
    /* 10 */ {AC97REG_LINE_IN_VOLUME,     4},
    /* 11 */ {AC97REG_LINE_IN_VOLUME,     NoCacheIndex},
    /* 12 */ {AC97REG_CD_VOLUME,          5},
    /* 13 */ {AC97REG_CD_VOLUME,          NoCacheIndex},
    /* 14 */ {AC97REG_VIDEO_VOLUME,       6},
    /* 15 */ {AC97REG_VIDEO_VOLUME,       NoCacheIndex},
    /* 16 */ {AC97REG_AUX_VOLUME,         7},
    /* 17 */ {AC97REG_AUX_VOLUME,         NoCacheIndex},
    /* 18 */ {0x00,                       NoCacheIndex},
    /* 19 */ {0x00,                       NoCacheIndex},
    /* 20 */ {AC97REG_MASTER_VOLUME,      8},
    /* 21 */ {AC97REG_MASTER_VOLUME,      NoCacheIndex},
    /* 22 */ {0x00,                       NoCacheIndex},
    /* 23 */ {AC97REG_GENERAL_PURPOSE,    NoCacheIndex},
    /* 24 */ {AC97REG_MONO_VOLUME,        9},
    /* 25 */ {AC97REG_MONO_VOLUME,        NoCacheIndex},
    /* 26 */ {0x00,                       NoCacheIndex},
    /* 27 */ {AC97REG_RECORD_SELECT,      NoCacheIndex},
    /* 28 */ {AC97REG_RECORD_GAIN,        10},
    /* 29 */ {AC97REG_RECORD_GAIN,        NoCacheIndex},
    /* 30 */ {AC97REG_RECORD_GAIN,        11},
    /* 31 */ {AC97REG_RECORD_GAIN,        12},
    /* 32 */ {AC97REG_RECORD_GAIN,        13},
    /* 33 */ {AC97REG_RECORD_GAIN,        14},
    /* 34 */ {AC97REG_RECORD_GAIN,        15},
    /* 35 */ {AC97REG_RECORD_GAIN,        16},
    /* 36 */ {AC97REG_GENERAL_PURPOSE,    NoCacheIndex},
    /* 37 */ {AC97REG_3D_CONTROL,         17},
    /* 38 */ {AC97REG_3D_CONTROL,         18},
};
