// Placeholder until the topology miniport lands: device start installs nothing real yet.
#include "topology/topology.h"

NTSTATUS CreateZATAC97Topology(PUNKNOWN *, REFCLSID, PUNKNOWN, POOL_TYPE)
{
    return STATUS_NOT_IMPLEMENTED;
}
