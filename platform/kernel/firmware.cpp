/*
 * CallFirmwareEntry, kernel form: the 32-bit protected-mode far call into a
 * BIOS32 service directory or PCI BIOS entry point, as the PCI BIOS
 * standard prescribes for 32-bit callers. The entry is reached through
 * its mapped virtual address with the kernel's own flat code selector; the
 * firmware returns with a far return, its results in the general registers
 * and the carry flag.
 */
#include <zatplatform.h>

#include "firmware_call.h"

static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Eax) == FIRMWARE_REGISTERS_OFFSET_EAX);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Ebx) == FIRMWARE_REGISTERS_OFFSET_EBX);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Ecx) == FIRMWARE_REGISTERS_OFFSET_ECX);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Edx) == FIRMWARE_REGISTERS_OFFSET_EDX);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Esi) == FIRMWARE_REGISTERS_OFFSET_ESI);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Edi) == FIRMWARE_REGISTERS_OFFSET_EDI);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Carry) == FIRMWARE_REGISTERS_OFFSET_CARRY);

/*
 * Resident code (.text): the PCI configuration accessors call it on any
 * thread, at any level up to the device's.
 */
asm("    .text\n"
    "    .globl  _CallFirmwareEntry@8\n"
    "    .def    _CallFirmwareEntry@8; .scl 2; .type 32; .endef\n"
    "_CallFirmwareEntry@8:\n" FIRMWARE_CALL_BODY);
