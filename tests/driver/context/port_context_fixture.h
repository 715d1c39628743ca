// A port context as the driver gets it: the zero-filled extension of a
// serial-port device object that the I/O manager creates for a loaded test
// driver. The fixture frees the receive ring's storage and deletes the device,
// so a test leaks only what the code under test leaked.
#pragma once

#include "driver/context/port_context.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pool.h"
#include "support/machine_test.h"

class PortContextTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(kernel::io::LoadDriver(u"t7315ctx", DriverEntry, kService, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PORT_DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT,
                             FILE_DEVICE_SECURE_OPEN, TRUE, &device_),
              STATUS_SUCCESS);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    context_ = GetPortContext(device_);
  }

  void TearDown() override {
    if (device_ != nullptr) {
      FreeQueueBuffer(&context_->ReceiveBuffer);
      IoDeleteDevice(device_);
    }
    if (driver_ != nullptr) kernel::io::UnloadDriver(driver_);
    MachineTest::TearDown();
  }

  // Tests set the dispatch routines they need; the rest keep the default.
  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

  static constexpr const char16_t* kService =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\t7315ctx";
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PPORT_DEVICE_CONTEXT context_ = nullptr;
};
