/*
 * The body of CallFirmwareEntry as assembly text: stdcall, (EntryPoint,
 * Registers). firmware.cpp emits it under the kernel's decorated name; the
 * firmware call test runs the same text against a stand-in firmware.
 *
 * The register block is addressed by these offsets (FIRMWARE_REGISTERS).
 */
#pragma once

#define FIRMWARE_REGISTERS_OFFSET_EAX 0
#define FIRMWARE_REGISTERS_OFFSET_EBX 4
#define FIRMWARE_REGISTERS_OFFSET_ECX 8
#define FIRMWARE_REGISTERS_OFFSET_EDX 12
#define FIRMWARE_REGISTERS_OFFSET_ESI 16
#define FIRMWARE_REGISTERS_OFFSET_EDI 20
#define FIRMWARE_REGISTERS_OFFSET_CARRY 24

/*
 * The far call goes through a pointer built on the stack: the entry's offset
 * and the caller's own (flat) code selector. Interrupts stay off while the
 * firmware runs; the caller's interrupt state comes back with its flags.
 */
#define FIRMWARE_CALL_BODY                                                          \
    "    pushl   %ebp\n"                                                            \
    "    movl    %esp, %ebp\n"                                                      \
    "    pushl   %ebx\n"                                                            \
    "    pushl   %esi\n"                                                            \
    "    pushl   %edi\n"                                                            \
    "    subl    $8, %esp\n"                 /* far pointer: offset, selector */    \
    "    movl    8(%ebp), %eax\n"                                                   \
    "    movl    %eax, (%esp)\n"                                                    \
    "    xorl    %eax, %eax\n"                                                      \
    "    movw    %cs, %ax\n"                                                        \
    "    movl    %eax, 4(%esp)\n"                                                   \
    "    movl    12(%ebp), %eax\n"           /* Registers, kept for the way back */ \
    "    pushl   %eax\n"                                                            \
    "    movl    4(%eax), %ebx\n"                                                   \
    "    movl    8(%eax), %ecx\n"                                                   \
    "    movl    12(%eax), %edx\n"                                                  \
    "    movl    16(%eax), %esi\n"                                                  \
    "    movl    20(%eax), %edi\n"                                                  \
    "    movl    0(%eax), %eax\n"                                                   \
    "    pushfl\n"                                                                  \
    "    cli\n"                                                                     \
    "    cld\n"                                                                     \
    "    lcall   *8(%esp)\n"                 /* flags, Registers, far pointer */    \
    "    pushfl\n"                           /* the firmware's carry is a result */ \
    "    pushl   %eax\n"                                                            \
    "    movl    12(%esp), %eax\n"           /* Registers */                        \
    "    movl    %ebx, 4(%eax)\n"                                                   \
    "    movl    %ecx, 8(%eax)\n"                                                   \
    "    movl    %edx, 12(%eax)\n"                                                  \
    "    movl    %esi, 16(%eax)\n"                                                  \
    "    movl    %edi, 20(%eax)\n"                                                  \
    "    popl    %ebx\n"                     /* the firmware's EAX */               \
    "    movl    %ebx, 0(%eax)\n"                                                   \
    "    popl    %ebx\n"                     /* the firmware's flags */             \
    "    andl    $1, %ebx\n"                                                        \
    "    movb    %bl, 24(%eax)\n"                                                   \
    "    popfl\n"                            /* the caller's interrupt state */     \
    "    addl    $12, %esp\n"                /* Registers and the far pointer */    \
    "    popl    %edi\n"                                                            \
    "    popl    %esi\n"                                                            \
    "    popl    %ebx\n"                                                            \
    "    popl    %ebp\n"                                                            \
    "    ret     $8\n"
