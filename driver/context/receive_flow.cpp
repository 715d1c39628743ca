#include "driver/context/receive_flow.h"

#include "driver/context/shared_flags.h"

namespace {

// A limit of HandFlow, which IOCTL_SERIAL_SET_HANDFLOW may change meanwhile;
// a negative one counts as 0.
ULONG Limit(const LONG* field) {
  LONG value = LONG(ReadShared(reinterpret_cast<const volatile ULONG*>(field)));
  return value < 0 ? 0 : ULONG(value);
}

BOOLEAN AutoReceive(PPORT_DEVICE_CONTEXT context) {
  return (ReadShared(&context->HandFlow.FlowReplace) & SERIAL_AUTO_RECEIVE) != 0;
}

// Whether any receive flow control is selected.
BOOLEAN ReceiveFlowSelected(PPORT_DEVICE_CONTEXT context) {
  return RtsHandshakeSelected(context) || DtrHandshakeSelected(context) || AutoReceive(context);
}

}  // namespace

BOOLEAN RtsHandshakeSelected(PPORT_DEVICE_CONTEXT Context) {
  return (ReadShared(&Context->HandFlow.FlowReplace) & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

BOOLEAN DtrHandshakeSelected(PPORT_DEVICE_CONTEXT Context) {
  return (ReadShared(&Context->HandFlow.ControlHandShake) & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

VOID UpdateReceiveFlow(PPORT_DEVICE_CONTEXT Context, ULONG Held) {
  UCHAR off = ReadSharedByte(&Context->ReceiveFlowOff);
  ULONG size = Context->ReceiveBuffer.Size;
  ULONG room = size > Held + 1 ? size - 1 - Held : 0;
  // Off once the room runs short, on again once the ring is down to XonLimit;
  // never off without a receive flow control.
  BOOLEAN goOff = off == 0 && room < Limit(&Context->HandFlow.XoffLimit);
  BOOLEAN goOn = off != 0 && Held <= Limit(&Context->HandFlow.XonLimit);
  UCHAR wanted = ReceiveFlowSelected(Context) && (goOff || (off != 0 && !goOn)) ? 1 : 0;
  if (wanted != off) {
    WriteSharedByte(&Context->ReceiveFlowOff, wanted);
    KeSetEvent(&Context->MsrPollEvent, IO_NO_INCREMENT, FALSE);
    WakeForFlowChar(Context);
  }
}

UCHAR ReceiveFlowCharDue(PPORT_DEVICE_CONTEXT Context) {
  BOOLEAN stop = AutoReceive(Context) && ReadSharedByte(&Context->ReceiveFlowOff) != 0;
  BOOLEAN stopped = ReadSharedByte(&Context->XoffSent) != 0;
  if (stop == stopped) {
    return FlowCharNone;
  }
  return stop ? FlowCharXoff : FlowCharXon;
}

// The bulk-out completion looks again after each flow character, so one
// that becomes due while another is in flight is not missed.
VOID WakeForFlowChar(PPORT_DEVICE_CONTEXT Context) {
  if (ReceiveFlowCharDue(Context) != FlowCharNone) {
    KeSetEvent(&Context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  }
}
