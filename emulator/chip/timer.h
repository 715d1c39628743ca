// A clock callback owned by a model object. Arming again replaces the earlier
// arming; a callback that was already on its way when the timer was re-armed,
// disarmed or destroyed does nothing. Use only with the model lock held.
#pragma once

#include <functional>
#include <memory>

#include "emulator/chip/scheduler.h"

namespace chip {

class Timer {
 public:
  Timer(Scheduler& scheduler, std::function<void()> onFire);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // `slack`: how late the callback may run (see Scheduler::ScheduleWithin).
  void Arm(Time due, Time slack = 0);
  // Arms for the first tick strictly after `instant` (a point between ticks).
  void ArmAfter(double instant, Time slack = 0);
  // An armed timer may fire up to `slack` late (see Scheduler::Relax). A
  // slack less than an eighth above the one it has is not worth the trip
  // into the clock, and changes nothing.
  void Relax(Time slack);
  void Disarm();
  bool Armed() const;
  Time Slack() const { return slack_; }

 private:
  struct Shared;
  Scheduler& scheduler_;
  std::shared_ptr<Shared> shared_;
  Scheduler::Id id_ = 0;
  Time slack_ = 0;  // of the arming in place
};

}  // namespace chip
