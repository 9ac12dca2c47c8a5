// The routines a kernel driver image may import, bound to the host's own
// implementations. The host declares each with the DDK's convention, so the
// image calls them exactly as it would call the kernel's.
#include <portcls.h>

#include <cstring>

#include "host/image/pe_image.h"

namespace host {
namespace {

// ntoskrnl.exe exports the C runtime's memcpy and memset (cdecl), which the
// DDK's RtlCopyMemory and RtlZeroMemory macros expand to.
void* __attribute__((cdecl)) KernelMemcpy(void* to, const void* from, size_t n) { return std::memcpy(to, from, n); }
void* __attribute__((cdecl)) KernelMemmove(void* to, const void* from, size_t n) { return std::memmove(to, from, n); }
void* __attribute__((cdecl)) KernelMemset(void* to, int value, size_t n) { return std::memset(to, value, n); }

template <typename F>
void* Address(F* f) {
  return reinterpret_cast<void*>(f);
}

}  // namespace

const std::vector<ImageExport>& KernelExports() {
  static const std::vector<ImageExport> exports = {
      // hal.dll
      {"hal.dll", "KeGetCurrentIrql", Address(&KeGetCurrentIrql)},
      {"hal.dll", "KeStallExecutionProcessor", Address(&KeStallExecutionProcessor)},
      {"hal.dll", "KfAcquireSpinLock", Address(&KfAcquireSpinLock)},
      {"hal.dll", "KfReleaseSpinLock", Address(&KfReleaseSpinLock)},
      {"hal.dll", "READ_PORT_UCHAR", Address(&READ_PORT_UCHAR)},
      {"hal.dll", "READ_PORT_USHORT", Address(&READ_PORT_USHORT)},
      {"hal.dll", "READ_PORT_ULONG", Address(&READ_PORT_ULONG)},
      {"hal.dll", "WRITE_PORT_UCHAR", Address(&WRITE_PORT_UCHAR)},
      {"hal.dll", "WRITE_PORT_USHORT", Address(&WRITE_PORT_USHORT)},
      {"hal.dll", "WRITE_PORT_ULONG", Address(&WRITE_PORT_ULONG)},
      // ntoskrnl.exe
      {"ntoskrnl.exe", "ExAllocatePoolWithTag", Address(&ExAllocatePoolWithTag)},
      {"ntoskrnl.exe", "ExFreePool", Address(&ExFreePool)},
      {"ntoskrnl.exe", "ExFreePoolWithTag", Address(&ExFreePoolWithTag)},
      {"ntoskrnl.exe", "InterlockedIncrement", Address(&InterlockedIncrement)},
      {"ntoskrnl.exe", "InterlockedDecrement", Address(&InterlockedDecrement)},
      {"ntoskrnl.exe", "InterlockedExchange", Address(&InterlockedExchange)},
      {"ntoskrnl.exe", "InterlockedCompareExchange", Address(&InterlockedCompareExchange)},
      {"ntoskrnl.exe", "IoAllocateIrp", Address(&IoAllocateIrp)},
      {"ntoskrnl.exe", "IoFreeIrp", Address(&IoFreeIrp)},
      {"ntoskrnl.exe", "IoInitializeIrp", Address(&IoInitializeIrp)},
      {"ntoskrnl.exe", "IoSizeOfIrp", Address(&IoSizeOfIrp)},
      {"ntoskrnl.exe", "IofCallDriver", Address(&IofCallDriver)},
      {"ntoskrnl.exe", "IofCompleteRequest", Address(&IofCompleteRequest)},
      {"ntoskrnl.exe", "KeBugCheckEx", Address(&KeBugCheckEx)},
      {"ntoskrnl.exe", "KeInitializeEvent", Address(&KeInitializeEvent)},
      {"ntoskrnl.exe", "KeSetEvent", Address(&KeSetEvent)},
      {"ntoskrnl.exe", "KeClearEvent", Address(&KeClearEvent)},
      {"ntoskrnl.exe", "KeInitializeMutex", Address(&KeInitializeMutex)},
      {"ntoskrnl.exe", "KeReleaseMutex", Address(&KeReleaseMutex)},
      {"ntoskrnl.exe", "KeWaitForSingleObject", Address(&KeWaitForSingleObject)},
      {"ntoskrnl.exe", "KeInitializeSpinLock", Address(&KeInitializeSpinLock)},
      {"ntoskrnl.exe", "KefAcquireSpinLockAtDpcLevel", Address(&KefAcquireSpinLockAtDpcLevel)},
      {"ntoskrnl.exe", "KefReleaseSpinLockFromDpcLevel", Address(&KefReleaseSpinLockFromDpcLevel)},
      {"ntoskrnl.exe", "KeQuerySystemTime", Address(&KeQuerySystemTime)},
      {"ntoskrnl.exe", "MmMapIoSpace", Address(&MmMapIoSpace)},
      {"ntoskrnl.exe", "MmUnmapIoSpace", Address(&MmUnmapIoSpace)},
      {"ntoskrnl.exe", "RtlCompareMemory", Address(&RtlCompareMemory)},
      {"ntoskrnl.exe", "RtlInitUnicodeString", Address(&RtlInitUnicodeString)},
      {"ntoskrnl.exe", "memcpy", Address(&KernelMemcpy)},
      {"ntoskrnl.exe", "memmove", Address(&KernelMemmove)},
      {"ntoskrnl.exe", "memset", Address(&KernelMemset)},
      // portcls.sys
      {"portcls.sys", "PcAddAdapterDevice", Address(&PcAddAdapterDevice)},
      {"portcls.sys", "PcDispatchIrp", Address(&PcDispatchIrp)},
      {"portcls.sys", "PcGetTimeInterval", Address(&PcGetTimeInterval)},
      {"portcls.sys", "PcInitializeAdapterDriver", Address(&PcInitializeAdapterDriver)},
      {"portcls.sys", "PcNewInterruptSync", Address(&PcNewInterruptSync)},
      {"portcls.sys", "PcNewMiniport", Address(&PcNewMiniport)},
      {"portcls.sys", "PcNewPort", Address(&PcNewPort)},
      {"portcls.sys", "PcNewRegistryKey", Address(&PcNewRegistryKey)},
      {"portcls.sys", "PcNewResourceSublist", Address(&PcNewResourceSublist)},
      {"portcls.sys", "PcNewServiceGroup", Address(&PcNewServiceGroup)},
      {"portcls.sys", "PcRegisterAdapterPowerManagement", Address(&PcRegisterAdapterPowerManagement)},
      {"portcls.sys", "PcRegisterPhysicalConnection", Address(&PcRegisterPhysicalConnection)},
      {"portcls.sys", "PcRegisterSubdevice", Address(&PcRegisterSubdevice)},
  };
  return exports;
}

}  // namespace host
