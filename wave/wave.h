/* The wave miniport's creation function. */
#pragma once

#include <portcls.h>

NTSTATUS NTAPI CreateZATAC97WavePci(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);
