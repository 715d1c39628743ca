#include "emulator/chip/timer.h"

#include <cmath>

#include "emulator/chip/model_lock.h"

namespace chip {

struct Timer::Shared {
  std::function<void()> onFire;
  bool alive = true;
  bool armed = false;
  uint64_t generation = 0;
};

Timer::Timer(Scheduler& scheduler, std::function<void()> onFire)
    : scheduler_(scheduler), shared_(std::make_shared<Shared>()) {
  shared_->onFire = std::move(onFire);
}

Timer::~Timer() {
  ModelGuard guard;  // owners may be torn down outside the lock
  Disarm();
  shared_->alive = false;
}

void Timer::Arm(Time due, Time slack) {
  Disarm();
  shared_->armed = true;
  uint64_t generation = ++shared_->generation;
  std::shared_ptr<Shared> shared = shared_;
  slack_ = slack;
  id_ = scheduler_.ScheduleWithin(due, slack, [shared, generation] {
    ModelGuard guard;
    if (!shared->alive || !shared->armed || shared->generation != generation) return;
    shared->armed = false;
    shared->onFire();
  });
}

void Timer::ArmAfter(double instant, Time slack) { Arm(static_cast<Time>(std::floor(instant)) + 1, slack); }

void Timer::Relax(Time slack) {
  if (!shared_->armed || slack - slack_ <= slack / 8) return;
  slack_ = slack;
  scheduler_.Relax(id_, slack);
}

void Timer::Disarm() {
  if (!shared_->armed) return;
  shared_->armed = false;
  ++shared_->generation;
  scheduler_.Cancel(id_);
}

bool Timer::Armed() const { return shared_->armed; }

}  // namespace chip
