#include "driver/datapath/bulk_in.h"

#include "driver/context/receive_flow.h"
#include "driver/context/slot_transfer.h"
#include "driver/datapath/read.h"
#include "driver/context/shared_flags.h"
#include "driver/datapath/wait_mask.h"

namespace {

// Line status bits and what they leave in the context.
constexpr UCHAR LsrOverrun = 0x02;
constexpr UCHAR LsrParity = 0x04;
constexpr UCHAR LsrFraming = 0x08;
constexpr UCHAR LsrBreak = 0x10;

// Fills slot 0's URB and IRP and passes the transfer down. The caller has
// claimed the slot and holds RemoveLock with the slot IRP as tag.
VOID SubmitBulkInTransfer(PPORT_DEVICE_CONTEXT context) {
  IntUrb& slot = context->IntUrbs[BulkInSlot];
  SubmitSlotTransfer(context, slot, slot.DataBuffer, IntUrbDataBufferSize, OnReadCompletion);
}

VOID ReleaseBulkInSlot(PPORT_DEVICE_CONTEXT context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IntUrbLock, &oldIrql);
  WriteSharedByte(&context->IntUrbs[BulkInSlot].Idle, 1);
  KeReleaseSpinLock(&context->IntUrbLock, oldIrql);
}

// The error counters are flags: set to 1, never counted up.
VOID ApplyLineStatus(PPORT_DEVICE_CONTEXT context, UCHAR lineStatus) {
  if (lineStatus & LsrOverrun) {
    WriteShared(&context->PerfStats.SerialOverrunErrorCount, 1);
  }
  if (lineStatus & LsrParity) {
    WriteShared(&context->PerfStats.ParityErrorCount, 1);
  }
  if (lineStatus & LsrFraming) {
    WriteShared(&context->PerfStats.FrameErrorCount, 1);
  }
  if (lineStatus & LsrBreak) {
    WriteShared(&context->BreakErrorFlag, 1);
  }
}

// With automatic transmit flow control, a received XOFF holds our
// transmitter and an XON releases it; both stay in the data.
VOID WatchFlowCharacters(PPORT_DEVICE_CONTEXT context, const UCHAR* data, ULONG length) {
  if ((ReadShared(&context->HandFlow.FlowReplace) & SERIAL_AUTO_TRANSMIT) == 0) {
    return;
  }
  UCHAR xon = context->SpecialChars.XonChar;
  UCHAR xoff = context->SpecialChars.XoffChar;
  for (ULONG i = 0; i < length; ++i) {
    if (data[i] == xon) {
      ClearSharedBits(&context->TxHolding, HeldForXoff);
    } else if (data[i] == xoff) {
      SetSharedBits(&context->TxHolding, HeldForXoff);
    }
  }
}

// Bytes that do not fit in the ring are dropped without trace.
VOID StoreReceivedBytes(PPORT_DEVICE_CONTEXT context, const UCHAR* data, ULONG length) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReceiveBufferLock, &oldIrql);
  PushQueueBufferEntry(&context->ReceiveBuffer, data, length);
  UpdateReceiveFlow(context, GetQueueBufferCount(&context->ReceiveBuffer));
  KeReleaseSpinLock(&context->ReceiveBufferLock, oldIrql);
}

// Walks the packets of a transfer of `length` bytes. A packet whose length
// byte is below 2 or that runs past the transfer is not a packet: the rest of
// the transfer is dropped, so a bad length can neither loop nor read beyond
// the data.
VOID WalkPackets(PPORT_DEVICE_CONTEXT context, const UCHAR* data, ULONG length) {
  ULONG offset = 0;
  while (offset < length) {
    ULONG n = data[offset];
    if (n < 2 || n > length - offset) {
      return;
    }
    ApplyLineStatus(context, data[offset + n - 1]);
    if (n > 2) {
      WatchFlowCharacters(context, data + offset + 1, n - 2);
      StoreReceivedBytes(context, data + offset + 1, n - 2);
    }
    offset += n;
  }
}

// Every transfer that brought packets raises both receive events the mask
// asks for, whatever its bytes.
VOID RecordReceiveEvents(PPORT_DEVICE_CONTEXT context) {
  ULONG mask = ReadShared(&context->WaitMask);
  ULONG events = mask & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
  if (events != 0) {
    SetSharedBits(&context->HistoryMask, events);
  }
}

VOID ReceiveTransfer(PPORT_DEVICE_CONTEXT context, IntUrb* slot) {
  ULONG length = slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (length > IntUrbDataBufferSize) {
    length = IntUrbDataBufferSize;
  }
  if (length < 2) {
    return;
  }
  WalkPackets(context, slot->DataBuffer, length);
  RecordReceiveEvents(context);
  SerialReportWaitEvents(context);
}

// The slot is idle before the port's state is looked at, so that an open in
// between cannot find it busy and leave nothing armed.
NTSTATUS ShutDownReception(PPORT_DEVICE_CONTEXT context, PIRP irp, NTSTATUS irpStatus) {
  ReleaseBulkInSlot(context);
  if (ReceptionResumesAfterCancel(context, irpStatus)) {
    IoReleaseRemoveLock(&context->RemoveLock, irp);
    KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  CompleteCurrentReadWithStatus(context, STATUS_DELETE_PENDING);
  IoReleaseRemoveLock(&context->RemoveLock, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN ShouldRearm(PPORT_DEVICE_CONTEXT context, NTSTATUS irpStatus, USBD_STATUS urbStatus,
                    BOOLEAN readCompleted) {
  return context->Started == 1 && USBD_SUCCESS(urbStatus) && (NT_SUCCESS(irpStatus) || readCompleted) &&
         ReadSharedByte(&context->PortClosing) == 0;
}

// Re-arms from the completion itself, keeping the slot's claim; FALSE when
// the remove lock is gone (removal is under way) and nothing was submitted.
BOOLEAN RearmDirectly(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, irp))) {
    return FALSE;
  }
  SubmitBulkInTransfer(context);
  return TRUE;
}

// The pipe stalled while the port is open: the thread resets it and reception
// goes on. A closed port resets it at its next open.
BOOLEAN ShouldResetPipe(PPORT_DEVICE_CONTEXT context) {
  return ReadSharedByte(&context->IntUrbs[BulkInSlot].Halted) == 1 && context->Started == 1 &&
         ReadSharedByte(&context->PortClosing) == 0;
}

// The pipe stalled: the slot goes idle marked halted, and the thread resets
// the pipe now if the port is open, else at the next open.
NTSTATUS AwaitPipeReset(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  WriteSharedByte(&context->IntUrbs[BulkInSlot].Halted, 1);
  IoReleaseRemoveLock(&context->RemoveLock, irp);
  ReleaseBulkInSlot(context);
  if (ShouldResetPipe(context)) {
    KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The stalled pipe is reset: reception starts again, keeping the slot's claim
// and the remove lock, unless the port closed meanwhile or the reset failed.
IO_COMPLETION_ROUTINE OnPipeResetCompletion;
NTSTATUS OnPipeResetCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PPORT_DEVICE_CONTEXT context = GetPortContext(static_cast<IntUrb*>(Context)->Fdo);
  NTSTATUS irpStatus = Irp->IoStatus.Status;
  USBD_STATUS urbStatus = static_cast<IntUrb*>(Context)->Urb->UrbHeader.Status;
  if (IsSlotTransferShutDown(irpStatus, urbStatus)) {
    return ShutDownReception(context, Irp, irpStatus);
  }
  if (NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus) && context->Started == 1 &&
      ReadSharedByte(&context->PortClosing) == 0) {
    SubmitBulkInTransfer(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  ReleaseBulkInSlot(context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

VOID PollingReadInterruptUrb(PVOID StartContext) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(StartContext);
  IntUrb& slot = context->IntUrbs[BulkInSlot];
  PVOID events[2] = {&context->ReadKillEvent, &context->ReadPollEvent};
  NTSTATUS wait = STATUS_SUCCESS;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  while (WaitForThreadWork(2, events, nullptr, &wait)) {
    if (wait != STATUS_WAIT_1 || ExchangeSharedByte(&slot.Idle, 0) == 0) {
      continue;  // a transfer is in flight, or its completion is running
    }
    exitStatus = IoAcquireRemoveLock(&context->RemoveLock, slot.Irp);
    if (!NT_SUCCESS(exitStatus)) {
      ReleaseBulkInSlot(context);  // removal is under way
      break;
    }
    if (ExchangeSharedByte(&slot.Halted, 0) != 0) {
      SubmitSlotPipeReset(context, slot, OnPipeResetCompletion);
    } else {
      SubmitBulkInTransfer(context);
    }
  }
  PsTerminateSystemThread(exitStatus);
}

NTSTATUS OnReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  IntUrb* slot = static_cast<IntUrb*>(Context);
  PPORT_DEVICE_CONTEXT context = GetPortContext(slot->Fdo);
  NTSTATUS irpStatus = Irp->IoStatus.Status;
  USBD_STATUS urbStatus = slot->Urb->UrbHeader.Status;
  if (IsPipeHalt(urbStatus)) {
    return AwaitPipeReset(context, Irp);
  }
  if (IsSlotTransferShutDown(irpStatus, urbStatus)) {
    return ShutDownReception(context, Irp, irpStatus);
  }
  if (USBD_SUCCESS(urbStatus)) {
    ReceiveTransfer(context, slot);
  }
  BOOLEAN readCompleted = CompleteReadFromReceive(context);
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  if (!ShouldRearm(context, irpStatus, urbStatus, readCompleted)) {
    ReleaseBulkInSlot(context);
    // An open that cleared PortClosing meanwhile may have found the slot busy.
    if (ShouldRearm(context, irpStatus, urbStatus, readCompleted)) {
      KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (context->WhqlTest == 0 && context->RearmViaThread != 1) {
    if (!RearmDirectly(context, Irp)) {
      ReleaseBulkInSlot(context);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ReleaseBulkInSlot(context);
  KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
