// The modem control outputs DTR and RTS, bits 0 and 1 of the chip's modem
// control register, and how a new SERIAL_HANDFLOW moves them. The chip holds
// the line state; the driver keeps a copy of the register only for a chip
// that lost power. All at PASSIVE_LEVEL.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Read-modify-write of MODEM_CONTROL_REGISTER changing one bit. When the read
// fails nothing is written (the register's other bits are unknown) and the
// read's failure is returned; otherwise the write's status.
NTSTATUS SerialSetDtr(PPORT_DEVICE_CONTEXT Context);
NTSTATUS SerialClrDtr(PPORT_DEVICE_CONTEXT Context);
NTSTATUS SerialSetRts(PPORT_DEVICE_CONTEXT Context);
NTSTATUS SerialClrRts(PPORT_DEVICE_CONTEXT Context);

// Writes MODEM_CONTROL_REGISTER and, when the write succeeded, keeps the
// value as ModemControl.
NTSTATUS WriteModemControl(PPORT_DEVICE_CONTEXT Context, UCHAR Value);

// Read-modify-write of MODEM_CONTROL_REGISTER: Clear's bits off, then Set's
// on. A failed read writes nothing and is the result.
NTSTATUS ChangeModemControl(PPORT_DEVICE_CONTEXT Context, UCHAR Set, UCHAR Clear);

// After a power-up: an open port's register gets back the value last
// written (a chip that lost power comes up with its lines low).
VOID RestoreModemControl(PPORT_DEVICE_CONTEXT Context);

// Moves DTR and RTS where their modes differ from HandFlow's, ends the XOFF
// hold when XON/XOFF output flow control goes off, then stores all of
// NewHandFlow in HandFlow (also when a line change failed).
VOID SerialSetupNewHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow);

// IOCTL_SERIAL_SET_HANDFLOW body: SerialSetupNewHandFlow, then a modem-status
// update so that the new handshake bits take effect on TxHolding.
VOID SerialApplyHandFlow(PPORT_DEVICE_CONTEXT Context, const SERIAL_HANDFLOW* NewHandFlow);
