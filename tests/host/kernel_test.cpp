// IRQL, locks, waits, interrupts at port-access boundaries and deferred work.
#include <portcls.h>

#include "host/interrupt_sync.h"
#include "host/resource_list.h"
#include "host/testing.h"

namespace {

class KernelRules : public host::testing::KernelTest {};

TEST_F(KernelRules, WaitingAtDispatchLevelWithATimeOutIsAViolation) {
  ExpectViolation("IRQL: KeWaitForSingleObject with a non-zero time-out at DISPATCH_LEVEL");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  timeout.QuadPart = 0;  // a zero time-out is allowed there
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(Violations().All().size(), 1u);
}

TEST_F(KernelRules, PagedCodeAtDispatchLevelNamesTheFunction) {
  ExpectViolation("IRQL: pageable code (PagedFunction) reached at DISPATCH_LEVEL");
  auto PagedFunction = [] { HostPagedCodeCheck("PagedFunction"); };
  PagedFunction();  // fine at passive level
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PagedFunction();
  KeLowerIrql(old);
}

TEST_F(KernelRules, MutexIsRecursiveForItsOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(mutex.Header.SignalState, 0);  // still owned once
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(mutex.Header.SignalState, 1);
}

TEST_F(KernelRules, ReleasingAMutexNobodyOwnsIsAViolation) {
  ExpectViolation("mutex: KeReleaseMutex of CodecMutex by a thread that does not own it");
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  GetKernel().NameObject(&mutex, "CodecMutex");
  KeReleaseMutex(&mutex, FALSE);
}

// KeReleaseMutex with Wait TRUE returns at DISPATCH_LEVEL and must be followed
// at once by a wait, which brings the level back; anything else in between
// is the caller's bug.
TEST_F(KernelRules, AReleaseThatPromisesAWaitLeavesDispatchLevelUntilTheWait) {
  ExpectViolation("wait: KeReleaseMutex with Wait TRUE must be followed at once by a KeWaitXxx call; KeSetEvent came first");
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, TRUE);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Violations().All().size(), 0u);

  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, TRUE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Violations().All().size(), 1u);
}

// A routine that leaves its caller at a raised level, or owing the wait its
// release promised, is named; the level is put back for the rest of the run.
TEST_F(KernelRules, ARoutineReturnsAtTheLevelItWasCalledAt) {
  ExpectViolation("IRQL: SetState returned at DISPATCH_LEVEL instead of PASSIVE_LEVEL");
  ExpectViolation("wait: KeReleaseMutex with Wait TRUE must be followed at once by a KeWaitXxx call; SetState returned first");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  host::Kernel::Current()->CheckReturnedAt(PASSIVE_LEVEL, "SetState");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Violations().All().size(), 1u);

  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, TRUE);
  host::Kernel::Current()->CheckReturnedAt(PASSIVE_LEVEL, "SetState");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Violations().All().size(), 3u);
  host::Kernel::Current()->CheckReturnedAt(PASSIVE_LEVEL, "SetState");
  EXPECT_EQ(Violations().All().size(), 3u);
}

// An alertable wait can be ended by an alert before its object is signalled:
// the host alerts it at once, so a caller that cannot cope shows.
TEST_F(KernelRules, AnAlertableWaitOnAnUnsetEventEndsAlerted) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr), STATUS_ALERTED);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr), STATUS_SUCCESS);
}

TEST_F(KernelRules, LockOrderInversionIsReportedWithNames) {
  ExpectViolation("lock order: StateMutex taken while holding MappingLock after the opposite order was seen");
  KMUTEX stateMutex;
  KSPIN_LOCK mappingLock;
  KeInitializeMutex(&stateMutex, 0);
  KeInitializeSpinLock(&mappingLock);
  GetKernel().NameObject(&stateMutex, "StateMutex");
  GetKernel().NameObject(&mappingLock, "MappingLock");
  KIRQL old;
  // StateMutex, then MappingLock: the order is recorded.
  KeWaitForSingleObject(&stateMutex, Executive, KernelMode, FALSE, nullptr);
  KeAcquireSpinLock(&mappingLock, &old);
  KeReleaseSpinLock(&mappingLock, old);
  KeReleaseMutex(&stateMutex, FALSE);
  EXPECT_TRUE(Violations().All().empty());
  // The opposite order. (Waiting at dispatch level is its own violation; a
  // zero time-out keeps this test to the order rule.)
  KeAcquireSpinLock(&mappingLock, &old);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KeWaitForSingleObject(&stateMutex, Executive, KernelMode, FALSE, &zero);
  KeReleaseMutex(&stateMutex, FALSE);
  KeReleaseSpinLock(&mappingLock, old);
}

TEST_F(KernelRules, SpinLockTakenTwiceIsADeadlockNotAHang) {
  ExpectViolation("spin lock: MappingLock acquired again while already held");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  GetKernel().NameObject(&lock, "MappingLock");
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KernelRules, ReleasingASpinLockThatIsNotHeld) {
  ExpectViolation("spin lock: KeReleaseSpinLock of spin lock 0x");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
}

// A wait without a time-out that nothing pending can end fails at once, even
// while the machine still has hardware events ahead; and a mutex held by the
// code a deferred routine preempted is not the routine's to take.
TEST_F(KernelRules, AWaitNothingPendingCanEndIsADeadlockReportedAtOnce) {
  ExpectViolation("deadlock: passive code waits without a time-out on DataPathIdle, which nothing pending");
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  host::Kernel& kernel = GetKernel();
  kernel.NameObject(&event, "DataPathIdle");
  Machine().GetClock().ScheduleAfter(sim::kTicksPerSecond, [] {});
  const sim::Ticks before = kernel.Now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  EXPECT_EQ(kernel.Now(), before);

  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  NTSTATUS polled = STATUS_SUCCESS;
  kernel.QueueWork(kernel.Now(), host::Kernel::WorkLevel::Dispatch, [&] {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    polled = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
  }, "poll");
  kernel.RunDueWork();
  EXPECT_EQ(polled, STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
}

// A fault the machine records is a violation named after whose it is, unless
// the test that provokes it declared it expected.
TEST_F(KernelRules, AMachineFaultIsAViolationUnlessDeclaredExpected) {
  ExpectViolation("codec: codec command 0x02 lost: port busy");
  const std::uint32_t index = Machine().Config().ioBase + 0x82;  // the codec index port
  Machine().PortWrite(index, 1, 0x02);  // a command starts: the port is busy for a while
  Machine().PortWrite(index, 1, 0x02);  // written while busy: lost
  GetKernel().ExpectMachineFault("codec command 0x04 lost");
  GetKernel().RunFor(sim::kTicksPerMillisecond);
  Machine().PortWrite(index, 1, 0x04);
  Machine().PortWrite(index, 1, 0x04);
  EXPECT_EQ(GetKernel().ExpectedMachineFaults(), 1u);
  EXPECT_EQ(Violations().Count("codec:"), 1u);
}

// The device's DMA may reach common buffers and mappings that are out, and
// nothing else: a channel started on a table nobody opened to it reads the
// table outside any mapping, a violation; inside an open window it is fine.
TEST_F(KernelRules, ADmaReadOutsideAnyMappingIsAViolation) {
  ExpectViolation("dma: read outside any mapping");
  sim::PhysicalMemory& memory = Machine().Memory();
  const std::uint32_t table = *memory.Allocate(0x1000, 0x1000);
  memory.Write32(table + 4, 0x80000000u);  // an empty EOL entry
  const std::uint32_t sgd = Machine().Config().ioBase;
  auto start = [&] {
    Machine().PortWrite(sgd + 0x04, 4, table);
    Machine().PortWrite(sgd + 0x01, 1, 0x80);
    GetKernel().RunFor(sim::kTicksPerMillisecond);
    Machine().PortWrite(sgd + 0x00, 1, 0x03);  // clear the EOL event
  };
  start();
  EXPECT_EQ(Violations().Count("dma: read outside any mapping"), 1u);
  GetKernel().OpenDmaWindow(table, 0x1000);
  GetKernel().OpenDmaWindow(table, 8);  // windows may overlap; each is closed on its own
  GetKernel().CloseDmaWindow(table, 0x1000);
  start();
  EXPECT_EQ(Violations().Count("dma:"), 1u) << "inside an open window";
  GetKernel().CloseDmaWindow(table, 8);
  start();
  EXPECT_EQ(Violations().Count("dma: read outside any mapping"), 2u) << "once the window is closed";
  memory.Free(table);
}

TEST_F(KernelRules, ATimedWaitMovesTheClockByItsTimeOut) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const ULONGLONG start = PcGetTimeInterval(0);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -5'000'000;  // half a second
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(PcGetTimeInterval(start), 5'000'000u);
}

TEST_F(KernelRules, AWaitRunsPendingWorkThatSetsTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  host::Kernel& kernel = GetKernel();
  kernel.QueueWork(kernel.Now() + 1000, host::Kernel::WorkLevel::Passive,
                   [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, "");
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(kernel.Now(), 1000u);
  EXPECT_EQ(event.Header.SignalState, 0);  // a synchronization event resets as it satisfies the wait
}

TEST_F(KernelRules, DeferredWorkRunsAtDispatchWhenTheLevelDrops) {
  host::Kernel& kernel = GetKernel();
  KIRQL seen = PASSIVE_LEVEL;
  int runs = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  kernel.QueueWork(kernel.Now(), host::Kernel::WorkLevel::Dispatch, [&] {
    seen = KeGetCurrentIrql();
    ++runs;
  }, "test");
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));  // a boundary at dispatch level: not yet
  EXPECT_EQ(runs, 0);
  KeLowerIrql(old);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(seen, DISPATCH_LEVEL);
}

TEST_F(KernelRules, StallAndPortAccessesAdvanceTheVirtualClock) {
  const ULONGLONG start = PcGetTimeInterval(0);
  KeStallExecutionProcessor(5);
  EXPECT_EQ(PcGetTimeInterval(start), 50u);
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  EXPECT_EQ(PcGetTimeInterval(start), 60u);
}

// ---- Interrupt delivery ------------------------------------------------------

class InterruptDelivery : public host::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    GetKernel().SetInterruptLineProbe([this] { return line_; });
    PRESOURCELIST parent = nullptr;
    ASSERT_EQ(host::ResourceList::CreateSublist(&parent, NonPagedPool, 1), STATUS_SUCCESS);
    CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
    irq.Type = CmResourceTypeInterrupt;
    irq.u.Interrupt.Level = DEVICE_LEVEL;
    irq.u.Interrupt.Vector = host::Kernel::TranslatedVector(Machine().Config().irq);
    parent->AddEntry(&irq, &irq);
    ASSERT_EQ(PcNewInterruptSync(&sync_, nullptr, parent, 0, InterruptSyncModeNormal), STATUS_SUCCESS);
    parent->Release();
    ASSERT_EQ(sync_->RegisterServiceRoutine(Routine, this, FALSE), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (sync_) {
      sync_->Disconnect();
      sync_->Release();
    }
    KernelTest::TearDown();
  }
  static NTSTATUS NTAPI Routine(PINTERRUPTSYNC, PVOID context) {
    auto* self = static_cast<InterruptDelivery*>(context);
    self->levels_.push_back(KeGetCurrentIrql());
    self->line_ = false;  // acknowledged
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Synchronized(PINTERRUPTSYNC, PVOID context) {
    auto* self = static_cast<InterruptDelivery*>(context);
    self->line_ = true;  // the device interrupts while the routine runs
    READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
    self->deliveredInside_ = !self->levels_.empty();
    return STATUS_SUCCESS;
  }

  PINTERRUPTSYNC sync_ = nullptr;
  bool line_ = false;
  bool deliveredInside_ = false;
  std::vector<KIRQL> levels_;
};

TEST_F(InterruptDelivery, DeliveredAtTheNextPortAccessAtDeviceLevel) {
  ASSERT_EQ(sync_->Connect(), STATUS_SUCCESS);
  line_ = true;
  EXPECT_TRUE(levels_.empty());
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  ASSERT_EQ(levels_.size(), 1u);
  EXPECT_EQ(levels_[0], DEVICE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Machine().GetTrace().Matching([](const sim::TraceEntry& e) { return e.tag == "irq"; }).size(), 1u);
}

TEST_F(InterruptDelivery, NotDeliveredWhileDisconnected) {
  line_ = true;
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  EXPECT_TRUE(levels_.empty());
  ASSERT_EQ(sync_->Connect(), STATUS_SUCCESS);  // pending: taken as soon as connected
  EXPECT_EQ(levels_.size(), 1u);
}

TEST_F(InterruptDelivery, CallSynchronizedRoutineHoldsTheInterruptOffUntilItReturns) {
  ASSERT_EQ(sync_->Connect(), STATUS_SUCCESS);
  EXPECT_EQ(sync_->CallSynchronizedRoutine(Synchronized, this), STATUS_SUCCESS);
  EXPECT_FALSE(deliveredInside_);
  EXPECT_EQ(levels_.size(), 1u);  // delivered on the way out
}

TEST_F(InterruptDelivery, AnInterruptThatIsNeverAcknowledgedIsAStorm) {
  ExpectViolation("interrupt: storm");
  ASSERT_EQ(sync_->Connect(), STATUS_SUCCESS);
  GetKernel().SetInterruptLineProbe([] { return true; });
  for (int i = 0; i < 1100; ++i) READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  EXPECT_EQ(GetKernel().InterruptsDelivered(), 1000u);
}

TEST_F(KernelRules, AConnectedInterruptAtTeardownIsReported) {
  ExpectViolation("interrupt: 1 interrupt(s) still connected at teardown");
  ExpectViolation("pool: leak of 1 allocation at teardown: PcIs 1 x");
  PRESOURCELIST list = nullptr;
  ASSERT_EQ(host::ResourceList::CreateSublist(&list, NonPagedPool, 1), STATUS_SUCCESS);
  CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
  irq.Type = CmResourceTypeInterrupt;
  irq.u.Interrupt.Vector = host::Kernel::TranslatedVector(Machine().Config().irq);
  list->AddEntry(&irq, &irq);
  PINTERRUPTSYNC sync = nullptr;
  ASSERT_EQ(PcNewInterruptSync(&sync, nullptr, list, 0, InterruptSyncModeNormal), STATUS_SUCCESS);
  list->Release();
  ASSERT_EQ(sync->Connect(), STATUS_SUCCESS);  // and never released
}

}  // namespace
