// Time: the clock API, system and interrupt time, processor stalls, and the
// kernel's place in the machine's boot order.
#include <chrono>
#include <thread>

#include "host/machine.h"
#include "host/object_manager.h"
#include "host/scheduler.h"
#include "host/verifier.h"

namespace host::clock {

int64_t Now() {
  auto lock = sched::LockDispatcher();
  return sched::NowLocked();
}

int64_t SystemTime() {
  auto lock = sched::LockDispatcher();
  return sched::LaterBy(sched::BootSystemTime(), sched::NowLocked());
}

bool IsVirtual() {
  auto lock = sched::LockDispatcher();
  return sched::IsVirtualClock();
}

CallbackId ScheduleAt(int64_t due, Callback callback) {
  auto lock = sched::LockDispatcher();
  return sched::ScheduleCallbackLocked(due, std::move(callback));
}

CallbackId ScheduleAfter(int64_t delay, Callback callback) {
  auto lock = sched::LockDispatcher();
  return sched::ScheduleCallbackLocked(sched::LaterBy(sched::NowLocked(), delay), std::move(callback));
}

bool Cancel(CallbackId id) {
  auto lock = sched::LockDispatcher();
  return sched::CancelCallbackLocked(id);
}

void Sleep(int64_t delay) {
  LARGE_INTEGER interval;
  interval.QuadPart = -delay;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void RunUntilIdle() {
  verifier::CheckIrql("RunUntilIdle", nullptr, PASSIVE_LEVEL);
  sched::ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  sched::WaitForIdle(lock, thread);
}

ScopedExternalWait::ScopedExternalWait() {
  sched::ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  sched::MarkWaiting(thread);
}

ScopedExternalWait::~ScopedExternalWait() {
  sched::ThreadState& thread = sched::Current();
  auto lock = sched::LockDispatcher();
  sched::MarkRunnable(thread);
}

}  // namespace host::clock

void KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = host::clock::SystemTime(); }

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(host::clock::Now()); }

ULONG KeQueryTimeIncrement() { return 156250; }

void KeQueryTickCount(PLARGE_INTEGER tickCount) {
  tickCount->QuadPart = host::clock::Now() / KeQueryTimeIncrement();
}

void KeStallExecutionProcessor(ULONG microSeconds) {
  using namespace host;
  auto lock = sched::LockDispatcher();
  if (sched::IsVirtualClock()) {
    sched::AdvanceVirtualTime(static_cast<int64_t>(microSeconds) * clock::kMicrosecond);
    return;
  }
  lock.unlock();
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(microSeconds);
  while (std::chrono::steady_clock::now() < end) std::this_thread::yield();
}

namespace {

const bool kRegistered = host::RegisterSubsystem(host::Subsystem{
    "kernel", 0,
    [](const host::MachineOptions& options) {
      host::ob::Reset();
      host::sched::Boot(options.clock == host::ClockKind::Virtual);
    },
    [] {
      const bool check = host::Machine::Current().Options().checkLeaksAtShutdown;
      host::sched::Shutdown(check);
      if (check) host::ob::ReportLeaks();
      host::ob::Reset();
    }});

}  // namespace
