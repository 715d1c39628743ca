// Write path. WriteQueueLock guards the queue, CurrentWriteIrp with its
// progress fields and CurrentWriteCancelled, AmountInOutQueue and slot 2's
// Idle flag. AmountInOutQueue counts only bytes that will still be sent: a
// cancelled, timed-out, purged or failed write gives back what it will not send.
//
// The current write has a cancel routine as a queued one does. It is
// completed under WriteQueueLock, at DISPATCH_LEVEL, by design: ending it,
// charging its bytes and taking up the next write are one step no other
// finisher can split. It is completed by whoever finishes it (its last chunk, the
// timer, a purge, cleanup, a cancelled or lost chunk, its cancel routine),
// once its cancel routine is taken back or has run. When the I/O manager has
// taken the routine and it has not run yet, the finisher leaves the result in
// the request and the routine completes it.
//
// Only the bulk-out thread submits slot 2's IRP, so only it cancels the IRP: a
// write ended while its chunk is in flight wakes the thread, which cancels the
// chunk, and the chunk's completion finishes the write.
//
// The slot also carries the flow characters of receive flow control
// (receive_flow.h), one byte a transfer: each goes as the slot's next
// transfer, ahead of the write data.
#include "driver/datapath/write.h"

#include "driver/context/port_defaults.h"
#include "driver/context/receive_flow.h"
#include "driver/context/request_completion.h"
#include "driver/context/slot_transfer.h"
#include "driver/context/shared_flags.h"
#include "driver/context/modem_status_request.h"
#include "driver/datapath/wait_mask.h"

namespace {

// While a write waits on a hold the thread looks again this often: clearing
// a hold wakes nobody.
constexpr LONGLONG HoldPollInterval = -10 * TimerUnitsPerMillisecond;  // 10 ms, relative
constexpr ULONG FastestScaledRate = 115200;

ULONG WriteLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

// 5 and 6 byte chunks go as 3, the rest in the next chunk. A MaxWriteLength
// of 0 would never send anything, so it stands for the default chunk.
ULONG BulkOutChunkLength(ULONG remaining, ULONG maxWriteLength) {
  ULONG largest = maxWriteLength == 0 ? DefaultMaxWriteLength : maxWriteLength;
  if (largest > MaxWriteLengthLimit) {
    largest = MaxWriteLengthLimit;
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
  ULONGLONG limit = ULONGLONG(Never) / TimerUnitsPerMillisecond;
  if (milliseconds > limit / scale) {
    return Never;
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
  context->CurrentWriteCancelled = 0;
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

// Caller holds WriteQueueLock. Makes `irp` the current write, with its cancel
// routine; FALSE when it was cancelled on its way here: it is then not
// current, its bytes are given back, and the caller completes it.
BOOLEAN StartCurrentWrite(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  MakeWriteCurrent(context, irp);
  IoSetCancelRoutine(irp, CurrentWriteIrpCancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    context->AmountInOutQueue -= WriteLength(irp);
    MakeWriteCurrent(context, nullptr);
    return FALSE;
  }
  return TRUE;
}

// Caller holds WriteQueueLock and has ended the current write: the next
// queued write that is not being cancelled becomes current.
VOID TakeUpNextWrite(PPORT_DEVICE_CONTEXT context) {
  MakeWriteCurrent(context, nullptr);
  for (PIRP irp = DequeueWriteIrp(context); irp != nullptr; irp = DequeueWriteIrp(context)) {
    if (StartCurrentWrite(context, irp)) {
      return;
    }
    CompleteIrpWithInfo(irp, STATUS_CANCELLED, 0);  // under WriteQueueLock by design
  }
}

// Caller holds WriteQueueLock; `irp` was the current write. Completes it,
// unless the I/O manager has taken its cancel routine and the routine has not
// run yet: the routine then completes it with this result.
VOID CompleteEndedWrite(PIRP irp, NTSTATUS status, ULONG_PTR information, BOOLEAN cancelRan) {
  if (IoSetCancelRoutine(irp, nullptr) != nullptr || cancelRan) {
    CompleteIrpWithInfo(irp, status, information);  // under WriteQueueLock by design
    return;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
}

// Caller holds WriteQueueLock. Completes the current write with `status` and
// the bytes confirmed sent, gives back the bytes it will not send, and takes
// up the next queued write. TRUE when a next write became current.
BOOLEAN FinishCurrentWrite(PPORT_DEVICE_CONTEXT context, NTSTATUS status) {
  context->AmountInOutQueue -= context->CurrentWriteIrpDataLen;
  CompleteEndedWrite(context->CurrentWriteIrp, status,
                     context->CurrentWriteIrpLength - context->CurrentWriteIrpDataLen,
                     context->CurrentWriteCancelled);
  TakeUpNextWrite(context);
  return context->CurrentWriteIrp != nullptr;
}

BOOLEAN SlotBusy(PPORT_DEVICE_CONTEXT context) {
  return ReadSharedByte(&context->IntUrbs[BulkOutSlot].Idle) == 0;
}

// Caller holds WriteQueueLock. The slot carries a chunk of the current write,
// not a flow character.
BOOLEAN ChunkInFlight(PPORT_DEVICE_CONTEXT context) {
  return SlotBusy(context) && context->SlotFlowChar == FlowCharNone;
}

// Caller holds WriteQueueLock. Something ended the current write while its
// chunk was in flight.
BOOLEAN CurrentWriteEnded(PPORT_DEVICE_CONTEXT context) {
  return context->CurrentWriteIrp != nullptr && context->CurrentWriteIrp->IoStatus.Status != STATUS_PENDING;
}

// Caller holds WriteQueueLock. With a chunk in flight the end is only
// recorded in the request: the thread cancels the chunk and OnWriteCompletion
// finishes the write. TRUE when the thread must run, for that or for a next
// write that became current.
BOOLEAN EndCurrentWriteLocked(PPORT_DEVICE_CONTEXT context, NTSTATUS status) {
  if (context->CurrentWriteIrp == nullptr) {
    return FALSE;
  }
  if (ChunkInFlight(context)) {
    context->CurrentWriteIrp->IoStatus.Status = status;
    return TRUE;
  }
  return FinishCurrentWrite(context, status);
}

// Caller holds WriteQueueLock: the next chunk's length, 0 when there is no
// current write or the transmitter is held.
ULONG NextChunk(PPORT_DEVICE_CONTEXT context) {
  if (context->CurrentWriteIrp == nullptr || (ReadShared(&context->TxHolding) & TransmitHolds) != 0) {
    return 0;
  }
  return BulkOutChunkLength(context->CurrentWriteIrpDataLen, context->MaxWriteLength);
}

// The flow character due; none while the port is closing or not working:
// the next open or restart wakes the thread.
UCHAR DueFlowChar(PPORT_DEVICE_CONTEXT context) {
  if (ReadShared(&context->DeviceState) != PnpStateWorking || ReadSharedByte(&context->PortClosing) != 0) {
    return FlowCharNone;
  }
  return ReceiveFlowCharDue(context);
}

// Caller holds WriteQueueLock and the slot is idle. Claims the slot for the
// flow character `due`; NULL when there is none or a modem-line handshake
// holds the transmitter. A received XOFF does not hold it: two ends that
// had both sent XOFF would otherwise wait for each other's XON forever.
PUCHAR ClaimFlowChar(PPORT_DEVICE_CONTEXT context, UCHAR due) {
  if (due == FlowCharNone || (ReadShared(&context->TxHolding) & ModemLineHolds) != 0) {
    return nullptr;
  }
  context->SlotFlowChar = due;
  context->FlowChar = due == FlowCharXoff ? context->SpecialChars.XoffChar : context->SpecialChars.XonChar;
  return &context->FlowChar;
}

// One pass of the bulk-out thread; *waiting is TRUE when the thread is to
// look again after HoldPollInterval: a write or a flow character waits on a
// hold, or a flow character is due (one that failed is tried again then, not
// at once, so that a failing pipe cannot keep the thread spinning).
// STATUS_DELETE_PENDING when removal is under way: the thread ends.
NTSTATUS SendNextChunk(PPORT_DEVICE_CONTEXT context, BOOLEAN* waiting) {
  *waiting = FALSE;
  IntUrb& slot = context->IntUrbs[BulkOutSlot];
  if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, slot.Irp))) {
    return STATUS_DELETE_PENDING;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  BOOLEAN busy = SlotBusy(context);
  BOOLEAN cancelChunk = ChunkInFlight(context) && CurrentWriteEnded(context);
  UCHAR due = DueFlowChar(context);
  PUCHAR data = busy ? nullptr : ClaimFlowChar(context, due);
  ULONG length = data != nullptr ? 1 : 0;
  if (!busy && data == nullptr) {
    length = NextChunk(context);
    data = context->CurrentWriteIrpData;
  }
  BOOLEAN held = !busy && length == 0 && (context->CurrentWriteIrp != nullptr || due != FlowCharNone);
  *waiting = held || due != FlowCharNone;
  if (length > 0) {
    WriteSharedByte(&slot.Idle, 0);
  }
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  if (length > 0) {
    // OnWriteCompletion releases the remove lock.
    SubmitSlotTransfer(context, slot, data, length, OnWriteCompletion);
    return STATUS_SUCCESS;
  }
  if (cancelChunk) {
    // Outside the lock: the bus driver may complete the chunk at once. No one
    // else submits the IRP, so it is still the ended write's chunk, or back
    // already and only marked cancelled until its next submission.
    IoCancelIrp(slot.Irp);
  }
  if (held) {
    // A hold may have ended: ask the modem-status thread for fresh lines.
    RequestModemStatusRead(context);
  }
  IoReleaseRemoveLock(&context->RemoveLock, slot.Irp);
  return STATUS_SUCCESS;
}

// Caller holds WriteQueueLock. Bytes of the current write the bus confirmed.
VOID ChargeSentBytes(PPORT_DEVICE_CONTEXT context, ULONG sent) {
  if (sent > context->CurrentWriteIrpDataLen) {
    sent = context->CurrentWriteIrpDataLen;
  }
  context->CurrentWriteIrpDataLen -= sent;
  context->AmountInOutQueue -= sent;
  context->CurrentWriteIrpData += sent;
}

// Caller holds WriteQueueLock. The chunk was cancelled, or lost with the
// device: what it moved before that counts as sent, and the write ends with
// the end recorded for it, or with DELETE_PENDING when nothing had ended it.
VOID CutShortCurrentWrite(PPORT_DEVICE_CONTEXT context, ULONG moved) {
  PIRP irp = context->CurrentWriteIrp;
  if (irp == nullptr) {
    return;
  }
  ChargeSentBytes(context, moved);
  NTSTATUS status = irp->IoStatus.Status;
  FinishCurrentWrite(context, status == STATUS_PENDING ? STATUS_DELETE_PENDING : status);
}

// Caller holds WriteQueueLock. Charges a confirmed chunk to the current write
// and finishes the write when it is all sent (then it succeeded, whatever
// ended it meanwhile), or when something ended it while the chunk was in
// flight. A failed chunk fails its write at once.
VOID AccountChunk(PPORT_DEVICE_CONTEXT context, NTSTATUS irpStatus, USBD_STATUS urbStatus, ULONG sent) {
  PIRP irp = context->CurrentWriteIrp;
  if (irp == nullptr) {
    return;
  }
  if (!USBD_SUCCESS(urbStatus)) {
    FinishCurrentWrite(context, NT_SUCCESS(irpStatus) ? STATUS_UNSUCCESSFUL : irpStatus);
    return;
  }
  ChargeSentBytes(context, sent);
  if (context->CurrentWriteIrpDataLen == 0) {
    KeCancelTimer(&context->WriteTimer);
    FinishCurrentWrite(context, irpStatus);
  } else if (irp->IoStatus.Status != STATUS_PENDING) {
    FinishCurrentWrite(context, irp->IoStatus.Status);
  }
}

// Caller holds WriteQueueLock. A flow character came back: the far end knows
// it once it was delivered; one that was not stays due.
VOID AccountFlowChar(PPORT_DEVICE_CONTEXT context, BOOLEAN delivered) {
  if (delivered) {
    WriteSharedByte(&context->XoffSent, context->SlotFlowChar == FlowCharXoff ? 1 : 0);
  }
  context->SlotFlowChar = FlowCharNone;
}

// A write with bytes left or a flow character due gets the thread going;
// otherwise the transmitter is empty.
VOID KickOrReportEmpty(PPORT_DEVICE_CONTEXT context, BOOLEAN transferred) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  BOOLEAN more = (context->CurrentWriteIrp != nullptr && context->CurrentWriteIrpDataLen > 0) ||
                 DueFlowChar(context) != FlowCharNone;
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
  if (Context->DeviceState != PnpStateWorking || slot.Irp == nullptr || slot.Urb == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_DELETE_PENDING, 0);
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->WriteQueueLock, &oldIrql);
  Context->AmountInOutQueue += length;
  IoMarkIrpPending(Irp);
  NTSTATUS status = STATUS_PENDING;
  if (IsListEmpty(&Context->WriteQueue) && Context->CurrentWriteIrp == nullptr) {
    if (StartCurrentWrite(Context, Irp)) {
      KeSetEvent(&Context->WritePollEvent, IO_NO_INCREMENT, FALSE);
    } else {
      status = STATUS_CANCELLED;
    }
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

VOID CurrentWriteIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  if (Irp != context->CurrentWriteIrp) {
    // Finished while this routine was on its way: the result is in the request.
    KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return;
  }
  context->CurrentWriteCancelled = 1;
  BOOLEAN kick = EndCurrentWriteLocked(context, STATUS_CANCELLED);
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  if (kick) {
    KeSetEvent(&context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID PollingWriteInterruptUrb(PVOID StartContext) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(StartContext);
  PVOID events[2] = {&context->WriteKillEvent, &context->WritePollEvent};
  LARGE_INTEGER pollInterval;
  pollInterval.QuadPart = HoldPollInterval;
  BOOLEAN waiting = FALSE;
  NTSTATUS wait = STATUS_SUCCESS;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  while (NT_SUCCESS(exitStatus) && WaitForThreadWork(2, events, waiting ? &pollInterval : nullptr, &wait)) {
    if (wait == STATUS_WAIT_1 || wait == STATUS_TIMEOUT) {
      exitStatus = SendNextChunk(context, &waiting);
    }
  }
  PsTerminateSystemThread(exitStatus);
}

NTSTATUS OnWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  IntUrb* slot = static_cast<IntUrb*>(Context);
  PPORT_DEVICE_CONTEXT context = GetPortContext(slot->Fdo);
  NTSTATUS irpStatus = Irp->IoStatus.Status;
  USBD_STATUS urbStatus = slot->Urb->UrbHeader.Status;
  ULONG sent = slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  BOOLEAN succeeded = NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  WriteSharedByte(&slot->Idle, 1);
  BOOLEAN flowChar = context->SlotFlowChar != FlowCharNone;
  BOOLEAN delivered = succeeded && sent == 1;
  if (flowChar) {
    AccountFlowChar(context, delivered);
  } else if (IsSlotTransferShutDown(irpStatus, urbStatus)) {
    CutShortCurrentWrite(context, sent);
  } else {
    AccountChunk(context, irpStatus, urbStatus, sent);
  }
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  // A flow character that failed waits for the thread's next look.
  if (context->DeviceState == PnpStateWorking && (!flowChar || delivered)) {
    KickOrReportEmpty(context, succeeded && !flowChar);
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
