#include "driver/datapath/read_write_dispatch.h"

#include "driver/datapath/read.h"
#include "driver/datapath/write.h"

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
    return QueueOrCompleteReadIrp(context, Irp);
  }
  // Every write re-arms the one write timer for itself.
  KeCancelTimer(&context->WriteTimer);
  return QueueOrStartWriteIrp(context, Irp);
}
