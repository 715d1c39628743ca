#include <cstring>
#include <memory>

#include "context/pool.h"
#include "context/port_defaults.h"
#include "port_context_fixture.h"

namespace {

using PortDefaults = PortContextTest;

constexpr ULONG kTag = DriverPoolTag;

bool IsNotificationEventNotSignalled(KEVENT* event) {
  if (KeReadStateEvent(event) != 0) return false;
  // A notification event stays signalled for every waiter until cleared.
  KeSetEvent(event, 0, FALSE);
  LARGE_INTEGER noWait{};
  bool stays = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS &&
               KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS;
  KeClearEvent(event);
  return stays;
}

TEST_F(PortDefaults, FreshContextHasTheCreationValues) {
  const ULONG allocationsBefore = OutstandingAllocations;
  ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);

  struct Field {
    const char* name;
    uint64_t actual, expected;
  };
  const Field fields[] = {
      {"BaudRate", context_->BaudRate, 9600},
      {"LineControl.StopBits", context_->LineControl.StopBits, 0},
      {"LineControl.Parity", context_->LineControl.Parity, 0},
      {"LineControl.WordLength", context_->LineControl.WordLength, 8},
      {"SpecialChars.XonChar", context_->SpecialChars.XonChar, 0x11},
      {"SpecialChars.XoffChar", context_->SpecialChars.XoffChar, 0x13},
      {"HandFlow.ControlHandShake", context_->HandFlow.ControlHandShake, 1},
      {"HandFlow.FlowReplace", context_->HandFlow.FlowReplace, 0x40},
      {"HandFlow.XonLimit", uint64_t(context_->HandFlow.XonLimit), 100},
      {"HandFlow.XoffLimit", uint64_t(context_->HandFlow.XoffLimit), 300},
      {"MaxWriteLength", context_->MaxWriteLength, 32},
      {"ReceiveBuffer.Size", context_->ReceiveBuffer.Size, 0x10000},
      {"ReceiveBuffer.Count", context_->ReceiveBuffer.Count, 0},
      {"ReceiveBuffer.ReadIndex", context_->ReceiveBuffer.ReadIndex, 0},
      {"ReceiveBuffer.WriteIndex", context_->ReceiveBuffer.WriteIndex, 0},
      {"OutstandingIo", uint64_t(context_->OutstandingIo), 0},
      {"DebugLogEnabled", context_->DebugLogEnabled, 0},
      {"ring blocks tagged 7315", host::pool::LiveCount(kTag), 1},
      {"ring bytes tagged 7315", host::pool::LiveBytes(kTag), 0x10000},
      {"OutstandingAllocations", OutstandingAllocations - allocationsBefore, 1},
  };
  for (const Field& field : fields) EXPECT_EQ(field.actual, field.expected) << field.name;

  EXPECT_EQ(context_->DeviceObject, device_);
  EXPECT_NE(context_->ReceiveBuffer.Buffer, nullptr);
  EXPECT_TRUE(IsListEmpty(&context_->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&context_->WriteQueue));
  EXPECT_TRUE(IsNotificationEventNotSignalled(&context_->RemoveEvent)) << "RemoveEvent";
  EXPECT_TRUE(IsNotificationEventNotSignalled(&context_->StopEvent)) << "StopEvent";
}

// Every byte outside the fields that creation sets is still zero: the routine
// writes nothing else (the device name in particular belongs to the caller).
TEST_F(PortDefaults, LeavesEveryOtherFieldZero) {
  ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);

  auto expected = std::make_unique<PORT_DEVICE_CONTEXT>();
  std::memset(expected.get(), 0, sizeof(PORT_DEVICE_CONTEXT));
  // Dispatcher objects, locks, list heads and the storage pointer hold
  // kernel-chosen bytes; they are checked by behaviour elsewhere.
  expected->RemoveEvent = context_->RemoveEvent;
  expected->StopEvent = context_->StopEvent;
  expected->IoCountLock = context_->IoCountLock;
  expected->ReadQueue = context_->ReadQueue;
  expected->WriteQueue = context_->WriteQueue;
  expected->ReadQueueLock = context_->ReadQueueLock;
  expected->WriteQueueLock = context_->WriteQueueLock;
  expected->ReceiveBufferLock = context_->ReceiveBufferLock;
  expected->ReceiveBuffer.Buffer = context_->ReceiveBuffer.Buffer;
  expected->DeviceObject = device_;
  expected->BaudRate = 9600;
  expected->LineControl.WordLength = 8;
  expected->SpecialChars.XonChar = 0x11;
  expected->SpecialChars.XoffChar = 0x13;
  expected->HandFlow = {1, 0x40, 100, 300};
  expected->MaxWriteLength = 32;
  expected->ReceiveBuffer.Size = 0x10000;

  const auto* actualBytes = reinterpret_cast<const uint8_t*>(context_);
  const auto* expectedBytes = reinterpret_cast<const uint8_t*>(expected.get());
  size_t firstDifference = sizeof(PORT_DEVICE_CONTEXT);
  for (size_t i = 0; i < sizeof(PORT_DEVICE_CONTEXT) && firstDifference == sizeof(PORT_DEVICE_CONTEXT); ++i)
    if (actualBytes[i] != expectedBytes[i]) firstDifference = i;
  EXPECT_EQ(firstDifference, sizeof(PORT_DEVICE_CONTEXT)) << "first differing byte offset";
}

// Without ring storage the port must not come up: the failure is reported,
// the ring holds nothing, and the rest of the defaults are still in place so
// that tearing the context down is safe.
TEST_F(PortDefaults, RingAllocationFailureIsReported) {
  const ULONG allocationsBefore = OutstandingAllocations;
  host::pool::FailNthAllocation(1, kTag);

  EXPECT_EQ(InitializePortDefaults(device_), STATUS_INSUFFICIENT_RESOURCES);

  EXPECT_EQ(context_->ReceiveBuffer.Buffer, nullptr);
  EXPECT_EQ(host::pool::LiveCount(kTag), 0u);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  EXPECT_EQ(context_->BaudRate, 9600u);
  EXPECT_TRUE(IsListEmpty(&context_->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&context_->WriteQueue));
  EXPECT_EQ(FreeQueueBuffer(&context_->ReceiveBuffer), STATUS_SUCCESS);
}

TEST_F(PortDefaults, FreeingTheRingGivesItsStorageBack) {
  const ULONG allocationsBefore = OutstandingAllocations;
  ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);
  context_->ReceiveBuffer.Count = 3;
  context_->ReceiveBuffer.ReadIndex = 5;
  context_->ReceiveBuffer.WriteIndex = 8;

  for (int call = 0; call < 2; ++call) {  // the second call finds no storage
    EXPECT_EQ(FreeQueueBuffer(&context_->ReceiveBuffer), STATUS_SUCCESS);
    EXPECT_EQ(context_->ReceiveBuffer.Buffer, nullptr);
    EXPECT_EQ(context_->ReceiveBuffer.Count, 0u);
    EXPECT_EQ(context_->ReceiveBuffer.ReadIndex, 0u);
    EXPECT_EQ(context_->ReceiveBuffer.WriteIndex, 0u);
    EXPECT_EQ(context_->ReceiveBuffer.Size, 0x10000u);
    EXPECT_EQ(host::pool::LiveCount(kTag), 0u);
    EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  }
}

}  // namespace
