// What the image does that user mode cannot, trapped and carried out the way
// the kernel would see it done. The image's firmware call runs its own code:
// `cli` (privileged here) is stepped over, and its far call into a mapped
// firmware entry -- host memory without code -- faults on arrival; the fault
// is turned into a call of the host's firmware, which answers in the
// registers and the carry and returns to the image with a far return.
#include <signal.h>
#include <ucontext.h>

#include <zatplatform.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/image/pe_image.h"

namespace {

// Every image loaded in the process, as [base, end): an image stays mapped
// for the life of the process once loaded. Only the loader adds to it, never
// while an image's code runs.
struct Range {
  std::uintptr_t base, end;
};
std::vector<Range> images;
std::uint32_t imageCodeSelector = 0;
void* pendingEntry = nullptr;  // the entry the last far call went to
struct sigaction previous;

constexpr std::uint8_t kCli = 0xFA, kSti = 0xFB;

bool InImage(std::uintptr_t address) {
  for (const Range& r : images)
    if (address >= r.base && address < r.end) return true;
  return false;
}

}  // namespace

extern "C" {
void ImageFirmwareTrap();
// Runs the pending firmware call through the host; cdecl, called by the trap.
void __attribute__((cdecl, used)) ImageFirmwareCall(PFIRMWARE_REGISTERS registers) {
  CallFirmwareEntry(pendingEntry, registers);
}
}

// Entered in place of the firmware, with the far call's return (offset,
// selector) on the stack and the firmware's inputs in the registers: builds
// the register block, lets the host answer, loads the answer and the carry,
// and returns as firmware does.
asm("    .text\n"
    "ImageFirmwareTrap:\n"
    "    subl    $4, %esp\n"  // Carry and its padding (offset 24)
    "    pushl   %edi\n"
    "    pushl   %esi\n"
    "    pushl   %edx\n"
    "    pushl   %ecx\n"
    "    pushl   %ebx\n"
    "    pushl   %eax\n"
    "    movl    %esp, %eax\n"
    "    pushl   %eax\n"
    "    call    ImageFirmwareCall\n"
    "    addl    $4, %esp\n"
    "    popl    %eax\n"
    "    popl    %ebx\n"
    "    popl    %ecx\n"
    "    popl    %edx\n"
    "    popl    %esi\n"
    "    popl    %edi\n"
    "    btl     $0, (%esp)\n"  // the carry the firmware answered
    "    leal    4(%esp), %esp\n"
    "    lret\n");

namespace {

void OnFault(int signal, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  greg_t* regs = uc->uc_mcontext.gregs;
  const auto pc = static_cast<std::uintptr_t>(regs[REG_EIP]);
  if (InImage(pc)) {
    const std::uint8_t op = *reinterpret_cast<const std::uint8_t*>(pc);
    if (op == kCli || op == kSti) {
      // The host delivers interrupts only between the image's calls into it:
      // turning them off around the firmware call changes nothing here.
      regs[REG_EIP] = static_cast<greg_t>(pc + 1);
      return;
    }
  } else {
    // Just arrived by a far call from the image: the callee is the firmware.
    const auto* stack = reinterpret_cast<const std::uint32_t*>(regs[REG_ESP]);
    if (InImage(stack[0]) && (stack[1] & 0xFFFF) == imageCodeSelector &&
        info->si_addr == reinterpret_cast<void*>(pc)) {
      pendingEntry = reinterpret_cast<void*>(pc);
      regs[REG_EIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&ImageFirmwareTrap));
      return;
    }
  }
  // Not ours: the fault takes its ordinary course.
  sigaction(signal, &previous, nullptr);
}

}  // namespace

namespace host {

bool InLoadedImage(std::uintptr_t address) { return InImage(address); }

void TrapImageInstructions(const PeImage& image) {
  images.push_back({image.Base(), image.Base() + image.Size()});
  if (images.size() > 1) return;
  std::uint16_t cs = 0;
  asm("movw %%cs, %0" : "=r"(cs));
  imageCodeSelector = cs;
  struct sigaction action = {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSEGV, &action, &previous) != 0) {
    std::perror("sigaction");
    std::abort();
  }
}

}  // namespace host
