// The kernel's and the HAL's C entry points, as the driver calls them. Each
// one finds the running host::Kernel and lets it do the work and the checks.
#include <wdm.h>
#include <zatplatform.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "host/io.h"
#include "host/kernel.h"

using host::Kernel;

// ---- Pool -------------------------------------------------------------------------------

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Kernel::Require("ExAllocatePoolWithTag").GetPool().Allocate(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI ExFreePool(PVOID P) { Kernel::Require("ExFreePool").GetPool().Free(P, std::nullopt); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Kernel::Require("ExFreePoolWithTag").GetPool().Free(P, Tag); }

// ---- Memory helpers ---------------------------------------------------------------------

VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length) {
  if (Length) std::memset(Destination, 0, Length);
}

VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  if (!Length) return;
  const auto* d = static_cast<const unsigned char*>(Destination);
  const auto* s = static_cast<const unsigned char*>(Source);
  if ((d < s + Length && s < d + Length)) {
    if (Kernel* kernel = Kernel::Current())
      kernel->Violate("memory", "RtlCopyMemory with overlapping ranges " + host::Hex(Source) + " and " +
                                    host::Hex(Destination) + " (" + std::to_string(Length) + " bytes); use RtlMoveMemory");
    std::memmove(Destination, Source, Length);
    return;
  }
  std::memcpy(Destination, Source, Length);
}

VOID NTAPI RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  if (Length) std::memmove(Destination, Source, Length);
}

VOID NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
  if (Length) std::memset(Destination, Fill, Length);
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (!DestinationString) return;
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  std::size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// ---- Debug ------------------------------------------------------------------------------

ULONG DbgPrint(PCSTR Format, ...) {
  char text[1024];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format ? Format : "", args);
  va_end(args);
  if (Kernel* kernel = Kernel::Current())
    kernel->DebugPrint(text);
  else
    std::fputs(text, stderr);
  return 0;
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  Kernel::Require("KeBugCheckEx").Violate("bug check", host::Hex(BugCheckCode) + " (" + host::Hex(P1) + ", " +
                                                           host::Hex(P2) + ", " + host::Hex(P3) + ", " +
                                                           host::Hex(P4) + ")");
}

VOID HostPagedCodeCheck(PCSTR Function) { Kernel::Require("PAGED_CODE").PagedCodeCheck(Function); }

// ---- IRQL -------------------------------------------------------------------------------

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Kernel::Require("KeGetCurrentIrql").Irql(); }

VOID FASTCALL KfRaiseIrql_(KIRQL NewIrql, PKIRQL OldIrql) {
  Kernel::Require("KfRaiseIrql").RaiseIrql(NewIrql, OldIrql, "KfRaiseIrql");
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  Kernel::Require("KeRaiseIrql").RaiseIrql(NewIrql, OldIrql, "KeRaiseIrql");
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) { Kernel::Require("KeLowerIrql").LowerIrql(NewIrql, "KeLowerIrql"); }

// ---- Dispatcher objects -----------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Kernel::Require("KeInitializeEvent").InitializeEvent(Event, Type, State);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) { return Kernel::Require("KeSetEvent").SetEvent(Event); }

VOID NTAPI KeClearEvent(PRKEVENT Event) { Kernel::Require("KeClearEvent").ClearEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return Kernel::Require("KeReadStateEvent").ReadStateEvent(Event); }

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) { Kernel::Require("KeInitializeMutex").InitializeMutex(Mutex); }

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  return Kernel::Require("KeReleaseMutex").ReleaseMutex(Mutex, Wait != FALSE);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  return Kernel::Require("KeWaitForSingleObject").WaitForSingleObject(Object, Timeout, Alertable != FALSE);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  Kernel& kernel = Kernel::Require("KeInitializeSpinLock");
  if (!SpinLock) {
    kernel.Violate("spin lock", "KeInitializeSpinLock with a null lock");
    return;
  }
  if (kernel.SpinLockHeld(SpinLock)) {
    kernel.Violate("spin lock", "KeInitializeSpinLock of " + kernel.ObjectName(SpinLock, "spin lock") +
                                    " while it is held");
    return;
  }
  *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  return Kernel::Require("KfAcquireSpinLock").AcquireSpinLock(SpinLock, false, "KeAcquireSpinLock");
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Kernel::Require("KfReleaseSpinLock").ReleaseSpinLock(SpinLock, NewIrql, false, "KeReleaseSpinLock");
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel::Require("KeAcquireSpinLockAtDpcLevel").AcquireSpinLock(SpinLock, true, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Kernel::Require("KeReleaseSpinLockFromDpcLevel")
      .ReleaseSpinLock(SpinLock, DISPATCH_LEVEL, true, "KeReleaseSpinLockFromDpcLevel");
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  Kernel::Require("KeStallExecutionProcessor").Stall(MicroSeconds);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = Kernel::Require("KeQuerySystemTime").SystemTime();
}

// ---- Interlocked operations -------------------------------------------------------------

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG FASTCALL InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  LONG expected = Comparand;
  __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}

// ---- Port I/O ---------------------------------------------------------------------------

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  return static_cast<UCHAR>(
      Kernel::Require("READ_PORT_UCHAR").PortRead(reinterpret_cast<ULONG_PTR>(Port), 1, "READ_PORT_UCHAR"));
}

USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
  return static_cast<USHORT>(
      Kernel::Require("READ_PORT_USHORT").PortRead(reinterpret_cast<ULONG_PTR>(Port), 2, "READ_PORT_USHORT"));
}

ULONG NTAPI READ_PORT_ULONG(PULONG Port) {
  return Kernel::Require("READ_PORT_ULONG").PortRead(reinterpret_cast<ULONG_PTR>(Port), 4, "READ_PORT_ULONG");
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  Kernel::Require("WRITE_PORT_UCHAR").PortWrite(reinterpret_cast<ULONG_PTR>(Port), 1, Value, "WRITE_PORT_UCHAR");
}

VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  Kernel::Require("WRITE_PORT_USHORT").PortWrite(reinterpret_cast<ULONG_PTR>(Port), 2, Value, "WRITE_PORT_USHORT");
}

VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
  Kernel::Require("WRITE_PORT_ULONG").PortWrite(reinterpret_cast<ULONG_PTR>(Port), 4, Value, "WRITE_PORT_ULONG");
}

// ---- Physical memory ----------------------------------------------------------------------

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
  return Kernel::Require("MmMapIoSpace")
      .MapIoSpace(static_cast<std::uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  Kernel::Require("MmUnmapIoSpace").UnmapIoSpace(BaseAddress, NumberOfBytes);
}

VOID NTAPI CallFirmwareEntry(PVOID EntryPoint, PFIRMWARE_REGISTERS Registers) {
  Kernel& kernel = Kernel::Require("CallFirmwareEntry");
  if (!Registers) {
    kernel.Violate("firmware", "CallFirmwareEntry with a null register block");
    return;
  }
  kernel.CallFirmware(EntryPoint, &Registers->Eax, &Registers->Ebx, &Registers->Ecx, &Registers->Edx,
                      &Registers->Esi, &Registers->Edi, &Registers->Carry);
}

// ---- IRPs -------------------------------------------------------------------------------------

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  return Kernel::Require("IoAllocateIrp").Io().Allocate(StackSize, false);
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  Kernel::Require("IoInitializeIrp").Io().Initialize(Irp, PacketSize, StackSize);
}

VOID NTAPI IoFreeIrp(PIRP Irp) { Kernel::Require("IoFreeIrp").Io().Free(Irp); }

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Kernel::Require("IoCallDriver").Io().Call(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel::Require("IoCompleteRequest").Io().Complete(Irp, PriorityBoost);
}

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize) { return host::IoManager::SizeOfIrp(StackSize); }
