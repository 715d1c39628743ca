// Timers and DPCs on the virtual clock.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "emulator/kernel/clock.h"
#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

using KeTimers = MachineTest;

// A timer whose DPC records when and at which IRQL it ran; `done` is set
// after `wanted` runs.
struct TimedDpc {
  KTIMER timer;
  KDPC dpc;
  KEVENT done;
  std::vector<int64_t> times;
  std::vector<KIRQL> irqls;
  size_t wanted;

  explicit TimedDpc(size_t wanted = 1) : wanted(wanted) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, Record, this);
  }
  static void NTAPI Record(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<TimedDpc*>(context);
    self->times.push_back(kernel::clock::Now());
    self->irqls.push_back(KeGetCurrentIrql());
    if (self->times.size() == self->wanted) KeSetEvent(&self->done, 0, FALSE);
  }
  void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

LARGE_INTEGER Relative(int64_t units) { return LARGE_INTEGER{.QuadPart = -units}; }

TEST_F(KeTimers, TenSecondTimerFiresItsDpcAtDispatchLevel) {
  TimedDpc t;
  const int64_t start = Now();
  EXPECT_FALSE(KeSetTimer(&t.timer, Relative(10'000 * kMs), &t.dpc));
  t.Wait();
  EXPECT_EQ(t.times, (std::vector<int64_t>{start + 10'000 * kMs}));
  EXPECT_EQ(t.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL}));
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
}

// A relative due time too long to add to the clock lies far in the future,
// as in Windows: the timer does not fire and a wait does not time out.
TEST_F(KeTimers, DueTimesBeyondTheClockNeverCome) {
  for (int64_t units : {INT64_MAX, int64_t(INT64_MIN)}) {
    SCOPED_TRACE(units);
    kernel::clock::Sleep(kMs);  // the clock is past 0
    TimedDpc t;
    LARGE_INTEGER due{.QuadPart = units == INT64_MAX ? -units : units};
    KeSetTimer(&t.timer, due, &t.dpc);
    kernel::clock::ScheduleAfter(kMs, [&] { KeSetEvent(&t.done, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&t.done, Executive, KernelMode, FALSE, &due), STATUS_WAIT_0);
    kernel::clock::Sleep(1000 * kMs);
    EXPECT_TRUE(t.times.empty());
    EXPECT_TRUE(KeCancelTimer(&t.timer));
  }
}

TEST_F(KeTimers, ResettingOrCancellingReportsWhetherTheTimerWasSet) {
  TimedDpc t;
  EXPECT_FALSE(KeSetTimer(&t.timer, Relative(100 * kMs), &t.dpc));
  EXPECT_TRUE(KeSetTimer(&t.timer, Relative(300 * kMs), &t.dpc)) << "replacing a set timer";
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  kernel::clock::Sleep(1000 * kMs);
  EXPECT_TRUE(t.times.empty()) << "a cancelled timer never queues its DPC";
  EXPECT_FALSE(KeReadStateTimer(&t.timer));
}

TEST_F(KeTimers, TimersFireInDueOrderAndPeriodicTimersRepeat) {
  TimedDpc periodic(3), once;
  const int64_t start = Now();
  KeSetTimerEx(&periodic.timer, Relative(10 * kMs), 20, &periodic.dpc);
  KeSetTimer(&once.timer, Relative(25 * kMs), &once.dpc);
  periodic.Wait();
  KeCancelTimer(&periodic.timer);
  EXPECT_EQ(periodic.times, (std::vector<int64_t>{start + 10 * kMs, start + 30 * kMs, start + 50 * kMs}));
  EXPECT_EQ(once.times, (std::vector<int64_t>{start + 25 * kMs}));
}

void NTAPI SpinUntilReleased(PKDPC, PVOID context, PVOID, PVOID) {
  auto* released = static_cast<std::atomic<bool>*>(context);
  while (!released->load()) std::this_thread::yield();
}

TEST_F(KeTimers, DpcQueuedTwiceRunsOnceAndFlushWaitsForIt) {
  // A first DPC keeps the DPC thread busy so the second stays queued.
  std::atomic<bool> released{false};
  KDPC blocker, dpc;
  TimedDpc record;
  KeInitializeDpc(&blocker, SpinUntilReleased, &released);
  KeInitializeDpc(&dpc, TimedDpc::Record, &record);
  EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
  released.store(true);
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.times.size(), 1u);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "queued again once it ran";
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.times.size(), 2u);
}

TEST_F(KeTimers, ScheduledCallbacksRunInOrderAndCancelledOnesNever) {
  // Hundreds at once with equal due times, cancelled from the middle of the
  // queue, then more in the places they left: due order, ties in the order
  // scheduled, and an old id never cancels a newer callback. Slack, given or
  // added later, changes neither on the virtual clock.
  std::vector<int> order, expected;
  std::vector<std::pair<int64_t, int>> kept;
  std::vector<kernel::clock::CallbackId> ids;
  uint32_t seed = 7315;
  auto schedule = [&](int i) {
    seed = seed * 1103515245 + 12345;
    const int64_t due = (seed >> 16) % 17 * kMs + kMs;
    auto run = [&order, i] { order.push_back(i); };
    ids.push_back(i % 4 == 0 ? kernel::clock::ScheduleWithin(Now() + due, (seed >> 8) % 5 * kMs, run)
                             : kernel::clock::ScheduleAfter(due, run));
    if (i % 4 == 2) kernel::clock::Relax(ids.back(), INT64_MAX);
    kept.emplace_back(due, i);
  };
  for (int i = 0; i < 300; ++i) schedule(i);
  for (int i = 1; i < 300; i += 3) EXPECT_TRUE(kernel::clock::Cancel(ids[i])) << i;
  for (int i = 300; i < 400; ++i) schedule(i);
  for (int i = 1; i < 300; i += 3) EXPECT_FALSE(kernel::clock::Cancel(ids[i])) << i;
  for (auto& [due, i] : kept)
    if (i >= 300 || i % 3 != 1) expected.push_back(i);
  std::stable_sort(expected.begin(), expected.end(),
                   [&](int a, int b) { return kept[a].first < kept[b].first; });
  kernel::clock::Sleep(100 * kMs);
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(kernel::clock::Cancel(ids[0])) << "it ran";
}

struct OrderedDpc {
  KDPC dpc;
  int tag;
  std::vector<int>* order;
  static void NTAPI Record(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<OrderedDpc*>(context);
    self->order->push_back(self->tag);
  }
};

TEST_F(KeTimers, ThousandsOfCallbacksDueAtOnceKeepTheQueueOrder) {
  // More work at one instant than the DPC queue holds before it drops what
  // already ran; DPCs queued among it, and one taken out and queued again
  // after that, keep their places.
  constexpr int kCallbacks = 3000;
  std::vector<int> order, expected;
  OrderedDpc first{{}, -1, &order}, second{{}, -2, &order};
  KeInitializeDpc(&first.dpc, OrderedDpc::Record, &first);
  KeInitializeDpc(&second.dpc, OrderedDpc::Record, &second);
  const int64_t due = Now() + kMs;
  for (int i = 0; i < kCallbacks; ++i) {
    kernel::clock::ScheduleAt(due, [&, i] {
      order.push_back(i);
      if (i < 2) {
        EXPECT_TRUE(KeInsertQueueDpc(i == 0 ? &first.dpc : &second.dpc, nullptr, nullptr));
      } else if (i == 2 * kCallbacks / 3) {
        EXPECT_TRUE(KeRemoveQueueDpc(&first.dpc));
        EXPECT_TRUE(KeInsertQueueDpc(&first.dpc, nullptr, nullptr));
      }
    });
    expected.push_back(i);
  }
  expected.insert(expected.end(), {-2, -1});
  kernel::clock::Sleep(2 * kMs);
  EXPECT_EQ(order, expected);
}

}  // namespace
