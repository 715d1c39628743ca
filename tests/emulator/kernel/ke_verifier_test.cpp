// One death test per kernel-core verifier rule.
#include "emulator/kernel/clock.h"
#include "emulator/kernel/ke/scheduler.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

using KeVerifierDeathTest = MachineTest;

TEST_F(KeVerifierDeathTest, WaitAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_DEATH(
      {
        KeRaiseIrqlToDpcLevel();
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "VERIFIER: wait at raised IRQL: KeWaitForSingleObject");
}

TEST_F(KeVerifierDeathTest, DelayWhileHoldingASpinLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        LARGE_INTEGER interval;
        interval.QuadPart = -10;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      "VERIFIER: wait at raised IRQL: KeDelayExecutionThread");
}

TEST_F(KeVerifierDeathTest, SpinLockReleasedTwice) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
        KeReleaseSpinLock(&lock, old);
      },
      "VERIFIER: spin lock released twice: KeReleaseSpinLock");
}

TEST_F(KeVerifierDeathTest, SpinLocksReleasedOutOfOrder) {
  KSPIN_LOCK first, second;
  KeInitializeSpinLock(&first);
  KeInitializeSpinLock(&second);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&first, &old);
        KeAcquireSpinLockAtDpcLevel(&second);
        KeReleaseSpinLock(&first, old);
      },
      "VERIFIER: spin locks released out of order");
}

TEST_F(KeVerifierDeathTest, SpinLockAcquiredRecursively) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLockAtDpcLevel(&lock);
      },
      "VERIFIER: spin lock acquired recursively");
}

TEST_F(KeVerifierDeathTest, MutexReleasedByANonOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "VERIFIER: mutex released by a thread that does not own it");
}

TEST_F(KeVerifierDeathTest, IrqlLoweredAboveCurrent) {
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "VERIFIER: KeLowerIrql to a higher IRQL");
}

TEST_F(KeVerifierDeathTest, EventUsedBeforeInitialisation) {
  KEVENT event{};
  EXPECT_DEATH(KeSetEvent(&event, 0, FALSE), "VERIFIER: dispatcher object used before it was initialised");
}

TEST_F(KeVerifierDeathTest, EveryThreadWaitingForeverIsADeadlock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), "VERIFIER: deadlock");
}

void KeepSpinLock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

TEST_F(KeVerifierDeathTest, DpcReturningWithASpinLockHeld) {
  KSPIN_LOCK lock;
  KDPC dpc;
  KeInitializeSpinLock(&lock);
  KeInitializeDpc(&dpc, KeepSpinLock, &lock);
  EXPECT_DEATH(
      {
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
      },
      "VERIFIER: DPC returned holding a spin lock");
}

void EndOwningMutex(PVOID context) {
  KeWaitForSingleObject(static_cast<PKMUTEX>(context), Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KeVerifierDeathTest, ThreadEndingWhileOwningAMutex) {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_DEATH(
      {
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndOwningMutex, &mutex);
        kernel::clock::Sleep(kMs);
      },
      "VERIFIER: thread ended owning a mutex");
}

void WaitForever(PVOID context) {
  KeWaitForSingleObject(static_cast<PKEVENT>(context), Executive, KernelMode, FALSE, nullptr);
}

TEST_F(KeVerifierDeathTest, SystemThreadLeftRunningAtShutdown) {
  static KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  EXPECT_DEATH(
      {
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForever, &never);
        ZwClose(handle);
        kernel::clock::RunUntilIdle();
        machine_.reset();
      },
      "VERIFIER: system thread still running at shutdown");
}

TEST_F(KeVerifierDeathTest, MemoryFreedWithAnActiveTimer) {
  struct Block {
    KTIMER timer;
  } block;
  KeInitializeTimer(&block.timer);
  LARGE_INTEGER due;
  due.QuadPart = -kMs;
  KeSetTimer(&block.timer, due, nullptr);
  EXPECT_DEATH(kernel::sched::CheckNoActiveObjects(&block, sizeof block, "ExFreePoolWithTag"),
               "VERIFIER: memory freed with an active timer: ExFreePoolWithTag");
  KeCancelTimer(&block.timer);
}

}  // namespace
