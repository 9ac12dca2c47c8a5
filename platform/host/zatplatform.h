/*
 * The driver's own platform operations, host form: what the published
 * headers do not declare. The kernel form supplies the same names.
 */
#pragma once

#include <wdm.h>

#include "platform/firmware.h"

/* Far-calls EntryPoint (a mapped firmware address) with Registers in and out. */
VOID NTAPI CallFirmwareEntry(PVOID EntryPoint, PFIRMWARE_REGISTERS Registers);

/*
 * Section placement: start-up code that can be discarded after init, and code
 * that may be paged out. The host keeps everything resident; the kernel build
 * places each function where the driver marks it.
 */
#define INIT_ROUTINE
#define PAGED_ROUTINE
#define NONPAGED_ROUTINE

