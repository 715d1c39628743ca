// Timers and DPCs.
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::sched {

void ExpireTimer(KTIMER* timer) {
  ActiveTimers().erase(timer);
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 1;
  WakeWaiters(&timer->Header);
  if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) {
    const ULONGLONG now = static_cast<ULONGLONG>(NowLocked());
    timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now & 0xFFFFFFFF));
    timer->Dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now >> 32));
    timer->Dpc->DpcData = timer->Dpc;
    QueueWorkLocked(timer->Dpc);
  }
  if (timer->Period != 0) {
    const int64_t due = LaterBy(NowLocked(), static_cast<int64_t>(timer->Period) * 10'000);
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = 1;
    ActiveTimers()[timer] = AddDeadline(due, DeadlineKind::Timer, timer);
  }
}

}  // namespace kernel::sched

namespace {

using namespace kernel;

bool RemoveTimerLocked(KTIMER* timer) {
  auto& timers = sched::ActiveTimers();
  auto it = timers.find(timer);
  if (it == timers.end()) return false;
  sched::RemoveDeadline(it->second);
  timers.erase(it);
  timer->Header.Inserted = 0;
  return true;
}

void CheckTimer(KTIMER* timer, const char* routine) {
  if (timer == nullptr || timer->Header.Initialized != sched::kInitializedMark)
    verifier::Fail("timer used before it was initialised", routine, timer);
}

}  // namespace

void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  auto lock = sched::LockDispatcher();
  if (sched::ActiveTimers().count(timer) != 0)
    verifier::Fail("timer reinitialised while set", "KeInitializeTimerEx", timer);
  if (sched::HasWaiters(&timer->Header))
    verifier::Fail("dispatcher object reinitialised while threads wait on it", "KeInitializeTimerEx", timer);
  timer->Header.Type = type == NotificationTimer ? sched::kNotificationTimer : sched::kSynchronizationTimer;
  timer->Header.Initialized = sched::kInitializedMark;
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 0;
  InitializeListHead(&timer->Header.WaitListHead);
  InitializeListHead(&timer->TimerListEntry);
  timer->DueTime.QuadPart = 0;
  timer->Dpc = nullptr;
  timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  return KeSetTimerEx(timer, dueTime, 0, dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc) {
  verifier::CheckIrql("KeSetTimerEx", timer, DISPATCH_LEVEL);
  CheckTimer(timer, "KeSetTimerEx");
  if (period < 0) verifier::Fail("negative timer period", "KeSetTimerEx", timer, "%d", period);
  auto lock = sched::LockDispatcher();
  const bool wasSet = RemoveTimerLocked(timer);
  const int64_t due = dueTime.QuadPart < 0 ? sched::RelativeDueLocked(dueTime.QuadPart)
                                           : dueTime.QuadPart - sched::BootSystemTime();
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Dpc = dpc;
  timer->Period = static_cast<ULONG>(period);
  timer->Header.SignalState = 0;
  timer->Header.Inserted = 1;
  sched::ActiveTimers()[timer] = sched::AddDeadline(due, sched::DeadlineKind::Timer, timer);
  return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  verifier::CheckIrql("KeCancelTimer", timer, DISPATCH_LEVEL);
  CheckTimer(timer, "KeCancelTimer");
  auto lock = sched::LockDispatcher();
  return RemoveTimerLocked(timer);
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  CheckTimer(timer, "KeReadStateTimer");
  auto lock = sched::LockDispatcher();
  return timer->Header.SignalState != 0;
}

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  auto lock = sched::LockDispatcher();
  if (dpc->DpcData != nullptr && sched::RemoveQueuedDpcLocked(dpc))
    verifier::Fail("DPC reinitialised while queued", "KeInitializeDpc", dpc);
  dpc->Type = 0x13;
  dpc->Importance = 1;
  dpc->Number = 0;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = nullptr;
  dpc->SystemArgument2 = nullptr;
  dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  verifier::CheckIrql("KeInsertQueueDpc", dpc, HIGH_LEVEL);
  if (dpc->Type != 0x13 || dpc->DeferredRoutine == nullptr)
    verifier::Fail("DPC used before it was initialised", "KeInsertQueueDpc", dpc);
  auto lock = sched::LockDispatcher();
  if (dpc->DpcData != nullptr) return FALSE;
  dpc->SystemArgument1 = systemArgument1;
  dpc->SystemArgument2 = systemArgument2;
  dpc->DpcData = dpc;
  sched::QueueWorkLocked(dpc);
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  auto lock = sched::LockDispatcher();
  if (dpc->DpcData == nullptr) return FALSE;
  sched::RemoveQueuedDpcLocked(dpc);
  dpc->DpcData = nullptr;
  return TRUE;
}

void KeFlushQueuedDpcs() {
  verifier::CheckIrql("KeFlushQueuedDpcs", nullptr, PASSIVE_LEVEL);
  sched::ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  sched::WaitForDpcFlush(lock, thread);
}
