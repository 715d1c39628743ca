// Internal to the emulated kernel: the deadline queue behind timers, timed
// waits and clock callbacks (dispatcher lock held). A binary heap ordered by
// due time, then by the order of adding, over a pool of reused slots: adding
// or removing a deadline costs O(log n) and no allocation once the pool has
// grown, since a fast line adds and removes one every few microseconds.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/kernel/clock.h"

namespace kernel::sched {

enum class DeadlineKind { Timer, WaitTimeout, Callback };

class DeadlineQueue {
 public:
  using Id = uint64_t;  // never 0
  struct Expired {
    Id id;
    DeadlineKind kind;
    void* target;
  };

  // `slack`: how late the deadline may be met on the real clock.
  Id Add(int64_t due, DeadlineKind kind, void* target, clock::Callback&& callback, int64_t slack = 0);
  // Takes a deadline off the queue, or a callback that fell due but has not
  // run; false when it is neither.
  bool Remove(Id id);
  // Raises a queued deadline's slack to `slack`; its order stays.
  void Relax(Id id, int64_t slack);
  bool Empty() const { return heap_.empty(); }
  int64_t FirstDue() const { return slots_[heap_.front()].due; }
  // The earliest instant by which some deadline must be met (queue not
  // empty): its due time and slack together.
  int64_t FirstLatest() const;
  // Takes the first deadline off the queue. A callback stays held until
  // TakeCallback (or Remove) claims it.
  Expired PopFirst();
  // Moves out a fallen-due callback; false when it was removed meanwhile.
  bool TakeCallback(Id id, clock::Callback& callback);
  void Clear();

 private:
  enum class State : uint8_t { Free, Queued, Held };
  struct Slot {
    Id id = 0;
    uint64_t sequence = 0;  // the order of adding, for equal due times
    int64_t due = 0;
    int64_t latest = 0;  // due plus slack
    DeadlineKind kind = DeadlineKind::Timer;
    State state = State::Free;
    uint32_t heapIndex = 0;
    void* target = nullptr;
    clock::Callback callback;
  };

  Slot* Find(Id id);
  void Release(uint32_t slot);
  bool Before(uint32_t a, uint32_t b) const;
  void Place(uint32_t index, uint32_t slot);
  void SiftUp(uint32_t index);
  void SiftDown(uint32_t index);
  void RemoveAt(uint32_t index);

  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  std::vector<uint32_t> heap_;  // slot numbers
  uint64_t nextSequence_ = 1;
};

}  // namespace kernel::sched
