// Every pool block of the driver, except the registry-path copy made at load,
// comes from here, tagged with DriverPoolTag and counted in
// OutstandingAllocations.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Non-paged pool for blocks touched at DISPATCH_LEVEL: no-execute from
// Windows 8 on, where the kernel offers it; plain non-paged pool before.
POOL_TYPE SelectNonPagedPoolType();

// A block of the given type and size, or null when the pool is exhausted.
PVOID AllocatePoolMemory(POOL_TYPE PoolType, ULONG NumberOfBytes);

// Gives back a block of AllocatePoolMemory; null is allowed and does nothing.
VOID FreePoolMemory(PVOID Block);
