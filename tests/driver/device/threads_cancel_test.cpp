// CancelPendingTransfers on a port that is open and moving data.
#include "driver/device/worker_threads.h"
#include "support/open_port_fixture.h"

namespace {

using CancelTransfersTest = port_test::OpenPortTest;

TEST_F(CancelTransfersTest, EndsTheTransfersInFlightAndLeavesAnIdleBulkOutSlotAlone) {
  IntUrb& bulkIn = ctx_->IntUrbs[BulkInSlot];
  IntUrb& bulkOut = ctx_->IntUrbs[BulkOutSlot];
  ASSERT_EQ(Shared(bulkIn.Idle), 0);  // open armed reception
  ASSERT_EQ(Shared(bulkOut.Idle), 1);
  SetShared(ctx_->DeviceState, 2);  // as the query-stop before a stop leaves it
  CancelPendingTransfers(ctx_);
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(Shared(bulkIn.Idle), 1);
  EXPECT_EQ(bulkIn.Irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_FALSE(bulkOut.Irp->Cancel);
  EXPECT_EQ(Shared(bulkOut.Idle), 1);
  // Reception stays down: new bytes wait in the chip.
  const uint8_t bytes[] = {'a', 'b'};
  far_->Send(bytes);
  kernel::clock::Sleep(100 * kMs);
  EXPECT_EQ(Held(), 0u);
  SetShared(ctx_->DeviceState, 1);
}

TEST_F(CancelTransfersTest, AChunkInFlightEndsItsWrite) {
  IntUrb& bulkOut = ctx_->IntUrbs[BulkOutSlot];
  auto write = Write(std::vector<uint8_t>(200, 'x'));
  while (Shared(bulkOut.Idle) == 1 && !write->done) kernel::clock::Sleep(kMs / 10);
  ASSERT_EQ(Shared(bulkOut.Idle), 0);
  CancelPendingTransfers(ctx_);
  ASSERT_TRUE(Ends(write, STATUS_DELETE_PENDING));
  EXPECT_EQ(Shared(bulkOut.Idle), 1);
  size_t chunks = Chunks().size();
  kernel::clock::Sleep(500 * kMs);
  EXPECT_EQ(Chunks().size(), chunks);  // nothing more is sent for it
}

}  // namespace
