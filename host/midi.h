// IMiniportMidi, in the published slot order: what the MIDI port calls on
// its miniport. The driver never calls it, so it lives with the framework.
#pragma once

#include <portcls.h>

DECLARE_INTERFACE_(IMiniportMidi, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTMIDI Port,
                               PSERVICEGROUP *ServiceGroup) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
    /* The stream interface is not modelled; Stream receives an IUnknown. */
    STDMETHOD_(NTSTATUS, NewStream)(THIS_ PUNKNOWN *Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                                    BOOLEAN Capture, PKSDATAFORMAT DataFormat, PSERVICEGROUP *ServiceGroup) PURE;
};
typedef IMiniportMidi *PMINIPORTMIDI;
