// DTR and RTS live only in the chip's modem control register; each change is
// a read-modify-write of it, each half under RegisterMutex, so two changes
// from different threads can still interleave.
#include "driver/uart/modem_lines.h"

#include "driver/context/receive_flow.h"
#include "driver/context/shared_flags.h"
#include "driver/uart/modem_status.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

// DTR modes 1, 2 and 3 all raise the line.
VOID ApplyDtrMode(PPORT_DEVICE_CONTEXT context, ULONG mode) {
  if (mode == 0) {
    SerialClrDtr(context);
  } else {
    SerialSetDtr(context);
  }
}

// Transmit toggle leaves the line as it is.
VOID ApplyRtsMode(PPORT_DEVICE_CONTEXT context, ULONG mode) {
  if (mode == SERIAL_RTS_CONTROL || mode == SERIAL_RTS_HANDSHAKE) {
    SerialSetRts(context);
  } else if (mode == 0) {
    SerialClrRts(context);
  }
}

}  // namespace

NTSTATUS WriteModemControl(PPORT_DEVICE_CONTEXT Context, UCHAR Value) {
  NTSTATUS status = WriteRegisterByte(Context, MODEM_CONTROL_REGISTER, Value);
  if (NT_SUCCESS(status)) {
    WriteSharedByte(&Context->ModemControl, Value);
  }
  return status;
}

// The register's other bits (OUT2, loopback) are not ours to guess: when the
// read fails nothing is written, and the read's failure is the result.
NTSTATUS ChangeModemControl(PPORT_DEVICE_CONTEXT Context, UCHAR Set, UCHAR Clear) {
  UCHAR value = 0;
  NTSTATUS status = ReadRegisterByte(Context, MODEM_CONTROL_REGISTER, &value);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return status | WriteModemControl(Context, UCHAR((value & ~Clear) | Set));
}

// A closed port's lines are low, as the power-up leaves them.
VOID RestoreModemControl(PPORT_DEVICE_CONTEXT Context) {
  if (ReadShared(&Context->handles) != 0) {
    WriteModemControl(Context, ReadSharedByte(&Context->ModemControl));
  }
}

NTSTATUS SerialSetDtr(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_DTR, 0); }

NTSTATUS SerialClrDtr(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, 0, MCR_DTR); }

NTSTATUS SerialSetRts(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_RTS, 0); }

NTSTATUS SerialClrRts(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, 0, MCR_RTS); }

// A mode that does not change leaves its line alone, even if a line request
// moved the line meanwhile.
VOID SerialSetupNewHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow) {
  SERIAL_HANDFLOW& old = Context->HandFlow;
  ULONG dtrMode = NewHandFlow->ControlHandShake & SERIAL_DTR_MASK;
  if ((ReadShared(&old.ControlHandShake) & SERIAL_DTR_MASK) != dtrMode) {
    ApplyDtrMode(Context, dtrMode);
  }
  ULONG oldReplace = ReadShared(&old.FlowReplace);
  ULONG rtsMode = NewHandFlow->FlowReplace & SERIAL_RTS_MASK;
  if ((oldReplace & SERIAL_RTS_MASK) != rtsMode) {
    ApplyRtsMode(Context, rtsMode);
  }
  // A received XOFF would otherwise hold the sender until an XON that no
  // longer means anything.
  if ((oldReplace & SERIAL_AUTO_TRANSMIT) != 0 && (NewHandFlow->FlowReplace & SERIAL_AUTO_TRANSMIT) == 0) {
    ClearSharedBits(&Context->TxHolding, HeldForXoff);
  }
  // The completions read these while the request runs.
  WriteShared(&old.ControlHandShake, NewHandFlow->ControlHandShake);
  WriteShared(&old.FlowReplace, NewHandFlow->FlowReplace);
  WriteShared(reinterpret_cast<volatile ULONG*>(&old.XonLimit), ULONG(NewHandFlow->XonLimit));
  WriteShared(reinterpret_cast<volatile ULONG*>(&old.XoffLimit), ULONG(NewHandFlow->XoffLimit));
  // The ring may already be filling for the new mode or limits, and a mode
  // turned off ends its XOFF with an XON.
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->ReceiveBufferLock, &oldIrql);
  UpdateReceiveFlow(Context, GetQueueBufferCount(&Context->ReceiveBuffer));
  KeReleaseSpinLock(&Context->ReceiveBufferLock, oldIrql);
  WakeForFlowChar(Context);
}

VOID SerialApplyHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow) {
  SerialSetupNewHandFlow(Context, NewHandFlow);
  SerialHandleModemUpdate(Context);
}
