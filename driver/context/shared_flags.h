// Fields that several execution contexts read and change without a lock
// (HistoryMask, TxHolding, WaitMask, PortClosing, the slots' Idle flags, the
// current-request pointers read outside their locks). Each access is a single
// atomic operation, so a reader never sees a torn value and a concurrent
// read-modify-write never loses a bit.
#pragma once

#include "platform/platform.h"

// Reads are plain atomic loads: a compare-exchange used as a read is a write
// when the value matches, and races with readers that hold the field's lock.
inline ULONG ReadShared(const volatile ULONG* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }

inline VOID WriteShared(volatile ULONG* field, ULONG value) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(field), LONG(value));
}

inline VOID SetSharedBits(volatile ULONG* field, ULONG bits) {
  InterlockedOr(reinterpret_cast<volatile LONG*>(field), LONG(bits));
}

inline VOID ClearSharedBits(volatile ULONG* field, ULONG bits) {
  InterlockedAnd(reinterpret_cast<volatile LONG*>(field), LONG(~bits));
}

inline UCHAR ReadSharedByte(const volatile UCHAR* field) {
  return UCHAR(__atomic_load_n(field, __ATOMIC_SEQ_CST));
}

inline VOID WriteSharedByte(volatile UCHAR* field, UCHAR value) { __atomic_store_n(field, value, __ATOMIC_SEQ_CST); }

// Returns the value the byte had; the caller that turns 1 into 0 owns what
// the flag stands for.
inline UCHAR ExchangeSharedByte(volatile UCHAR* field, UCHAR value) {
  return __atomic_exchange_n(field, value, __ATOMIC_SEQ_CST);
}

inline PIRP ReadSharedIrp(PIRP const volatile* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }

inline VOID WriteSharedIrp(PIRP volatile* field, PIRP irp) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(field), irp);
}

inline PIRP ExchangeSharedIrp(PIRP volatile* field, PIRP irp) {
  return static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(field), irp));
}

inline LONGLONG ReadShared64(const volatile LONGLONG* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }

inline VOID WriteShared64(volatile LONGLONG* field, LONGLONG value) {
  __atomic_store_n(field, value, __ATOMIC_SEQ_CST);
}
