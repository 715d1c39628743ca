// Storage of the receive ring. The ring is touched at DISPATCH_LEVEL by the
// bulk-in completion and the read paths, so its storage is non-paged. Bytes
// are copied in at most two spans (up to the end of the storage, then from
// its start), which gives the same result as a byte-by-byte walk.
#include "driver/context/receive_ring.h"

#include "driver/context/pool.h"

namespace {

ULONG Advance(const QUEUE_BUFFER* queue, ULONG index, ULONG by) {
  return ULONG((ULONGLONG(index) + by) % queue->Size);
}

// Copies `length` bytes into the storage from `at`, wrapping at its end.
VOID CopyIn(PQUEUE_BUFFER queue, ULONG at, const UCHAR* source, ULONG length) {
  ULONG first = queue->Size - at < length ? queue->Size - at : length;
  RtlCopyMemory(queue->Buffer + at, source, first);
  RtlCopyMemory(queue->Buffer, source + first, length - first);
}

// Copies `length` bytes out of the storage from `at`, wrapping at its end.
VOID CopyOut(const QUEUE_BUFFER* queue, ULONG at, PUCHAR destination, ULONG length) {
  ULONG first = queue->Size - at < length ? queue->Size - at : length;
  RtlCopyMemory(destination, queue->Buffer + at, first);
  RtlCopyMemory(destination + first, queue->Buffer, length - first);
}

}  // namespace

NTSTATUS InitQueueBuffer(PQUEUE_BUFFER Queue, ULONG Size) {
  PUCHAR storage = static_cast<PUCHAR>(AllocatePoolMemory(SelectNonPagedPoolType(), Size));
  if (storage == nullptr) {
    Queue->Buffer = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Queue->Buffer = storage;
  Queue->Size = Size;
  Queue->ReadIndex = 0;
  Queue->WriteIndex = 0;
  Queue->Count = 0;
  return STATUS_SUCCESS;
}

NTSTATUS ResizeQueueBuffer(PQUEUE_BUFFER Queue, ULONG NewSize) {
  if (NewSize < Queue->Size) {
    return STATUS_INVALID_PARAMETER;
  }
  if (NewSize == Queue->Size) {
    return STATUS_SUCCESS;
  }
  PUCHAR storage = static_cast<PUCHAR>(AllocatePoolMemory(SelectNonPagedPoolType(), NewSize));
  if (storage == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Queue->Buffer != nullptr) {
    CopyOut(Queue, Queue->ReadIndex, storage, Queue->Count);
    FreePoolMemory(Queue->Buffer);
  }
  Queue->Buffer = storage;
  Queue->Size = NewSize;
  Queue->ReadIndex = 0;
  Queue->WriteIndex = Queue->Count;
  return STATUS_SUCCESS;
}

NTSTATUS PushQueueBufferEntry(PQUEUE_BUFFER Queue, const UCHAR* Source, ULONG Length) {
  if (Source == nullptr || Length == 0 || Queue->Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG room = Queue->Size - 1 - Queue->Count;
  ULONG stored = Length < room ? Length : room;
  CopyIn(Queue, Queue->WriteIndex, Source, stored);
  Queue->WriteIndex = Advance(Queue, Queue->WriteIndex, stored);
  Queue->Count += stored;
  return stored == Length ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS PopQueueBufferEntry(PQUEUE_BUFFER Queue, PUCHAR Destination, ULONG Length) {
  if (Length == 0 || Length > Queue->Count || Destination == nullptr) {
    return STATUS_ARRAY_BOUNDS_EXCEEDED;
  }
  CopyOut(Queue, Queue->ReadIndex, Destination, Length);
  Queue->ReadIndex = Advance(Queue, Queue->ReadIndex, Length);
  Queue->Count -= Length;
  return STATUS_SUCCESS;
}

ULONG GetQueueBufferCount(const QUEUE_BUFFER* Queue) { return Queue->Count; }

VOID ClearQueueBuffer(PQUEUE_BUFFER Queue) {
  Queue->ReadIndex = 0;
  Queue->WriteIndex = 0;
  Queue->Count = 0;
}

NTSTATUS FreeQueueBuffer(PQUEUE_BUFFER Queue) {
  if (Queue->Buffer != nullptr) {
    FreePoolMemory(Queue->Buffer);
    Queue->Buffer = nullptr;
    Queue->ReadIndex = 0;
    Queue->WriteIndex = 0;
    Queue->Count = 0;
  }
  return STATUS_SUCCESS;
}
