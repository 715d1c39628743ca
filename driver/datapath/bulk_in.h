// Bulk-in reception: one 64 KiB bulk-in transfer in flight while the port is
// open. Its completion walks the packets ([N][N-2 data bytes][line status]),
// applies the line status, watches for XON/XOFF, stores the data in the
// receive ring, records the receive events, serves the current read and
// re-arms the transfer, directly or through the worker thread.
//
// Slot 0's Idle flag is the claim on the transfer: whoever turns it from 1 to
// 0 submits. The completion keeps the claim while it reads the data buffer
// and gives it up only when it does not re-arm directly, so the thread and
// the completion never both submit, and no transfer writes into the buffer
// while it is being parsed.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Worker thread (context: the port context). ReadPollEvent asks it to submit
// the transfer when the slot is idle; ReadKillEvent ends it.
KSTART_ROUTINE PollingReadInterruptUrb;

// Completion routine of the bulk-in transfer (context: slot 0). Always
// STATUS_MORE_PROCESSING_REQUIRED: the IRP is the slot's own.
IO_COMPLETION_ROUTINE OnReadCompletion;
