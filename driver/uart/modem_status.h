// Modem status tracking. The chip reports UART interrupt conditions on its
// 16-byte interrupt-in endpoint; the completion only decodes the report and
// wakes the modem-status thread, which reads the modem status register over
// USB, turns it into handshake holds (TxHolding bits 0-2) and modem events
// (HistoryMask), and completes a satisfied wait.
//
// MsrPollReady merges modem-status requests: it is 1 while a new read may be
// asked for, and whoever turns it from 1 to 0 signals MsrPollEvent. The chip
// keeps its change bits until the register is read, so one read covers every
// interrupt in between.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Worker thread (context: the port context): submits the interrupt-in
// transfer when IntPollEvent is set and slot 1 is idle; IntKillEvent ends it.
KSTART_ROUTINE PollingInterruptInUrb;

// Completion routine of the interrupt-in transfer (context: slot 1). Always
// STATUS_MORE_PROCESSING_REQUIRED: the IRP is the slot's own.
IO_COMPLETION_ROUTINE OnInterruptInCompletion;

// Modem-status worker thread (context: the port context): MsrPollEvent reads
// the modem status, LsrPollEvent the line status; MsrKillEvent ends it.
KSTART_ROUTINE PollingMSR;

// The thread's update, at PASSIVE_LEVEL: reads the modem status register and,
// when it differs from SaveModemStatus, stores it and updates holds and
// events. Returns the value read (0 when the read failed).
UCHAR SerialHandleModemUpdateBulk(PPORT_DEVICE_CONTEXT Context);

// The on-demand update for IOCTL_SERIAL_GET_MODEMSTATUS and a new handshake
// setting, at PASSIVE_LEVEL: updates holds and events from the freshly read
// line levels and returns the modem status with its change bits (0-3)
// cleared. Never completes a wait. DoingTx has no effect; callers pass FALSE.
UCHAR SerialHandleModemUpdate(PPORT_DEVICE_CONTEXT Context);
