// Ending reads and writes in bulk. Queued requests and the current read
// carry a cancel routine: whoever takes it back first owns the request. The
// current write is ended through the write path, which keeps its buffer
// until a chunk in flight has completed.
#include "driver/uart/purge.h"

#include "driver/context/receive_flow.h"
#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"
#include "driver/datapath/write.h"

namespace {

ULONG WriteLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

// Caller holds the queue's lock and completes under it by design, as the read
// and write paths do: no other path can complete a request it has unlinked.
// Newest first.
VOID KillQueue(PPORT_DEVICE_CONTEXT context, PLIST_ENTRY queue, BOOLEAN writes) {
  while (!IsListEmpty(queue)) {
    PLIST_ENTRY entry = RemoveTailList(queue);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      // Its cancel routine is running and will unlink and complete it.
      InitializeListHead(entry);
      continue;
    }
    if (writes) {
      context->AmountInOutQueue -= WriteLength(irp);  // bytes that will never be sent
    }
    CompleteIrpWithInfo(irp, STATUS_CANCELLED, 0);
  }
}

}  // namespace

VOID SerialKillAllWrites(PPORT_DEVICE_CONTEXT Context) {
  SerialKillAllReadsOrWrites(Context->DeviceObject, &Context->WriteQueue, &Context->CurrentWriteIrp,
                             &Context->WriteQueueLock);
}

VOID SerialKillAllReads(PPORT_DEVICE_CONTEXT Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  SerialKillAllReadsOrWrites(Context->DeviceObject, &Context->ReadQueue, &Context->CurrentReadIrp,
                             &Context->ReadQueueLock);
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
}

VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentOpIrp,
                                PKSPIN_LOCK Lock) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  BOOLEAN writes = CurrentOpIrp == &context->CurrentWriteIrp;
  KIRQL oldIrql;
  KeAcquireSpinLock(Lock, &oldIrql);
  KillQueue(context, Queue, writes);
  if (writes) {
    KeReleaseSpinLock(Lock, oldIrql);
    EndCurrentWrite(context, STATUS_CANCELLED);
    return;
  }
  PIRP current = ExchangeSharedIrp(CurrentOpIrp, nullptr);
  // One whose cancel routine has begun is completed by that routine.
  if (current != nullptr && IoSetCancelRoutine(current, nullptr) != nullptr) {
    CompleteIrpWithInfo(current, STATUS_CANCELLED, 0);  // under the queue's lock by design
  }
  KeReleaseSpinLock(Lock, oldIrql);
}

NTSTATUS SerialStartPurge(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  ULONG mask = *static_cast<const ULONG*>(Irp->AssociatedIrp.SystemBuffer);
  if (mask & SERIAL_PURGE_TXABORT) {
    KeCancelTimer(&Context->WriteTimer);
    SerialKillAllWrites(Context);
  }
  if (mask & SERIAL_PURGE_RXABORT) {
    KeCancelTimer(&Context->ReadTimer);
    SerialKillAllReads(Context);
  }
  // SERIAL_PURGE_TXCLEAR: bytes leave straight from the write requests, so
  // there is no transmit buffer to clear.
  if (mask & SERIAL_PURGE_RXCLEAR) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->ReceiveBufferLock, &oldIrql);
    ClearQueueBuffer(&Context->ReceiveBuffer);
    UpdateReceiveFlow(Context, 0);
    KeReleaseSpinLock(&Context->ReceiveBufferLock, oldIrql);
  }
  return STATUS_SUCCESS;
}

VOID SerialClearStats(PPORT_DEVICE_CONTEXT Context) {
  // The bulk-in completion sets these as flags while this runs.
  WriteShared(&Context->BreakErrorFlag, 0);
  SERIALPERF_STATS& stats = Context->PerfStats;
  ULONG* counters[] = {&stats.ReceivedCount,           &stats.TransmittedCount,
                       &stats.FrameErrorCount,         &stats.SerialOverrunErrorCount,
                       &stats.BufferOverrunErrorCount, &stats.ParityErrorCount};
  for (ULONG* counter : counters) {
    WriteShared(counter, 0);
  }
}
