// Internal device-control requests: all of them go on to the USB device
// below unchanged. The two settings requests are what a layered component
// sends around its own use of the port, so the reads in progress end first.
#include "driver/ioctl/internal_control.h"

#include "driver/context/debug_log.h"
#include "driver/context/port_context.h"
#include "driver/context/shared_flags.h"
#include "driver/uart/purge.h"

namespace {

PCSTR InternalCodeName(ULONG Code) {
  switch (Code) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
      return "IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE";
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
      return "IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE";
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
      return "IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS";
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
      return "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS";
    default:
      return "default";
  }
}

// Ends the current read and every queued one, and stops both timers. With no
// read in progress nothing is touched, even if reads are queued.
VOID EndReadsInProgress(PDEVICE_OBJECT DeviceObject, PPORT_DEVICE_CONTEXT Context) {
  if (ReadSharedIrp(&Context->CurrentReadIrp) == nullptr) return;
  KeCancelTimer(&Context->ReadTimer);
  KeCancelTimer(&Context->WriteTimer);
  KIRQL irql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &irql);
  SerialKillAllReadsOrWrites(DeviceObject, &Context->ReadQueue, &Context->CurrentReadIrp,
                             &Context->ReadQueueLock);
  KeReleaseSpinLock(&Context->CurrentReadLock, irql);
}

}  // namespace

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  DebugLog(DeviceObject, " - DispatchInternalControl irp=%p fdo=%p\n", Irp, DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  DebugLog(DeviceObject, " - DispatchInternalControl %s \n", InternalCodeName(code));
  if (code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS || code == IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS) {
    EndReadsInProgress(DeviceObject, context);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(context->LowerDeviceObject, Irp);
}
