// Write path. WriteQueueLock guards the queue, CurrentWriteIrp with its
// progress fields, AmountInOutQueue and slot 2's Idle flag.
// AmountInOutQueue counts only bytes that will still be sent: a cancelled,
// timed-out, purged or failed write gives back what it will not send.
#include "datapath/write.h"

#include "context/port_defaults.h"
#include "context/request_completion.h"
#include "context/slot_transfer.h"
#include "datapath/shared_flags.h"
#include "uart/modem_status.h"
#include "uart/wait_mask.h"

namespace {

// The bulk-out transfer carries the same flags as the bulk-in one; the
// endpoint decides the direction.
constexpr ULONG BulkOutTransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG LargestChunk = 128;
constexpr ULONG TransmitHolds = 0x01 | 0x02 | 0x04 | 0x08;  // CTS, DSR, DCD, XOFF; not break
// While a write waits on a hold the thread looks again this often: clearing
// a hold wakes nobody.
constexpr LONGLONG HoldPollInterval = -10 * 10000;  // 10 ms, relative
constexpr LONGLONG TimerUnitsPerMillisecond = 10000;
constexpr ULONG FastestScaledRate = 115200;

ULONG WriteLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

// 5 and 6 byte chunks go as 3, the rest in the next chunk. A MaxWriteLength
// of 0 would never send anything, so it stands for the default chunk.
ULONG BulkOutChunkLength(ULONG remaining, ULONG maxWriteLength) {
  ULONG largest = maxWriteLength == 0 ? DefaultMaxWriteLength : maxWriteLength;
  if (largest > LargestChunk) {
    largest = LargestChunk;
  }
  ULONG chunk = remaining < largest ? remaining : largest;
  return chunk == 5 || chunk == 6 ? 3 : chunk;
}

// ⌊⌊115200 / rate⌋ / 2⌋ below 115200 baud, 1 from there on; never 0, which
// would make every write time out at once between 57600 and 115200 baud.
ULONGLONG WriteTimeoutScale(ULONG baudRate) {
  if (baudRate >= FastestScaledRate || baudRate == 0) {
    return 1;
  }
  ULONGLONG scale = (FastestScaledRate / baudRate) / 2;
  return scale == 0 ? 1 : scale;
}

// (M * Length + K) * scale milliseconds in timer units, held at the largest
// signed 64-bit value instead of wrapping. 0 when no write timeout applies.
LONGLONG WriteTimeoutUnits(PPORT_DEVICE_CONTEXT context, ULONG length) {
  ULONG m = context->Timeouts.WriteTotalTimeoutMultiplier;
  ULONG k = context->Timeouts.WriteTotalTimeoutConstant;
  if (m == 0 && k == 0) {
    return 0;
  }
  ULONGLONG milliseconds = ULONGLONG(m) * length + k;
  ULONGLONG scale = WriteTimeoutScale(context->BaudRate);
  ULONGLONG limit = ULONGLONG(0x7FFFFFFFFFFFFFFF) / TimerUnitsPerMillisecond;
  if (milliseconds > limit / scale) {
    return LONGLONG(0x7FFFFFFFFFFFFFFF);
  }
  return LONGLONG(milliseconds * scale) * TimerUnitsPerMillisecond;
}

VOID ArmWriteTimer(PPORT_DEVICE_CONTEXT context, ULONG length) {
  LONGLONG due = WriteTimeoutUnits(context, length);
  if (due != 0) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -due;
    KeSetTimer(&context->WriteTimer, dueTime, &context->WriteTimeoutDpc);
  }
}

// Caller holds WriteQueueLock. The request's IoStatus.Status is STATUS_PENDING
// while it is current and nothing has ended it.
VOID MakeWriteCurrent(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  context->CurrentWriteIrp = irp;
  if (irp == nullptr) {
    context->CurrentWriteIrpData = nullptr;
    context->CurrentWriteIrpDataLen = 0;
    context->CurrentWriteIrpLength = 0;
    return;
  }
  irp->IoStatus.Status = STATUS_PENDING;
  context->CurrentWriteIrpData = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  context->CurrentWriteIrpDataLen = WriteLength(irp);
  context->CurrentWriteIrpLength = WriteLength(irp);
}

// Caller holds WriteQueueLock. Completes the current write with `status` and
// the bytes confirmed sent, gives back the bytes it will not send, and takes
// up the next queued write. TRUE when a next write became current.
BOOLEAN FinishCurrentWrite(PPORT_DEVICE_CONTEXT context, NTSTATUS status) {
  PIRP irp = context->CurrentWriteIrp;
  context->AmountInOutQueue -= context->CurrentWriteIrpDataLen;
  CompleteIrpWithInfo(irp, status, context->CurrentWriteIrpLength - context->CurrentWriteIrpDataLen);
  MakeWriteCurrent(context, DequeueWriteIrp(context));
  return context->CurrentWriteIrp != nullptr;
}

BOOLEAN ChunkInFlight(PPORT_DEVICE_CONTEXT context) {
  return ReadSharedByte(&context->IntUrbs[BulkOutSlot].Idle) == 0;
}

// Caller holds WriteQueueLock. With a chunk in flight the end is only
// recorded in the request; OnWriteCompletion finishes it.
BOOLEAN EndCurrentWriteLocked(PPORT_DEVICE_CONTEXT context, NTSTATUS status) {
  if (context->CurrentWriteIrp == nullptr) {
    return FALSE;
  }
  if (ChunkInFlight(context)) {
    context->CurrentWriteIrp->IoStatus.Status = status;
    return FALSE;
  }
  return FinishCurrentWrite(context, status);
}

VOID SubmitBulkOutChunk(PPORT_DEVICE_CONTEXT context, PUCHAR data, ULONG length) {
  SubmitSlotTransfer(context, context->IntUrbs[BulkOutSlot], BulkOutTransferFlags, data, length,
                     OnWriteCompletion);
}

// Caller holds WriteQueueLock: the next chunk's length, 0 when there is no
// current write or the transmitter is held.
ULONG NextChunk(PPORT_DEVICE_CONTEXT context) {
  if (context->CurrentWriteIrp == nullptr || (ReadShared(&context->TxHolding) & TransmitHolds) != 0) {
    return 0;
  }
  return BulkOutChunkLength(context->CurrentWriteIrpDataLen, context->MaxWriteLength);
}

// One pass of the bulk-out thread; TRUE when a write is waiting on a hold.
BOOLEAN SendNextChunk(PPORT_DEVICE_CONTEXT context) {
  IntUrb& slot = context->IntUrbs[BulkOutSlot];
  if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, slot.Irp))) {
    PsTerminateSystemThread(STATUS_DELETE_PENDING);
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  ULONG chunk = ChunkInFlight(context) ? 0 : NextChunk(context);
  BOOLEAN waiting = chunk == 0 && context->CurrentWriteIrp != nullptr && !ChunkInFlight(context);
  PUCHAR data = context->CurrentWriteIrpData;
  if (chunk > 0) {
    WriteSharedByte(&slot.Idle, 0);
  }
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  if (chunk > 0) {
    SubmitBulkOutChunk(context, data, chunk);  // OnWriteCompletion releases the remove lock
    return FALSE;
  }
  if (waiting) {
    // A hold may have ended: ask the modem-status thread for fresh lines.
    RequestModemStatusRead(context);
  }
  IoReleaseRemoveLock(&context->RemoveLock, slot.Irp);
  return waiting;
}

// Caller holds WriteQueueLock. The transfer was cancelled or the device is
// gone: the current write ends with DELETE_PENDING, unless a timer or purge
// had already ended it, and nothing more is taken up.
VOID ShutDownCurrentWrite(PPORT_DEVICE_CONTEXT context) {
  PIRP irp = context->CurrentWriteIrp;
  if (irp == nullptr) {
    return;
  }
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR sent = context->CurrentWriteIrpLength - context->CurrentWriteIrpDataLen;
  context->AmountInOutQueue -= context->CurrentWriteIrpDataLen;
  MakeWriteCurrent(context, nullptr);
  if (status == STATUS_PENDING) {
    CompleteIrpWithInfo(irp, STATUS_DELETE_PENDING, 0);
  } else {
    CompleteIrpWithInfo(irp, status, sent);
  }
}

// Caller holds WriteQueueLock. Charges a confirmed chunk to the current write
// and finishes the write when it is all sent, or when something ended it
// while the chunk was in flight. A failed chunk fails its write at once.
VOID AccountChunk(PPORT_DEVICE_CONTEXT context, NTSTATUS irpStatus, USBD_STATUS urbStatus, ULONG sent) {
  PIRP irp = context->CurrentWriteIrp;
  if (irp == nullptr) {
    return;
  }
  if (!USBD_SUCCESS(urbStatus)) {
    FinishCurrentWrite(context, NT_SUCCESS(irpStatus) ? STATUS_UNSUCCESSFUL : irpStatus);
    return;
  }
  if (sent > context->CurrentWriteIrpDataLen) {
    sent = context->CurrentWriteIrpDataLen;
  }
  context->CurrentWriteIrpDataLen -= sent;
  context->AmountInOutQueue -= sent;
  context->CurrentWriteIrpData += sent;
  if (irp->IoStatus.Status != STATUS_PENDING) {
    FinishCurrentWrite(context, irp->IoStatus.Status);
  } else if (context->CurrentWriteIrpDataLen == 0) {
    KeCancelTimer(&context->WriteTimer);
    FinishCurrentWrite(context, irpStatus);
  }
}

// A write with bytes left gets the thread going; otherwise the transmitter
// is empty.
VOID KickOrReportEmpty(PPORT_DEVICE_CONTEXT context, BOOLEAN transferred) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  BOOLEAN more = context->CurrentWriteIrp != nullptr && context->CurrentWriteIrpDataLen > 0;
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  if (more) {
    KeSetEvent(&context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  } else if (transferred) {
    SetSharedBits(&context->HistoryMask, SERIAL_EV_TXEMPTY);
    SerialReportWaitEvents(context);
  }
}

}  // namespace

NTSTATUS QueueOrStartWriteIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  ULONG length = WriteLength(Irp);
  if (length == 0 || Irp->AssociatedIrp.SystemBuffer == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  IntUrb& slot = Context->IntUrbs[BulkOutSlot];
  if (Context->DeviceState != 1 || slot.Irp == nullptr || slot.Urb == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_DELETE_PENDING, 0);
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->WriteQueueLock, &oldIrql);
  Context->AmountInOutQueue += length;
  IoMarkIrpPending(Irp);
  NTSTATUS status = STATUS_PENDING;
  if (IsListEmpty(&Context->WriteQueue) && Context->CurrentWriteIrp == nullptr) {
    MakeWriteCurrent(Context, Irp);
    KeSetEvent(&Context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  } else {
    InsertTailList(&Context->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, WriteIrpCancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
      RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
      Context->AmountInOutQueue -= length;
      status = STATUS_CANCELLED;
    }
  }
  ArmWriteTimer(Context, length);
  KeReleaseSpinLock(&Context->WriteQueueLock, oldIrql);
  // Marked pending, so reported pending even when completed as cancelled here.
  if (status == STATUS_CANCELLED) {
    CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
  }
  return STATUS_PENDING;
}

PIRP DequeueWriteIrp(PPORT_DEVICE_CONTEXT Context) {
  while (!IsListEmpty(&Context->WriteQueue)) {
    PLIST_ENTRY entry = RemoveHeadList(&Context->WriteQueue);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      return irp;
    }
    // Its cancel routine is running and will unlink it: make that harmless.
    InitializeListHead(entry);
  }
  return nullptr;
}

VOID WriteIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  context->AmountInOutQueue -= WriteLength(Irp);
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
}

VOID PollingWriteInterruptUrb(PVOID StartContext) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(StartContext);
  PVOID events[2] = {&context->WriteKillEvent, &context->WritePollEvent};
  BOOLEAN waiting = FALSE;
  for (;;) {
    LARGE_INTEGER pollInterval;
    pollInterval.QuadPart = HoldPollInterval;
    NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                             waiting ? &pollInterval : nullptr, nullptr);
    if (!NT_SUCCESS(wait) || wait == STATUS_WAIT_0) {
      PsTerminateSystemThread(STATUS_SUCCESS);
    }
    if (wait == STATUS_WAIT_1 || wait == STATUS_TIMEOUT) {
      waiting = SendNextChunk(context);
    }
  }
}

NTSTATUS OnWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  IntUrb* slot = static_cast<IntUrb*>(Context);
  PPORT_DEVICE_CONTEXT context = GetPortContext(slot->Fdo);
  NTSTATUS irpStatus = Irp->IoStatus.Status;
  USBD_STATUS urbStatus = slot->Urb->UrbHeader.Status;
  ULONG sent = slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  WriteSharedByte(&slot->Idle, 1);
  if (IsSlotTransferShutDown(irpStatus, urbStatus)) {
    ShutDownCurrentWrite(context);
    KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  AccountChunk(context, irpStatus, urbStatus, sent);
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  if (context->DeviceState == 1) {
    KickOrReportEmpty(context, NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus));
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID WriteTimeoutRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(DeferredContext);
  if (!KeReadStateTimer(&context->WriteTimer) || ReadShared(&context->handles) == 0) {
    return;
  }
  EndCurrentWrite(context, STATUS_TIMEOUT);
}

VOID EndCurrentWrite(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->WriteQueueLock, &oldIrql);
  BOOLEAN next = EndCurrentWriteLocked(Context, Status);
  KeReleaseSpinLock(&Context->WriteQueueLock, oldIrql);
  if (next) {
    KeSetEvent(&Context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  }
}
