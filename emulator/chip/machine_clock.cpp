#include "emulator/chip/machine_clock.h"

#include "emulator/kernel/clock.h"

namespace chip {

Time MachineClock::Now() const { return kernel::clock::Now(); }

Scheduler::Id MachineClock::ScheduleAt(Time due, std::function<void()> callback) {
  return kernel::clock::ScheduleAt(due, std::move(callback));
}

Scheduler::Id MachineClock::ScheduleWithin(Time due, Time slack, std::function<void()> callback) {
  return kernel::clock::ScheduleWithin(due, slack, std::move(callback));
}

bool MachineClock::Cancel(Id id) { return kernel::clock::Cancel(id); }

void MachineClock::Relax(Id id, Time slack) { kernel::clock::Relax(id, slack); }

}  // namespace chip
