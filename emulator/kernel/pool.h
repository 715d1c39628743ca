// Inspection and fault injection for the emulated pool (ExAllocatePoolWithTag
// and friends). State is per machine: every boot starts empty.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host/ntdef.h"

namespace kernel::pool {

// A pool tag from its four characters in memory order: Tag("7315").
constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
         ULONG(uint8_t(text[3])) << 24;
}

// Tag of string buffers that system routines allocate for their callers and
// RtlFreeUnicodeString/RtlFreeAnsiString give back.
constexpr ULONG kStringTag = Tag("Strg");

// Fresh blocks are filled with kAllocatedFill and freed ones with kFreedFill,
// so that reading memory nobody wrote shows up as a recognisable pattern.
constexpr uint8_t kAllocatedFill = 0xA5;
constexpr uint8_t kFreedFill = 0xDD;

// Blocks and bytes currently allocated, for one tag or for all.
size_t LiveCount(ULONG tag);
size_t LiveBytes(ULONG tag);
size_t TotalLiveCount();
size_t TotalLiveBytes();

// Fault injection. `nth` counts allocations from now on: 1 fails the next one.
// With a tag, only allocations with that tag are counted and failed.
constexpr ULONG kAnyTag = 0;
void FailNthAllocation(unsigned nth, ULONG tag = kAnyTag);
// Every allocation with this tag fails until ClearInjection.
void FailAllocationsWithTag(ULONG tag);
void ClearInjection();
// Allocations that injection has failed since boot.
size_t InjectedFailures();

}  // namespace kernel::pool
