// A one-port chip plugged and its port started by the driver, not opened:
// the context a start leaves, for register access, the pins, baud
// programming and device power requests called on it directly. The chip's
// register log starts empty.
#pragma once

#include <utility>
#include <vector>

#include "emulator/chip/register_map.h"
#include "support/driver_fixture.h"

namespace uart_test {

class ChipPortTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    board_ = &PlugChip();
    ctx_ = Context(0);
    ASSERT_NE(ctx_, nullptr);
    lower_ = ctx_->LowerDeviceObject;
    kernel::clock::RunUntilIdle();
    Chip().ClearRegisterLog();
  }

  void TearDown() override {
    if (ctx_ != nullptr) ctx_->LowerDeviceObject = lower_;
    ctx_ = nullptr;
    DriverTest::TearDown();
  }

  chip::Port& Chip() { return board_->port(0); }

  // The port as if it had no lower device; teardown gives it back.
  void Detach() { ctx_->LowerDeviceObject = nullptr; }

  // The mutex is free when a thread that does not own it can take it at once.
  bool MutexFree() { return KeReadStateMutex(&ctx_->RegisterMutex) == 1; }

  // Register writes the chip saw, as (address, value) pairs.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() { return WritesOf(Chip()); }

  chip::UsbChip* board_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;

 private:
  PDEVICE_OBJECT lower_ = nullptr;
};

}  // namespace uart_test
