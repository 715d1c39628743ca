#include "emulator/kernel/ke/shared_data.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/ke/scheduler.h"

namespace kernel::shared_data {
namespace {

alignas(kPageSize) uint8_t g_page[kPageSize];

// Windows places the 8-byte times at offsets that are multiples of 4 only; an
// x64 store of 8 bytes within one cache line is still a single store.
typedef int64_t __attribute__((aligned(4))) PageQuad;

// KSYSTEM_TIME: LowPart, High1Time, High2Time. The writer stores High2Time
// first and LowPart:High1Time last, as one 64-bit store, so that a reader of
// the 12 bytes can tell a torn value. Only the loaded images read the page,
// and only under the dispatcher lock is it written.
void Store(uint32_t offset, int64_t value) {
  *reinterpret_cast<volatile int32_t*>(g_page + offset + 8) = int32_t(value >> 32);
  *reinterpret_cast<volatile PageQuad*>(g_page + offset) = value;
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

// Runs until the last reader goes or the clock turns virtual.
void Tick() {
  Ticker& t = T();
  std::unique_lock lock(t.lock);
  while (t.readers > 0) {
    lock.unlock();
    const bool real = sched::PublishRealTime();
    lock.lock();
    if (!real) break;
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
  const bool real = !clock::IsVirtual();
  Ticker& t = T();
  std::lock_guard guard(t.lock);
  if (t.readers++ == 0 && real) t.thread = std::thread(Tick);
}

// Counts readers on either clock: the clock may have turned virtual since a
// reader came, and its ticker must still be joined.
void RemoveReader() {
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
