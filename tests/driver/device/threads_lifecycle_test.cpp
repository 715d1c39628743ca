// Worker threads and slots across the real driver's start, stop, restart and
// removal.
#include <vector>

#include "emulator/kernel/pnp_manager.h"
#include "support/driver_fixture.h"

namespace {

class ThreadsLifecycleTest : public DriverTest {
 protected:
  std::vector<PVOID> Owned(PPORT_DEVICE_CONTEXT ctx) const {
    return {ctx->ReadThread, ctx->WriteThread, ctx->IntThread, ctx->MsrThread,
            ctx->IntUrbs[0].Irp, ctx->IntUrbs[1].Irp, ctx->IntUrbs[2].Irp,
            ctx->IntUrbs[0].Urb, ctx->IntUrbs[1].Urb, ctx->IntUrbs[2].Urb};
  }
};

TEST_F(ThreadsLifecycleTest, StopAndRestartKeepTheFourThreadsAndRemovalEndsThem) {
  PlugChip();
  ASSERT_EQ(Port(0).startStatus, STATUS_SUCCESS);
  PPORT_DEVICE_CONTEXT ctx = Context(0);
  std::vector<PVOID> first = Owned(ctx);
  for (PVOID p : first) EXPECT_NE(p, nullptr);

  ASSERT_EQ(kernel::pnp::QueryStopAndStop(Pdo(0)), STATUS_SUCCESS);
  EXPECT_EQ(Owned(ctx), first);
  ASSERT_EQ(kernel::pnp::Restart(Pdo(0)), STATUS_SUCCESS);
  EXPECT_EQ(Owned(ctx), first);
  for (const IntUrb& slot : ctx->IntUrbs) EXPECT_EQ(Shared(slot.Idle), 1);

  // Four threads, each given 100 ms after its kill event.
  int64_t start = Now();
  ASSERT_EQ(kernel::pnp::QueryRemoveAndRemove(Pdo(0)), STATUS_SUCCESS);
  EXPECT_GE(Now() - start, 400 * kMs);
  EXPECT_EQ(Fdo(0), nullptr);
}

}  // namespace
