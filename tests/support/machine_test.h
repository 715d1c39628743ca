// Shared test scaffolding: every test runs on its own emulated machine with
// the virtual clock, and death tests use the thread-safe style because the
// machine runs threads.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/machine.h"

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    machine_.emplace(Options());
  }
  void TearDown() override { machine_.reset(); }
  virtual kernel::MachineOptions Options() { return {}; }

  static int64_t Now() { return kernel::clock::Now(); }
  static constexpr int64_t kMs = kernel::clock::kMillisecond;

  std::optional<kernel::Machine> machine_;
};
