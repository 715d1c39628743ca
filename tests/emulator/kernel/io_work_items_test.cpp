// Work items: queued at DISPATCH_LEVEL, run once at PASSIVE_LEVEL with their
// device object and context.
#include <atomic>

#include "emulator/kernel/system_worker.h"
#include "io_fixture.h"

namespace iotest {
namespace {

using IoWorkItems = IoTest;

struct Runs {
  std::atomic<int> count{0};
  PDEVICE_OBJECT device = nullptr;
  KIRQL irql = HIGH_LEVEL;
};

VOID NTAPI Note(PDEVICE_OBJECT device, PVOID context) {
  auto* run = static_cast<Runs*>(context);
  run->device = device;
  run->irql = KeGetCurrentIrql();
  ++run->count;
}

TEST_F(IoWorkItems, QueuedAtDispatchRunsOnceAtPassiveWithItsDevice) {
  PDEVICE_OBJECT device = AddBottom();
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  Runs run;
  for (int round = 0; round < 2; ++round) {  // an item that has run may be queued again
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(item, Note, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    kernel::worker::WaitForIdle();
    EXPECT_EQ(run.count.load(), round + 1);
    EXPECT_EQ(run.device, device);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
  }
  IoFreeWorkItem(item);
}

}  // namespace
}  // namespace iotest
