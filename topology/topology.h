/* The topology (mixer) miniport's creation function. */
#pragma once

#include <portcls.h>

NTSTATUS NTAPI CreateZATAC97Topology(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);
