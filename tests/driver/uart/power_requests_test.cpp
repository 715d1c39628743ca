// Device power requests through the emulated power manager and the driver's
// own power dispatch, answered below it in the chip's place by a power tap.
#include <gtest/gtest.h>

#include "driver/context/device_power_requests.h"
#include "support/power_tap.h"
#include "registers_fixture.h"

namespace uart_test {
namespace {

class PowerRequestsTest : public ChipPortTest {
 protected:
  void SetUp() override {
    ChipPortTest::SetUp();
    tap_.emplace(*board_);
  }
  void TearDown() override {
    if (ctx_ != nullptr) ctx_->DeviceState = PnpStateWorking;  // the cases' states, for removal
    ChipPortTest::TearDown();
    tap_.reset();
  }
  std::optional<power_tap::PowerTap> tap_;
};

enum class Routine { Send, EnsureD0, IfActive };

TEST_F(PowerRequestsTest, RequestsReachTheStackAndReportHowTheyEnded) {
  struct Case {
    const char* name;
    Routine routine;
    ULONG devPowerState, deviceState;
    DEVICE_POWER_STATE state;
    BOOLEAN wait;
    NTSTATUS answer;
    int64_t delay;
    NTSTATUS expected;
    int requests;  // set-power requests the stack saw
    int64_t elapsed;
  };
  const Case cases[] = {
      // Down, not up: a successful D0 also waits for the driver to restore the chip's settings.
      {"send, waits for a pending request", Routine::Send, 1, 1, PowerDeviceD3, TRUE, STATUS_SUCCESS, 5 * kMs,
       STATUS_SUCCESS, 1, 5 * kMs},
      {"send, a failure below is returned", Routine::Send, 1, 1, PowerDeviceD3, TRUE, STATUS_DEVICE_REMOVED,
       5 * kMs, STATUS_DEVICE_REMOVED, 1, 5 * kMs},
      {"send, failure completed at once", Routine::Send, 1, 1, PowerDeviceD3, TRUE, STATUS_DEVICE_REMOVED, 0,
       STATUS_DEVICE_REMOVED, 1, 0},
      {"send without waiting", Routine::Send, 1, 1, PowerDeviceD3, FALSE, STATUS_DEVICE_REMOVED, 5 * kMs,
       STATUS_PENDING, 1, 0},
      {"send, refused by the power manager", Routine::Send, 1, 1, PowerDeviceUnspecified, TRUE,
       STATUS_SUCCESS, 0, STATUS_INVALID_PARAMETER_2, 0, 0},
      {"D0 already", Routine::EnsureD0, 1, 1, PowerDeviceD0, TRUE, STATUS_SUCCESS, 0, STATUS_SUCCESS, 0, 0},
      {"D0 from D3, waiting", Routine::EnsureD0, 4, 1, PowerDeviceD0, TRUE, STATUS_DEVICE_REMOVED, 5 * kMs,
       STATUS_DEVICE_REMOVED, 1, 5 * kMs},
      {"D0 from D3, pending counts as success", Routine::EnsureD0, 4, 1, PowerDeviceD0, FALSE,
       STATUS_DEVICE_REMOVED, 5 * kMs, STATUS_SUCCESS, 1, 0},
      {"if active: not started", Routine::IfActive, 1, 0, PowerDeviceD3, TRUE, STATUS_SUCCESS, 0,
       STATUS_SUCCESS, 1, 0},
      {"if active: working", Routine::IfActive, 1, 1, PowerDeviceD3, FALSE, STATUS_SUCCESS, 5 * kMs,
       STATUS_SUCCESS, 1, 0},
      {"if active: stop pending", Routine::IfActive, 1, 2, PowerDeviceD3, TRUE, STATUS_SUCCESS, 0,
       STATUS_SUCCESS, 0, 0},
      {"if active: removed", Routine::IfActive, 1, 5, PowerDeviceD0, TRUE, STATUS_SUCCESS, 0, STATUS_SUCCESS,
       0, 0},
  };
  // The stack may end a request at DISPATCH_LEVEL, as a bus driver's DPC would.
  for (bool atDispatch : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (atDispatch ? ", ended at DISPATCH_LEVEL" : ""));
      tap_->Clear();
      tap_->CompleteAtDispatch(atDispatch);
      tap_->SetRule([&c](const power_tap::PowerSeen&) { return power_tap::Answer{c.answer, c.delay}; });
      ctx_->DevPowerState = c.devPowerState;
      ctx_->DeviceState = c.deviceState;
      int64_t start = Now();
      NTSTATUS status = STATUS_SUCCESS;
      switch (c.routine) {
        case Routine::Send:
          status = SendDeviceSetPower(ctx_, c.state, c.wait);
          break;
        case Routine::EnsureD0:
          status = EnsureDeviceD0(ctx_, c.wait);
          break;
        case Routine::IfActive:
          status = RequestDevicePowerIfActive(ctx_, c.state, c.wait);
          break;
      }
      EXPECT_EQ(Now() - start, c.elapsed);
      EXPECT_EQ(status, c.expected);
      kernel::clock::Sleep(c.delay + kMs);  // a request left running finishes
      std::vector<int> seen = tap_->DeviceSetPowers();
      EXPECT_EQ(seen.size(), size_t(c.requests));
      if (c.requests > 0) {
        EXPECT_EQ(seen.back(), c.state);
      }
      EXPECT_EQ(tap_->CompletedAtDispatch(), atDispatch ? c.requests : 0);
    }
  }
}

}  // namespace
}  // namespace uart_test
