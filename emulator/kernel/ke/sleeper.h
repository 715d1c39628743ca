// Internal to the emulated kernel: how a machine thread sleeps until another
// wakes it. A condition variable takes its mutex back marked as contended, so
// that the sleeper's next release of the dispatcher lock is a system call
// even with nobody waiting; here the sleeper takes the lock back as a plain
// lock, and a wake costs nothing while the thread is not asleep.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kernel::sched {

class Sleeper {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Dispatcher lock held, its owner having found it must sleep: a Wake from
  // now on ends the sleep that follows. Returns the sleep's token.
  uint32_t Prepare();
  // Dispatcher lock released: sleeps until a Wake since Prepare, until
  // `until` (when given) or a spurious return; the caller checks again.
  void Sleep(uint32_t token, const TimePoint* until);
  // With or without the dispatcher lock.
  void Wake();

 private:
  std::atomic<uint32_t> wakes_{0};
  std::atomic<bool> asleep_{false};
};

}  // namespace kernel::sched
