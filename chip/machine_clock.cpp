#include "chip/machine_clock.h"

#include "host/clock.h"

namespace chip {

Time MachineClock::Now() const { return host::clock::Now(); }

Scheduler::Id MachineClock::ScheduleAt(Time due, std::function<void()> callback) {
  return host::clock::ScheduleAt(due, std::move(callback));
}

bool MachineClock::Cancel(Id id) { return host::clock::Cancel(id); }

}  // namespace chip
