// Interrupt-in reports, the modem-status thread and the two modem-status
// updates. Only PollingMSR and the dispatch routines read the status
// registers; the completion routine runs at DISPATCH_LEVEL and only decodes
// the report and sets events.
#include "driver/uart/modem_status.h"

#include "driver/context/modem_status_request.h"
#include "driver/context/receive_flow.h"
#include "driver/context/slot_transfer.h"
#include "driver/context/shared_flags.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "driver/datapath/wait_mask.h"

namespace {

// Low three bits of the interrupt identification byte.
constexpr UCHAR InterruptIdMask = 0x07;
constexpr UCHAR InterruptModemStatus = 0x00;
constexpr UCHAR InterruptLineStatus = 0x06;

constexpr UCHAR MsrChangeBits = MSR_DELTA_CTS | MSR_DELTA_DSR | MSR_TRAILING_EDGE_RI | MSR_DELTA_DCD;
constexpr UCHAR MsrLineBits = MSR_CTS | MSR_DSR | MSR_RI | MSR_DCD;

constexpr ULONG ModemThreadStartDelay = 1000;  // ms before the first status read

struct ModemEvent {
  UCHAR ChangeBit;
  ULONG Event;
};
constexpr ModemEvent ModemEvents[] = {
    {MSR_DELTA_CTS, SERIAL_EV_CTS},
    {MSR_DELTA_DSR, SERIAL_EV_DSR},
    {MSR_TRAILING_EDGE_RI, SERIAL_EV_RING},
    {MSR_DELTA_DCD, SERIAL_EV_RLSD},
};

struct Handshake {
  ULONG ControlBit;  // in HandFlow.ControlHandShake
  UCHAR LineBit;     // in the modem status
  ULONG Hold;        // in TxHolding while the line is low
};
constexpr Handshake Handshakes[] = {
    {SERIAL_CTS_HANDSHAKE, MSR_CTS, HeldForCts},
    {SERIAL_DSR_HANDSHAKE, MSR_DSR, HeldForDsr},
    {SERIAL_DCD_HANDSHAKE, MSR_DCD, HeldForDcd},
};

// Records the change events the wait mask asks for and sets or clears the
// holds of the selected handshakes; an unselected handshake holds nothing.
VOID ApplyModemStatus(PPORT_DEVICE_CONTEXT context, UCHAR status) {
  ULONG mask = ReadShared(&context->WaitMask);
  ULONG events = 0;
  for (const ModemEvent& e : ModemEvents) {
    if (status & e.ChangeBit) {
      events |= e.Event;
    }
  }
  if ((events & mask) != 0) {
    SetSharedBits(&context->HistoryMask, events & mask);
  }
  ULONG control = ReadShared(&context->HandFlow.ControlHandShake);
  ULONG held = 0;
  for (const Handshake& h : Handshakes) {
    if ((control & h.ControlBit) != 0 && (status & h.LineBit) == 0) {
      held |= h.Hold;
    }
  }
  ClearSharedBits(&context->TxHolding, ModemLineHolds & ~held);
  if (held != 0) {
    SetSharedBits(&context->TxHolding, held);
  }
}

// The modem status register, or nothing when it cannot be read: a failed
// read tells nothing about the lines, so callers keep what they knew.
BOOLEAN ReadModemStatus(PPORT_DEVICE_CONTEXT context, UCHAR* status) {
  UCHAR value = 0;
  if (!NT_SUCCESS(ReadRegisterByte(context, MODEM_STATUS_REGISTER, &value))) {
    return FALSE;
  }
  *status = value;
  return TRUE;
}

// A failure to take the remove lock means removal is under way: the thread
// ends with that status.
NTSTATUS SubmitInterruptIn(PPORT_DEVICE_CONTEXT context) {
  IntUrb& slot = context->IntUrbs[InterruptInSlot];
  if (ReadSharedByte(&slot.Idle) == 0 || slot.Irp == nullptr || slot.Urb == nullptr) {
    return STATUS_SUCCESS;  // one transfer in flight at a time
  }
  NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, slot.Irp);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  WriteSharedByte(&slot.Idle, 0);
  SubmitSlotTransfer(context, slot, slot.StatusBuffer, IntUrbStatusBufferSize, OnInterruptInCompletion);
  return STATUS_SUCCESS;
}

// A line that receive flow control lowers while the ring is filling.
struct FlowLine {
  BOOLEAN (*Selected)(PPORT_DEVICE_CONTEXT context);
  NTSTATUS (*Lower)(PPORT_DEVICE_CONTEXT context);
  NTSTATUS (*Raise)(PPORT_DEVICE_CONTEXT context);
};

constexpr FlowLine FlowLines[] = {
    {RtsHandshakeSelected, SerialClrRts, SerialSetRts},
    {DtrHandshakeSelected, SerialClrDtr, SerialSetDtr},
};

// The line levels receive flow control wants (receive_flow.h), applied here
// because a register write needs PASSIVE_LEVEL. Only this thread moves a line
// for it, and only while that line's handshake is selected.
VOID ApplyReceiveFlow(PPORT_DEVICE_CONTEXT context) {
  UCHAR wanted = ReadSharedByte(&context->ReceiveFlowOff);
  if (wanted == ReadSharedByte(&context->ReceiveFlowLow)) {
    return;
  }
  for (const FlowLine& line : FlowLines) {
    if (line.Selected(context)) {
      (wanted != 0 ? line.Lower : line.Raise)(context);
    }
  }
  WriteSharedByte(&context->ReceiveFlowLow, wanted);
}

VOID HandleModemStatusRequest(PPORT_DEVICE_CONTEXT context) {
  // Ready again before the read: an interrupt that arrives while the register
  // is being read asks for another read instead of being merged into this
  // one, which may already have missed its change.
  WriteSharedByte(&context->MsrPollReady, 1);
  SerialHandleModemUpdateBulk(context);
  SerialReportWaitEvents(context);
}

}  // namespace

VOID PollingInterruptInUrb(PVOID StartContext) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(StartContext);
  PVOID events[2] = {&context->IntKillEvent, &context->IntPollEvent};
  NTSTATUS wait = STATUS_SUCCESS;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  while (NT_SUCCESS(exitStatus) && WaitForThreadWork(2, events, nullptr, &wait)) {
    if (wait == STATUS_WAIT_1) {
      exitStatus = SubmitInterruptIn(context);
    }
  }
  PsTerminateSystemThread(exitStatus);
}

NTSTATUS OnInterruptInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  IntUrb* slot = static_cast<IntUrb*>(Context);
  PPORT_DEVICE_CONTEXT context = GetPortContext(slot->Fdo);
  NTSTATUS irpStatus = Irp->IoStatus.Status;
  USBD_STATUS urbStatus = slot->Urb->UrbHeader.Status;
  ULONG length = slot->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  // Taken before the slot is given back: the next transfer reuses the buffer.
  UCHAR interruptId = slot->StatusBuffer[0];
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IntUrbLock, &oldIrql);
  WriteSharedByte(&slot->Idle, 1);
  KeReleaseSpinLock(&context->IntUrbLock, oldIrql);
  if (IsSlotTransferShutDown(irpStatus, urbStatus)) {
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    if (ReceptionResumesAfterCancel(context, irpStatus)) {
      KeSetEvent(&context->IntPollEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (USBD_SUCCESS(urbStatus) && length != 0) {
    switch (interruptId & InterruptIdMask) {
      case InterruptModemStatus:
        RequestModemStatusRead(context);
        break;
      case InterruptLineStatus:
        KeSetEvent(&context->LsrPollEvent, IO_NO_INCREMENT, FALSE);
        break;
      default:
        break;  // bit 0 set: nothing pending
    }
  }
  IoReleaseRemoveLock(&context->RemoveLock, Irp);
  if (context->DeviceState == PnpStateWorking && USBD_SUCCESS(urbStatus) && NT_SUCCESS(irpStatus) &&
      ReadSharedByte(&context->PortClosing) == 0) {
    KeSetEvent(&context->IntPollEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID PollingMSR(PVOID StartContext) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(StartContext);
  DelayMilliseconds(ModemThreadStartDelay);
  PVOID events[3] = {&context->MsrKillEvent, &context->MsrPollEvent, &context->LsrPollEvent};
  NTSTATUS wait = STATUS_SUCCESS;
  while (WaitForThreadWork(3, events, nullptr, &wait)) {
    if (wait == STATUS_WAIT_1) {
      ApplyReceiveFlow(context);
      HandleModemStatusRequest(context);
    } else if (wait == STATUS_WAIT_2) {
      // Reading the line status clears the chip's line-status condition.
      UCHAR lineStatus = 0;
      ReadRegisterByte(context, LINE_STATUS_REGISTER, &lineStatus);
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Change bits are cleared by every read, so a value with change bits is news
// even when it equals the last one: the line moved again in between.
UCHAR SerialHandleModemUpdateBulk(PPORT_DEVICE_CONTEXT Context) {
  UCHAR saved = ReadSharedByte(&Context->SaveModemStatus);
  UCHAR status = saved;
  if (!ReadModemStatus(Context, &status) || (status == saved && (status & MsrChangeBits) == 0)) {
    return status;
  }
  WriteSharedByte(&Context->SaveModemStatus, status);
  ApplyModemStatus(Context, status);
  return status;
}

// The value read is used whole: its change bits are new since the last read
// (reading clears them in the chip), and change bits the thread has already
// reported are not reported again. The line levels are kept so that the
// thread does not take them for a change.
UCHAR SerialHandleModemUpdate(PPORT_DEVICE_CONTEXT Context) {
  UCHAR status = ReadSharedByte(&Context->SaveModemStatus) & MsrLineBits;
  ReadModemStatus(Context, &status);
  ApplyModemStatus(Context, status);
  WriteSharedByte(&Context->SaveModemStatus, status & MsrLineBits);
  return status & MsrLineBits;
}
