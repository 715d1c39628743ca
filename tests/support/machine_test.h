// Shared test scaffolding: every test runs on its own emulated machine with
// the virtual clock, and death tests use the thread-safe style because the
// machine runs threads.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "host/clock.h"
#include "host/machine.h"

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    machine_.emplace(Options());
  }
  void TearDown() override { machine_.reset(); }
  virtual host::MachineOptions Options() { return {}; }

  static int64_t Now() { return host::clock::Now(); }
  static constexpr int64_t kMs = host::clock::kMillisecond;

  std::optional<host::Machine> machine_;
};
