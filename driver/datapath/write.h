// Write requests: taken one at a time as CurrentWriteIrp, cut into bulk-out
// chunks of at most MaxWriteLength bytes sent straight from the request's
// buffer while nothing holds the transmitter, and completed when every byte
// is confirmed or when the write timer expires.
//
// While a chunk is in flight its request stays CurrentWriteIrp: a timer
// expiry, a purge, cleanup or a cancel only marks it ended and has the chunk
// cancelled, and the chunk's completion finishes it, so the chunk's buffer
// stays valid and what it moved is charged to the request it came from.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// IRP_MJ_WRITE body, after DispatchReadWrite has cancelled WriteTimer:
// STATUS_INVALID_PARAMETER or STATUS_DELETE_PENDING (completed at once), or
// STATUS_PENDING (started, queued, or found cancelled while being queued and
// completed as cancelled).
NTSTATUS QueueOrStartWriteIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// The caller holds WriteQueueLock: the oldest queued write that is not being
// cancelled, now without a cancel routine, or null.
PIRP DequeueWriteIrp(PPORT_DEVICE_CONTEXT Context);

// Cancel routines of a queued write and of the current write.
DRIVER_CANCEL WriteIrpCancelRoutine;
DRIVER_CANCEL CurrentWriteIrpCancelRoutine;

// Worker thread (context: the port context): sends the next chunk when
// WritePollEvent is set; WriteKillEvent ends it.
KSTART_ROUTINE PollingWriteInterruptUrb;

// Completion routine of a bulk-out chunk (context: slot 2).
IO_COMPLETION_ROUTINE OnWriteCompletion;

// DPC of WriteTimer (context: the port context).
KDEFERRED_ROUTINE WriteTimeoutRoutine;

// Ends the current write with Status and the bytes sent so far (at once, or
// when its chunk in flight, which is cancelled, comes back) and takes up the
// next queued one. For the write timer, and for purge, cleanup and close.
VOID EndCurrentWrite(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status);
