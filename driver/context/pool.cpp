#include "driver/context/pool.h"

ULONG OutstandingAllocations = 0;

namespace {

// Ports allocate from several threads at once: an interlocked change keeps
// the count exact and free of data races.
volatile LONG* AllocationCount() { return reinterpret_cast<volatile LONG*>(&OutstandingAllocations); }

}  // namespace

POOL_TYPE SelectNonPagedPoolType() {
  return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
}

PVOID AllocatePoolMemory(POOL_TYPE PoolType, ULONG NumberOfBytes) {
  PVOID block = ExAllocatePoolWithTag(PoolType, NumberOfBytes, DriverPoolTag);
  if (block != nullptr) {
    InterlockedIncrement(AllocationCount());
  }
  return block;
}

VOID FreePoolMemory(PVOID Block) {
  if (Block != nullptr) {
    ExFreePoolWithTag(Block, DriverPoolTag);
    InterlockedDecrement(AllocationCount());
  }
}
