#include "driver/context/request_completion.h"
#include "port_context_fixture.h"

namespace {

struct CompletionCase {
  const char* name;
  bool withInfo;
  NTSTATUS status;
  ULONG_PTR information;  // given to CompleteIrpWithInfo
  ULONG_PTR expectedInformation;
};

// What the port's dispatch routine is asked to do with the next request.
const CompletionCase* g_case = nullptr;

NTSTATUS CompleteAsAsked(PDEVICE_OBJECT, PIRP irp) {
  return g_case->withInfo ? CompleteIrpWithInfo(irp, g_case->status, g_case->information)
                          : CompleteIrp(irp, g_case->status);
}

struct Seen {
  int calls = 0;
  IO_STATUS_BLOCK ioStatus{};
  BOOLEAN pendingReturned = TRUE;
};

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  ++seen->calls;
  seen->ioStatus = irp->IoStatus;
  seen->pendingReturned = irp->PendingReturned;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

using RequestCompletion = PortContextTest;

// The requester sees the request completed once, with the status the routine
// returned; Information is replaced only by CompleteIrpWithInfo.
TEST_F(RequestCompletion, StatusAndInformationReachTheRequester) {
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteAsAsked;
  constexpr ULONG_PTR kEarlier = 77;
  const CompletionCase cases[] = {
      {"CompleteIrp success", false, STATUS_SUCCESS, 0, kEarlier},
      {"CompleteIrp failure", false, STATUS_INVALID_PARAMETER, 0, kEarlier},
      {"CompleteIrpWithInfo success", true, STATUS_SUCCESS, 12, 12},
      {"CompleteIrpWithInfo zero", true, STATUS_BUFFER_TOO_SMALL, 0, 0},
  };
  for (const CompletionCase& c : cases) {
    g_case = &c;
    Seen seen;
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Information = kEarlier;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(device_, irp), c.status) << c.name;

    EXPECT_EQ(seen.calls, 1) << c.name;
    EXPECT_EQ(seen.ioStatus.Status, c.status) << c.name;
    EXPECT_EQ(seen.ioStatus.Information, c.expectedInformation) << c.name;
    EXPECT_FALSE(seen.pendingReturned) << c.name;
    IoFreeIrp(irp);
  }
}

}  // namespace
