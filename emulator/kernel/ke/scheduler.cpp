// The dispatcher: runnable accounting, the deadline queue, the DPC/clock
// thread and the core of every wait.
#include "emulator/kernel/ke/scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "emulator/kernel/ke/kthread.h"
#include "emulator/kernel/ke/shared_data.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::sched {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Seconds of real time with every thread waiting and nothing scheduled
// before the virtual clock declares a deadlock.
constexpr auto kDeadlockGrace = std::chrono::seconds(2);
// 1601-01-01 to 2026-01-01 in 100-ns units: the virtual clock's boot time.
constexpr int64_t kVirtualBootSystemTime = 134116128000000000LL;
// On the real clock a deadline later than this (a century after boot) is
// waited for as if it had none: the steady clock's nanoseconds stop at about
// three centuries.
constexpr int64_t kLatestRealDue = 100LL * 365 * 24 * 3600 * 10'000'000;
// On the real clock the DPC thread, woken by a deadline, sleeps at least this
// long before it wakes for the next one, and then runs everything that fell
// due meanwhile in order: a fast line schedules a callback every few
// microseconds, and a thread switch for each costs more than the work.
constexpr int64_t kRealClockBatch = 200 * clock::kMicrosecond;
// What the DPC thread's wait ends at: a deadline, or none.
constexpr int64_t kNotWaiting = INT64_MIN;
constexpr int64_t kNoDeadline = INT64_MAX;
constexpr int64_t kNoRealClock = INT64_MIN;

int64_t Nanoseconds(SteadyClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

struct Work {
  KDPC* dpc;                   // a queued DPC, or
  clock::CallbackId callback;  // a clock callback
};

// The DPC thread's queue, first in first out, over storage that is reused
// rather than allocated as work comes and goes (a callback every few
// microseconds on a fast line).
class WorkQueue {
 public:
  bool Empty() const { return head_ == items_.size(); }
  void Push(const Work& item) { items_.push_back(item); }
  Work Pop() {
    const Work item = items_[head_++];
    if (Empty()) {
      Clear();
    } else if (head_ >= kCompactAt && head_ * 2 >= items_.size()) {
      // Work that keeps coming before the queue empties: drop what ran.
      items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    return item;
  }
  // Takes a queued DPC out; false when it is not queued.
  bool Remove(const KDPC* dpc) {
    for (size_t i = head_; i < items_.size(); ++i) {
      if (items_[i].dpc == dpc) {
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
      }
    }
    return false;
  }
  const Work* begin() const { return items_.data() + head_; }
  const Work* end() const { return items_.data() + items_.size(); }
  void Clear() {
    items_.clear();
    head_ = 0;
  }

 private:
  static constexpr size_t kCompactAt = 1024;
  std::vector<Work> items_;
  size_t head_ = 0;
};

struct State {
  bool booted = false;
  bool virtualClock = true;
  uint64_t generation = 1;
  int64_t virtualNow = 0;
  SteadyClock::time_point realBoot;
  // The steady clock's nanoseconds at boot on the real clock, for readers
  // without the lock; kNoRealClock on the virtual clock.
  std::atomic<int64_t> realBootNs{kNoRealClock};
  int64_t bootSystemTime = 0;
  int attached = 0;
  int runnable = 0;
  uint64_t activity = 0;
  DeadlineQueue deadlines;
  std::unordered_map<KTIMER*, uint64_t> timers;
  WorkQueue work;
  bool workRunning = false;
  std::vector<ThreadState*> idleWaiters;
  std::vector<ThreadState*> flushWaiters;
  // Objects with waiters and how many, by address: the pool's verifier
  // looks for one inside every block freed.
  std::vector<std::pair<const DISPATCHER_HEADER*, int>> waitedObjects;
  std::unordered_set<ThreadState*> attachedThreads;
  Sleeper engineWake;
  int64_t engineWaitEnd = kNotWaiting;  // real clock: when the DPC thread's wait ends
  int64_t engineLastWake = 0;           // real clock: when a deadline last woke it
  std::condition_variable threadsGone;
  int liveSystemThreads = 0;
  int exitingSystemThreads = 0;  // signalled their end, still unwinding
  bool stopping = false;
  std::thread engine;
};

std::mutex& DispatcherMutex() {
  static auto* lock = new std::mutex;
  return *lock;
}
State& S() {
  static auto* state = new State;
  return *state;
}

thread_local bool t_isEngine = false;
thread_local bool t_precounted = false;
thread_local PKTHREAD t_systemThread = nullptr;
// Threads this thread readied under the dispatcher lock, and whether the DPC
// thread has news: signalled once the lock is released.
// Declared before t_state, which uses them as the thread ends.
thread_local std::vector<std::shared_ptr<Sleeper>> t_readied;
thread_local bool t_engineNews = false;
// On the real clock the DPC thread tells the threads it readied only when its
// batch is done: woken at once, one would take the processor from the batch
// at every completion, a thread switch each way.
thread_local bool t_holdReadied = false;
thread_local ThreadState t_state;
thread_local uint64_t t_generation = 0;
// On the real clock, the time the DPC thread's current DPC or callback runs
// at: the chip model reads the clock several times a character.
thread_local int64_t t_workTime = kNoRealClock;

int64_t NowUnlocked(const State& s) {
  if (s.virtualClock) return s.virtualNow;
  if (t_workTime != kNoRealClock) return t_workTime;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - s.realBoot).count() / 100;
}

// Loaded images read the time from the shared data page; the virtual clock
// publishes it whenever it moves, the real clock's ticker every millisecond.
// Both write under the dispatcher lock, so the page never goes backwards.
void PublishTime(const State& s) {
  const int64_t now = NowUnlocked(s);
  shared_data::Publish(now, LaterBy(s.bootSystemTime, now));
}

void Attach(ThreadState& thread) {
  State& s = S();
  thread.attached = true;
  s.attachedThreads.insert(&thread);
  ++s.attached;
  if (!t_precounted) ++s.runnable;
  t_precounted = false;
  ++s.activity;
  thread.kthread = t_systemThread != nullptr ? t_systemThread : kthread::CreateForAttachedThread(&thread);
  t_systemThread = nullptr;
}

void DetachLocked(ThreadState& thread) {
  State& s = S();
  if (!thread.attached) return;
  thread.attached = false;
  s.attachedThreads.erase(&thread);
  --s.attached;
  --s.runnable;
  kthread::ReleaseForAttachedThread(thread);
  NoteNewWork();
}

// Runs a DPC, or the callback taken off the deadline queue for it.
void RunWork(KDPC* dpc, clock::Callback& callback) {
  ThreadState& self = t_state;
  self.irql = DISPATCH_LEVEL;
  if (dpc != nullptr) {
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  } else {
    callback();
    callback = nullptr;
  }
  if (self.irql != DISPATCH_LEVEL)
    verifier::Fail("DPC returned at a different IRQL", "DPC delivery", dpc, "IRQL %u", self.irql);
  if (!self.heldSpinLocks.empty())
    verifier::Fail("DPC returned holding a spin lock", "DPC delivery", self.heldSpinLocks.back());
}

void ExpireDue(State& s, int64_t now) {
  while (!s.deadlines.Empty() && s.deadlines.FirstDue() <= now) {
    const DeadlineQueue::Expired deadline = s.deadlines.PopFirst();
    switch (deadline.kind) {
      case DeadlineKind::Timer:
        ExpireTimer(static_cast<KTIMER*>(deadline.target));
        break;
      case DeadlineKind::WaitTimeout: {
        auto* thread = static_cast<ThreadState*>(deadline.target);
        thread->timeoutSeq = 0;
        if (thread->waitStatus == kWaitPending) EndWait(*thread, STATUS_TIMEOUT);
        break;
      }
      case DeadlineKind::Callback:
        s.work.Push(Work{nullptr, deadline.id});
        break;
    }
  }
}

void WakeAll(std::vector<ThreadState*>& waiters) {
  for (ThreadState* waiter : waiters)
    if (waiter->waitStatus == kWaitPending) EndWait(*waiter, STATUS_SUCCESS);
  waiters.clear();
}

bool SystemIdle(const State& s) { return s.runnable == 0 && s.work.Empty() && !s.workRunning; }

// Sleeps on `sleeper` with the dispatcher lock let go, until woken or `until`
// (when given); the threads this one readied are told once the lock is free,
// so that they do not wake only to wait for it.
void SleepUnlocked(std::unique_lock<std::mutex>& lock, Sleeper& sleeper, const Sleeper::TimePoint* until) {
  const uint32_t token = sleeper.Prepare();
  lock.unlock();
  NotifyReadied();
  sleeper.Sleep(token, until);
  lock.lock();
}

// The DPC thread sleeps, the threads its batch readied told.
void EngineSleep(State& s, std::unique_lock<std::mutex>& lock, const Sleeper::TimePoint* until) {
  t_holdReadied = false;
  SleepUnlocked(lock, s.engineWake, until);
}

void ReportDeadlock(State& s) {
  verifier::Fail("deadlock", "virtual clock", nullptr,
                 "all %d emulated thread(s) wait with no timeout and nothing is scheduled", s.attached);
}

// Sleeps until the first deadline must be met, its slack counted (no sooner
// than a batch after the last wake by one), or until new work or an earlier
// deadline comes.
void WaitOnRealClock(State& s, std::unique_lock<std::mutex>& lock) {
  if (s.deadlines.Empty() || s.deadlines.FirstDue() >= kLatestRealDue) {
    s.engineWaitEnd = kNoDeadline;
    EngineSleep(s, lock, nullptr);
  } else {
    const int64_t end =
        std::max(std::min(s.deadlines.FirstLatest(), kLatestRealDue), s.engineLastWake + kRealClockBatch);
    s.engineWaitEnd = end;
    const Sleeper::TimePoint until = s.realBoot + std::chrono::nanoseconds(end * 100);
    EngineSleep(s, lock, &until);
    s.engineLastWake = NowUnlocked(s);
  }
  s.engineWaitEnd = kNotWaiting;
}

void EngineLoop() {
  t_isEngine = true;
  t_state.isDpcThread = true;
  t_state.name = "DPC thread";
  State& s = S();
  auto lock = LockDispatcher();
  clock::Callback callback;
  for (;;) {
    t_holdReadied = !s.virtualClock;
    // What falls due now, and the work that runs next, share one reading of
    // the clock: nothing runs between the two.
    const int64_t now = NowUnlocked(s);
    ExpireDue(s, now);
    if (!s.work.Empty()) {
      const Work item = s.work.Pop();
      if (item.dpc != nullptr) {
        item.dpc->DpcData = nullptr;
      } else if (!s.deadlines.TakeCallback(item.callback, callback)) {
        continue;  // cancelled after it fell due
      }
      s.workRunning = true;
      if (!s.virtualClock) t_workTime = now;
      lock.unlock();
      RunWork(item.dpc, callback);
      t_workTime = kNoRealClock;
      lock.lock();
      s.workRunning = false;
      continue;
    }
    WakeAll(s.flushWaiters);
    if (s.stopping) {
      t_holdReadied = false;  // letting go of the lock tells the threads the batch readied
      break;
    }
    if (SystemIdle(s) && !s.idleWaiters.empty()) {
      WakeAll(s.idleWaiters);
      continue;
    }
    if (s.virtualClock) {
      if (SystemIdle(s) && !s.deadlines.Empty()) {
        s.virtualNow = std::max(s.virtualNow, s.deadlines.FirstDue());
        PublishTime(s);
        continue;
      }
      if (SystemIdle(s) && s.attached > 0) {
        const uint64_t before = s.activity;
        const Sleeper::TimePoint until = SteadyClock::now() + kDeadlockGrace;
        // A wake that brought nothing (one sent before this thread looked)
        // does not cut the grace short.
        while (before == s.activity && !s.stopping && SteadyClock::now() < until)
          EngineSleep(s, lock, &until);
        if (before == s.activity && SystemIdle(s) && s.deadlines.Empty() && s.attached > 0 && !s.stopping)
          ReportDeadlock(s);
        continue;
      }
      EngineSleep(s, lock, nullptr);
    } else {
      WaitOnRealClock(s, lock);
    }
  }
}

}  // namespace

ThreadState::~ThreadState() {
  if (!attached || t_generation != S().generation) return;
  auto lock = LockDispatcher();
  DetachLocked(*this);
}

ThreadState& Current() {
  ThreadState& thread = t_state;
  if (t_isEngine) return thread;
  State& s = S();
  if (t_generation != s.generation) {
    // A thread from an earlier machine starts afresh.
    t_generation = s.generation;
    thread.attached = false;
    thread.kthread = nullptr;
    thread.heldSpinLocks.clear();
    thread.irql = PASSIVE_LEVEL;
  }
  if (!thread.attached && s.booted) {
    auto lock = LockDispatcher();
    if (s.booted && !thread.attached) Attach(thread);
  }
  return thread;
}

DispatcherLock LockDispatcher() { return DispatcherLock(DispatcherMutex()); }

DispatcherLock::~DispatcherLock() {
  if (owns_lock()) unique_lock::unlock();
  NotifyReadied();
}

void DispatcherLock::unlock() {
  unique_lock::unlock();
  NotifyReadied();
}

void NotifyReadied() {
  if (t_holdReadied) return;
  if (t_engineNews) {
    t_engineNews = false;
    // The DPC thread looks at everything again before it sleeps.
    if (!t_isEngine) S().engineWake.Wake();
  }
  for (auto& wake : t_readied) wake->Wake();
  t_readied.clear();
}

void MarkWaiting(ThreadState& thread) {
  State& s = S();
  if (!thread.attached) return;
  // Only the virtual clock and RunUntilIdle care that everything waits.
  if (--s.runnable == 0 && (s.virtualClock || !s.idleWaiters.empty())) t_engineNews = true;
}

void MarkRunnable(ThreadState& thread) {
  State& s = S();
  if (!thread.attached) return;
  ++s.runnable;
  ++s.activity;
}

void NoteNewWork() {
  State& s = S();
  ++s.activity;
  t_engineNews = true;
}

namespace {

using WaitedObjects = decltype(State::waitedObjects);

// The first waited object at or above `address`.
WaitedObjects::iterator WaitedFrom(WaitedObjects& waited, const void* address) {
  return std::lower_bound(waited.begin(), waited.end(), address, [](const auto& entry, const void* key) {
    return std::less<const void*>()(entry.first, key);
  });
}

}  // namespace

void RegisterWaiter(DISPATCHER_HEADER* object) {
  auto& waited = S().waitedObjects;
  auto it = WaitedFrom(waited, object);
  if (it == waited.end() || it->first != object) it = waited.insert(it, {object, 0});
  ++it->second;
}

void UnregisterWaiter(DISPATCHER_HEADER* object) {
  auto& waited = S().waitedObjects;
  auto it = WaitedFrom(waited, object);
  if (it != waited.end() && it->first == object && --it->second == 0) waited.erase(it);
}

bool HasWaiters(const DISPATCHER_HEADER* object) {
  auto& waited = S().waitedObjects;
  auto it = WaitedFrom(waited, object);
  return it != waited.end() && it->first == object;
}

void EndWait(ThreadState& thread, NTSTATUS status) {
  for (ULONG i = 0; i < thread.waitCount; ++i) {
    WaitBlock& block = thread.waitBlocks[i];
    RemoveEntryList(&block.entry);
    UnregisterWaiter(block.object);
  }
  thread.waitCount = 0;
  thread.waitBlocks = nullptr;
  thread.waitStatus = status;
  MarkRunnable(thread);
  t_readied.push_back(thread.wake);
}

NTSTATUS BlockUntilWoken(std::unique_lock<std::mutex>& lock, ThreadState& thread, int64_t deadline) {
  if (deadline >= 0) {
    thread.timeoutSeq = AddDeadline(deadline, DeadlineKind::WaitTimeout, &thread);
  }
  MarkWaiting(thread);
  while (thread.waitStatus == kWaitPending) SleepUnlocked(lock, *thread.wake, nullptr);
  if (thread.timeoutSeq != 0) {
    RemoveDeadline(thread.timeoutSeq);
    thread.timeoutSeq = 0;
  }
  return thread.waitStatus;
}

namespace {

uint64_t Enqueue(int64_t due, DeadlineKind kind, void* target, clock::Callback&& callback,
                 int64_t slack = 0) {
  State& s = S();
  const uint64_t seq = s.deadlines.Add(due, kind, target, std::move(callback), slack);
  // The DPC thread sleeping on the real clock wakes only when the deadline
  // brings its wake forward, the batch time after its last wake counted.
  if (s.virtualClock || std::max(LaterBy(due, slack), s.engineLastWake + kRealClockBatch) < s.engineWaitEnd) {
    NoteNewWork();
  } else {
    ++s.activity;
  }
  return seq;
}

}  // namespace

uint64_t AddDeadline(int64_t due, DeadlineKind kind, void* target) { return Enqueue(due, kind, target, {}); }

bool RemoveDeadline(uint64_t seq) { return S().deadlines.Remove(seq); }

int64_t NowLocked() { return NowUnlocked(S()); }

bool RealNow(int64_t& now) {
  if (t_workTime != kNoRealClock) {
    now = t_workTime;
    return true;
  }
  const int64_t boot = S().realBootNs.load(std::memory_order_acquire);
  if (boot == kNoRealClock) return false;
  now = (Nanoseconds(SteadyClock::now()) - boot) / 100;
  return true;
}

int64_t BootSystemTime() { return S().bootSystemTime; }

int64_t LaterBy(int64_t time, int64_t delta) {
  int64_t sum;
  if (!__builtin_add_overflow(time, delta, &sum)) return sum;
  return delta > 0 ? INT64_MAX : INT64_MIN;
}

int64_t RelativeDueLocked(int64_t negativeInterval) {
  // -INT64_MIN does not exist; one unit less changes nothing at that end.
  return LaterBy(NowLocked(), negativeInterval == INT64_MIN ? INT64_MAX : -negativeInterval);
}

void AdvanceVirtualTime(int64_t delta) {
  State& s = S();
  s.virtualNow = LaterBy(s.virtualNow, delta);
  PublishTime(s);
  NoteNewWork();
}

void QueueWorkLocked(KDPC* dpc) {
  S().work.Push(Work{dpc, 0});
  NoteNewWork();
}

bool RemoveQueuedDpcLocked(KDPC* dpc) { return S().work.Remove(dpc); }

namespace {

// Blocks `thread` until the DPC thread wakes everything on `waiters`.
void WaitOnEngine(std::unique_lock<std::mutex>& lock, ThreadState& thread,
                  std::vector<ThreadState*>& waiters) {
  thread.waitStatus = kWaitPending;
  thread.waitCount = 0;
  waiters.push_back(&thread);
  NoteNewWork();
  BlockUntilWoken(lock, thread, -1);
}

}  // namespace

void WaitForDpcFlush(std::unique_lock<std::mutex>& lock, ThreadState& thread) {
  WaitOnEngine(lock, thread, S().flushWaiters);
}

void WaitForIdle(std::unique_lock<std::mutex>& lock, ThreadState& thread) {
  WaitOnEngine(lock, thread, S().idleWaiters);
}

std::unordered_map<KTIMER*, uint64_t>& ActiveTimers() { return S().timers; }

clock::CallbackId ScheduleCallbackLocked(int64_t due, clock::Callback&& callback, int64_t slack) {
  return Enqueue(due, DeadlineKind::Callback, nullptr, std::move(callback), slack);
}

bool CancelCallbackLocked(clock::CallbackId id) { return S().deadlines.Remove(id); }

// A later wait end needs no wake: the DPC thread finds it when it next waits.
void RelaxCallbackLocked(clock::CallbackId id, int64_t slack) { S().deadlines.Relax(id, slack); }

bool IsVirtualClock() { return S().virtualClock; }

void SwitchToVirtualClock() {
  State& s = S();
  if (s.virtualClock) return;
  s.virtualNow = NowUnlocked(s);
  s.virtualClock = true;
  s.realBootNs.store(kNoRealClock, std::memory_order_release);
  PublishTime(s);
  NoteNewWork();  // the DPC thread stops waiting for the next deadline in real time
}

bool PublishRealTime() {
  auto lock = LockDispatcher();
  const State& s = S();
  if (s.virtualClock) return false;
  PublishTime(s);
  return true;
}

void ThreadStarted() { ++S().liveSystemThreads; }

void ThreadEnded() {
  State& s = S();
  --s.liveSystemThreads;
  ++s.exitingSystemThreads;
}

void ThreadExited() {
  State& s = S();
  --s.exitingSystemThreads;
  s.threadsGone.notify_all();
}

void PrecountNewThread() {
  State& s = S();
  ++s.runnable;
  ++s.activity;
}

void AttachAsSystemThread(PKTHREAD thread) {
  t_precounted = true;
  t_systemThread = thread;
}

void DetachCurrent() {
  auto lock = LockDispatcher();
  DetachLocked(t_state);
}

void CheckNoActiveObjects(const void* begin, size_t size, const char* routine) {
  auto inside = [&](const void* p) {
    auto b = static_cast<const char*>(begin);
    auto c = static_cast<const char*>(p);
    return c >= b && c < b + size;
  };
  auto lock = LockDispatcher();
  State& s = S();
  for (auto& [timer, seq] : s.timers)
    if (inside(timer)) verifier::Fail("memory freed with an active timer", routine, timer);
  for (const Work& item : s.work)
    if (item.dpc != nullptr && inside(item.dpc))
      verifier::Fail("memory freed with a queued DPC", routine, item.dpc);
  auto waited = WaitedFrom(s.waitedObjects, begin);
  if (waited != s.waitedObjects.end() && inside(waited->first))
    verifier::Fail("memory freed while threads wait on an object in it", routine, waited->first);
}

void Boot(bool virtualClock) {
  State& s = S();
  auto lock = LockDispatcher();
  s.booted = true;
  s.virtualClock = virtualClock;
  s.virtualNow = 0;
  s.realBoot = SteadyClock::now();
  if (virtualClock) {
    s.bootSystemTime = kVirtualBootSystemTime;
  } else {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    s.bootSystemTime =
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100 + 116444736000000000LL;
  }
  PublishTime(s);
  s.realBootNs.store(virtualClock ? kNoRealClock : Nanoseconds(s.realBoot), std::memory_order_release);
  s.attached = 0;
  s.runnable = 0;
  s.stopping = false;
  s.engineWaitEnd = kNotWaiting;
  s.engineLastWake = 0;
  s.engine = std::thread(EngineLoop);
  lock.unlock();
  Current();  // the booting thread is the machine's first running thread
}

void Shutdown(bool checkLeaks) {
  State& s = S();
  {
    auto lock = LockDispatcher();
    NotifyReadied();
    s.threadsGone.wait(lock, [&] { return s.exitingSystemThreads == 0; });
    if (s.liveSystemThreads > 0) {
      if (checkLeaks)
        verifier::Fail("system thread still running at shutdown", "machine shutdown", nullptr, "%d thread(s)",
                       s.liveSystemThreads);
    }
    if (checkLeaks && !s.timers.empty())
      verifier::Fail("timer still set at shutdown", "machine shutdown", s.timers.begin()->first);
    s.stopping = true;
    s.engineWake.Wake();
  }
  s.engine.join();
  auto lock = LockDispatcher();
  for (ThreadState* thread : s.attachedThreads) {
    thread->attached = false;
    kthread::ReleaseForAttachedThread(*thread);
  }
  s.attachedThreads.clear();
  s.booted = false;
  s.realBootNs.store(kNoRealClock, std::memory_order_release);
  ++s.generation;
  s.deadlines.Clear();
  s.timers.clear();
  s.work.Clear();
  s.idleWaiters.clear();
  s.flushWaiters.clear();
  s.waitedObjects.clear();
}

}  // namespace kernel::sched
