// A port context as the I/O manager hands it to the driver: zero-filled
// non-paged memory behind a device object's extension. The fixture frees the
// receive ring's storage and the context, so a test leaks only what the code
// under test leaked.
#pragma once

#include "context/port_context.h"
#include "host/pool.h"
#include "support/machine_test.h"

class PortContextTest : public MachineTest {
 protected:
  static constexpr ULONG kContextTag = host::pool::Tag("TPcx");

  void SetUp() override {
    MachineTest::SetUp();
    context_ = static_cast<PPORT_DEVICE_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PORT_DEVICE_CONTEXT), kContextTag));
    ASSERT_NE(context_, nullptr);
    RtlZeroMemory(context_, sizeof(PORT_DEVICE_CONTEXT));
    device_.DeviceExtension = context_;
  }

  void TearDown() override {
    if (context_ != nullptr) {
      FreeQueueBuffer(&context_->ReceiveBuffer);
      ExFreePoolWithTag(context_, kContextTag);
    }
    MachineTest::TearDown();
  }

  DEVICE_OBJECT device_{};
  PPORT_DEVICE_CONTEXT context_ = nullptr;
};
