// The clock as the chip model sees it. The model has no threads: it acts in
// the requests it receives and in callbacks that this scheduler fires. The
// USB face adapts it to the machine's clock; unit tests drive a manual one.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace chip {

// Time in 100-ns units, as the emulated kernel counts it.
using Time = int64_t;
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

class Scheduler {
 public:
  using Id = uint64_t;
  virtual ~Scheduler() = default;
  virtual Time Now() const = 0;
  // Runs `callback` once the clock reaches `due`. The callback takes the
  // model lock itself; the scheduler calls it with no lock held.
  virtual Id ScheduleAt(Time due, std::function<void()> callback) = 0;
  // As ScheduleAt, for a callback that may run up to `slack` late, so that a
  // clock that runs callbacks in batches wakes less often; one that does not
  // runs it at `due`.
  virtual Id ScheduleWithin(Time due, Time slack, std::function<void()> callback) {
    (void)slack;
    return ScheduleAt(due, std::move(callback));
  }
  // True when the callback had not run and now never will.
  virtual bool Cancel(Id id) = 0;
  // Lets a waiting callback run up to `slack` late, in its place among those
  // due at the same instant; a clock without batches ignores it.
  virtual void Relax(Id id, Time slack) {
    (void)id;
    (void)slack;
  }
};

}  // namespace chip
