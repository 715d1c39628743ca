// Receive flow control with the RTS handshake: when the receive ring's free
// space falls below HandFlow.XoffLimit, RTS is to go low so that the far end
// holds its transmitter; once the ring holds no more than XonLimit, RTS is to
// go high again. Without it a reader slower than the line loses what no
// longer fits in the ring. Changing the line is a register write, which
// needs PASSIVE_LEVEL: here only the wanted state is recorded, and the
// modem-status thread is woken to apply it.
#pragma once

#include "driver/context/port_context.h"

// Records whether RTS is to be held low for a ring that now holds `Held`
// bytes. The caller holds ReceiveBufferLock, so that the ring's filler and
// emptier decide in turn.
VOID UpdateReceiveFlow(PPORT_DEVICE_CONTEXT Context, ULONG Held);
