// A clock for the chip model alone: time moves only when the test says so,
// and due callbacks run in time order (then in the order they were made).
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "emulator/chip/scheduler.h"

namespace chip_test {

class ManualScheduler final : public chip::Scheduler {
 public:
  chip::Time Now() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  Id ScheduleAt(chip::Time due, std::function<void()> callback) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Id id = ++nextId_;
    pending_.emplace(std::make_pair(std::max(due, now_), id), std::move(callback));
    return id;
  }
  bool Cancel(Id id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->first.second == id) {
        pending_.erase(it);
        return true;
      }
    }
    return false;
  }
  // Runs everything due up to `t`, then leaves the clock at `t`.
  void AdvanceTo(chip::Time t) {
    for (;;) {
      std::function<void()> callback;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty() || pending_.begin()->first.first > t) {
          now_ = std::max(now_, t);
          return;
        }
        auto it = pending_.begin();
        now_ = std::max(now_, it->first.first);
        callback = std::move(it->second);
        pending_.erase(it);
      }
      callback();
    }
  }
  void Advance(chip::Time delay) { AdvanceTo(Now() + delay); }
  // Moves the clock to `t` first and then runs, in order, everything due by
  // then: a clock that runs its callbacks late, in one batch.
  void AdvanceLate(chip::Time t) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now_ = std::max(now_, t);
    }
    AdvanceTo(t);
  }
  // Runs callbacks until `done` holds or `limit` passes; false on the limit.
  template <class Predicate>
  bool RunUntil(Predicate done, chip::Time limit) {
    chip::Time end = Now() + limit;
    while (!done()) {
      chip::Time next;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty() || pending_.begin()->first.first > end) {
          now_ = std::max(now_, end);
          return false;
        }
        next = pending_.begin()->first.first;
      }
      AdvanceTo(next);
    }
    return true;
  }

 private:
  mutable std::mutex mutex_;
  chip::Time now_ = 0;
  Id nextId_ = 0;
  std::map<std::pair<chip::Time, Id>, std::function<void()>> pending_;
};

}  // namespace chip_test
