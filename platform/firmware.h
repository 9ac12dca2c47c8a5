/*
 * Register block of a call into a firmware entry point (the PCI BIOS and its
 * BIOS32 service directory): the 32-bit general registers as the firmware's
 * calling convention assigns them, and the carry flag it returns. Both forms
 * of zatplatform.h declare CallFirmwareEntry over it.
 */
#pragma once

#include <wdm.h>

typedef struct _FIRMWARE_REGISTERS {
    ULONG Eax;
    ULONG Ebx;
    ULONG Ecx;
    ULONG Edx;
    ULONG Esi;
    ULONG Edi;
    BOOLEAN Carry;
} FIRMWARE_REGISTERS, *PFIRMWARE_REGISTERS;
