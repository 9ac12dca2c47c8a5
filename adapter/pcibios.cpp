/*
 * The PCI BIOS path to the controller's configuration space, used after
 * start: the BIOS32 service directory is found in the BIOS area, asked for
 * the "$PCI" service, and the PCI BIOS then finds the controller and reads
 * and writes its configuration registers.
 */
#include "adapter/common.h"

/* The controller's PCI ids come from the build. */
const USHORT ControllerVendorId = ZATAC97_VENDOR_ID;
const USHORT ControllerDeviceId = ZATAC97_DEVICE_ID;

/* BIOS32 service directory header, 16 bytes:
 *   offset  size  field
 *      0     4    signature "_32_"
 *      4     4    physical address of the directory's entry point
 *      8     1    revision
 *      9     1    length in 16-byte paragraphs (must be 1)
 *     10     1    checksum (all 16 bytes add up to 0)
 *     11     5    reserved                                          */
const ULONG Bios32HeaderSize = 16;
const ULONG Bios32EntryOffset = 4;
const ULONG Bios32LengthOffset = 9;
const UCHAR Bios32Signature[4] = {'_', '3', '2', '_'};
const ULONG PciServiceIdentifier = 0x49435024; /* "$PCI" */

/* PCI BIOS function codes (AX) */
const ULONG PciBiosFindDevice = 0xB102;
const ULONG PciBiosReadByte = 0xB108;
const ULONG PciBiosReadWord = 0xB109;
const ULONG PciBiosReadDword = 0xB10A;
const ULONG PciBiosWriteByte = 0xB10B;
const ULONG PciBiosWriteWord = 0xB10C;
const ULONG PciBiosWriteDword = 0xB10D;

/* The controller's registers live in function 5 of the device the BIOS finds. */
const USHORT PciFunctionMask = 0x0007;
const USHORT ControllerFunction = 5;

static ULONG ReadUlong(const UCHAR *Bytes)
{
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) | ((ULONG)Bytes[3] << 24);
}

/* The first "_32_" on a 4-byte boundary whose whole header lies inside the window. */
PAGED_ROUTINE
static const UCHAR *FindBios32Header(const UCHAR *Window)
{
    PAGED_CODE();
    for (ULONG offset = 0; offset + Bios32HeaderSize <= BiosWindowSize; offset += 4) {
        const UCHAR *candidate = Window + offset;
        if (RtlCompareMemory(candidate, Bios32Signature, sizeof(Bios32Signature)) == sizeof(Bios32Signature))
            return candidate;
    }
    return NULL;
}

PAGED_ROUTINE
static BOOLEAN IsValidBios32Header(const UCHAR *Header)
{
    PAGED_CODE();
    if (Header[Bios32LengthOffset] != 1)
        return FALSE;
    UCHAR sum = 0;
    for (ULONG i = 0; i < Bios32HeaderSize; ++i)
        sum = (UCHAR)(sum + Header[i]);
    return sum == 0;
}

/*
 * Firmware addresses are physical; they are called through the window.
 * An address outside it cannot be reached and is treated as no firmware.
 */
static PVOID WindowAddress(PVOID Window, ULONGLONG Physical)
{
    if (Physical < BiosWindowPhysical || Physical >= (ULONGLONG)BiosWindowPhysical + BiosWindowSize)
        return NULL;
    return (PUCHAR)Window + (ULONG)(Physical - BiosWindowPhysical);
}

PAGED_ROUTINE
USHORT CAdapterCommon::FindPCIBios()
{
    PAGED_CODE();

    /* The window stays mapped: the PCI BIOS entry point is called through it. */
    if (!BiosWindow) {
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = BiosWindowPhysical;
        BiosWindow = MmMapIoSpace(physical, BiosWindowSize, MmCached);
        if (!BiosWindow)
            return 0;
    }

    /* Only the first match counts: a bad first header is not skipped over. */
    const UCHAR *header = FindBios32Header((const UCHAR *)BiosWindow);
    if (!header || !IsValidBios32Header(header))
        return 0;

    PVOID directory = WindowAddress(BiosWindow, ReadUlong(header + Bios32EntryOffset));
    if (!directory)
        return 0;

    FIRMWARE_REGISTERS registers;
    RtlZeroMemory(&registers, sizeof(registers));
    registers.Eax = PciServiceIdentifier;
    registers.Ebx = 0; /* function selector */
    CallFirmwareEntry(directory, &registers);
    if ((registers.Eax & 0xFF) != 0)
        return 0; /* no "$PCI" service */

    /* EBX = the service's physical base, EDX = its entry point's offset from the base. */
    PVOID entry = WindowAddress(BiosWindow, (ULONGLONG)registers.Ebx + registers.Edx);
    if (!entry)
        return 0;
    PciBiosEntry = entry;
    return 1;
}

/* A PCI BIOS call succeeds with the carry clear and AH = 0. */
BOOLEAN CAdapterCommon::CallPciBios(PFIRMWARE_REGISTERS Registers)
{
    CallFirmwareEntry(PciBiosEntry, Registers);
    return !Registers->Carry && ((Registers->Eax >> 8) & 0xFF) == 0;
}

PAGED_ROUTINE
USHORT CAdapterCommon::FindPCIDevice()
{
    PAGED_CODE();

    if (!FindPCIBios())
        return 0;

    FIRMWARE_REGISTERS registers;
    RtlZeroMemory(&registers, sizeof(registers));
    registers.Eax = PciBiosFindDevice;
    registers.Ecx = ControllerDeviceId;
    registers.Edx = ControllerVendorId;
    registers.Esi = 0; /* the first such device */
    if (!CallPciBios(&registers)) {
        /* The register operations test the entry: without a device they must not call it. */
        PciBiosEntry = NULL;
        return 0;
    }

    /* BH = bus, BL = device << 3 | function. */
    USHORT address = (USHORT)(registers.Ebx & 0xFFFF);
    PciDeviceAddress = (USHORT)((address & ~PciFunctionMask) | ControllerFunction);
    return 1;
}

/*
 * The six configuration operations. Without a PCI BIOS or without the
 * controller (Init failed, or not run) there is nothing to call: reads yield
 * 0 and writes do nothing.
 */
static void PrepareConfigCall(PFIRMWARE_REGISTERS Registers, ULONG Function, USHORT Device, UCHAR Register)
{
    RtlZeroMemory(Registers, sizeof(*Registers));
    Registers->Eax = Function;
    Registers->Ebx = Device;
    Registers->Edi = Register;
}

STDMETHODIMP_(ULONG) CAdapterCommon::ReadPCIRegDW(UCHAR Register)
{
    if (!PciBiosEntry)
        return 0;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosReadDword, PciDeviceAddress, Register);
    CallPciBios(&registers);
    return registers.Ecx;
}

STDMETHODIMP_(USHORT) CAdapterCommon::ReadPCIRegW(UCHAR Register)
{
    if (!PciBiosEntry)
        return 0;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosReadWord, PciDeviceAddress, Register);
    CallPciBios(&registers);
    return (USHORT)registers.Ecx;
}

STDMETHODIMP_(UCHAR) CAdapterCommon::ReadPCIRegB(UCHAR Register)
{
    if (!PciBiosEntry)
        return 0;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosReadByte, PciDeviceAddress, Register);
    CallPciBios(&registers);
    return (UCHAR)registers.Ecx;
}

STDMETHODIMP_(void) CAdapterCommon::WritePCIRegDW(UCHAR Register, ULONG Value)
{
    if (!PciBiosEntry)
        return;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosWriteDword, PciDeviceAddress, Register);
    registers.Ecx = Value;
    CallPciBios(&registers);
}

STDMETHODIMP_(void) CAdapterCommon::WritePCIRegW(UCHAR Register, USHORT Value)
{
    if (!PciBiosEntry)
        return;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosWriteWord, PciDeviceAddress, Register);
    registers.Ecx = Value;
    CallPciBios(&registers);
}

STDMETHODIMP_(void) CAdapterCommon::WritePCIRegB(UCHAR Register, UCHAR Value)
{
    if (!PciBiosEntry)
        return;
    FIRMWARE_REGISTERS registers;
    PrepareConfigCall(&registers, PciBiosWriteByte, PciDeviceAddress, Register);
    registers.Ecx = Value;
    CallPciBios(&registers);
    /* The driver touches the link control byte only with byte writes; D3 may take its bits away. */
    if (Register == CodecLinkControl)
        LinkControlShadow = Value;
}
