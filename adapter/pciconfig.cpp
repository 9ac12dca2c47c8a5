/*
 * Configuration space before start: single bytes read and written by sending
 * IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG requests to the bus driver below.
 */
#include "adapter/driver.h"

/* Called on success, error and cancel alike: the waiting sender gets the IRP back and frees it. */
NTSTATUS NTAPI PCICompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PRKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * One byte through the bus; the transfer word is read or written in place.
 * Without an IRP nothing is sent, and the caller sees the word unchanged. The
 * bus's completion status is not examined: a failed read leaves what the bus
 * left in the word.
 */
PAGED_ROUTINE
static void SendConfigRequest(UCHAR MinorFunction, ULONG Offset, PULONG TransferWord)
{
    PAGED_CODE();

    if (!LowerPDO)
        return;

    CCHAR stackSize = (CCHAR)(LowerPDO->StackSize + 1);
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (!irp)
        return;
    IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
    /* Plug and Play requests travel with this status until a driver handles them. */
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = MinorFunction;
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = TransferWord;
    next->Parameters.ReadWriteConfig.Offset = Offset;
    next->Parameters.ReadWriteConfig.Length = 1;

    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(irp, PCICompletionRoutine, &event, TRUE, TRUE, TRUE);

    if (IofCallDriver(LowerPDO, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    IoFreeIrp(irp);
}

PAGED_ROUTINE
UCHAR ReadPCIConfig(ULONG Offset)
{
    PAGED_CODE();
    ULONG word = 0;
    SendConfigRequest(IRP_MN_READ_CONFIG, Offset, &word);
    return (UCHAR)(word & 0xFF);
}

PAGED_ROUTINE
void WritePCIConfig(ULONG Offset, PUCHAR Value)
{
    PAGED_CODE();
    ULONG word = *Value;
    SendConfigRequest(IRP_MN_WRITE_CONFIG, Offset, &word);
}
