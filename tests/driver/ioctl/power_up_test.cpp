// The line requests on the real driver: a port that is not in D0 is powered
// up through its own stack before DTR or RTS moves, and a failed power-up
// fails the request and leaves the line alone.
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using LinePowerTest = IoctlTest;

TEST_F(LinePowerTest, DtrAndRtsPowerTheDeviceFirst) {
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);

  // The power request's IRP is the second one allocated: it cannot be had.
  SetShared(ctx_->DevPowerState, PowerDeviceD3);
  kernel::io::FailNthIrpAllocation(2);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_INSUFFICIENT_RESOURCES);
  kernel::io::FailNthIrpAllocation(0);
  EXPECT_FALSE(far_->PortLines().dtr);

  const std::pair<ULONG, chip::ModemOutputs> steps[] = {{IOCTL_SERIAL_SET_DTR, {.rts = false, .dtr = true}},
                                                        {IOCTL_SERIAL_SET_RTS, {.rts = true, .dtr = true}}};
  for (auto [code, lines] : steps) {
    SetShared(ctx_->DevPowerState, PowerDeviceD3);
    EXPECT_EQ(Ioctl(code).status, STATUS_SUCCESS);
    EXPECT_EQ(Shared(ctx_->DevPowerState), ULONG(PowerDeviceD0));
    EXPECT_EQ(far_->PortLines().dtr, lines.dtr);
    EXPECT_EQ(far_->PortLines().rts, lines.rts);
  }
}

}  // namespace
}  // namespace ioctl_test
