#include "emulator/kernel/ke/sleeper.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace kernel::sched {
namespace {

// The futex word is the 32-bit wake count.
uint32_t* Word(std::atomic<uint32_t>& wakes) { return reinterpret_cast<uint32_t*>(&wakes); }

}  // namespace

uint32_t Sleeper::Prepare() {
  const uint32_t token = wakes_.load();
  asleep_.store(true);
  return token;
}

void Sleeper::Sleep(uint32_t token, const TimePoint* until) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                std::atomic<uint32_t>::is_always_lock_free);
  timespec end{};
  if (until != nullptr) {
    // The steady clock is CLOCK_MONOTONIC, the clock FUTEX_WAIT_BITSET counts in.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until->time_since_epoch()).count();
    end.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    end.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  // Returns at once when a Wake came since Prepare (the count moved on).
  syscall(SYS_futex, Word(wakes_), FUTEX_WAIT_BITSET_PRIVATE, token, until != nullptr ? &end : nullptr,
          nullptr, FUTEX_BITSET_MATCH_ANY);
  asleep_.store(false, std::memory_order_relaxed);
}

void Sleeper::Wake() {
  wakes_.fetch_add(1);
  if (asleep_.exchange(false)) syscall(SYS_futex, Word(wakes_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace kernel::sched
