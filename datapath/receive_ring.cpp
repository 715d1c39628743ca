// Storage of the receive ring. The ring is touched at DISPATCH_LEVEL by the
// bulk-in completion and the read paths, so its storage is non-paged.
#include "datapath/receive_ring.h"

#include "context/pool.h"

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
