// Completing a request the driver owns: the status (and, with the second
// routine, the information value) go into the IRP, which is completed without
// a priority boost. Both return the status, so a handler can end with
// `return CompleteIrp(Irp, status);`.
#pragma once

#include "platform/platform.h"

// IoStatus.Information stays as it was.
NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status);
NTSTATUS CompleteIrpWithInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
