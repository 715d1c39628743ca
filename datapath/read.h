// Read requests: completed at once from the receive ring when the serial
// timeouts allow it, otherwise queued and served one at a time as
// CurrentReadIrp by bulk-in completions and by the read timer.
//
// A queued read carries ReadIrpCancelRoutine; the current read has none and
// ends by data, by the timer, by a receive purge or by close.
#pragma once

#include "platform/platform.h"
#include "context/port_context.h"

// IRP_MJ_READ body, at PASSIVE_LEVEL: STATUS_SUCCESS, STATUS_INVALID_PARAMETER
// or STATUS_DELETE_PENDING (completed at once), or STATUS_PENDING (queued, or
// found cancelled while being queued and completed as cancelled).
NTSTATUS QueueOrCompleteReadIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// Takes ReadQueueLock: the oldest queued read that is not being cancelled,
// now without a cancel routine, or null.
PIRP DequeueReadIrp(PPORT_DEVICE_CONTEXT Context);

VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Run by every bulk-in completion that is not a shut-down case: lets the
// current read take what the ring holds, or arms the interval timer. TRUE
// when it completed a read.
BOOLEAN CompleteReadFromReceive(PPORT_DEVICE_CONTEXT Context);

// DPC of ReadTimer (context: the port context): ends whichever read is
// current with what the ring holds.
KDEFERRED_ROUTINE ReadTimeoutRoutine;

// Takes CurrentReadIrp and completes it with Status and 0 bytes, under
// CurrentReadLock so that the timer and the bulk-in path cannot complete it
// too. Used when reception shuts down.
VOID CompleteCurrentReadWithStatus(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status);
