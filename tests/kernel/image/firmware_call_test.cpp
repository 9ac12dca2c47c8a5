// The kernel's firmware far call, run for real: the same assembly text the
// image carries, in a freestanding 32-bit x86 process, far-calling a
// stand-in firmware entry that records what it was handed and answers with
// chosen registers and carry. Built with the build machine's compiler
// (-m32, no C library); `cli` faults in user mode, so a signal handler steps
// over it and counts it.
#include "platform/kernel/firmware_call.h"

typedef unsigned int u32;
typedef unsigned char u8;

struct Registers {  // FIRMWARE_REGISTERS as the kernel lays it out
    u32 Eax, Ebx, Ecx, Edx, Esi, Edi;
    u8 Carry;
    u8 After[3];  // padding the call must leave alone
};
static_assert(__builtin_offsetof(Registers, Eax) == FIRMWARE_REGISTERS_OFFSET_EAX);
static_assert(__builtin_offsetof(Registers, Edi) == FIRMWARE_REGISTERS_OFFSET_EDI);
static_assert(__builtin_offsetof(Registers, Carry) == FIRMWARE_REGISTERS_OFFSET_CARRY);

extern "C" {
// What the stand-in firmware saw, and what it answers.
Registers seen, answer;
u32 seenSelector, seenFlags, ourSelector, checkEsp;
volatile u32 cliCount;

void RunFirmwareCall(void *entry, Registers *registers);  // the code under test (stdcall)
void StandInFirmware();
u32 CallChecked(void *entry, Registers *registers);  // nonzero: what the call broke
}

asm("    .text\n"
    "RunFirmwareCall:\n" FIRMWARE_CALL_BODY
    // The stand-in firmware: records its inputs, the selector the far call
    // pushed and its flags, answers from `answer`, and like firmware may,
    // leaves EBP changed. Returns with a far return, carry as answered.
    "StandInFirmware:\n"
    "    movl %eax, seen+0\n    movl %ebx, seen+4\n    movl %ecx, seen+8\n"
    "    movl %edx, seen+12\n   movl %esi, seen+16\n   movl %edi, seen+20\n"
    "    movl 4(%esp), %eax\n   movl %eax, seenSelector\n"
    "    pushfl\n               popl seenFlags\n"
    "    movl answer+4, %ebx\n  movl answer+8, %ecx\n  movl answer+12, %edx\n"
    "    movl answer+16, %esi\n movl answer+20, %edi\n"
    "    movl $0x0BADF00D, %ebp\n"
    "    movzbl answer+24, %eax\n"
    "    testl %eax, %eax\n"
    "    movl answer+0, %eax\n"
    "    jz 1f\n    stc\n    lret\n"
    "1:  clc\n    lret\n"
    // Calls RunFirmwareCall with known values in the registers a stdcall
    // callee must keep, the direction flag set, and checks them afterwards.
    "CallChecked:\n"
    "    pushl %ebp\n    movl %esp, %ebp\n    pushl %ebx\n    pushl %esi\n    pushl %edi\n"
    "    movl 8(%ebp), %eax\n    movl 12(%ebp), %ecx\n"
    "    pushl %ebp\n    movl %esp, checkEsp\n"
    "    pushl %ecx\n    pushl %eax\n"
    "    movl $0xB0B0B0B0, %ebx\n    movl $0x5E5E5E5E, %esi\n    movl $0xD1D1D1D1, %edi\n"
    "    movl $0xBEBEBEBE, %ebp\n"
    "    std\n"
    "    call RunFirmwareCall\n"
    "    cld\n"
    "    xorl %eax, %eax\n"
    "    cmpl checkEsp, %esp\n         je 1f\n    orl $1, %eax\n1:\n"
    "    cmpl $0xB0B0B0B0, %ebx\n      je 1f\n    orl $2, %eax\n1:\n"
    "    cmpl $0x5E5E5E5E, %esi\n      je 1f\n    orl $4, %eax\n1:\n"
    "    cmpl $0xD1D1D1D1, %edi\n      je 1f\n    orl $8, %eax\n1:\n"
    "    cmpl $0xBEBEBEBE, %ebp\n      je 1f\n    orl $16, %eax\n1:\n"
    "    movl checkEsp, %esp\n    popl %ebp\n"
    "    popl %edi\n    popl %esi\n    popl %ebx\n    popl %ebp\n    ret\n");

// ---- The few system calls a process without a C library needs ------------------------------

static int Syscall(int number, u32 a = 0, u32 b = 0, u32 c = 0, u32 d = 0) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c), "S"(d) : "memory");
    return result;
}

static u32 Length(const char *text) {
    u32 n = 0;
    while (text[n]) ++n;
    return n;
}

static void Print(const char *text) { Syscall(4, 1, reinterpret_cast<u32>(text), Length(text)); }

static void PrintNumber(u32 value) {
    char digits[11];
    int at = 10;
    digits[at] = 0;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    Print(digits + at);
}

[[noreturn]] static void Exit(int code) {
    for (;;) Syscall(1, static_cast<u32>(code));
}

// cli faults at user level; step over it and count it. Anything else is a real fault.
extern "C" void OnFault(int, void *, void *context) {
    u32 &eip = reinterpret_cast<u32 *>(context)[5 + 14];  // ucontext: 20 bytes, then gregs[REG_EIP]
    if (*reinterpret_cast<const u8 *>(eip) != 0xFA) {
        Print("unexpected fault outside cli\n");
        Exit(2);
    }
    ++eip;
    cliCount = cliCount + 1;
}

extern "C" void ReturnFromSignal();
asm("ReturnFromSignal:\n    movl $173, %eax\n    int $0x80\n");  // rt_sigreturn

static void CatchFaults() {
    struct {
        void (*handler)(int, void *, void *);
        u32 flags;
        void (*restorer)();
        u32 mask[2];
    } action = {OnFault, 0x04000004 /* SA_RESTORER | SA_SIGINFO */, ReturnFromSignal, {0, 0}};
    if (Syscall(174, 11 /* SIGSEGV */, reinterpret_cast<u32>(&action), 0, 8) != 0) {
        Print("rt_sigaction failed\n");
        Exit(2);
    }
}

// ---- Cases --------------------------------------------------------------------------------------

struct Case {
    const char *name;
    Registers in;
    Registers out;  // the firmware's answer; Carry 0 or 1
};

static const Case Cases[] = {
    // name                         in: EAX EBX ECX EDX ESI EDI          answer: EAX EBX ECX EDX ESI EDI CF
    {"BIOS32 directory, $PCI",     {0x49435024, 0, 0, 0, 0, 0, 0, {}},   {0x00000000, 0x000F0000, 0x10000, 0x0980, 0, 0, 0, {}}},
    {"find device, found",         {0xB102, 0, 0x10F7, 0x1AF4, 0, 0, 0, {}}, {0x0000, 0x003D, 0x10F7, 0x1AF4, 0, 0, 0, {}}},
    {"find device, not found",     {0xB102, 0, 0x10F7, 0x1AF4, 0, 0, 0, {}}, {0x8600, 0, 0x10F7, 0x1AF4, 0, 0, 1, {}}},
    {"every bit of every register", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, {}},
                                    {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210, 0x0F0F0F0F, 0xF0F0F0F0, 1, {}}},
};

static bool Same(const Registers &a, const Registers &b) {
    return a.Eax == b.Eax && a.Ebx == b.Ebx && a.Ecx == b.Ecx && a.Edx == b.Edx && a.Esi == b.Esi && a.Edi == b.Edi;
}

static bool RunCase(const Case &c) {
    Registers registers = c.in;
    registers.Carry = 0x5A;  // overwritten with exactly 0 or 1
    registers.After[0] = registers.After[1] = registers.After[2] = 0xA5;
    answer = c.out;
    seen = Registers{};
    const u32 before = cliCount;
    const u32 broken = CallChecked(reinterpret_cast<void *>(StandInFirmware), &registers);

    bool ok = true;
    auto expect = [&](bool condition, const char *what) {
        if (!condition) {
            Print("  ");
            Print(c.name);
            Print(": ");
            Print(what);
            Print("\n");
            ok = false;
        }
    };
    expect(Same(seen, c.in), "the firmware was not handed the input registers");
    expect(seenSelector == ourSelector, "not a far call through the caller's code selector");
    expect(!(seenFlags & 0x400), "the firmware was entered with the direction flag set");
    expect(Same(registers, c.out), "the output registers are not the firmware's");
    expect(registers.Carry == c.out.Carry, "the carry flag is not the firmware's");
    expect(registers.After[0] == 0xA5 && registers.After[1] == 0xA5 && registers.After[2] == 0xA5,
           "wrote past the carry byte");
    expect(cliCount == before + 1, "interrupts were not turned off once for the call");
    expect(!(broken & 1), "the stack is unbalanced after the stdcall return");
    expect(!(broken & 30), "a register the caller keeps (EBX, ESI, EDI, EBP) changed");
    return ok;
}

extern "C" [[noreturn]] void TestMain() {
    asm("movw %%cs, %w0" : "=r"(ourSelector));
    ourSelector &= 0xFFFF;
    CatchFaults();
    u32 passed = 0, failed = 0;
    for (const Case &c : Cases) {
        if (RunCase(c)) {
            ++passed;
        } else {
            ++failed;
        }
    }
    PrintNumber(passed);
    Print(" passed, ");
    PrintNumber(failed);
    Print(" failed\n");
    Exit(failed ? 1 : 0);
}

// The process entry: align the stack as the compiled code expects and go.
asm("    .globl _start\n"
    "_start:\n"
    "    andl $-16, %esp\n"
    "    call TestMain\n");
