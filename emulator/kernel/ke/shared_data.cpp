#include "emulator/kernel/ke/shared_data.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "emulator/kernel/clock.h"

namespace kernel::shared_data {
namespace {

alignas(kPageSize) uint8_t g_page[kPageSize];

// KSYSTEM_TIME: LowPart, High1Time, High2Time. The writer stores High2Time
// first and LowPart:High1Time last, as one 64-bit store.
void Store(uint32_t offset, int64_t value) {
  auto* high2 = reinterpret_cast<std::atomic<int32_t>*>(g_page + offset + 8);
  auto* whole = reinterpret_cast<std::atomic<int64_t>*>(g_page + offset);
  high2->store(int32_t(value >> 32), std::memory_order_relaxed);
  whole->store(value, std::memory_order_release);
}

struct Ticker {
  std::mutex lock;
  std::condition_variable changed;
  int readers = 0;
  std::thread thread;
};

Ticker& T() {
  static auto* ticker = new Ticker;
  return *ticker;
}

void Tick() {
  Ticker& t = T();
  std::unique_lock lock(t.lock);
  while (t.readers > 0) {
    lock.unlock();
    Publish(clock::Now(), clock::SystemTime());
    lock.lock();
    t.changed.wait_for(lock, std::chrono::milliseconds(1));
  }
}

}  // namespace

uint8_t* Page() { return g_page; }

void Publish(int64_t interruptTime, int64_t systemTime) {
  Store(kInterruptTime, interruptTime);
  Store(kSystemTime, systemTime);
}

void AddReader() {
  if (clock::IsVirtual()) return;
  Ticker& t = T();
  std::lock_guard guard(t.lock);
  if (t.readers++ == 0) t.thread = std::thread(Tick);
}

void RemoveReader() {
  if (clock::IsVirtual()) return;
  Ticker& t = T();
  std::thread ending;
  {
    std::lock_guard guard(t.lock);
    if (--t.readers == 0) ending = std::move(t.thread);
    t.changed.notify_all();
  }
  if (ending.joinable()) ending.join();
}

}  // namespace kernel::shared_data
