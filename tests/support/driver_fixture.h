// Tests that run the real driver: every test gets its own emulated computer
// (rig::Computer on the virtual clock) with the driver installed; chips are
// plugged through the Plug and Play manager, so ports come up the way Windows
// brings them up (load, add, start). Teardown removes every device, unloads
// the driver and fails the test on anything left behind.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "driver/context/port_context.h"
#include "emulator/kernel/clock.h"
#include "user/rig/computer.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pc_.emplace(ComputerOptions());
  }
  void TearDown() override {
    if (!pc_) return;
    rig::LeakReport report = pc_->Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Describe();
    pc_.reset();
  }
  virtual rig::ComputerOptions ComputerOptions() { return {}; }

  rig::Computer& Pc() { return *pc_; }
  // A chip plugged with its ports started.
  chip::UsbChip& PlugChip(chip::ChipOptions options = {.ports = 1}) { return pc_->PlugChip(options); }
  const rig::Port& Port(int i) const { return pc_->Ports().at(i); }
  PDEVICE_OBJECT Fdo(int i) const { return pc_->PortDevice(Port(i)); }
  PDEVICE_OBJECT Pdo(int i) const { return Port(i).chip->Pdo(Port(i).index); }
  PPORT_DEVICE_CONTEXT Context(int i) const {
    PDEVICE_OBJECT fdo = Fdo(i);
    return fdo == nullptr ? nullptr : GetPortContext(fdo);
  }

  static int64_t Now() { return kernel::clock::Now(); }
  static constexpr int64_t kMs = kernel::clock::kMillisecond;

  // Register writes `port` saw from `first` on, as (address, value) pairs.
  static std::vector<std::pair<uint16_t, uint8_t>> WritesOf(chip::Port& port, uint16_t first = 0) {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const auto& w : port.RegisterWrites())
      if (w.address >= first) writes.emplace_back(w.address, w.value);
    return writes;
  }
  // Fields the driver changes from other threads are read atomically.
  template <class T>
  static T Shared(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
  }

  std::optional<rig::Computer> pc_;
};
