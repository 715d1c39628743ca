// Worker threads and transfer slots: creation, reuse across a restart,
// allocation failures, and the shutdown order with its pauses.
#include <atomic>
#include <vector>

#include "driver/context/pool.h"
#include "driver/device/worker_threads.h"
#include "emulator/kernel/clock.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/pool.h"
#include "port_device_fixture.h"

namespace device_test {
namespace {

// The started port, stopped by the Plug and Play manager: no transfer is in
// flight, so its threads may be ended as removal ends them.
class ThreadsTest : public PluggedPortTest {
 protected:
  void SetUp() override {
    PluggedPortTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(kernel::pnp::QueryStopAndStop(Pdo(0)), STATUS_SUCCESS);
  }
  std::vector<PKTHREAD> Threads() const {
    return {ctx_->ReadThread, ctx_->WriteThread, ctx_->IntThread, ctx_->MsrThread};
  }
  void ExpectPrimed(ULONG slot, ULONG pipe) {
    SCOPED_TRACE(testing::Message() << "slot " << slot);
    const IntUrb& s = ctx_->IntUrbs[slot];
    EXPECT_NE(s.Irp, nullptr);
    EXPECT_NE(s.Urb, nullptr);
    EXPECT_EQ(s.Idle, 1);
    EXPECT_EQ(s.Fdo, fdo_);
    EXPECT_EQ(s.PipeInfo, &ctx_->InterfaceInfo->Pipes[pipe]);
  }
};

// An allocation failure stops the start where it happened; what was built
// stays, and the next start (the device's own) completes the rest without
// duplicating it.
TEST_F(ThreadsTest, AllocationFailuresLeaveWhatWasBuiltForTheNextStart) {
  struct Case {
    unsigned failingUrb;  // 1: slot 0's, 2: slot 2's, 3: slot 1's
    bool readThread, writeThread;
    bool slot0, slot2, slot1Irp;
  };
  const Case cases[] = {
      {1, false, false, false, false, false},
      {2, true, false, true, false, false},
      {3, true, true, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "URB " << c.failingUrb << " fails");
    StopPollingThreads(ctx_);  // undoes what the start built
    kernel::pool::FailNthAllocation(c.failingUrb, DriverPoolTag);
    EXPECT_EQ(StartPollingThreads(fdo_), STATUS_INSUFFICIENT_RESOURCES);
    kernel::pool::ClearInjection();
    EXPECT_EQ(ctx_->ReadThread != nullptr, c.readThread);
    EXPECT_EQ(ctx_->WriteThread != nullptr, c.writeThread);
    EXPECT_EQ(ctx_->IntThread, nullptr);
    EXPECT_EQ(ctx_->IntUrbs[BulkInSlot].Irp != nullptr, c.slot0);
    EXPECT_EQ(ctx_->IntUrbs[BulkInSlot].Urb != nullptr, c.slot0);
    EXPECT_EQ(ctx_->IntUrbs[BulkOutSlot].Irp != nullptr, c.slot2);
    EXPECT_EQ(ctx_->IntUrbs[InterruptInSlot].Irp != nullptr, c.slot1Irp);
    EXPECT_EQ(ctx_->IntUrbs[InterruptInSlot].Urb, nullptr);
    ASSERT_EQ(kernel::pnp::Restart(Pdo(0)), STATUS_SUCCESS);
    ExpectPrimed(BulkInSlot, 1);
    ExpectPrimed(InterruptInSlot, 0);
    ExpectPrimed(BulkOutSlot, 2);
    ASSERT_EQ(kernel::pnp::QueryStopAndStop(Pdo(0)), STATUS_SUCCESS);
  }
}

TEST_F(ThreadsTest, WithoutAConfigurationNothingIsBuilt) {
  StopPollingThreads(ctx_);
  StopMsrThread(ctx_);
  FreePoolMemory(ctx_->InterfaceInfo);
  ctx_->InterfaceInfo = nullptr;
  size_t blocks = kernel::pool::LiveCount(DriverPoolTag);
  EXPECT_EQ(StartPollingThreads(fdo_), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(kernel::pool::LiveCount(DriverPoolTag), blocks);
  for (PKTHREAD thread : Threads()) EXPECT_EQ(thread, nullptr);
  // The next start selects a configuration and builds everything.
  ASSERT_EQ(kernel::pnp::Restart(Pdo(0)), STATUS_SUCCESS);
  for (PKTHREAD thread : Threads()) EXPECT_NE(thread, nullptr);
}

// Removal's shutdown: interrupt-in, bulk-in, bulk-out, then the modem-status
// thread, each told to end and given 100 ms before it is waited for.
TEST_F(ThreadsTest, ShutdownEndsTheThreadsInOrderWithTheirPauses) {
  kernel::clock::Sleep(2000 * kMs);  // past the modem-status thread's start-up pause
  struct Shutdown {
    PPORT_DEVICE_CONTEXT ctx;
    std::atomic<int64_t> done{-1};
  } shutdown{ctx_};
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  int64_t start = Now();
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                [](PVOID context) NTAPI {
                  auto s = static_cast<Shutdown*>(context);
                  StopPollingThreads(s->ctx);
                  StopMsrThread(s->ctx);
                  s->done = kernel::clock::Now();
                  PsTerminateSystemThread(STATUS_SUCCESS);
                },
                &shutdown),
            STATUS_SUCCESS);
  ZwClose(handle);
  PKEVENT kills[] = {&ctx_->IntKillEvent, &ctx_->ReadKillEvent, &ctx_->WriteKillEvent, &ctx_->MsrKillEvent};
  for (int step = 0; step < 4; ++step) {
    kernel::clock::Sleep(start + (step * 100 + 50) * kMs - Now());
    SCOPED_TRACE(testing::Message() << "at " << step * 100 + 50 << " ms");
    for (int k = 0; k < 4; ++k) EXPECT_EQ(KeReadStateEvent(kills[k]) != 0, k <= step) << "kill event " << k;
  }
  while (shutdown.done < 0) kernel::clock::Sleep(kMs);
  EXPECT_GE(shutdown.done - start, 400 * kMs);
  EXPECT_LT(shutdown.done - start, 410 * kMs);
  for (PKTHREAD thread : Threads()) EXPECT_EQ(thread, nullptr);
  for (const IntUrb& slot : ctx_->IntUrbs) EXPECT_EQ(slot.Irp, nullptr);
}

}  // namespace
}  // namespace device_test
