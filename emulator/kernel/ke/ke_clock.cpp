// Time: the clock API, system and interrupt time, processor stalls, and the
// kernel's place in the machine's boot order.
#include <chrono>
#include <thread>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::clock {

int64_t Now() {
  // The chip model asks several times a character: no lock on the real clock.
  if (int64_t now; sched::RealNow(now)) return now;
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

void SwitchToVirtual() {
  auto lock = sched::LockDispatcher();
  sched::SwitchToVirtualClock();
}

CallbackId ScheduleAt(int64_t due, Callback callback) {
  auto lock = sched::LockDispatcher();
  return sched::ScheduleCallbackLocked(due, std::move(callback));
}

CallbackId ScheduleWithin(int64_t due, int64_t slack, Callback callback) {
  auto lock = sched::LockDispatcher();
  return sched::ScheduleCallbackLocked(due, std::move(callback), slack);
}

CallbackId ScheduleAfter(int64_t delay, Callback callback) {
  auto lock = sched::LockDispatcher();
  return sched::ScheduleCallbackLocked(sched::LaterBy(sched::NowLocked(), delay), std::move(callback));
}

bool Cancel(CallbackId id) {
  auto lock = sched::LockDispatcher();
  return sched::CancelCallbackLocked(id);
}

void Relax(CallbackId id, int64_t slack) {
  auto lock = sched::LockDispatcher();
  sched::RelaxCallbackLocked(id, slack);
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

}  // namespace kernel::clock

void KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = kernel::clock::SystemTime(); }

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(kernel::clock::Now()); }

ULONG KeQueryTimeIncrement() { return 156250; }

void KeQueryTickCount(PLARGE_INTEGER tickCount) {
  tickCount->QuadPart = kernel::clock::Now() / KeQueryTimeIncrement();
}

void KeStallExecutionProcessor(ULONG microSeconds) {
  using namespace kernel;
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

const bool kRegistered = kernel::RegisterSubsystem(
    kernel::Subsystem{"kernel", 0,
                      [](const kernel::MachineOptions& options) {
                        kernel::ob::Reset();
                        kernel::sched::Boot(options.clock == kernel::ClockKind::Virtual);
                      },
                      [] {
                        const bool check = kernel::Machine::Current().Options().checkLeaksAtShutdown;
                        kernel::sched::Shutdown(check);
                        if (check) kernel::ob::ReportLeaks();
                        kernel::ob::Reset();
                      }});

}  // namespace
