// Cancellation racing completion, many times over: the caller cancels while
// data arrive, the read timer fires, a wait is satisfied, a chunk is in
// flight or a queued write is taken up. Every request ends exactly once with
// one of its legal results (the verifier fails a double completion), and
// nothing is lost or left over.
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

class RaceTest : public OpenPortTest {
 protected:
  static bool OneOf(NTSTATUS s, std::initializer_list<NTSTATUS> legal) {
    return std::find(legal.begin(), legal.end(), s) != legal.end();
  }
};

TEST_F(RaceTest, CancelRacesDataTimerAndDequeue) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    SetTimeouts(0, 0, 2);
    SetShared(ctx_->HistoryMask, 0);
    Request first = Read(4);
    Request second = Read(4);
    Request wait = WaitOnMask();
    Request w1 = Write({1, 2, 3});
    Request w2 = Write({4, 5, 6});
    kernel::clock::ScheduleAfter(2 * kMs, [this] { Chip().InjectBulkIn(Packet({9, 8, 7, 6})); });
    kernel::clock::Sleep(2 * kMs);
    kernel::io::CancelUserRequests(file_);
    for (const Request& r : {first, second, wait, w1, w2}) ASSERT_TRUE(Await(r));
    EXPECT_TRUE(OneOf(first->status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED})) << first->status;
    EXPECT_TRUE(OneOf(second->status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED})) << second->status;
    EXPECT_TRUE(OneOf(wait->status, {STATUS_SUCCESS, STATUS_CANCELLED})) << wait->status;
    EXPECT_TRUE(OneOf(w1->status, {STATUS_SUCCESS, STATUS_CANCELLED})) << w1->status;
    EXPECT_EQ(w1->status == STATUS_SUCCESS, w1->information == 3u);
    EXPECT_TRUE(OneOf(w2->status, {STATUS_SUCCESS, STATUS_CANCELLED})) << w2->status;
    // The four bytes went to a read or are still in the ring, never twice.
    ULONG delivered = ULONG(first->information + second->information);
    kernel::clock::RunUntilIdle();
    EXPECT_EQ(delivered + Held(), 4u);
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->ReceiveBufferLock, &irql);
    ClearQueueBuffer(&ctx_->ReceiveBuffer);
    KeReleaseSpinLock(&ctx_->ReceiveBufferLock, irql);
    KeAcquireSpinLock(&ctx_->WriteQueueLock, &irql);
    EXPECT_EQ(ctx_->AmountInOutQueue, 0u);
    KeReleaseSpinLock(&ctx_->WriteQueueLock, irql);
  }
}

}  // namespace
}  // namespace port_test
