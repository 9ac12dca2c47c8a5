#include "host/io.h"

#include <cstdlib>
#include <cstring>

#include "host/image_boundary.h"
#include "host/kernel.h"
#include "host/pool.h"

namespace host {

namespace {

constexpr UCHAR kPendingReturned = 0x01;  // SL_PENDING_RETURNED, set by IoMarkIrpPending
constexpr ULONG kIrpTag = MakeTag("Irp ");
constexpr std::size_t kQuarantinedPackets = 1024;

IO_STACK_LOCATION* StackBase(PIRP irp) { return reinterpret_cast<IO_STACK_LOCATION*>(irp + 1); }

}  // namespace

IoManager::~IoManager() {
  for (auto& [irp, packet] : live_) std::free(packet.memory);
  for (auto& [irp, memory] : quarantine_) std::free(memory);
}

USHORT IoManager::SizeOfIrp(CCHAR stackSize) {
  const int stack = stackSize < 0 ? 0 : stackSize;
  return static_cast<USHORT>(sizeof(IRP) + stack * sizeof(IO_STACK_LOCATION));
}

IoManager::Packet* IoManager::Find(PIRP irp) {
  auto found = live_.find(irp);
  return found == live_.end() ? nullptr : &found->second;
}

const IoManager::Packet* IoManager::Find(PIRP irp) const {
  auto found = live_.find(irp);
  return found == live_.end() ? nullptr : &found->second;
}

PIRP IoManager::Allocate(CCHAR stackSize, bool hostOwned) {
  if (!hostOwned && !kernel_.CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp")) return nullptr;
  if (stackSize < 1) {
    kernel_.Violate("irp", "IoAllocateIrp with " + std::to_string(stackSize) + " stack locations");
    return nullptr;
  }
  if (!hostOwned && (failAllocations_ || kernel_.GetPool().ShouldFail(kIrpTag))) return nullptr;
  const USHORT size = SizeOfIrp(stackSize);
  auto* memory = static_cast<unsigned char*>(std::calloc(1, size));
  if (!memory) return nullptr;
  PIRP irp = reinterpret_cast<PIRP>(memory);
  {
    std::lock_guard lock(mutex_);
    ++allocations_;
    freed_.erase(irp);
    live_[irp] = Packet{memory, stackSize, hostOwned, State::Idle, {}};
  }
  Initialize(irp, size, stackSize);
  return irp;
}

void IoManager::Initialize(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  if (!irp) {
    kernel_.Violate("irp", "IoInitializeIrp with a null IRP");
    return;
  }
  std::lock_guard lock(mutex_);
  Packet* packet = Find(irp);
  if (packet) {
    if (stackSize > packet->stackCapacity || stackSize < 1) {
      kernel_.Violate("irp", "IoInitializeIrp of " + Hex(irp) + " with " + std::to_string(stackSize) +
                                 " stack locations; it was allocated with " + std::to_string(packet->stackCapacity));
      return;
    }
    if (packet->state == State::InFlight) {
      kernel_.Violate("irp", "IoInitializeIrp of " + Hex(irp) + " while it is still in a driver");
      return;
    }
    // The packet size the caller passes is the target's; the host's packet
    // layout differs, so the whole host packet is re-initialised.
    std::memset(irp, 0, SizeOfIrp(packet->stackCapacity));
    packet->state = State::Idle;
    packet->pendingMarked.clear();
  } else {
    // Memory of the caller's own: the kernel trusts the size it is given.
    std::memset(irp, 0, sizeof(IRP));
  }
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
}

void IoManager::Free(PIRP irp) {
  if (!irp) {
    kernel_.Violate("irp", "IoFreeIrp of a null IRP");
    return;
  }
  std::lock_guard lock(mutex_);
  Packet* packet = Find(irp);
  if (!packet) {
    if (freed_.count(irp))
      kernel_.Violate("irp", "IRP " + Hex(irp) + " freed twice");
    else
      kernel_.Violate("irp", "IoFreeIrp of " + Hex(irp) + ", which IoAllocateIrp did not return");
    return;
  }
  if (packet->state == State::InFlight) {
    kernel_.Violate("irp", "IoFreeIrp of " + Hex(irp) + " while it is still in a driver (not completed)");
    return;
  }
  std::memset(packet->memory, 0xDF, SizeOfIrp(packet->stackCapacity));
  quarantine_[irp] = packet->memory;
  live_.erase(irp);
  freed_.insert(irp);
  if (quarantine_.size() > kQuarantinedPackets) {
    auto oldest = quarantine_.begin();
    freed_.erase(oldest->first);
    std::free(oldest->second);
    quarantine_.erase(oldest);
  }
}

NTSTATUS IoManager::Call(PDEVICE_OBJECT device, PIRP irp) {
  if (!kernel_.CheckIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver")) return STATUS_INVALID_DEVICE_STATE;
  if (!device || !device->DriverObject) {
    kernel_.Violate("irp", "IoCallDriver to " + Hex(device) + ", which is no device object of a driver");
    return STATUS_INVALID_PARAMETER;
  }
  int location = 0;
  {
    std::lock_guard lock(mutex_);
    Packet* packet = Find(irp);
    if (!packet) {
      kernel_.Violate("irp", "IoCallDriver with " + Hex(irp) + (freed_.count(irp) ? ", which was freed" :
                                                                 ", which IoAllocateIrp did not return"));
      return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
      kernel_.Violate("irp", "IoCallDriver of " + Hex(irp) + " to " + Hex(device) +
                                 " with no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
      return STATUS_INVALID_PARAMETER;
    }
    packet->state = State::InFlight;
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    location = irp->CurrentLocation;
  }
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  const UCHAR major = stack->MajorFunction;
  PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? device->DriverObject->MajorFunction[major] : nullptr;
  dispatch = FromImage(dispatch, "dispatch routine");
  if (!dispatch) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    Complete(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const NTSTATUS status = dispatch(device, irp);
  if (status == STATUS_PENDING) {
    std::lock_guard lock(mutex_);
    Packet* packet = Find(irp);
    if (packet && packet->state == State::InFlight && !(stack->Control & kPendingReturned) &&
        !packet->pendingMarked.count(location)) {
      kernel_.Violate("irp", "a dispatch routine returned STATUS_PENDING for " + Hex(irp) +
                                 " without IoMarkIrpPending");
    }
  }
  return status;
}

void IoManager::Complete(PIRP irp, CCHAR) {
  if (!kernel_.CheckIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest")) return;
  {
    std::lock_guard lock(mutex_);
    Packet* packet = Find(irp);
    if (!packet) {
      kernel_.Violate("irp", "IoCompleteRequest of " + Hex(irp) + (freed_.count(irp) ? ", which was freed" :
                                                                   ", which IoAllocateIrp did not return"));
      return;
    }
    if (packet->state != State::InFlight) {
      kernel_.Violate("irp", "IoCompleteRequest of " + Hex(irp) + ", which is not in a driver (completed twice?)");
      return;
    }
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    kernel_.Violate("irp", "IoCompleteRequest of " + Hex(irp) + " with the status STATUS_PENDING");
  }
  // Walk up the stack: each location's completion routine runs in the
  // context of the driver above it, as the kernel does.
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    const int location = irp->CurrentLocation;
    irp->PendingReturned = (stack->Control & kPendingReturned) ? TRUE : FALSE;
    if (irp->PendingReturned) {
      std::lock_guard lock(mutex_);
      if (Packet* packet = Find(irp)) packet->pendingMarked.insert(location);
    }
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
    const NTSTATUS status = irp->IoStatus.Status;
    const bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                        (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                        (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = FromImage(stack->CompletionRoutine, "completion routine");
    PVOID context = stack->Context;
    std::memset(stack, 0, sizeof(*stack));
    if (invoke && routine) {
      PDEVICE_OBJECT upper =
          irp->CurrentLocation > irp->StackCount ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      const NTSTATUS result = routine(upper, irp, context);
      if (!IsLive(irp)) {
        if (result != STATUS_MORE_PROCESSING_REQUIRED)
          kernel_.Violate("irp", "a completion routine freed " + Hex(irp) +
                                     " but did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The packet belongs to the routine's driver again: still inside a
        // driver's stack, or back with the driver that allocated it.
        std::lock_guard lock(mutex_);
        if (Packet* packet = Find(irp))
          packet->state = irp->CurrentLocation > irp->StackCount ? State::Reclaimed : State::InFlight;
        return;
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      irp->Tail.Overlay.CurrentStackLocation->Control |= kPendingReturned;
    }
  }
  std::lock_guard lock(mutex_);
  Packet* packet = Find(irp);
  if (!packet) return;  // a completion routine freed it (and said so with MORE_PROCESSING_REQUIRED, or not)
  packet->state = State::Completed;
  if (!packet->hostOwned) {
    kernel_.Violate("irp", "IRP " + Hex(irp) + ", allocated by a driver, completed all the way up; its completion "
                               "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
}

bool IoManager::IsLive(PIRP irp) const {
  std::lock_guard lock(mutex_);
  return Find(irp) != nullptr;
}

IoManager::State IoManager::StateOf(PIRP irp) const {
  std::lock_guard lock(mutex_);
  const Packet* packet = Find(irp);
  return packet ? packet->state : State::Idle;
}

std::size_t IoManager::LiveCount() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

void IoManager::ReportLeaks() {
  std::lock_guard lock(mutex_);
  std::size_t leaked = 0;
  for (const auto& [irp, packet] : live_)
    if (!packet.hostOwned) ++leaked;
  if (leaked) kernel_.Violate("irp", "leak of " + std::to_string(leaked) + " IRP(s) at teardown");
  for (auto& [irp, packet] : live_) std::free(packet.memory);
  live_.clear();
}

}  // namespace host
