// The machine's clock. On the virtual clock time jumps to the next deadline
// (timer, timed wait or scheduled callback) once every emulated thread waits;
// a thread counts as running from the moment something wakes it.
#pragma once

#include <cstdint>
#include <functional>

namespace kernel::clock {

// Interrupt time: 100-ns units since boot.
int64_t Now();
// System time (100-ns units since 1601-01-01 UTC), as KeQuerySystemTime gives.
int64_t SystemTime();
bool IsVirtual();
// From now on the clock behaves as the virtual one, going on from the current
// instant: for a machine on real time whose remaining work, such as its
// teardown, nothing outside waits on in real time. Does nothing on the virtual
// clock.
void SwitchToVirtual();

using Callback = std::function<void()>;
using CallbackId = uint64_t;

// Runs `callback` at DISPATCH_LEVEL on the kernel's DPC thread once the clock
// reaches `due` (absolute interrupt time). This is how the simulated chip acts
// over time without threads of its own.
CallbackId ScheduleAt(int64_t due, Callback callback);
// As ScheduleAt, for a callback that may run up to `slack` late on the real
// clock (a coalescable timer's tolerable delay), so that callbacks close
// together run in one wake of the DPC thread. The virtual clock runs it at `due`.
CallbackId ScheduleWithin(int64_t due, int64_t slack, Callback callback);
CallbackId ScheduleAfter(int64_t delay, Callback callback);
// True when the callback was still waiting and will now never run.
bool Cancel(CallbackId id);
// Lets a waiting callback run up to `slack` late (as ScheduleWithin), keeping
// its place among callbacks due at the same instant; never makes it sooner.
void Relax(CallbackId id, int64_t slack);

// Blocks the calling (emulated) thread for `delay` units of time; on the
// virtual clock everything due meanwhile runs first, in order.
void Sleep(int64_t delay);
// Returns once every other emulated thread waits and no DPC or due callback
// is pending, without moving the clock.
void RunUntilIdle();

// Marks the calling thread as waiting while it blocks outside the kernel, for
// example joining a thread that itself needs the virtual clock to move.
class ScopedExternalWait {
 public:
  ScopedExternalWait();
  ~ScopedExternalWait();
  ScopedExternalWait(const ScopedExternalWait&) = delete;
  ScopedExternalWait& operator=(const ScopedExternalWait&) = delete;
};

constexpr int64_t kMicrosecond = 10;
constexpr int64_t kMillisecond = 10'000;
constexpr int64_t kSecond = 10'000'000;

}  // namespace kernel::clock
