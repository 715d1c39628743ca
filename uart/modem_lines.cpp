// DTR and RTS live only in the chip's modem control register; each change is
// a read-modify-write of it, each half under RegisterMutex, so two changes
// from different threads can still interleave.
#include "uart/modem_lines.h"

#include "datapath/shared_flags.h"
#include "uart/modem_status.h"
#include "uart/register_access.h"
#include "uart/register_map.h"

namespace {

// The register's other bits (OUT2, loopback) are not ours to guess: when the
// read fails nothing is written, and the read's failure is the result.
NTSTATUS ChangeModemControl(PPORT_DEVICE_CONTEXT context, UCHAR bit, BOOLEAN set) {
  UCHAR value = 0;
  NTSTATUS status = ReadRegister(context, MODEM_CONTROL_REGISTER, 1, &value);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  value = set ? UCHAR(value | bit) : UCHAR(value & ~bit);
  return status | WriteRegister(context, MODEM_CONTROL_REGISTER, 1, &value);
}

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

NTSTATUS SerialSetDtr(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_DTR, TRUE); }

NTSTATUS SerialClrDtr(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_DTR, FALSE); }

NTSTATUS SerialSetRts(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_RTS, TRUE); }

NTSTATUS SerialClrRts(PPORT_DEVICE_CONTEXT Context) { return ChangeModemControl(Context, MCR_RTS, FALSE); }

// A mode that does not change leaves its line alone, even if a line request
// moved the line meanwhile.
VOID SerialSetupNewHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow) {
  SERIAL_HANDFLOW& old = Context->HandFlow;
  ULONG dtrMode = NewHandFlow->ControlHandShake & SERIAL_DTR_MASK;
  if ((ReadShared(&old.ControlHandShake) & SERIAL_DTR_MASK) != dtrMode) {
    ApplyDtrMode(Context, dtrMode);
  }
  ULONG rtsMode = NewHandFlow->FlowReplace & SERIAL_RTS_MASK;
  if ((ReadShared(&old.FlowReplace) & SERIAL_RTS_MASK) != rtsMode) {
    ApplyRtsMode(Context, rtsMode);
  }
  // The completions read these while the request runs.
  WriteShared(&old.ControlHandShake, NewHandFlow->ControlHandShake);
  WriteShared(&old.FlowReplace, NewHandFlow->FlowReplace);
  WriteShared(reinterpret_cast<volatile ULONG*>(&old.XonLimit), ULONG(NewHandFlow->XonLimit));
  WriteShared(reinterpret_cast<volatile ULONG*>(&old.XoffLimit), ULONG(NewHandFlow->XoffLimit));
}

VOID SerialApplyHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow) {
  SerialSetupNewHandFlow(Context, NewHandFlow);
  SerialHandleModemUpdate(Context, FALSE);
}
