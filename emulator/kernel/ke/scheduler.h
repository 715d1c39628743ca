// Internal to the emulated kernel: the dispatcher state shared by waits, timers, DPCs,
// threads and the clock. One lock (the dispatcher lock) guards all of it, as
// in the real kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/ke/deadline_queue.h"
#include "emulator/kernel/ke/sleeper.h"
#include "platform/host/ke.h"

namespace kernel::sched {

// Dispatcher object types (DISPATCHER_HEADER.Type).
enum ObjectType : UCHAR {
  kNotificationEvent = 0,
  kSynchronizationEvent = 1,
  kMutant = 2,
  kThread = 6,
  kNotificationTimer = 8,
  kSynchronizationTimer = 9,
};

constexpr UCHAR kInitializedMark = 0xA5;
constexpr NTSTATUS kWaitPending = 0x7FFFFFFF;

struct ThreadState;

struct WaitBlock {
  LIST_ENTRY entry;  // in the object's WaitListHead
  ThreadState* thread;
  DISPATCHER_HEADER* object;
  ULONG index;
};

struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldSpinLocks;
  PKTHREAD kthread = nullptr;  // system threads and attached test threads
  bool attached = false;
  bool isDpcThread = false;
  // Wait in progress (guarded by the dispatcher lock). Shared, so that a
  // waker can wake it after letting go of the lock.
  std::shared_ptr<Sleeper> wake = std::make_shared<Sleeper>();
  NTSTATUS waitStatus = kWaitPending;
  WAIT_TYPE waitType = WaitAny;
  WaitBlock* waitBlocks = nullptr;
  ULONG waitCount = 0;
  uint64_t timeoutSeq = 0;  // non-zero while a timed wait is queued
  int ownedMutexes = 0;
  const char* name = "thread";
  ~ThreadState();
};

// The calling thread's state; attaches it to the machine on first use.
ThreadState& Current();
// The dispatcher lock. Threads readied while it is held are told once it is
// released (or before the holder blocks), so that they do not wake only to
// wait for the lock.
class DispatcherLock : public std::unique_lock<std::mutex> {
 public:
  explicit DispatcherLock(std::mutex& mutex) : unique_lock(mutex) {}
  DispatcherLock(DispatcherLock&&) = default;
  ~DispatcherLock();
  void unlock();
};
DispatcherLock LockDispatcher();
// Signals the threads this thread readied (with or without the lock).
void NotifyReadied();

// Runnable accounting for the virtual clock (dispatcher lock held).
void MarkWaiting(ThreadState& thread);
void MarkRunnable(ThreadState& thread);
void NoteNewWork();  // wakes the clock thread: a DPC, a callback or a deadline changed

// Objects that currently have waiters (dispatcher lock held).
void RegisterWaiter(DISPATCHER_HEADER* object);
void UnregisterWaiter(DISPATCHER_HEADER* object);
bool HasWaiters(const DISPATCHER_HEADER* object);

// Wait primitives (dispatcher lock held).
bool IsSignaled(DISPATCHER_HEADER* object, ThreadState& thread);
void Acquire(DISPATCHER_HEADER* object, ThreadState& thread);
// Satisfies waiters of an object that became signalled.
void WakeWaiters(DISPATCHER_HEADER* object);
void EndWait(ThreadState& thread, NTSTATUS status);
// Blocks `thread` until its wait status is set. `deadline` < 0 means none.
NTSTATUS BlockUntilWoken(std::unique_lock<std::mutex>& lock, ThreadState& thread, int64_t deadline);

// Deadline queue (dispatcher lock held).
uint64_t AddDeadline(int64_t due, DeadlineKind kind, void* target);
bool RemoveDeadline(uint64_t seq);
int64_t NowLocked();
// The time on the real clock, read without the dispatcher lock; false on the
// virtual clock, whose time moves under the lock.
bool RealNow(int64_t& now);
int64_t BootSystemTime();
// `time` moved by `delta` (100 ns units), held at the last or first
// representable instant instead of wrapping: a time too far to count is
// simply never reached, as in Windows.
int64_t LaterBy(int64_t time, int64_t delta);
// The clock time a relative kernel interval (a negative count) ends at.
int64_t RelativeDueLocked(int64_t negativeInterval);
bool IsVirtualClock();
// The real clock becomes virtual from its current instant (dispatcher lock held).
void SwitchToVirtualClock();
// The real clock's ticker: publishes the time to the shared data page; false,
// publishing nothing, once the clock is virtual (it then publishes as it moves).
bool PublishRealTime();
void AdvanceVirtualTime(int64_t delta);  // a processor stall on the virtual clock

// Timers, DPCs and clock callbacks (dispatcher lock held).
std::unordered_map<KTIMER*, uint64_t>& ActiveTimers();
void ExpireTimer(KTIMER* timer);
void QueueWorkLocked(KDPC* dpc);
bool RemoveQueuedDpcLocked(KDPC* dpc);
clock::CallbackId ScheduleCallbackLocked(int64_t due, clock::Callback&& callback, int64_t slack = 0);
bool CancelCallbackLocked(clock::CallbackId id);
void RelaxCallbackLocked(clock::CallbackId id, int64_t slack);

// Blocking helpers: the DPC queue drained, or the whole machine idle.
void WaitForDpcFlush(std::unique_lock<std::mutex>& lock, ThreadState& thread);
void WaitForIdle(std::unique_lock<std::mutex>& lock, ThreadState& thread);

// System threads (dispatcher lock held, except DetachCurrent).
void PrecountNewThread();                    // the creator counts the new thread as running
void AttachAsSystemThread(PKTHREAD thread);  // before the new thread's first Current()
void ThreadStarted();
void ThreadEnded();   // the thread object is signalled
void ThreadExited();  // the thread has let go of everything
void DetachCurrent();

// Verifier checks that other modules call when memory goes away.
void CheckNoActiveObjects(const void* begin, size_t size, const char* routine);

// Lifecycle, run by the kernel subsystem.
void Boot(bool virtualClock);
void Shutdown(bool checkLeaks);

}  // namespace kernel::sched
