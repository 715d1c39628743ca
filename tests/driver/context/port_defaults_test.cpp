#include <memory>

#include "driver/context/port_defaults.h"
#include "port_context_fixture.h"

namespace {

using PortDefaults = PortContextTest;

// The defaults, and nothing else: every byte outside the fields that creation
// sets is still zero (the device name in particular belongs to the caller).
TEST_F(PortDefaults, CreationGivesTheDefaultsAndNothingElse) {
  const ULONG allocationsBefore = OutstandingAllocations;
  ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);

  auto expected = std::make_unique<PORT_DEVICE_CONTEXT>();
  // Dispatcher objects, locks and list heads hold kernel-chosen bytes; they
  // are checked by behaviour below.
  expected->RemoveEvent = context_->RemoveEvent;
  expected->StopEvent = context_->StopEvent;
  expected->IoCountLock = context_->IoCountLock;
  expected->ReadQueue = context_->ReadQueue;
  expected->ReadQueueLock = context_->ReadQueueLock;
  expected->ReceiveBuffer.Buffer = context_->ReceiveBuffer.Buffer;
  expected->ReceiveBufferLock = context_->ReceiveBufferLock;
  expected->WriteQueue = context_->WriteQueue;
  expected->WriteQueueLock = context_->WriteQueueLock;
  expected->DeviceObject = device_;
  expected->BaudRate = 9600;
  expected->LineControl = {0, 0, 8};
  expected->SpecialChars = {0, 0, 0, 0, 0x11, 0x13};
  expected->HandFlow = {1, 0x40, 100, 300};
  expected->MaxWriteLength = 32;
  expected->ReceiveBuffer.Size = 0x10000;
  const auto* actual = reinterpret_cast<const uint8_t*>(context_);
  const auto* wanted = reinterpret_cast<const uint8_t*>(expected.get());
  size_t offset = 0;
  while (offset < sizeof(PORT_DEVICE_CONTEXT) && actual[offset] == wanted[offset]) ++offset;
  EXPECT_EQ(offset, sizeof(PORT_DEVICE_CONTEXT)) << "first byte that differs";

  EXPECT_NE(context_->ReceiveBuffer.Buffer, nullptr);
  EXPECT_EQ(kernel::pool::LiveBytes(DriverPoolTag), 0x10000u);
  EXPECT_EQ(OutstandingAllocations - allocationsBefore, 1u);
  EXPECT_TRUE(IsListEmpty(&context_->ReadQueue) && IsListEmpty(&context_->WriteQueue));
  for (KEVENT* event : {&context_->RemoveEvent, &context_->StopEvent}) {
    EXPECT_EQ(KeReadStateEvent(event), 0);
    KeSetEvent(event, 0, FALSE);  // a notification event wakes every waiter
    LARGE_INTEGER noWait{};
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &noWait), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &noWait), STATUS_SUCCESS);
  }

  // Removal gives the storage back; a second free finds none and is harmless.
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(FreeQueueBuffer(&context_->ReceiveBuffer), STATUS_SUCCESS);
    EXPECT_EQ(context_->ReceiveBuffer.Buffer, nullptr);
    EXPECT_EQ(context_->ReceiveBuffer.Size, 0x10000u);
    EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  }
}

TEST_F(PortDefaults, RingAllocationFailureIsReported) {
  const ULONG allocationsBefore = OutstandingAllocations;
  kernel::pool::FailNthAllocation(1, DriverPoolTag);

  EXPECT_EQ(InitializePortDefaults(device_), STATUS_INSUFFICIENT_RESOURCES);

  EXPECT_EQ(context_->ReceiveBuffer.Buffer, nullptr);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  // The rest is in place, so the caller can tear the context down as usual.
  EXPECT_EQ(context_->BaudRate, 9600u);
  EXPECT_TRUE(IsListEmpty(&context_->ReadQueue) && IsListEmpty(&context_->WriteQueue));
}

}  // namespace
