// The kernel-core verifier rules, and the test that runs every rule list.
#include "emulator/kernel/clock.h"
#include "emulator/kernel/ke/scheduler.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "verifier_rules.h"

namespace {

void KeepSpinLock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

void EndOwningMutex(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void WaitForever(PVOID context) { KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

TEST_P(VerifierDeathTest, StopsTheProgramWithItsReport) { EXPECT_DEATH(GetParam().violate(machine_), GetParam().report); }

namespace {

KSPIN_LOCK g_lock, g_second;
KEVENT g_event;
KMUTEX g_mutex;
KDPC g_dpc;

void InitLocks() {
  KeInitializeSpinLock(&g_lock);
  KeInitializeSpinLock(&g_second);
}

const Violation kViolations[] = {
    {"VERIFIER: wait at raised IRQL: KeWaitForSingleObject",
     [](auto&) {
       KeInitializeEvent(&g_event, NotificationEvent, TRUE);
       KeRaiseIrqlToDpcLevel();
       KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"VERIFIER: wait at raised IRQL: KeDelayExecutionThread",
     [](auto&) {
       InitLocks();
       KIRQL old;
       KeAcquireSpinLock(&g_lock, &old);
       LARGE_INTEGER interval{.QuadPart = -10};
       KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"VERIFIER: spin lock released twice: KeReleaseSpinLock",
     [](auto&) {
       InitLocks();
       KIRQL old;
       KeAcquireSpinLock(&g_lock, &old);
       KeReleaseSpinLock(&g_lock, old);
       KeReleaseSpinLock(&g_lock, old);
     }},
    {"VERIFIER: spin locks released out of order",
     [](auto&) {
       InitLocks();
       KIRQL old;
       KeAcquireSpinLock(&g_lock, &old);
       KeAcquireSpinLockAtDpcLevel(&g_second);
       KeReleaseSpinLock(&g_lock, old);
     }},
    {"VERIFIER: spin lock acquired recursively",
     [](auto&) {
       InitLocks();
       KIRQL old;
       KeAcquireSpinLock(&g_lock, &old);
       KeAcquireSpinLockAtDpcLevel(&g_lock);
     }},
    {"VERIFIER: mutex released by a thread that does not own it",
     [](auto&) {
       KeInitializeMutex(&g_mutex, 0);
       KeReleaseMutex(&g_mutex, FALSE);
     }},
    {"VERIFIER: KeLowerIrql to a higher IRQL", [](auto&) { KeLowerIrql(DISPATCH_LEVEL); }},
    {"VERIFIER: dispatcher object used before it was initialised",
     [](auto&) {
       KEVENT event{};
       KeSetEvent(&event, 0, FALSE);
     }},
    {"VERIFIER: deadlock",
     [](auto&) {
       KeInitializeEvent(&g_event, NotificationEvent, FALSE);
       KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"VERIFIER: DPC returned holding a spin lock",
     [](auto&) {
       InitLocks();
       KeInitializeDpc(&g_dpc, KeepSpinLock, &g_lock);
       KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
       KeFlushQueuedDpcs();
     }},
    {"VERIFIER: thread ended owning a mutex",
     [](auto&) {
       KeInitializeMutex(&g_mutex, 0);
       HANDLE handle;
       PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndOwningMutex, &g_mutex);
       kernel::clock::Sleep(kernel::clock::kMillisecond);
     }},
    {"VERIFIER: system thread still running at shutdown",
     [](auto& machine) {
       KeInitializeEvent(&g_event, NotificationEvent, FALSE);
       HANDLE handle;
       PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForever, &g_event);
       ZwClose(handle);
       kernel::clock::RunUntilIdle();
       machine.reset();
     }},
    {"VERIFIER: memory freed with an active timer: ExFreePoolWithTag",
     [](auto&) {
       struct Block {
         KTIMER timer;
       } block;
       KeInitializeTimer(&block.timer);
       LARGE_INTEGER due{.QuadPart = -kernel::clock::kMillisecond};
       KeSetTimer(&block.timer, due, nullptr);
       kernel::sched::CheckNoActiveObjects(&block, sizeof block, "ExFreePoolWithTag");
     }},
};

INSTANTIATE_TEST_SUITE_P(Kernel, VerifierDeathTest, ::testing::ValuesIn(kViolations));

}  // namespace
