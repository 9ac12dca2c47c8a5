/*
 * On an older controller with its MIDI port enabled, the driver adds the
 * MPU-401 port range to the device's resource requirements, so that the
 * assigned resources carry it as the second port (port 1) for "Uart".
 */
#include "adapter/driver.h"
#include "adapter/registers.h"
#include "adapter/unknown.h"

/*
 * The one shape the rewrite understands: a single alternative list of n >= 7
 * descriptors whose
 *   0..2  are a port group led by a preferred port descriptor,
 *   3..5  are a second such group,
 *   6     is the interrupt descriptor (option 0), and what follows it
 * holds no further preferred port, required port or option-0 interrupt.
 * Each group's other two descriptors are port alternatives to its leader, so
 * the groups are assigned one port each and the added group lands as port 1.
 * Anything else goes to the framework untouched.
 */
struct REQUIREMENTS_SHAPE {
    ULONG Count;
    ULONG FirstPort;
    ULONG SecondPort;
    ULONG Interrupt;
};

const ULONG NotFound = 0xFFFFFFFF;
const ULONG PortGroupSize = 3;          /* a preferred port and its two alternatives */
const ULONG MovedTailStart = 2 * PortGroupSize;
const ULONG AddedDescriptors = PortGroupSize;
const ULONG RequirementsHeaderSize =
    FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List) + FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
/* Far beyond any real list; keeps the size arithmetic clear of overflow. */
const ULONG MaximumRequirementsSize = 0x100000;

/* An alternative port: taken only instead of the requirement before it. */
PAGED_ROUTINE
static BOOLEAN IsAlternativePort(const IO_RESOURCE_DESCRIPTOR &Descriptor)
{
    PAGED_CODE();
    return Descriptor.Type == CmResourceTypePort && (Descriptor.Option & IO_RESOURCE_ALTERNATIVE);
}

PAGED_ROUTINE
static BOOLEAN FindRequirementsShape(PIO_RESOURCE_REQUIREMENTS_LIST List, REQUIREMENTS_SHAPE *Shape)
{
    PAGED_CODE();

    if (!List || List->ListSize < RequirementsHeaderSize || List->ListSize > MaximumRequirementsSize)
        return FALSE;
    if (List->AlternativeLists != 1)
        return FALSE;

    ULONG count = List->List[0].Count;
    if (count < MovedTailStart + 1 ||
        count > (List->ListSize - RequirementsHeaderSize) / sizeof(IO_RESOURCE_DESCRIPTOR))
        return FALSE;

    /* The first preferred port leads group 1, the last one group 2; the last option-0 interrupt wins. */
    Shape->Count = count;
    Shape->FirstPort = NotFound;
    Shape->SecondPort = NotFound;
    Shape->Interrupt = NotFound;
    const IO_RESOURCE_DESCRIPTOR *descriptors = List->List[0].Descriptors;
    for (ULONG i = 0; i < count; ++i) {
        const IO_RESOURCE_DESCRIPTOR &d = descriptors[i];
        if (d.Type == CmResourceTypePort && d.Option == IO_RESOURCE_PREFERRED) {
            if (Shape->FirstPort == NotFound)
                Shape->FirstPort = i;
            else
                Shape->SecondPort = i;
        } else if (d.Type == CmResourceTypeInterrupt && d.Option == 0) {
            Shape->Interrupt = i;
        }
    }

    if (Shape->FirstPort == NotFound || Shape->SecondPort == NotFound || Shape->Interrupt == NotFound)
        return FALSE;
    /* Each group is whole and the groups do not overlap each other or the interrupt. */
    if (Shape->FirstPort + PortGroupSize > Shape->SecondPort || Shape->SecondPort + PortGroupSize > Shape->Interrupt)
        return FALSE;
    /* The n - 6 descriptors moved to the front are exactly those from the interrupt to the end. */
    if (Shape->Interrupt != MovedTailStart)
        return FALSE;
    /* A port assigned in its own right ahead of the added group would push the MPU-401 off port 1. */
    for (ULONG i = 1; i < PortGroupSize; ++i) {
        if (!IsAlternativePort(descriptors[Shape->FirstPort + i]) || !IsAlternativePort(descriptors[Shape->SecondPort + i]))
            return FALSE;
    }
    for (ULONG i = MovedTailStart + 1; i < count; ++i) {
        if (descriptors[i].Type == CmResourceTypePort && !(descriptors[i].Option & IO_RESOURCE_ALTERNATIVE))
            return FALSE;
    }
    return TRUE;
}

PAGED_ROUTINE
NTSTATUS AddMidiPortRequirement(PIO_RESOURCE_REQUIREMENTS_LIST OldList, ULONG MidiStartPort,
                                PIO_RESOURCE_REQUIREMENTS_LIST *NewList)
{
    PAGED_CODE();

    *NewList = NULL;
    REQUIREMENTS_SHAPE shape;
    if (!FindRequirementsShape(OldList, &shape))
        return STATUS_NOT_SUPPORTED;

    ULONG newSize = OldList->ListSize + AddedDescriptors * sizeof(IO_RESOURCE_DESCRIPTOR);
    PIO_RESOURCE_REQUIREMENTS_LIST list =
        (PIO_RESOURCE_REQUIREMENTS_LIST)ExAllocatePoolWithTag(PagedPool, newSize, PoolTagScratch);
    if (!list)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, newSize);
    RtlCopyMemory(list, OldList, OldList->ListSize);
    list->ListSize = newSize;

    const ULONG n = shape.Count;
    const IO_RESOURCE_DESCRIPTOR *from = OldList->List[0].Descriptors;
    IO_RESOURCE_DESCRIPTOR *to = list->List[0].Descriptors;
    const ULONG groupBytes = PortGroupSize * sizeof(IO_RESOURCE_DESCRIPTOR);

    /* interrupt and what follows | group 1 | group 2 moved to the MPU-401 | group 2 */
    RtlCopyMemory(&to[0], &from[shape.Interrupt], (n - MovedTailStart) * sizeof(IO_RESOURCE_DESCRIPTOR));
    RtlCopyMemory(&to[n - 6], &from[shape.FirstPort], groupBytes);
    RtlCopyMemory(&to[n - 3], &from[shape.SecondPort], groupBytes);
    to[n - 3].u.Port.MinimumAddress.QuadPart = MidiStartPort;
    to[n - 3].u.Port.MaximumAddress.QuadPart = MidiStartPort + MidiPortLength - 1;
    RtlCopyMemory(&to[n], &from[shape.SecondPort], groupBytes);
    list->List[0].Count = n + AddedDescriptors;

    *NewList = list;
    return STATUS_SUCCESS;
}
