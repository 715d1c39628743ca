// The count and the events change together under IoCountLock, so a waiter
// never sees a count that the events contradict.
#include "driver/context/io_count.h"

#include "driver/context/port_context.h"

LONG IoIncrement(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IoCountLock, &oldIrql);
  LONG result = InterlockedIncrement(&context->OutstandingIo);
  if (result > 1) {
    KeClearEvent(&context->StopEvent);
  }
  KeReleaseSpinLock(&context->IoCountLock, oldIrql);
  return result;
}

LONG IoDecrement(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IoCountLock, &oldIrql);
  LONG result = InterlockedDecrement(&context->OutstandingIo);
  if (result == 1) {
    KeSetEvent(&context->StopEvent, 1, FALSE);
  }
  if (result == 0) {
    KeSetEvent(&context->RemoveEvent, 1, FALSE);
  }
  KeReleaseSpinLock(&context->IoCountLock, oldIrql);
  return result;
}
