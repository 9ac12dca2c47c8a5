/*
 * CallFirmwareEntry, kernel form: the 32-bit protected-mode far call into a
 * BIOS32 service directory or PCI BIOS entry point, as the PCI BIOS
 * Specification prescribes for 32-bit callers. The entry is reached through
 * its mapped virtual address with the kernel's own flat code selector; the
 * firmware returns with a far return, its results in the general registers
 * and the carry flag.
 */
#include <zatplatform.h>

/* The assembly below addresses the register block by these offsets. */
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Eax) == 0);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Ebx) == 4);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Ecx) == 8);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Edx) == 12);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Esi) == 16);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Edi) == 20);
static_assert(__builtin_offsetof(FIRMWARE_REGISTERS, Carry) == 24);

/*
 * Resident code: the PCI configuration accessors call it on any thread, at
 * any level up to the device's. Interrupts stay off for the firmware's
 * duration (it shares the configuration mechanism with the rest of the
 * system); the caller's interrupt state comes back with its flags.
 */
asm(R"(
    .text
    .globl  _CallFirmwareEntry@8
    .def    _CallFirmwareEntry@8; .scl 2; .type 32; .endef
_CallFirmwareEntry@8:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    subl    $8, %esp                # far pointer: offset, then selector
    movl    8(%ebp), %eax
    movl    %eax, (%esp)
    xorl    %eax, %eax
    movw    %cs, %ax
    movl    %eax, 4(%esp)
    movl    12(%ebp), %eax          # Registers, kept for the way back
    pushl   %eax
    movl    4(%eax), %ebx
    movl    8(%eax), %ecx
    movl    12(%eax), %edx
    movl    16(%eax), %esi
    movl    20(%eax), %edi
    movl    0(%eax), %eax
    pushfl
    cli
    cld
    lcall   *8(%esp)                # [esp] flags, [esp+4] Registers, [esp+8] far pointer
    pushfl                          # the firmware's flags: carry is a result
    pushl   %eax
    movl    12(%esp), %eax          # Registers
    movl    %ebx, 4(%eax)
    movl    %ecx, 8(%eax)
    movl    %edx, 12(%eax)
    movl    %esi, 16(%eax)
    movl    %edi, 20(%eax)
    popl    %ebx                    # the firmware's EAX
    movl    %ebx, 0(%eax)
    popl    %ebx                    # the firmware's flags
    andl    $1, %ebx
    movb    %bl, 24(%eax)
    popfl                           # the caller's interrupt state
    addl    $12, %esp               # Registers and the far pointer
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret     $8
)");
