// The pending wait is guarded by the cancel spin lock and the atomic exchange
// of its cancel routine: whoever takes the routine back first owns the
// request. CurrentWaitIrp is cleared under that lock before every completion,
// so a completed request is never seen as pending.
#include "driver/datapath/wait_mask.h"

#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"

namespace {

ULONG RequestMask(PIRP irp) { return *static_cast<const ULONG*>(irp->AssociatedIrp.SystemBuffer); }

// Reports the events and forgets them: they were seen by this wait.
NTSTATUS CompleteWaitWithEvents(PPORT_DEVICE_CONTEXT context, PIRP irp, ULONG events) {
  ClearSharedBits(&context->HistoryMask, events);
  *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = events;
  return CompleteIrpWithInfo(irp, STATUS_SUCCESS, sizeof(ULONG));
}

}  // namespace

NTSTATUS SerialSetWaitMask(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  ULONG mask = RequestMask(Irp);
  if (mask > SerialEventMaskLimit) {
    return STATUS_INVALID_PARAMETER;
  }
  PIRP pending = ReadSharedIrp(&Context->CurrentWaitIrp);
  if (pending != nullptr) {
    SerialCompleteCurrentWait(Context, pending, 0);
  }
  WriteShared(&Context->WaitMask, mask);
  return STATUS_SUCCESS;
}

NTSTATUS SerialWaitOnMask(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (ReadShared(&Context->WaitMask) == 0 || ReadSharedIrp(&Context->CurrentWaitIrp) != nullptr) {
    IoReleaseCancelSpinLock(cancelIrql);
    return CompleteIrpWithInfo(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG events = ReadShared(&Context->HistoryMask) & ReadShared(&Context->WaitMask);
  if (events != 0) {
    IoReleaseCancelSpinLock(cancelIrql);
    return CompleteWaitWithEvents(Context, Irp, events);
  }
  WriteSharedIrp(&Context->CurrentWaitIrp, Irp);
  IoSetCancelRoutine(Irp, SerialCancelCurrentWait);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    WriteSharedIrp(&Context->CurrentWaitIrp, nullptr);
    IoReleaseCancelSpinLock(cancelIrql);
    return CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(Irp);
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

// Callers read CurrentWaitIrp without a lock, so two of them (the bulk-in and
// the bulk-out completion, say) may pass the same request, or one that has
// just been completed. Under the cancel spin lock a request that is still
// CurrentWaitIrp has not been completed, and the cancel routine cannot run
// meanwhile: the exchange of its cancel routine then decides who owns it.
NTSTATUS SerialCompleteCurrentWait(PPORT_DEVICE_CONTEXT Context, PIRP Irp, ULONG Events) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (ReadSharedIrp(&Context->CurrentWaitIrp) != Irp || IoSetCancelRoutine(Irp, nullptr) == nullptr) {
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
  }
  WriteSharedIrp(&Context->CurrentWaitIrp, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  if (Irp->Cancel) {
    return CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
  }
  return CompleteWaitWithEvents(Context, Irp, Events);
}

VOID SerialCancelCurrentWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(IoGetCurrentIrpStackLocation(Irp)->DeviceObject);
  WriteSharedIrp(&context->CurrentWaitIrp, nullptr);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
}

VOID SerialReportWaitEvents(PPORT_DEVICE_CONTEXT Context) {
  PIRP pending = ReadSharedIrp(&Context->CurrentWaitIrp);
  ULONG events = ReadShared(&Context->WaitMask) & ReadShared(&Context->HistoryMask);
  if (pending != nullptr && events != 0) {
    SerialCompleteCurrentWait(Context, pending, events);
  }
}

VOID SerialKillCurrentWait(PPORT_DEVICE_CONTEXT Context) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP pending = ReadSharedIrp(&Context->CurrentWaitIrp);
  if (pending == nullptr || IoSetCancelRoutine(pending, nullptr) == nullptr) {
    IoReleaseCancelSpinLock(cancelIrql);  // none, or its cancel routine finishes it
    return;
  }
  WriteSharedIrp(&Context->CurrentWaitIrp, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  CompleteIrpWithInfo(pending, STATUS_CANCELLED, 0);
}
