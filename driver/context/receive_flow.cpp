#include "driver/context/receive_flow.h"

#include "driver/context/shared_flags.h"

namespace {

// A limit of HandFlow, which IOCTL_SERIAL_SET_HANDFLOW may change meanwhile;
// a negative one counts as 0.
ULONG Limit(const LONG* field) {
  LONG value = LONG(ReadShared(reinterpret_cast<const volatile ULONG*>(field)));
  return value < 0 ? 0 : ULONG(value);
}

}  // namespace

VOID UpdateReceiveFlow(PPORT_DEVICE_CONTEXT Context, ULONG Held) {
  BOOLEAN handshake = (ReadShared(&Context->HandFlow.FlowReplace) & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
  UCHAR off = ReadSharedByte(&Context->ReceiveFlowOff);
  ULONG size = Context->ReceiveBuffer.Size;
  ULONG room = size > Held + 1 ? size - 1 - Held : 0;
  // Off once the room runs short, on again once the ring is down to XonLimit;
  // never off without the handshake.
  BOOLEAN goOff = off == 0 && room < Limit(&Context->HandFlow.XoffLimit);
  BOOLEAN goOn = off != 0 && Held <= Limit(&Context->HandFlow.XonLimit);
  UCHAR wanted = handshake && (goOff || (off != 0 && !goOn)) ? 1 : 0;
  if (wanted != off) {
    WriteSharedByte(&Context->ReceiveFlowOff, wanted);
    KeSetEvent(&Context->MsrPollEvent, IO_NO_INCREMENT, FALSE);
  }
}
