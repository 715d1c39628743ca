// Wait-on-mask: one pending wait, completed by recorded events, by a new
// mask, or by cancellation.
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

class WaitMaskTest : public OpenPortTest {};

TEST_F(WaitMaskTest, RequestsAndTheirResults) {
  EXPECT_EQ(SetWaitMask(0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Shared(ctx_->WaitMask), 0u);
  Request noMask = WaitOnMask();
  ASSERT_TRUE(Ends(noMask, STATUS_INVALID_PARAMETER));

  // Recorded before the wait: reported at once and forgotten; bits outside
  // the mask stay recorded.
  ASSERT_EQ(SetWaitMask(SERIAL_EV_TXEMPTY | SERIAL_EV_CTS), STATUS_SUCCESS);
  SetShared(ctx_->HistoryMask, SERIAL_EV_CTS | SERIAL_EV_RING);
  Request at_once = WaitOnMask();
  ASSERT_TRUE(Ends(at_once, STATUS_SUCCESS, sizeof(ULONG)));
  EXPECT_EQ(Events(at_once), ULONG(SERIAL_EV_CTS));
  EXPECT_EQ(Shared(ctx_->HistoryMask), ULONG(SERIAL_EV_RING));

  // One wait at a time; a new mask completes the pending one with 0.
  Request pending = WaitOnMask();
  Request second = WaitOnMask();
  ASSERT_TRUE(Ends(second, STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(pending->done.load());
  EXPECT_EQ(SetWaitMask(0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(pending->done.load());
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  ASSERT_TRUE(Ends(pending, STATUS_SUCCESS, sizeof(ULONG)));
  EXPECT_EQ(Events(pending), 0u);
  EXPECT_EQ(Shared(ctx_->CurrentWaitIrp), nullptr);

  // Cancelled while pending.
  Request cancelled = WaitOnMask();
  kernel::clock::RunUntilIdle();
  kernel::io::CancelUserRequests(file_);
  ASSERT_TRUE(Ends(cancelled, STATUS_CANCELLED, 0u));
  EXPECT_EQ(Shared(ctx_->CurrentWaitIrp), nullptr);

  // The port still waits afterwards.
  Request later = WaitOnMask();
  Inject(Packet({0x30}));
  ASSERT_TRUE(Await(later));
  EXPECT_EQ(Events(later), ULONG(SERIAL_EV_RXCHAR));
}

// Two completers may pass the same pending wait (the bulk-in and the
// bulk-out completion): it is completed exactly once.
TEST_F(WaitMaskTest, TwoCompletersFinishOneWaitOnce) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  Request wait = WaitOnMask();
  kernel::clock::RunUntilIdle();
  PIRP irp = ctx_->CurrentWaitIrp;
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(SerialCompleteCurrentWait(ctx_, irp, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  EXPECT_EQ(SerialCompleteCurrentWait(ctx_, irp, SERIAL_EV_RXCHAR), STATUS_PENDING);
  ASSERT_TRUE(Await(wait));
  EXPECT_EQ(Events(wait), ULONG(SERIAL_EV_RXCHAR));
}

}  // namespace
}  // namespace port_test
