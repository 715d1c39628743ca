// Read requests: completed at once from the receive ring when the serial
// timeouts allow it and no earlier read is pending, otherwise queued and
// served one at a time, in the order issued, as CurrentReadIrp by bulk-in
// completions, by the read timer and from the ring as each read ends.
//
// A pending read, queued or current, carries ReadIrpCancelRoutine; it ends by
// data, by its own total or interval timeout, by cancellation, by a receive
// purge or by close.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// IRP_MJ_READ body, at PASSIVE_LEVEL: STATUS_SUCCESS, STATUS_INVALID_PARAMETER
// or STATUS_DELETE_PENDING (completed at once), or STATUS_PENDING (queued, or
// found cancelled while being queued and completed as cancelled).
NTSTATUS QueueOrCompleteReadIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// Takes ReadQueueLock; the caller holds CurrentReadLock and makes the result
// current: the oldest queued read, off the queue with its cancel routine
// still set, or null.
PIRP DequeueReadIrp(PPORT_DEVICE_CONTEXT Context);

// For a queued or current read: completes it with STATUS_CANCELLED and 0
// bytes (reads take their bytes only when they complete), and when it was
// the front takes up the next read.
DRIVER_CANCEL ReadIrpCancelRoutine;

// Run by every bulk-in completion that is not a shut-down case: lets the
// current read take what the ring holds, or arms the interval timer. TRUE
// when it completed a read.
BOOLEAN CompleteReadFromReceive(PPORT_DEVICE_CONTEXT Context);

// DPC of ReadTimer (context: the port context): ends the read the timer was
// armed for, when it is still the front, with what the ring holds.
KDEFERRED_ROUTINE ReadTimeoutRoutine;

// Takes CurrentReadIrp and completes it with Status and 0 bytes, under
// CurrentReadLock so that the timer and the bulk-in path cannot complete it
// too (one being cancelled is left to its cancel routine). Used when
// reception shuts down.
VOID CompleteCurrentReadWithStatus(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status);
