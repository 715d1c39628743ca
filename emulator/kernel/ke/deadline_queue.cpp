#include "emulator/kernel/ke/deadline_queue.h"

#include <algorithm>
#include <cstdint>

#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::sched {
namespace {

// An id is the slot number with the sequence above it, so that an id kept
// after its deadline went does not name the slot's next deadline.
constexpr int kSlotBits = 24;
constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;

// The instant a deadline due at `due` must be met by, held at the end of time.
int64_t Latest(int64_t due, int64_t slack) { return LaterBy(due, std::max<int64_t>(slack, 0)); }

}  // namespace

DeadlineQueue::Id DeadlineQueue::Add(int64_t due, DeadlineKind kind, void* target, clock::Callback&& callback,
                                     int64_t slack) {
  uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() > kSlotMask) verifier::Fail("too many deadlines at once", "deadline queue", target);
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  const uint64_t sequence = nextSequence_++;
  Slot& s = slots_[slot];
  s.id = (sequence << kSlotBits) | slot;
  s.sequence = sequence;
  s.due = due;
  s.latest = Latest(due, slack);
  s.kind = kind;
  s.state = State::Queued;
  s.target = target;
  s.callback = std::move(callback);
  heap_.push_back(slot);
  s.heapIndex = static_cast<uint32_t>(heap_.size() - 1);
  SiftUp(s.heapIndex);
  return s.id;
}

int64_t DeadlineQueue::FirstLatest() const {
  // A scan: the queue holds a few deadlines a port, and only the DPC thread
  // asks, once a wait on the real clock.
  int64_t latest = INT64_MAX;
  for (uint32_t slot : heap_) latest = std::min(latest, slots_[slot].latest);
  return latest;
}

void DeadlineQueue::Relax(Id id, int64_t slack) {
  Slot* s = Find(id);
  if (s != nullptr && s->state == State::Queued) s->latest = std::max(s->latest, Latest(s->due, slack));
}

DeadlineQueue::Slot* DeadlineQueue::Find(Id id) {
  const uint64_t slot = id & kSlotMask;
  if (slot >= slots_.size()) return nullptr;
  Slot& s = slots_[slot];
  return s.state != State::Free && s.id == id ? &s : nullptr;
}

bool DeadlineQueue::Remove(Id id) {
  Slot* s = Find(id);
  if (s == nullptr) return false;
  if (s->state == State::Queued) RemoveAt(s->heapIndex);
  Release(static_cast<uint32_t>(id & kSlotMask));
  return true;
}

DeadlineQueue::Expired DeadlineQueue::PopFirst() {
  const uint32_t slot = heap_.front();
  RemoveAt(0);
  Slot& s = slots_[slot];
  const Expired expired{s.id, s.kind, s.target};
  if (s.kind == DeadlineKind::Callback) {
    s.state = State::Held;
  } else {
    Release(slot);
  }
  return expired;
}

bool DeadlineQueue::TakeCallback(Id id, clock::Callback& callback) {
  Slot* s = Find(id);
  if (s == nullptr || s->state != State::Held) return false;
  callback = std::move(s->callback);
  Release(static_cast<uint32_t>(id & kSlotMask));
  return true;
}

void DeadlineQueue::Clear() {
  slots_.clear();
  free_.clear();
  heap_.clear();
}

void DeadlineQueue::Release(uint32_t slot) {
  Slot& s = slots_[slot];
  s.state = State::Free;
  s.callback = nullptr;
  free_.push_back(slot);
}

bool DeadlineQueue::Before(uint32_t a, uint32_t b) const {
  const Slot& x = slots_[a];
  const Slot& y = slots_[b];
  return x.due != y.due ? x.due < y.due : x.sequence < y.sequence;
}

void DeadlineQueue::Place(uint32_t index, uint32_t slot) {
  heap_[index] = slot;
  slots_[slot].heapIndex = index;
}

void DeadlineQueue::SiftUp(uint32_t index) {
  const uint32_t slot = heap_[index];
  while (index > 0) {
    const uint32_t parent = (index - 1) / 2;
    if (!Before(slot, heap_[parent])) break;
    Place(index, heap_[parent]);
    index = parent;
  }
  Place(index, slot);
}

void DeadlineQueue::SiftDown(uint32_t index) {
  const uint32_t slot = heap_[index];
  const auto size = static_cast<uint32_t>(heap_.size());
  for (;;) {
    uint32_t child = 2 * index + 1;
    if (child >= size) break;
    if (child + 1 < size && Before(heap_[child + 1], heap_[child])) ++child;
    if (!Before(heap_[child], slot)) break;
    Place(index, heap_[child]);
    index = child;
  }
  Place(index, slot);
}

void DeadlineQueue::RemoveAt(uint32_t index) {
  const uint32_t last = heap_.back();
  heap_.pop_back();
  if (index == heap_.size()) return;
  Place(index, last);
  SiftUp(index);
  SiftDown(slots_[last].heapIndex);
}

}  // namespace kernel::sched
