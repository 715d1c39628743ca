// Bytes handed from one thread to another, with a bound: the producer waits
// while the queue is full, so a slow consumer slows the producer down
// instead of losing data or growing without limit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace t7315 {

class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity) : capacity_(capacity) {}

  // Waits for room unless stopped; false once stopped.
  bool Push(std::span<const uint8_t> bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || bytes_.size() < capacity_; });
    if (stopped_) return false;
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
    return true;
  }
  // Everything queued, at once (possibly nothing).
  std::vector<uint8_t> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> taken;
    taken.swap(bytes_);
    changed_.notify_all();
    return taken;
  }
  // Waits for bytes; empty once stopped and drained.
  std::vector<uint8_t> WaitTake() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || !bytes_.empty(); });
    std::vector<uint8_t> taken;
    if (!stopped_) taken.swap(bytes_);
    changed_.notify_all();
    return taken;
  }
  bool HasRoom() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_.size() < capacity_;
  }
  void Clear() { TakeAll(); }
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint8_t> bytes_;
  bool stopped_ = false;
};

}  // namespace t7315
