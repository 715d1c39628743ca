#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "emulator/kernel/clock.h"
#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

using KeTimers = MachineTest;

struct DpcRecord {
  std::vector<int64_t> times;
  std::vector<KIRQL> irqls;
  KEVENT done;
  size_t wanted = 1;
};

void RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* record = static_cast<DpcRecord*>(context);
  record->times.push_back(kernel::clock::Now());
  record->irqls.push_back(KeGetCurrentIrql());
  if (record->times.size() == record->wanted) KeSetEvent(&record->done, 0, FALSE);
}

LARGE_INTEGER Relative(int64_t units) {
  LARGE_INTEGER value;
  value.QuadPart = -units;
  return value;
}

TEST_F(KeTimers, TenSecondTimerFiresItsDpcAtDispatchLevel) {
  KTIMER timer;
  KDPC dpc;
  DpcRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, RecordDpc, &record);
  const int64_t start = Now();
  EXPECT_FALSE(KeSetTimer(&timer, Relative(10'000 * kMs), &dpc));
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  ASSERT_EQ(record.times.size(), 1u);
  EXPECT_EQ(record.times[0] - start, 10'000 * kMs);
  EXPECT_EQ(record.irqls[0], DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

// A relative due time too long to add to the clock lies far in the future,
// as in Windows: the timer does not fire and a wait does not time out.
TEST_F(KeTimers, DueTimesBeyondTheClockNeverCome) {
  for (int64_t units : {INT64_MAX, int64_t(INT64_MIN)}) {
    SCOPED_TRACE(units);
    kernel::clock::Sleep(kMs);  // the clock is past 0
    KTIMER timer;
    KDPC dpc;
    DpcRecord record;
    KeInitializeEvent(&record.done, NotificationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &record);
    LARGE_INTEGER due;
    due.QuadPart = units == INT64_MAX ? -units : units;
    KeSetTimer(&timer, due, &dpc);
    kernel::clock::ScheduleAfter(kMs, [&] { KeSetEvent(&record.done, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, &due), STATUS_WAIT_0);
    kernel::clock::Sleep(1000 * kMs);
    EXPECT_TRUE(record.times.empty());
    EXPECT_TRUE(KeCancelTimer(&timer));
  }
}

TEST_F(KeTimers, ResettingOrCancellingReportsWhetherTheTimerWasSet) {
  KTIMER timer;
  KDPC dpc;
  DpcRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, RecordDpc, &record);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kMs), &dpc));
  EXPECT_TRUE(KeSetTimer(&timer, Relative(300 * kMs), &dpc)) << "replacing a set timer";
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  LARGE_INTEGER wait = Relative(1000 * kMs);
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
  EXPECT_TRUE(record.times.empty()) << "a cancelled timer never queues its DPC";
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(KeTimers, TimersFireInDueOrderAndPeriodicTimersRepeat) {
  KTIMER periodic, once;
  KDPC periodicDpc, onceDpc;
  DpcRecord periodicRecord, onceRecord;
  periodicRecord.wanted = 3;
  KeInitializeEvent(&periodicRecord.done, NotificationEvent, FALSE);
  KeInitializeEvent(&onceRecord.done, NotificationEvent, FALSE);
  KeInitializeTimer(&periodic);
  KeInitializeTimer(&once);
  KeInitializeDpc(&periodicDpc, RecordDpc, &periodicRecord);
  KeInitializeDpc(&onceDpc, RecordDpc, &onceRecord);
  const int64_t start = Now();
  KeSetTimerEx(&periodic, Relative(10 * kMs), 20, &periodicDpc);
  KeSetTimer(&once, Relative(25 * kMs), &onceDpc);
  KeWaitForSingleObject(&periodicRecord.done, Executive, KernelMode, FALSE, nullptr);
  KeCancelTimer(&periodic);
  ASSERT_EQ(periodicRecord.times.size(), 3u);
  EXPECT_EQ(periodicRecord.times[0] - start, 10 * kMs);
  EXPECT_EQ(periodicRecord.times[1] - start, 30 * kMs);
  EXPECT_EQ(periodicRecord.times[2] - start, 50 * kMs);
  ASSERT_EQ(onceRecord.times.size(), 1u);
  EXPECT_EQ(onceRecord.times[0] - start, 25 * kMs);
}

TEST_F(KeTimers, WaitingOnATimerObjectEndsAtItsDueTime) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, Relative(40 * kMs), nullptr);
  const int64_t start = Now();
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(Now() - start, 40 * kMs);
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets when a wait takes it";
}

void SpinUntilReleased(PKDPC, PVOID context, PVOID, PVOID) {
  auto* released = static_cast<std::atomic<bool>*>(context);
  while (!released->load()) std::this_thread::yield();
}

TEST_F(KeTimers, DpcQueuedTwiceRunsOnceAndFlushWaitsForIt) {
  // A first DPC keeps the DPC thread busy so the second stays queued.
  std::atomic<bool> released{false};
  KDPC blocker, dpc;
  DpcRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  KeInitializeDpc(&blocker, SpinUntilReleased, &released);
  KeInitializeDpc(&dpc, RecordDpc, &record);
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
  std::vector<int> order;
  kernel::clock::ScheduleAfter(30 * kMs, [&] { order.push_back(3); });
  kernel::clock::ScheduleAfter(10 * kMs, [&] { order.push_back(1); });
  const auto cancelled = kernel::clock::ScheduleAfter(20 * kMs, [&] { order.push_back(2); });
  kernel::clock::ScheduleAfter(10 * kMs, [&] { order.push_back(11); });
  EXPECT_TRUE(kernel::clock::Cancel(cancelled));
  EXPECT_FALSE(kernel::clock::Cancel(cancelled));
  kernel::clock::Sleep(100 * kMs);
  EXPECT_EQ(order, (std::vector<int>{1, 11, 3}));
}

TEST_F(KeTimers, StallAdvancesTheVirtualClock) {
  const int64_t start = Now();
  KIRQL old = KeRaiseIrqlToDpcLevel();
  for (int i = 0; i < 20; ++i) KeStallExecutionProcessor(50);
  KeLowerIrql(old);
  EXPECT_EQ(Now() - start, 1 * kMs);
}

}  // namespace
