// IRQL per thread and spin locks that raise to DISPATCH_LEVEL.
#include <sched.h>

#include <algorithm>

#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace {

using kernel::sched::ThreadState;
using kernel::verifier::Fail;

ULONG_PTR OwnerMark(ThreadState& thread) { return reinterpret_cast<ULONG_PTR>(&thread) | 1; }

void AcquireAtDispatch(PKSPIN_LOCK lock, ThreadState& thread, const char* routine) {
  const ULONG_PTR mine = OwnerMark(thread);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == mine) Fail("spin lock acquired recursively", routine, lock);
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, mine, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (spins > 64) sched_yield();
  }
  thread.heldSpinLocks.push_back(lock);
}

void ReleaseAtDispatch(PKSPIN_LOCK lock, ThreadState& thread, const char* routine) {
  const ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (value == 0) Fail("spin lock released twice", routine, lock);
  if (value != OwnerMark(thread)) Fail("spin lock released by a thread that does not hold it", routine, lock);
  if (thread.heldSpinLocks.empty() || thread.heldSpinLocks.back() != lock)
    Fail("spin locks released out of order", routine, lock, "the most recent lock is %p",
         thread.heldSpinLocks.empty() ? nullptr : static_cast<void*>(thread.heldSpinLocks.back()));
  thread.heldSpinLocks.pop_back();
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

KIRQL KeGetCurrentIrql() { return kernel::sched::Current().irql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  ThreadState& thread = kernel::sched::Current();
  if (newIrql < thread.irql)
    Fail("KeRaiseIrql to a lower IRQL", "KeRaiseIrql", oldIrql, "from %u to %u", thread.irql, newIrql);
  *oldIrql = thread.irql;
  thread.irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeLowerIrql(KIRQL newIrql) {
  ThreadState& thread = kernel::sched::Current();
  if (newIrql > thread.irql)
    Fail("KeLowerIrql to a higher IRQL", "KeLowerIrql", nullptr, "from %u to %u", thread.irql, newIrql);
  if (newIrql < DISPATCH_LEVEL && !thread.heldSpinLocks.empty())
    Fail("IRQL lowered below DISPATCH_LEVEL with a spin lock held", "KeLowerIrql",
         thread.heldSpinLocks.back());
  if (thread.isDpcThread && newIrql < DISPATCH_LEVEL)
    Fail("IRQL lowered below DISPATCH_LEVEL in a DPC", "KeLowerIrql", nullptr);
  thread.irql = newIrql;
}

void KeInitializeSpinLock(PKSPIN_LOCK spinLock) { __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock) {
  ThreadState& thread = kernel::sched::Current();
  if (thread.irql > DISPATCH_LEVEL)
    Fail("IRQL too high", "KeAcquireSpinLock", spinLock, "called at IRQL %u", thread.irql);
  const KIRQL old = thread.irql;
  thread.irql = DISPATCH_LEVEL;
  AcquireAtDispatch(spinLock, thread, "KeAcquireSpinLock");
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
  ThreadState& thread = kernel::sched::Current();
  ReleaseAtDispatch(spinLock, thread, "KeReleaseSpinLock");
  KeLowerIrql(newIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock) {
  ThreadState& thread = kernel::sched::Current();
  if (thread.irql != DISPATCH_LEVEL)
    Fail("spin lock acquired at DPC level from another IRQL", "KeAcquireSpinLockAtDpcLevel", spinLock,
         "IRQL %u", thread.irql);
  AcquireAtDispatch(spinLock, thread, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock) {
  ThreadState& thread = kernel::sched::Current();
  ReleaseAtDispatch(spinLock, thread, "KeReleaseSpinLockFromDpcLevel");
}
