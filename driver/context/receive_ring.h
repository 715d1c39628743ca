// The per-port receive ring: bytes from the bulk-in endpoint wait here until
// read requests take them. One position always stays empty so that a full
// ring and an empty one differ; positions wrap with a remainder by Size, so
// Size need not be a power of two.
//
// Every routine but InitQueueBuffer and FreeQueueBuffer runs under the
// port's ReceiveBufferLock; none of them takes a lock or waits.
#pragma once

#include "platform/platform.h"

typedef struct _QUEUE_BUFFER {
  PUCHAR Buffer;     // Size bytes of non-paged storage owned by the ring; null when none is held
  ULONG Count;       // bytes currently held, at most Size - 1
  ULONG Size;        // capacity of the storage in bytes
  ULONG ReadIndex;   // position of the oldest byte held
  ULONG WriteIndex;  // position at which the next byte is stored
} QUEUE_BUFFER, *PQUEUE_BUFFER;

static_assert(sizeof(QUEUE_BUFFER) == 24 && offsetof(QUEUE_BUFFER, Count) == 8 &&
                  offsetof(QUEUE_BUFFER, WriteIndex) == 20,
              "QUEUE_BUFFER is a pointer followed by four ULONGs");

// Capacity that device creation gives every port's ring.
constexpr ULONG ReceiveBufferInitialSize = 0x10000;

// Takes Size bytes of storage and empties the ring. On allocation failure the
// ring holds no storage (Buffer null) and STATUS_INSUFFICIENT_RESOURCES is
// returned. Runs before any I/O can reach the port, so it takes no lock.
NTSTATUS InitQueueBuffer(PQUEUE_BUFFER Queue, ULONG Size);

// Grows the storage to NewSize, keeping the bytes held in order from position
// 0. A smaller size is STATUS_INVALID_PARAMETER, the same size a success that
// changes nothing, a failed allocation STATUS_INSUFFICIENT_RESOURCES with the
// ring untouched.
NTSTATUS ResizeQueueBuffer(PQUEUE_BUFFER Queue, ULONG NewSize);

// Stores Length bytes. When the ring fills up the bytes that fitted stay and
// STATUS_BUFFER_TOO_SMALL is returned; no source or no length is
// STATUS_INVALID_PARAMETER, as is a ring without storage.
NTSTATUS PushQueueBufferEntry(PQUEUE_BUFFER Queue, const UCHAR* Source, ULONG Length);

// Takes exactly Length bytes, oldest first, or nothing at all:
// STATUS_ARRAY_BOUNDS_EXCEEDED when Length is 0 or more than is held.
NTSTATUS PopQueueBufferEntry(PQUEUE_BUFFER Queue, PUCHAR Destination, ULONG Length);

ULONG GetQueueBufferCount(const QUEUE_BUFFER* Queue);

// Empties the ring; the storage and Size stay.
VOID ClearQueueBuffer(PQUEUE_BUFFER Queue);

// Gives the storage back and empties the ring; Size stays. A ring without
// storage is left as it is. Always STATUS_SUCCESS. Runs after the worker
// threads have stopped, so it takes no lock.
NTSTATUS FreeQueueBuffer(PQUEUE_BUFFER Queue);
