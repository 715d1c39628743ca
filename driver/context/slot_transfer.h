// Submission of a transfer slot's bulk or interrupt transfer: the one place
// that fills a slot's URB and reuses its IRP.
#pragma once

#include "driver/context/port_context.h"

// Fills the slot's URB for a bulk or interrupt transfer on the slot's pipe and
// passes the slot IRP down with `completion` (called with the slot as its
// context). The caller has claimed the slot and holds RemoveLock with the
// slot IRP as tag.
VOID SubmitSlotTransfer(PPORT_DEVICE_CONTEXT context, IntUrb& slot, PVOID buffer, ULONG length,
                        PIO_COMPLETION_ROUTINE completion);

// Resets the slot's pipe and clears its stall, with the slot IRP and URB, and
// calls `completion` as SubmitSlotTransfer does. PASSIVE_LEVEL (the bus
// driver takes the reset only there); same claims as SubmitSlotTransfer.
VOID SubmitSlotPipeReset(PPORT_DEVICE_CONTEXT context, IntUrb& slot, PIO_COMPLETION_ROUTINE completion);

// The pipe answered with a stall: it stays halted until it is reset.
BOOLEAN IsPipeHalt(USBD_STATUS UrbStatus);

// A slot transfer that was cancelled, failed as unsuccessful, or found the
// device gone: its chain stops and nothing is decoded.
BOOLEAN IsSlotTransferShutDown(NTSTATUS IrpStatus, USBD_STATUS UrbStatus);

// A cancelled receive transfer (bulk-in or interrupt-in) that comes back
// while the port is open and working: the close that cancelled it has been
// followed by an open, whose own signal found the slot still busy, so the
// chain goes on instead of stopping. The caller has already marked the slot
// idle: either it sees the open's cleared PortClosing here, or the open's
// signal finds the slot idle.
BOOLEAN ReceptionResumesAfterCancel(PPORT_DEVICE_CONTEXT Context, NTSTATUS IrpStatus);

// A slot's worker thread waits for one of its Events, the kill event first,
// for at most Timeout (none: without limit); *Wait gets the wait's result.
// FALSE when the thread is to end: the kill event, or a failed wait. Only the
// thread's top routine ends it.
BOOLEAN WaitForThreadWork(ULONG Count, PVOID* Events, PLARGE_INTEGER Timeout, NTSTATUS* Wait);
