// The kernel-core verifier rules, and the test that runs every rule list.
#include "emulator/kernel/clock.h"
#include "emulator/kernel/ke/scheduler.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "verifier_rules.h"

TEST_P(VerifierDeathTest, StopsTheProgramWithItsReport) {
  EXPECT_DEATH(GetParam().violate(machine_), GetParam().report);
}

namespace {

void NTAPI KeepSpinLock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

void NTAPI EndOwningMutex(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void NTAPI WaitForever(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

// Threads started here outlive the routine that started them.
KEVENT g_event;
KMUTEX g_mutex;

const Violation kViolations[] = {
    {"VERIFIER: wait at raised IRQL: KeWaitForSingleObject",
     [](auto&) {
       KeInitializeEvent(&g_event, NotificationEvent, TRUE);
       KeRaiseIrqlToDpcLevel();
       KeWaitForSingleObject(&g_event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"VERIFIER: wait at raised IRQL: KeDelayExecutionThread",
     [](auto&) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       LARGE_INTEGER interval{.QuadPart = -10};
       KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"VERIFIER: spin lock released twice: KeReleaseSpinLock",
     [](auto&) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeReleaseSpinLock(&lock, old);
       KeReleaseSpinLock(&lock, old);
     }},
    {"VERIFIER: spin locks released out of order",
     [](auto&) {
       KSPIN_LOCK first, second;
       KeInitializeSpinLock(&first);
       KeInitializeSpinLock(&second);
       KIRQL old;
       KeAcquireSpinLock(&first, &old);
       KeAcquireSpinLockAtDpcLevel(&second);
       KeReleaseSpinLock(&first, old);
     }},
    {"VERIFIER: spin lock acquired recursively",
     [](auto&) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeAcquireSpinLockAtDpcLevel(&lock);
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
       static KSPIN_LOCK lock;
       static KDPC dpc;
       KeInitializeSpinLock(&lock);
       KeInitializeDpc(&dpc, KeepSpinLock, &lock);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
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
    {"VERIFIER: memory freed while threads wait on an object in it: ExFreePoolWithTag",
     [](auto&) {
       static struct {
         char header[40];
         KEVENT event;  // not at the block's start
       } block;
       KeInitializeEvent(&block.event, NotificationEvent, FALSE);
       HANDLE handle;
       PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForever, &block.event);
       kernel::clock::RunUntilIdle();
       kernel::sched::CheckNoActiveObjects(&block, sizeof block, "ExFreePoolWithTag");
     }},
};

INSTANTIATE_TEST_SUITE_P(Kernel, VerifierDeathTest, ::testing::ValuesIn(kViolations));

}  // namespace
