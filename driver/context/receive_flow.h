// Receive flow control: when the receive ring's free space falls below
// HandFlow.XoffLimit the far end is to stop sending, and once the ring holds
// no more than XonLimit it may go on. Without it a reader slower than the
// line loses what no longer fits in the ring. Three ways tell the far end:
// the RTS handshake and the DTR handshake lower their line, and
// SERIAL_AUTO_RECEIVE sends XoffChar, then XonChar. Here only the wanted
// state is recorded: a line moves through a register write, which needs
// PASSIVE_LEVEL (the modem-status thread applies it), and a character goes
// out on the bulk-out slot (its thread sends it).
#pragma once

#include "driver/context/port_context.h"

// What slot 2 carries besides write chunks (SlotFlowChar), and what
// ReceiveFlowCharDue asks for.
constexpr UCHAR FlowCharNone = 0;
constexpr UCHAR FlowCharXon = 1;
constexpr UCHAR FlowCharXoff = 2;

// The handshakes that lower their line while the ring is filling.
BOOLEAN RtsHandshakeSelected(PPORT_DEVICE_CONTEXT Context);
BOOLEAN DtrHandshakeSelected(PPORT_DEVICE_CONTEXT Context);

// Records whether the far end is to stop for a ring that now holds `Held`
// bytes, and wakes the threads that tell it. The caller holds
// ReceiveBufferLock, so that the ring's filler and emptier decide in turn.
VOID UpdateReceiveFlow(PPORT_DEVICE_CONTEXT Context, ULONG Held);

// The flow character the far end is to be sent next: XOFF once the ring is
// filling under SERIAL_AUTO_RECEIVE, XON once our XOFF is in force and the
// ring has drained or the mode is off; FlowCharNone when the far end already
// knows.
UCHAR ReceiveFlowCharDue(PPORT_DEVICE_CONTEXT Context);

// Wakes the bulk-out thread when a flow character is due.
VOID WakeForFlowChar(PPORT_DEVICE_CONTEXT Context);
