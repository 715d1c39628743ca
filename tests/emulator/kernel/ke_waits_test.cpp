// Events, multiple-object waits and time-outs.
#include <atomic>
#include <thread>
#include <vector>

#include "emulator/kernel/clock.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

using KeWaits = MachineTest;

LARGE_INTEGER Relative(int64_t units) { return LARGE_INTEGER{.QuadPart = -units}; }

struct ThreadArgs {
  KEVENT* event;
  std::atomic<int>* woken;
};

void NTAPI WaitOnceAndCount(PVOID context) {
  auto* args = static_cast<ThreadArgs*>(context);
  KeWaitForSingleObject(args->event, Executive, KernelMode, FALSE, nullptr);
  args->woken->fetch_add(1);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PKTHREAD StartThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return static_cast<PKTHREAD>(object);
}

void Join(PKTHREAD thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  ObDereferenceObject(thread);
}

TEST_F(KeWaits, WaitAnyReturnsIndexOfFirstSignalledObject) {
  struct Case {
    std::vector<int> signalled;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {{2}, STATUS_WAIT_0 + 2}, {{1, 2}, STATUS_WAIT_0 + 1}, {{0}, STATUS_WAIT_0}, {{}, STATUS_TIMEOUT}};
  for (const Case& c : cases) {
    KEVENT events[3];
    for (KEVENT& e : events) KeInitializeEvent(&e, NotificationEvent, FALSE);
    for (int i : c.signalled) KeSetEvent(&events[i], 0, FALSE);
    PVOID objects[] = {&events[0], &events[1], &events[2]};
    LARGE_INTEGER timeout = Relative(5 * kMs);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              c.expected);
  }
}

TEST_F(KeWaits, WaitAnyWakesWithIndexOfEventSetLater) {
  KEVENT kill, poll;
  KeInitializeEvent(&kill, NotificationEvent, FALSE);
  KeInitializeEvent(&poll, SynchronizationEvent, FALSE);
  kernel::clock::ScheduleAfter(3 * kMs, [&] { KeSetEvent(&poll, 0, FALSE); });
  PVOID objects[] = {&kill, &poll};
  const int64_t start = Now();
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_1);
  EXPECT_EQ(Now() - start, 3 * kMs);
  EXPECT_EQ(KeReadStateEvent(&poll), 0) << "a satisfied synchronization event resets";
}

// A synchronization event wakes one waiter per set and resets; a
// notification event wakes them all and stays set.
TEST_F(KeWaits, EventsWakeOneOrEveryWaiter) {
  for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
    const bool one = type == SynchronizationEvent;
    SCOPED_TRACE(one ? "synchronization" : "notification");
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> woken{0};
    ThreadArgs args{&event, &woken};
    PKTHREAD threads[3];
    for (PKTHREAD& t : threads) t = StartThread(WaitOnceAndCount, &args);
    kernel::clock::RunUntilIdle();
    EXPECT_EQ(woken.load(), 0);
    for (int set = 1; set <= (one ? 3 : 1); ++set) {
      KeSetEvent(&event, 0, FALSE);
      kernel::clock::RunUntilIdle();
      EXPECT_EQ(woken.load(), one ? set : 3);
    }
    EXPECT_EQ(KeReadStateEvent(&event), one ? 0 : 1);
    for (PKTHREAD t : threads) Join(t);
  }
}

// Relative and absolute time-outs and delays end exactly on the virtual clock.
TEST_F(KeWaits, TimeoutsAndDelaysAreExact) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  for (int64_t delay : {int64_t(1), 10'000 * kMs}) {
    LARGE_INTEGER relative = Relative(delay), absolute{.QuadPart = now.QuadPart + delay};
    int64_t start = Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, delay);
    start = Now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &relative), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, delay);
    KeQuerySystemTime(&now);
    absolute.QuadPart = now.QuadPart + delay;
    start = Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, delay);
  }
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

}  // namespace
