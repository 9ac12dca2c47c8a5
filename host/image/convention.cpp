// Calls across the boundary between the host and a loaded image, checked:
// each returns with ESP where its convention puts it, with EBX, ESI, EDI
// and EBP as they were and the direction flag clear. A checked routine is a
// small stub that enters ConventionEnter with its descriptor; the caller's
// return address is kept on a per-thread list and replaced by
// ConventionReturn, so the callee runs on the caller's own stack frame,
// arguments untouched, and comes back through the check. A broken rule is a
// "calling convention" violation naming the routine; the caller then gets
// back the stack and the registers its convention promised, so the run goes
// on as far as the rest of the code allows.
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/image/pe_image.h"
#include "host/kernel.h"

namespace {

// What ConventionEnter and ConventionReturn save on the stack: pushal below
// pushfl. At entry the descriptor and the caller's return address follow.
struct Registers {
  std::uint32_t edi, esi, ebp, esp, ebx, edx, ecx, eax, eflags;
};
struct EntryBlock {
  Registers r;
  std::uint32_t routine;  // the descriptor; replaced by the target to jump to
  std::uint32_t ret;      // the caller's return address
};

constexpr std::uint32_t kDirectionFlag = 1u << 10;
// ConventionReturn leaves this much room below where the callee left ESP
// before it saves anything: a callee that pops more than it should must not
// find its caller's frame overwritten by the check.
constexpr std::uint32_t kReturnGap = 128;

struct Routine {
  std::uint32_t target;
  host::Convention convention;
  std::uint32_t argumentBytes;
  std::uint32_t pops;  // what the callee itself takes off the stack
  std::string name;
  std::atomic<std::uint64_t> calls{0};
};

struct Frame {
  const Routine* routine;
  std::uint32_t entryEsp;  // ESP at the call: pointing at the return address
  std::uint32_t ret;
  std::uint32_t ebx, esi, edi, ebp;
};

struct Landing {
  std::uint32_t esp;
  std::uint32_t ret;
};

thread_local std::vector<Frame> frames;
thread_local Landing landing;

const char* ConventionName(host::Convention c) {
  switch (c) {
    case host::Convention::kCdecl: return "cdecl";
    case host::Convention::kStdcall: return "stdcall";
    case host::Convention::kFastcall: return "fastcall";
  }
  return "?";
}

void Report(const std::string& text) {
  if (host::Kernel* kernel = host::Kernel::Current()) {
    kernel->Violate("calling convention", text);
    return;
  }
  std::fprintf(stderr, "calling convention: %s\n", text.c_str());
  std::abort();
}

}  // namespace

extern "C" {
void ConventionEnter();
void ConventionReturn();

void __attribute__((cdecl, used)) ConventionEnterC(EntryBlock* b) {
  auto* routine = reinterpret_cast<Routine*>(b->routine);
  routine->calls.fetch_add(1, std::memory_order_relaxed);
  frames.push_back({routine, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&b->ret)), b->ret,
                    b->r.ebx, b->r.esi, b->r.edi, b->r.ebp});
  b->ret = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&ConventionReturn));
  b->routine = routine->target;
}

void __attribute__((cdecl, used)) ConventionLeaveC(Registers* r) {
  if (frames.empty()) {
    std::fprintf(stderr, "calling convention: a return through the check with no call recorded\n");
    std::abort();
  }
  const Frame f = frames.back();
  frames.pop_back();
  const Routine& routine = *f.routine;
  const std::uint32_t arrived = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(r)) +
                                sizeof(Registers) + kReturnGap;
  const std::uint32_t expected = f.entryEsp + 4 + routine.pops;
  const std::string what = routine.name + " (" + ConventionName(routine.convention) + ", " +
                           std::to_string(routine.argumentBytes) + " bytes of arguments)";
  if (arrived != expected) {
    const auto off = static_cast<std::int32_t>(arrived - expected);
    Report(routine.name + " returned with ESP off by " + std::to_string(off) + " bytes: as " +
           ConventionName(routine.convention) + " with " + std::to_string(routine.argumentBytes) +
           " bytes of arguments it must pop " + std::to_string(routine.pops) + ", it popped " +
           std::to_string(static_cast<std::int32_t>(routine.pops) + off));
  }
  const struct {
    const char* name;
    std::uint32_t was, is;
    std::uint32_t* slot;
  } saved[] = {{"EBX", f.ebx, r->ebx, &r->ebx},
               {"ESI", f.esi, r->esi, &r->esi},
               {"EDI", f.edi, r->edi, &r->edi},
               {"EBP", f.ebp, r->ebp, &r->ebp}};
  for (const auto& s : saved) {
    if (s.was == s.is) continue;
    Report(what + " returned with " + s.name + " changed (" + host::Hex(s.was) + " -> " + host::Hex(s.is) +
           "): the callee must preserve it");
    *s.slot = s.was;
  }
  if (r->eflags & kDirectionFlag) {
    Report(what + " returned with the direction flag set: the callee must clear it");
    r->eflags &= ~kDirectionFlag;
  }
  // The caller continues where its own convention expects the stack.
  landing = {expected, f.ret};
  r->ecx = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&landing));
}
}

// Entered from a routine's stub with [esp] = its descriptor, [esp+4] = the
// caller's return address, the arguments above (and in ECX/EDX for
// fastcall). The C part notes the call and rewrites the two words, so that
// `ret` goes to the target with ConventionReturn as its return address.
// The C parts run on a 16-byte aligned stack with the direction flag clear,
// as the host's compiler assumes.
asm("    .text\n"
    "    .globl  ConventionEnter\n"
    "ConventionEnter:\n"
    "    pushfl\n"
    "    pushal\n"
    "    cld\n"
    "    movl    %esp, %ebx\n"
    "    andl    $-16, %esp\n"
    "    subl    $12, %esp\n"
    "    pushl   %ebx\n"
    "    call    ConventionEnterC\n"
    "    movl    %ebx, %esp\n"
    "    popal\n"
    "    popfl\n"
    "    ret\n"
    // Where the callee returns, ESP wherever it left it, the result in EAX
    // (and EDX). The C part checks, repairs what it must, and leaves in ECX
    // (which no convention preserves) where to resume: the stack the caller
    // expects and its own return address.
    "    .globl  ConventionReturn\n"
    "ConventionReturn:\n"
    "    subl    $128, %esp\n"  // kReturnGap
    "    pushfl\n"
    "    pushal\n"
    "    cld\n"
    "    movl    %esp, %ebx\n"
    "    andl    $-16, %esp\n"
    "    subl    $12, %esp\n"
    "    pushl   %ebx\n"
    "    call    ConventionLeaveC\n"
    "    movl    %ebx, %esp\n"
    "    popal\n"
    "    popfl\n"
    "    movl    (%ecx), %esp\n"
    "    jmp     *4(%ecx)\n");

namespace host {
namespace {

// Stubs live in executable pages of their own, never freed: a checked
// routine may be called as long as the process runs, like the images.
constexpr std::size_t kStubSize = 16;
constexpr std::size_t kStubPage = 4096;

std::mutex stubMutex;
std::uint8_t* stubPage = nullptr;
std::size_t stubUsed = kStubPage;
std::unordered_map<std::uintptr_t, const Routine*> stubs;  // stub address -> its routine
// target, convention and argument bytes -> its stub: one stub each
std::map<std::tuple<std::uintptr_t, Convention, std::uint32_t>, void*> stubOf;

}  // namespace

void* CheckedRoutine(void* target, Convention convention, std::uint32_t argumentBytes, const std::string& name) {
  if (!target) return nullptr;
  std::lock_guard lock(stubMutex);
  if (stubs.count(reinterpret_cast<std::uintptr_t>(target))) return target;  // checked already
  const auto key = std::make_tuple(reinterpret_cast<std::uintptr_t>(target), convention, argumentBytes);
  if (const auto known = stubOf.find(key); known != stubOf.end()) return known->second;
  if (stubUsed + kStubSize > kStubPage) {
    void* page = mmap(nullptr, kStubPage, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
      std::perror("mmap");
      std::abort();
    }
    stubPage = static_cast<std::uint8_t*>(page);
    stubUsed = 0;
  }
  std::uint32_t pops = 0;
  switch (convention) {
    case Convention::kCdecl: pops = 0; break;
    case Convention::kStdcall: pops = argumentBytes; break;
    // The first two arguments travel in ECX and EDX.
    case Convention::kFastcall: pops = argumentBytes > 8 ? argumentBytes - 8 : 0; break;
  }
  auto* routine = new Routine{static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(target)), convention,
                              argumentBytes, pops, name};
  std::uint8_t* stub = stubPage + stubUsed;
  stubUsed += kStubSize;
  // push imm32 (the descriptor); jmp rel32 ConventionEnter
  const auto descriptor = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(routine));
  const auto enter = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&ConventionEnter));
  const std::uint32_t relative = enter - static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(stub + 10));
  stub[0] = 0x68;
  std::memcpy(stub + 1, &descriptor, 4);
  stub[5] = 0xE9;
  std::memcpy(stub + 6, &relative, 4);
  std::memset(stub + 10, 0xCC, kStubSize - 10);
  stubs[reinterpret_cast<std::uintptr_t>(stub)] = routine;
  stubOf[key] = stub;
  return stub;
}

std::uint64_t CheckedCalls(const std::string& name) {
  std::lock_guard lock(stubMutex);
  std::uint64_t calls = 0;
  for (const auto& [stub, routine] : stubs)
    if (routine->name == name) calls += routine->calls.load(std::memory_order_relaxed);
  return calls;
}

std::string CheckedRoutineName(const void* routine) {
  std::lock_guard lock(stubMutex);
  const auto found = stubs.find(reinterpret_cast<std::uintptr_t>(routine));
  return found == stubs.end() ? std::string() : found->second->name;
}

}  // namespace host
