// Placeholder until the wave miniport lands: device start installs nothing real yet.
#include "wave/wave.h"

NTSTATUS CreateZATAC97WavePci(PUNKNOWN *, REFCLSID, PUNKNOWN, POOL_TYPE)
{
    return STATUS_NOT_IMPLEMENTED;
}
