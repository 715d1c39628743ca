// The chip model's scheduler on the machine's clock: callbacks run at
// DISPATCH_LEVEL on the kernel's DPC thread, on virtual or real time.
#pragma once

#include "emulator/chip/scheduler.h"

namespace chip {

class MachineClock final : public Scheduler {
 public:
  Time Now() const override;
  Id ScheduleAt(Time due, std::function<void()> callback) override;
  Id ScheduleWithin(Time due, Time slack, std::function<void()> callback) override;
  bool Cancel(Id id) override;
  void Relax(Id id, Time slack) override;
};

}  // namespace chip
