// Fields that several execution contexts read and change without a lock
// (HistoryMask, TxHolding, WaitMask, PortClosing, the slots' Idle flags, the
// current-request pointers read outside their locks). Each access is a single
// atomic operation, so a reader never sees a torn value and a concurrent
// read-modify-write never loses a bit.
#pragma once

#include "platform/platform.h"

// Reads are acquire loads, not compare-exchanges: a compare-exchange used as
// a read is a write when the value matches, and races with readers that hold
// the field's lock. Writes are interlocked, so each is a full barrier.
inline ULONG ReadShared(const volatile ULONG* field) { return ReadULongAcquire(field); }

inline VOID WriteShared(volatile ULONG* field, ULONG value) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(field), LONG(value));
}

inline VOID SetSharedBits(volatile ULONG* field, ULONG bits) {
  InterlockedOr(reinterpret_cast<volatile LONG*>(field), LONG(bits));
}

inline VOID ClearSharedBits(volatile ULONG* field, ULONG bits) {
  InterlockedAnd(reinterpret_cast<volatile LONG*>(field), LONG(~bits));
}

inline UCHAR ReadSharedByte(const volatile UCHAR* field) { return ReadUCharAcquire(field); }

// Returns the value the byte had; the caller that turns 1 into 0 owns what
// the flag stands for.
inline UCHAR ExchangeSharedByte(volatile UCHAR* field, UCHAR value) {
  return UCHAR(InterlockedExchange8(reinterpret_cast<volatile CHAR*>(field), CHAR(value)));
}

inline VOID WriteSharedByte(volatile UCHAR* field, UCHAR value) { ExchangeSharedByte(field, value); }

inline PIRP ReadSharedIrp(PIRP const volatile* field) {
  return static_cast<PIRP>(ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(field)));
}

inline VOID WriteSharedIrp(PIRP volatile* field, PIRP irp) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(field), irp);
}

inline PIRP ExchangeSharedIrp(PIRP volatile* field, PIRP irp) {
  return static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(field), irp));
}

inline LONGLONG ReadShared64(const volatile LONGLONG* field) {
  return ReadAcquire64(reinterpret_cast<const volatile LONG64*>(field));
}

inline VOID WriteShared64(volatile LONGLONG* field, LONGLONG value) {
  InterlockedExchange64(reinterpret_cast<volatile LONG64*>(field), LONG64(value));
}
