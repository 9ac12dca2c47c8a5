// IRPs: the completion walk, the pending protocol and the I/O manager's checks.
#include <wdm.h>

#include "host/io.h"
#include "host/testing.h"

namespace {

// A one-device stack whose dispatch routine the test chooses.
class IrpTest : public host::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_.MajorFunction[IRP_MJ_PNP] = Dispatch;
    device_.DriverObject = &driver_;
    device_.StackSize = 1;
    current_ = this;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) { return current_->onDispatch_(irp); }
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<IrpTest*>(context);
    ++self->completions_;
    self->pendingSeen_ = irp->PendingReturned;
    return self->completionResult_;
  }
  PIRP NewIrp() {
    PIRP irp = IoAllocateIrp(2, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    return irp;
  }

  static inline IrpTest* current_ = nullptr;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
  std::function<NTSTATUS(PIRP)> onDispatch_;
  int completions_ = 0;
  BOOLEAN pendingSeen_ = FALSE;
  NTSTATUS completionResult_ = STATUS_MORE_PROCESSING_REQUIRED;
};

struct InvokeCase {
  NTSTATUS status;
  bool onSuccess, onError, onCancel, cancelled;
  bool called;
};

class CompletionFlags : public IrpTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionFlags, RoutineRunsOnlyWhenItsFlagMatches) {
  const InvokeCase c = GetParam();
  onDispatch_ = [&](PIRP irp) {
    irp->IoStatus.Status = c.status;
    irp->Cancel = c.cancelled;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return c.status;
  };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, Completion, this, c.onSuccess, c.onError, c.onCancel);
  EXPECT_EQ(IoCallDriver(&device_, irp), c.status);
  EXPECT_EQ(completions_, c.called ? 1 : 0);
  if (!c.called) ExpectViolation("completed all the way up");  // nobody took it back
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Irp, CompletionFlags, ::testing::Values(
    InvokeCase{STATUS_SUCCESS, true, false, false, false, true},
    InvokeCase{STATUS_SUCCESS, false, true, true, false, false},
    InvokeCase{STATUS_UNSUCCESSFUL, false, true, false, false, true},
    InvokeCase{STATUS_UNSUCCESSFUL, true, false, false, false, false},
    InvokeCase{STATUS_CANCELLED, false, false, true, true, true},
    InvokeCase{STATUS_CANCELLED, true, false, false, true, false}));

TEST_F(IrpTest, PendingPathMarksAndReportsPendingReturned) {
  PIRP held = nullptr;
  onDispatch_ = [&](PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(&device_, irp), STATUS_PENDING);
  EXPECT_EQ(GetKernel().Io().StateOf(irp), host::IoManager::State::InFlight);
  held->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(pendingSeen_);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingWithoutIoMarkIrpPendingIsAViolation) {
  ExpectViolation("irp: a dispatch routine returned STATUS_PENDING");
  PIRP held = nullptr;
  onDispatch_ = [&](PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
  IoCallDriver(&device_, irp);
  held->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletingTwiceAndFreeingTwiceAreCaught) {
  ExpectViolation("irp: IoCompleteRequest of");
  ExpectViolation("freed twice");
  onDispatch_ = [&](PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
  IoCallDriver(&device_, irp);
  EXPECT_EQ(completions_, 1);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, FreeingWhileADriverHoldsItIsRefused) {
  ExpectViolation("irp: IoFreeIrp of");
  PIRP held = nullptr;
  onDispatch_ = [&](PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = NewIrp();
  IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
  IoCallDriver(&device_, irp);
  IoFreeIrp(irp);  // refused: still in the driver
  EXPECT_TRUE(GetKernel().Io().IsLive(irp));
  held->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, AllocationFaultsReturnNull) {
  GetKernel().Io().SetFailAllocations(true);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  GetKernel().Io().SetFailAllocations(false);
  GetKernel().GetPool().FailTag(host::MakeTag("Irp "));
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
}

TEST_F(IrpTest, ALeakedIrpIsReportedAtTeardown) {
  ExpectViolation("irp: leak of 1 IRP(s) at teardown");
  IoAllocateIrp(1, FALSE);
}

TEST_F(IrpTest, ReinitialisingWithMoreStackThanAllocatedIsRefused) {
  ExpectViolation("irp: IoInitializeIrp of");
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoInitializeIrp(irp, 112, 3);
  IoInitializeIrp(irp, 112, 2);  // what the driver does: the same count
  EXPECT_EQ(irp->CurrentLocation, 3);
  IoFreeIrp(irp);
}

}  // namespace
