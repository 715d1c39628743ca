// Register read-modify-writes here never write a byte whose read failed: the
// other bits of the register would be unknown. Such a write is skipped and,
// where the register decides the request, the read's failure is reported.
#include "driver/ioctl/line_status_requests.h"

#include "driver/context/debug_log.h"
#include "driver/context/receive_ring.h"
#include "driver/context/shared_flags.h"
#include "driver/context/device_power_requests.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/modem_status.h"
#include "driver/uart/purge.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "driver/datapath/wait_mask.h"

namespace {

// The line routines reach the chip, which must be powered.
NTSTATUS ChangeLineInD0(PPORT_DEVICE_CONTEXT context, NTSTATUS (*change)(PPORT_DEVICE_CONTEXT)) {
  if (context->DevPowerState != PowerDeviceD0) {
    NTSTATUS status = SendDeviceSetPower(context, PowerDeviceD0, TRUE);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  return change(context);
}

// With the mode flag copy (bit 2) set, SERIAL_CONFIG_REG0 bits 3 and 4 follow
// the break, unless the pins of PIN_INPUT_REG bits 4-6 say otherwise. Its
// statuses never decide the request's.
VOID FollowBreakInConfig(PPORT_DEVICE_CONTEXT context, BOOLEAN breakOn) {
  UCHAR pins = 0;
  UCHAR config = 0;
  if (!NT_SUCCESS(ReadRegisterByte(context, PIN_INPUT_REG, &pins)) ||
      !NT_SUCCESS(ReadRegisterByte(context, SERIAL_CONFIG_REG0, &config)) ||
      (config & CONFIG0_MODE_FLAG0) == 0) {
    return;
  }
  BOOLEAN pinsActive = (pins & PIN_INPUT_BREAK_MASK) != 0;
  if (breakOn && pinsActive) {
    config &= UCHAR(~CONFIG0_MODE_FLAG1);
  } else {
    config |= CONFIG0_MODE_FLAG1;
    if (!pinsActive) {
      BOOLEAN levelHigh = (context->PortModeFlags & PortModeBreakLevelHigh) != 0;
      if (levelHigh == breakOn) {
        config |= CONFIG0_BREAK_LEVEL;
      } else {
        config &= UCHAR(~CONFIG0_BREAK_LEVEL);
      }
    }
  }
  WriteRegisterByte(context, SERIAL_CONFIG_REG0, config);
}

// The LCR break bit; TxHolding's break bit follows once the write was tried.
NTSTATUS SetLcrBreak(PPORT_DEVICE_CONTEXT context, BOOLEAN on) {
  UCHAR lcr = 0;
  NTSTATUS status = ReadRegisterByte(context, LINE_CONTROL_REGISTER, &lcr);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  lcr = on ? UCHAR(lcr | LCR_BREAK) : UCHAR(lcr & ~LCR_BREAK);
  status = WriteRegisterByte(context, LINE_CONTROL_REGISTER, lcr);
  if (on) {
    SetSharedBits(&context->TxHolding, HeldForBreak);
  } else {
    ClearSharedBits(&context->TxHolding, HeldForBreak);
  }
  return status;
}

// An error flag is reported once: taking it clears it in the same step, so a
// flag raised meanwhile by reception is not lost.
BOOLEAN TakeErrorFlag(volatile ULONG* flag) {
  return InterlockedExchange(reinterpret_cast<volatile LONG*>(flag), 0) != 0;
}

ULONG TakeErrors(PPORT_DEVICE_CONTEXT context) {
  ULONG errors = 0;
  SERIALPERF_STATS& stats = context->PerfStats;
  if (TakeErrorFlag(&context->BreakErrorFlag)) errors |= SERIAL_ERROR_BREAK;
  if (TakeErrorFlag(&stats.FrameErrorCount)) errors |= SERIAL_ERROR_FRAMING;
  if (TakeErrorFlag(&stats.SerialOverrunErrorCount)) errors |= SERIAL_ERROR_OVERRUN;
  if (TakeErrorFlag(&stats.BufferOverrunErrorCount)) errors |= SERIAL_ERROR_QUEUEOVERRUN;
  if (TakeErrorFlag(&stats.ParityErrorCount)) errors |= SERIAL_ERROR_PARITY;
  return errors;
}

// `xoffSent`: our XOFF is in force, the far end is to hold its transmitter.
ULONG HoldReasons(ULONG holding, BOOLEAN xoffSent) {
  ULONG reasons = xoffSent ? SERIAL_TX_WAITING_XOFF_SENT : 0;
  if (holding & HeldForCts) reasons |= SERIAL_TX_WAITING_FOR_CTS;
  if (holding & HeldForDsr) reasons |= SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_XOFF_SENT;
  if (holding & HeldForDcd) reasons |= SERIAL_TX_WAITING_FOR_DCD;
  if (holding & HeldForXoff) reasons |= SERIAL_TX_WAITING_FOR_XON | SERIAL_RX_WAITING_FOR_DSR;
  if (holding & HeldForBreak) reasons |= SERIAL_TX_WAITING_ON_BREAK;
  return reasons;
}

ULONG AmountInInQueue(PPORT_DEVICE_CONTEXT context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReceiveBufferLock, &oldIrql);
  ULONG held = GetQueueBufferCount(&context->ReceiveBuffer);
  KeReleaseSpinLock(&context->ReceiveBufferLock, oldIrql);
  return held;
}

// The write path changes it under WriteQueueLock.
ULONG AmountInOutQueue(PPORT_DEVICE_CONTEXT context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->WriteQueueLock, &oldIrql);
  ULONG pending = context->AmountInOutQueue;
  KeReleaseSpinLock(&context->WriteQueueLock, oldIrql);
  return pending;
}

}  // namespace

NTSTATUS IoctlSetDtr(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return ChangeLineInD0(Context, SerialSetDtr);
}

NTSTATUS IoctlClrDtr(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return ChangeLineInD0(Context, SerialClrDtr);
}

NTSTATUS IoctlSetRts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return ChangeLineInD0(Context, SerialSetRts);
}

NTSTATUS IoctlClrRts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return ChangeLineInD0(Context, SerialClrRts);
}

// With RTS transmit toggle, RTS goes up for the break as for any transmission.
NTSTATUS IoctlSetBreakOn(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  FollowBreakInConfig(Context, TRUE);
  if ((Context->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
    SerialSetRts(Context);
  }
  return SetLcrBreak(Context, TRUE);
}

// The LCR is left alone unless a break is known to be on.
NTSTATUS IoctlSetBreakOff(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  NTSTATUS status = STATUS_SUCCESS;
  if ((ReadShared(&Context->TxHolding) & HeldForBreak) != 0) {
    status = SetLcrBreak(Context, FALSE);
  }
  FollowBreakInConfig(Context, FALSE);
  return status;
}

// Only the transmit hold changes; no character is sent.
NTSTATUS IoctlSetXoff(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SetSharedBits(&Context->TxHolding, HeldForXoff);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlSetXon(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ClearSharedBits(&Context->TxHolding, HeldForXoff);
  return STATUS_SUCCESS;
}

// A failed read is reported as such rather than as a register holding 0.
NTSTATUS IoctlGetModemControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  UCHAR mcr = 0;
  NTSTATUS status = ReadRegisterByte(Context, MODEM_CONTROL_REGISTER, &mcr);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return CopyOut(Request, ULONG(mcr));
}

// The caller's byte goes in unchanged, loopback and OUT2 included.
NTSTATUS IoctlSetModemControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ULONG value;
  CopyIn(&value, Request);
  return WriteModemControl(Context, UCHAR(value));
}

NTSTATUS IoctlGetModemStatus(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return CopyOut(Request, ULONG(SerialHandleModemUpdate(Context)));
}

NTSTATUS IoctlGetCommStatus(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_STATUS status;
  RtlZeroMemory(&status, sizeof status);
  status.Errors = TakeErrors(Context);
  status.HoldReasons = HoldReasons(ReadShared(&Context->TxHolding), ReadSharedByte(&Context->XoffSent) != 0);
  status.AmountInInQueue = AmountInInQueue(Context);
  status.AmountInOutQueue = AmountInOutQueue(Context);
  return CopyOut(Request, status);
}

// Reception sets the error members while this runs; each is read whole.
NTSTATUS IoctlGetStats(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIALPERF_STATS& live = Context->PerfStats;
  SERIALPERF_STATS stats;
  stats.ReceivedCount = ReadShared(&live.ReceivedCount);
  stats.TransmittedCount = ReadShared(&live.TransmittedCount);
  stats.FrameErrorCount = ReadShared(&live.FrameErrorCount);
  stats.SerialOverrunErrorCount = ReadShared(&live.SerialOverrunErrorCount);
  stats.BufferOverrunErrorCount = ReadShared(&live.BufferOverrunErrorCount);
  stats.ParityErrorCount = ReadShared(&live.ParityErrorCount);
  return CopyOut(Request, stats);
}

NTSTATUS IoctlClearStats(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SerialClearStats(Context);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlGetWaitMask(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ULONG mask = ReadShared(&Context->WaitMask);
  DebugLog(Context->DeviceObject, "-- IOCTL_SERIAL_GET_WAIT_MASK: 0x%x\n", unsigned(mask));
  return CopyOut(Request, mask);
}

// A refused mask leaves the old one in place: a failed request changes
// nothing, and the wait machinery never sees a mask it rejected.
NTSTATUS IoctlSetWaitMask(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  NTSTATUS status = SerialSetWaitMask(Context, Request->Irp);
  if (NT_SUCCESS(status)) {
    DebugLog(Context->DeviceObject, "-- WaitMask = %x\n", unsigned(ReadShared(&Context->WaitMask)));
  }
  return status;
}

NTSTATUS IoctlPurge(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return SerialStartPurge(Context, Request->Irp);
}
