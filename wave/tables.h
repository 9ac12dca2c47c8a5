/* The wave filter's two descriptors and the pin and node numbers other code relies on. */
#pragma once

#include <portcls.h>

/* Pin identifiers: the index of each pin in the filter's pin table. */
const ULONG WAVE_PIN_CAPTURE_STREAM = 0;
const ULONG WAVE_PIN_CAPTURE_BRIDGE = 1;
const ULONG WAVE_PIN_RENDER_STREAM = 2;
const ULONG WAVE_PIN_RENDER_BRIDGE = 3;

const ULONG WAVE_NODE_DAC = 0;
const ULONG WAVE_NODE_ADC = 1;

extern const PCFILTER_DESCRIPTOR NoVRAMiniportFilterDescriptor;
extern const PCFILTER_DESCRIPTOR VRAMiniportFilterDescriptor;
