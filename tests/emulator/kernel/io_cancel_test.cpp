// IoCancelIrp: the cancel routine runs with the cancel spin lock held, and a
// canceller racing a driver that dequeues the same IRP leaves exactly one of
// them owning it.
#include <atomic>
#include <thread>

#include "io_fixture.h"

namespace iotest {
namespace {

using IoCancel = IoTest;

// Cancelled while queued, the cancel routine ends the IRP; cancelled before
// it reaches the driver, the driver ends it at once.
TEST_F(IoCancel, ACancelledIrpEndsCancelledWhenQueuedOrBefore) {
  PDEVICE_OBJECT bottom = AddBottom();
  Config(bottom).queue = true;
  for (bool before : {false, true}) {
    SCOPED_TRACE(before ? "before" : "while queued");
    Owner owner;
    PIRP irp = NewIrp(bottom, &owner);
    irp->Cancel = before;
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    if (!before) {
      EXPECT_TRUE(IoCancelIrp(irp));
    }
    ASSERT_EQ(owner.invocations.size(), 1u);
    EXPECT_EQ(owner.invocations[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(owner.invocations[0].pendingReturned);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(CompleteNext(bottom, STATUS_SUCCESS));
    IoFreeIrp(irp);
  }
}

TEST_F(IoCancel, WithoutACancelRoutineOnlyTheFlagIsSet) {
  PDEVICE_OBJECT bottom = AddBottom();
  Config(bottom).queue = true;
  Config(bottom).held.cancelable = false;
  Owner owner;
  PIRP irp = NewIrp(bottom, &owner);
  EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_TRUE(owner.invocations.empty());
  ASSERT_TRUE(CompleteNext(bottom, STATUS_SUCCESS));
  EXPECT_EQ(owner.invocations.at(0).status, STATUS_SUCCESS);
  // An IRP that no driver holds can be cancelled too: only the flag changes.
  irp->Cancel = FALSE;
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

struct RaceOutcome {
  std::atomic<int> completions{0};
  std::atomic<int> cancelled{0};
};

NTSTATUS NTAPI CountCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* outcome = static_cast<RaceOutcome*>(context);
  outcome->completions.fetch_add(1);
  if (irp->IoStatus.Status == STATUS_CANCELLED) outcome->cancelled.fetch_add(1);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The canceller and the dequeuer start together; whoever wins the cancel
// routine exchange completes the IRP, the other must not touch it.
TEST_F(IoCancel, CancelRacingADequeueLeavesExactlyOneOwner) {
  constexpr int kRounds = 300;
  PDEVICE_OBJECT bottom = AddBottom();
  Config(bottom).queue = true;
  RaceOutcome outcome;
  PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
  int dequeued = 0;
  for (int round = 0; round < kRounds; ++round) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, CountCompletion, &outcome, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    std::atomic<bool> go{false};
    bool completedByDequeue = false;
    std::thread canceller([&] {
      while (!go.load()) {
      }
      IoCancelIrp(irp);
    });
    std::thread dequeuer([&] {
      while (!go.load()) {
      }
      completedByDequeue = CompleteNext(bottom, STATUS_SUCCESS);
    });
    go.store(true);
    canceller.join();
    dequeuer.join();
    dequeued += completedByDequeue;
    ASSERT_EQ(outcome.completions.load(), round + 1);
  }
  EXPECT_EQ(outcome.cancelled.load() + dequeued, kRounds);
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace iotest
