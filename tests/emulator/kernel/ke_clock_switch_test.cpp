// A machine on real time switched to the virtual clock: time goes on from the
// instant of the switch and jumps from deadline to deadline.
#include <algorithm>
#include <utility>
#include <vector>

#include "platform/host/ke.h"
#include "support/machine_test.h"

namespace {

class KeClockSwitch : public MachineTest {
  kernel::MachineOptions Options() override { return {.clock = kernel::ClockKind::Real}; }
};

TEST_F(KeClockSwitch, PendingDeadlinesAndNewWaitsRunAheadInOrder) {
  std::vector<std::pair<int64_t, int64_t>> fired;  // (after, when), by the DPC thread
  const int64_t start = Now();
  for (int64_t after : {5'000 * kMs, int64_t(0), 9'000 * kMs, 2'000 * kMs})
    kernel::clock::ScheduleAfter(after, [&fired, after] { fired.emplace_back(after, Now()); });
  const int64_t before = Now();
  kernel::clock::SwitchToVirtual();
  const int64_t switched = Now();
  EXPECT_LE(before, switched) << "time went backwards";
  LARGE_INTEGER tenSeconds{.QuadPart = -10'000 * kMs};
  KeDelayExecutionThread(KernelMode, FALSE, &tenSeconds);
  EXPECT_EQ(Now(), switched + 10'000 * kMs) << "a wait ends at its deadline, not in real time";
  EXPECT_EQ(fired.size(), 4u);
  EXPECT_TRUE(std::is_sorted(fired.begin(), fired.end())) << "out of due order";
  for (auto [after, when] : fired) {  // each set on real time between `start` and `switched`
    EXPECT_GE(when, start + after);
    EXPECT_LE(when, switched + after);
  }
}

}  // namespace
