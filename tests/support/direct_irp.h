// A request sent straight to a device object, outside the I/O manager's
// usual paths: `fill` sets up the IRP and its next stack location, and the
// IRP comes back to the test whole, however the driver ends it. Only for
// requests that end at once: the driver must return the status it ended
// the request with.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace direct_irp {

template <class Fill>
IO_STATUS_BLOCK Send(PDEVICE_OBJECT device, Fill fill) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 77;
  fill(irp, IoGetNextIrpStackLocation(irp));
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
      nullptr, TRUE, TRUE, TRUE);
  NTSTATUS returned = IoCallDriver(device, irp);
  IO_STATUS_BLOCK io = irp->IoStatus;
  EXPECT_EQ(returned, io.Status);
  IoFreeIrp(irp);
  return io;
}

}  // namespace direct_irp
