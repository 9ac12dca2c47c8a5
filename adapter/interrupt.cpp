/*
 * The device's interrupt routine: reads which SGD channels raised events,
 * counts them per channel, acknowledges them in the channel's status
 * register and asks the wave port to schedule the stream's service group.
 */
#include "adapter/common.h"

static ULONG ChannelBlock(ULONG Channel)
{
    return Channel == 0 ? PlaybackChannel : CaptureChannel;
}

void CAdapterCommon::HandleChannelEvents(ULONG Channel, UCHAR SgdStatus, PSERVICEGROUP ServiceGroup)
{
    /* A channel without a stream has no group, and a port that was never stored cannot be told. */
    if (ServiceGroup && WavePortDriver)
        WavePortDriver->Notify(ServiceGroup);

    UCHAR count = ReadIntTimes(Channel);
    if (SgdStatus & SgdStatusLowEvent(Channel))
        ++count;
    if (SgdStatus & SgdStatusHighEvent(Channel))
        ++count;
    WriteIntTimes(Channel, count);

    /*
     * The event bits are cleared by writing them as 1: only those counted
     * above, so an event the channel raises meanwhile stays set (and keeps
     * the line asserted) until it is counted too.
     */
    UCHAR counted = 0;
    if (SgdStatus & SgdStatusLowEvent(Channel))
        counted |= ChannelStatusLowEvent;
    if (SgdStatus & SgdStatusHighEvent(Channel))
        counted |= ChannelStatusHighEvent;
    WRITE_PORT_UCHAR(Port(ChannelBlock(Channel) + ChannelStatus), counted);

    if (Channel == 0 && (SgdStatus & SgdStatusEvents(0)) == SgdStatusEvents(0)) {
        WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)DiagnosticPort, MarkerBothPlaybackEvents);
        (void)READ_PORT_ULONG((PULONG)Port(PlaybackChannel + ChannelTableAddress));
    }
}

NTSTATUS NTAPI CAdapterCommon::InterruptServiceRoutine(PINTERRUPTSYNC InterruptSync, PVOID DynamicContext)
{
    UNREFERENCED_PARAMETER(InterruptSync);
    CAdapterCommon *adapter = static_cast<CAdapterCommon *>(DynamicContext);

    /* Connected before Init knows the registers: a shared line's interrupt is not ours to read. */
    if (adapter->PortBase == 0)
        return STATUS_UNSUCCESSFUL;

    UCHAR sgdStatus = READ_PORT_UCHAR(adapter->Port(SgdStatusShadow));

    /* SetWaveServiceGroups changes the array only under this routine's lock. */
    PSERVICEGROUP *serviceGroups = adapter->WaveServiceGroupArray;
    if (!serviceGroups)
        return STATUS_UNSUCCESSFUL;

    NTSTATUS result = STATUS_UNSUCCESSFUL;
    for (ULONG channel = 0; channel < SgdChannelCount; ++channel) {
        if (sgdStatus & SgdStatusEvents(channel)) {
            adapter->HandleChannelEvents(channel, sgdStatus, serviceGroups[channel]);
            result = STATUS_SUCCESS;
        }
    }
    return result;
}
