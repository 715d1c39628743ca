#include "driver/context/request_completion.h"

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS CompleteIrpWithInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Information = Information;
  return CompleteIrp(Irp, Status);
}
