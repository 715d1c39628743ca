// A machine on real time switched to the virtual clock: time goes on from the
// instant of the switch and jumps from deadline to deadline.
#include <cstdint>
#include <vector>

#include "emulator/kernel/clock.h"
#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

class KeClockSwitch : public MachineTest {
 protected:
  kernel::MachineOptions Options() override { return {.clock = kernel::ClockKind::Real}; }
};

// Set on real time, before the switch; `after` is how long after `start`.
struct Pending {
  bool timer;  // a KTIMER with a DPC, else a clock callback
  int64_t after;
};

struct Fired {
  int64_t after, time;
};

// A timer whose DPC notes when it ran.
struct Timer {
  KTIMER timer;
  KDPC dpc;
  std::vector<Fired>* fired;
  int64_t after;
  static void NTAPI Record(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Timer*>(context);
    self->fired->push_back({self->after, kernel::clock::Now()});
  }
};

TEST_F(KeClockSwitch, WaitsAndPendingDeadlinesRunAheadInOrder) {
  constexpr int64_t kSecond = kernel::clock::kSecond;
  const std::vector<Pending> pending = {
      {true, 9 * kSecond}, {false, 5 * kSecond}, {true, 2 * kSecond}, {false, 0}};
  std::vector<Fired> fired;  // by the DPC thread, which runs both kinds
  std::vector<Timer> timers(pending.size());
  const int64_t start = Now();
  for (size_t i = 0; i < pending.size(); ++i) {
    const int64_t after = pending[i].after;
    if (!pending[i].timer) {
      kernel::clock::ScheduleAfter(after, [&fired, after] { fired.push_back({after, Now()}); });
      continue;
    }
    Timer& t = timers[i];
    t.fired = &fired;
    t.after = after;
    KeInitializeTimer(&t.timer);
    KeInitializeDpc(&t.dpc, Timer::Record, &t);
    KeSetTimer(&t.timer, LARGE_INTEGER{.QuadPart = -after}, &t.dpc);
  }
  const int64_t before = Now();
  kernel::clock::SwitchToVirtual();
  const int64_t switched = Now();
  EXPECT_TRUE(kernel::clock::IsVirtual());
  EXPECT_LE(before, switched) << "time went backwards";

  LARGE_INTEGER tenSeconds{.QuadPart = -10 * kSecond};
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
  EXPECT_EQ(Now(), switched + 10 * kSecond) << "the wait ends at its deadline, not in real time";
  ASSERT_EQ(fired.size(), pending.size());
  for (size_t i = 0; i < fired.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fired[i].after, pending[pending.size() - 1 - i].after) << "out of due order";
    // Due between start + after and switched + after; on real time a little
    // later, on the virtual clock exactly then.
    EXPECT_GE(fired[i].time, start + fired[i].after);
    EXPECT_LE(fired[i].time, switched + fired[i].after);
  }
}

}  // namespace
