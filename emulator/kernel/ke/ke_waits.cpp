// Events, mutexes and the wait routines.
#include "emulator/kernel/ke/kthread.h"
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::sched {

bool IsSignaled(DISPATCHER_HEADER* object, ThreadState& thread) {
  if (object->Type == kMutant) {
    auto* mutex = reinterpret_cast<KMUTANT*>(object);
    return object->SignalState > 0 || mutex->OwnerThread == thread.kthread;
  }
  return object->SignalState > 0;
}

void Acquire(DISPATCHER_HEADER* object, ThreadState& thread) {
  switch (object->Type) {
    case kSynchronizationEvent:
    case kSynchronizationTimer:
      object->SignalState = 0;
      break;
    case kMutant: {
      auto* mutex = reinterpret_cast<KMUTANT*>(object);
      if (object->SignalState == 1) {
        mutex->OwnerThread = thread.kthread;
        ++thread.ownedMutexes;
      }
      --object->SignalState;
      break;
    }
    default:
      break;
  }
}

namespace {

bool AllSignaled(ThreadState& thread) {
  for (ULONG i = 0; i < thread.waitCount; ++i)
    if (!IsSignaled(thread.waitBlocks[i].object, thread)) return false;
  return true;
}

// Tries to satisfy the first waiter of `object` that it can; false when none.
bool SatisfyOneWaiter(DISPATCHER_HEADER* object) {
  PLIST_ENTRY head = &object->WaitListHead;
  for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
    auto* block = CONTAINING_RECORD(entry, WaitBlock, entry);
    ThreadState& thread = *block->thread;
    if (!IsSignaled(object, thread)) return false;
    if (thread.waitType == WaitAny) {
      Acquire(object, thread);
      EndWait(thread, STATUS_WAIT_0 + static_cast<NTSTATUS>(block->index));
      return true;
    }
    if (AllSignaled(thread)) {
      for (ULONG i = 0; i < thread.waitCount; ++i) Acquire(thread.waitBlocks[i].object, thread);
      EndWait(thread, STATUS_WAIT_0);
      return true;
    }
  }
  return false;
}

}  // namespace

void WakeWaiters(DISPATCHER_HEADER* object) {
  // Restart from the head after each wake: the woken thread's blocks leave
  // this list and possibly others.
  while (object->SignalState > 0 || object->Type == kMutant) {
    if (!SatisfyOneWaiter(object)) break;
  }
}

}  // namespace kernel::sched

namespace {

using namespace kernel;
using sched::ThreadState;

void CheckInitialized(DISPATCHER_HEADER* object, const char* routine) {
  if (object == nullptr) verifier::Fail("null dispatcher object", routine, object);
  if (object->Initialized != sched::kInitializedMark)
    verifier::Fail("dispatcher object used before it was initialised", routine, object);
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state, const char* routine) {
  auto lock = sched::LockDispatcher();
  if (sched::HasWaiters(header))
    verifier::Fail("dispatcher object reinitialised while threads wait on it", routine, header);
  header->Type = type;
  header->Size = 0;
  header->Inserted = 0;
  header->Initialized = sched::kInitializedMark;
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
}

int64_t DeadlineFrom(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return -1;
  if (timeout->QuadPart < 0) return sched::RelativeDueLocked(timeout->QuadPart);
  const int64_t absolute = timeout->QuadPart - sched::BootSystemTime();  // absolute system time
  return absolute > 0 ? absolute : 0;
}

void CheckWaitIrql(const LARGE_INTEGER* timeout, const void* object, const char* routine) {
  const bool pollOnly = timeout != nullptr && timeout->QuadPart == 0;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (!pollOnly && irql > APC_LEVEL))
    verifier::Fail("wait at raised IRQL", routine, object, "IRQL %u", irql);
}

NTSTATUS Wait(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, PLARGE_INTEGER timeout,
              const char* routine) {
  CheckWaitIrql(timeout, count > 0 ? objects[0] : nullptr, routine);
  ThreadState& thread = sched::Current();
  for (ULONG i = 0; i < count; ++i) CheckInitialized(objects[i], routine);
  auto lock = sched::LockDispatcher();
  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      if (sched::IsSignaled(objects[i], thread)) {
        sched::Acquire(objects[i], thread);
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
      }
    }
  } else {
    bool all = true;
    for (ULONG i = 0; i < count && all; ++i) all = sched::IsSignaled(objects[i], thread);
    if (all) {
      for (ULONG i = 0; i < count; ++i) sched::Acquire(objects[i], thread);
      return STATUS_WAIT_0;
    }
  }
  const int64_t deadline = DeadlineFrom(timeout);
  if (deadline >= 0 && deadline <= sched::NowLocked()) return STATUS_TIMEOUT;
  sched::WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < count; ++i) {
    blocks[i] = sched::WaitBlock{{}, &thread, objects[i], i};
    InsertTailList(&objects[i]->WaitListHead, &blocks[i].entry);
    sched::RegisterWaiter(objects[i]);
  }
  thread.waitBlocks = blocks;
  thread.waitCount = count;
  thread.waitType = waitType;
  thread.waitStatus = sched::kWaitPending;
  return sched::BlockUntilWoken(lock, thread, deadline);
}

}  // namespace

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  InitializeHeader(&event->Header,
                   type == NotificationEvent ? sched::kNotificationEvent : sched::kSynchronizationEvent,
                   state ? 1 : 0, "KeInitializeEvent");
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
  verifier::CheckIrql("KeSetEvent", event, DISPATCH_LEVEL);
  CheckInitialized(&event->Header, "KeSetEvent");
  auto lock = sched::LockDispatcher();
  const LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  sched::WakeWaiters(&event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  CheckInitialized(&event->Header, "KeClearEvent");
  auto lock = sched::LockDispatcher();
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  verifier::CheckIrql("KeResetEvent", event, DISPATCH_LEVEL);
  CheckInitialized(&event->Header, "KeResetEvent");
  auto lock = sched::LockDispatcher();
  const LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  CheckInitialized(&event->Header, "KeReadStateEvent");
  auto lock = sched::LockDispatcher();
  return event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
  InitializeHeader(&mutex->Header, sched::kMutant, 1, "KeInitializeMutex");
  mutex->OwnerThread = nullptr;
  mutex->Abandoned = FALSE;
  mutex->ApcDisable = 1;
  InitializeListHead(&mutex->MutantListEntry);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
  verifier::CheckIrql("KeReleaseMutex", mutex, DISPATCH_LEVEL);
  CheckInitialized(&mutex->Header, "KeReleaseMutex");
  ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  if (mutex->OwnerThread != thread.kthread || mutex->Header.SignalState > 0)
    verifier::Fail("mutex released by a thread that does not own it", "KeReleaseMutex", mutex);
  const LONG previous = mutex->Header.SignalState;
  if (++mutex->Header.SignalState == 1) {
    mutex->OwnerThread = nullptr;
    --thread.ownedMutexes;
    sched::WakeWaiters(&mutex->Header);
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  auto lock = sched::LockDispatcher();
  return mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  return Wait(1, &header, WaitAny, timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON waitReason,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
    verifier::Fail("wait on too many or no objects", "KeWaitForMultipleObjects", object, "%u", count);
  if (count > THREAD_WAIT_OBJECTS && waitBlockArray == nullptr)
    verifier::Fail("wait on more than three objects without a wait block array", "KeWaitForMultipleObjects",
                   object, "%u objects", count);
  DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < count; ++i) headers[i] = static_cast<DISPATCHER_HEADER*>(object[i]);
  return Wait(count, headers, waitType, timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval) {
  CheckWaitIrql(interval, interval, "KeDelayExecutionThread");
  ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  const int64_t deadline = DeadlineFrom(interval);
  if (deadline <= sched::NowLocked()) return STATUS_SUCCESS;
  thread.waitBlocks = nullptr;
  thread.waitCount = 0;
  thread.waitStatus = sched::kWaitPending;
  sched::BlockUntilWoken(lock, thread, deadline);
  return STATUS_SUCCESS;
}
