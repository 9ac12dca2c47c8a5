/*
 * The driver's own platform operations, kernel form: what the published
 * headers do not declare. The host form supplies the same names.
 */
#pragma once

#include <wdm.h>

#include "platform/firmware.h"

/*
 * Far-calls EntryPoint (a mapped firmware address, entered through the
 * kernel's flat code segment) with Registers in and out, interrupts off.
 */
EXTERN_C VOID NTAPI CallFirmwareEntry(PVOID EntryPoint, PFIRMWARE_REGISTERS Registers);

/*
 * Section placement: start-up code the loader discards once DriverEntry has
 * returned (INIT), and code that may be paged out (PAGE, and any section whose
 * name starts so). Everything else stays in the resident .text.
 */
#define INIT_ROUTINE __attribute__((section("INIT")))
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define NONPAGED_ROUTINE
