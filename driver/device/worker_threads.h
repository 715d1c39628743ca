// The port's four worker threads and three transfer slots. Slots and threads
// come into existence at the first start and live until removal; a restart
// reuses them. No transfer is submitted here: open and the completions signal
// the poll events.
//
//   thread                    slot  pipe             kill / poll events
//   PollingReadInterruptUrb   0     1 (bulk-in)      ReadKillEvent / ReadPollEvent
//   PollingWriteInterruptUrb  2     2 (bulk-out)     WriteKillEvent / WritePollEvent
//   PollingInterruptInUrb     1     0 (interrupt-in) IntKillEvent / IntPollEvent
//   PollingMSR                -     -                MsrKillEvent / MsrPollEvent, LsrPollEvent
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Allocates the slots' IRPs and URBs where missing, primes the three slots
// (Idle, pipe, device object) and creates the three transfer threads where
// missing. STATUS_INSUFFICIENT_RESOURCES or the thread creation failure stop
// it early; what was built stays for the next start. PASSIVE_LEVEL.
NTSTATUS StartPollingThreads(PDEVICE_OBJECT Fdo);

// Creates PollingMSR unless it exists. PASSIVE_LEVEL.
NTSTATUS StartMsrThread(PDEVICE_OBJECT Fdo);

// The port works again, after a stop or a removal that was called off, or
// after a stop: completions that came while it did not left their chains
// idle (a write with bytes to send, reception and modem-status reports of an
// open port). A thread whose slot is busy ignores the signal.
VOID ResumeTransfers(PPORT_DEVICE_CONTEXT Context);

// Cancels the transfers in flight (bulk-in and interrupt-in always, bulk-out
// when busy) and marks the bulk-out slot idle under WriteQueueLock.
VOID CancelPendingTransfers(PPORT_DEVICE_CONTEXT Context);

// Ends the interrupt-in, bulk-in and bulk-out threads in that order (kill
// event, 100 ms, wait, dereference) and frees the slots' IRPs and URBs. Only
// after removal's wait on the remove lock: no transfer may be in flight.
// PASSIVE_LEVEL.
VOID StopPollingThreads(PPORT_DEVICE_CONTEXT Context);

// Ends PollingMSR the same way. PASSIVE_LEVEL.
VOID StopMsrThread(PPORT_DEVICE_CONTEXT Context);
