// The completion walk: which routines run, what they see, where the walk
// stops, and how pending travels up the stack.
#include "io_fixture.h"

namespace iotest {
namespace {

using IoCompletion = IoTest;

struct InvokeCase {
  const char* name;
  bool onSuccess, onError, onCancel;
  NTSTATUS status;
  bool cancelled;
  bool invoked;
};

TEST_F(IoCompletion, InvokeFlagsDecideWhichRoutinesRun) {
  const InvokeCase cases[] = {
      {"success routine on success", true, false, false, STATUS_SUCCESS, false, true},
      // Warnings are not NT_SUCCESS: they count as errors here.
      {"success routine on a warning", true, false, false, STATUS_BUFFER_OVERFLOW, false, false},
      {"error routine on a warning", false, true, false, STATUS_BUFFER_OVERFLOW, false, true},
      {"success routine on error", true, false, false, STATUS_UNSUCCESSFUL, false, false},
      {"error routine on success", false, true, false, STATUS_SUCCESS, false, false},
      {"cancel routine on a cancelled success", false, false, true, STATUS_SUCCESS, true, true},
      {"cancel routine when not cancelled", false, false, true, STATUS_CANCELLED, false, false},
      {"no flags", false, false, false, STATUS_UNSUCCESSFUL, true, false},
  };
  PDEVICE_OBJECT bottom = AddBottom();
  PDEVICE_OBJECT relay = AddRelay(bottom);
  for (const InvokeCase& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceConfig& config = Config(relay);
    config.invocations.clear();
    config.onSuccess = c.onSuccess;
    config.onError = c.onError;
    config.onCancel = c.onCancel;
    Config(bottom).status = c.status;
    Owner owner;
    PIRP irp = NewIrp(relay, &owner);
    irp->Cancel = c.cancelled;
    EXPECT_EQ(IoCallDriver(relay, irp), c.status);
    EXPECT_EQ(config.invocations.size(), c.invoked ? 1u : 0u);
    ASSERT_EQ(owner.invocations.size(), 1u);
    EXPECT_EQ(owner.invocations[0].status, c.status);
    IoFreeIrp(irp);
  }
}

// Each routine gets the device of the location that set it; the IRP's
// creator has none.
TEST_F(IoCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  PDEVICE_OBJECT bottom = AddBottom();
  PDEVICE_OBJECT middle = AddRelay(bottom);
  PDEVICE_OBJECT top = AddRelay(middle);
  Config(middle).stop = true;
  Config(bottom).status = STATUS_BUFFER_OVERFLOW;
  Owner owner;
  PIRP irp = NewIrp(top, &owner);
  IoCallDriver(top, irp);
  ASSERT_EQ(Config(middle).invocations.size(), 1u);
  EXPECT_EQ(Config(middle).invocations[0].device, middle);
  EXPECT_TRUE(Config(top).invocations.empty());
  EXPECT_TRUE(owner.invocations.empty());
  // The IRP stands at the middle device's location, which now owns it.
  EXPECT_EQ(irp->CurrentLocation, 2);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ASSERT_EQ(Config(top).invocations.size(), 1u);
  EXPECT_EQ(Config(top).invocations[0].status, STATUS_SUCCESS);
  EXPECT_EQ(Config(top).invocations[0].device, top);
  ASSERT_EQ(owner.invocations.size(), 1u);
  EXPECT_EQ(owner.invocations[0].device, nullptr);
  IoFreeIrp(irp);
}

struct PendingCase {
  const char* name;
  bool bottomQueues;
  bool relaySkips;       // no location of its own
  bool relayInvoked;     // else its routine has no invoke flag: the walk propagates pending itself
  bool relayPropagates;  // its routine marks the IRP pending again
  NTSTATUS returned;     // by the top device's dispatch routine
  BOOLEAN ownerSeesPending;
};

// A request completed from DISPATCH_LEVEL runs the routines there.
TEST_F(IoCompletion, PendingTravelsUpTheStack) {
  const PendingCase cases[] = {
      {"synchronous completion", false, false, true, true, STATUS_SUCCESS, FALSE},
      {"pended below, routine propagates", true, false, true, true, STATUS_PENDING, TRUE},
      {"pended below, routine not invoked", true, false, false, false, STATUS_PENDING, TRUE},
      {"pended below, location skipped", true, true, false, false, STATUS_PENDING, TRUE},
  };
  for (const PendingCase& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT bottom = AddBottom();
    PDEVICE_OBJECT relay = AddRelay(bottom);
    Config(bottom).queue = c.bottomQueues;
    Config(relay).skip = c.relaySkips;
    Config(relay).propagatePending = c.relayPropagates;
    Config(relay).onSuccess = Config(relay).onError = Config(relay).onCancel = c.relayInvoked;
    Owner owner;
    PIRP irp = NewIrp(relay, &owner);
    EXPECT_EQ(IoCallDriver(relay, irp), c.returned);
    const KIRQL irql = c.bottomQueues ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (c.bottomQueues) {
      EXPECT_TRUE(owner.invocations.empty());
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      ASSERT_TRUE(CompleteNext(bottom, STATUS_SUCCESS));
      KeLowerIrql(old);
    }
    if (c.relayInvoked) {
      ASSERT_EQ(Config(relay).invocations.size(), 1u);
      EXPECT_EQ(Config(relay).invocations[0].pendingReturned, c.ownerSeesPending);
      EXPECT_EQ(Config(relay).invocations[0].irql, irql);
    }
    ASSERT_EQ(owner.invocations.size(), 1u);
    EXPECT_EQ(owner.invocations[0].pendingReturned, c.ownerSeesPending);
    EXPECT_EQ(owner.invocations[0].irql, irql);
    IoFreeIrp(irp);
  }
}

}  // namespace
}  // namespace iotest
