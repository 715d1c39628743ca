// A verifier rule broken on purpose: the program must stop with the report.
// Each file lists its rules and instantiates VerifierDeathTest with them.
#pragma once

#include <functional>
#include <optional>
#include <ostream>

#include "support/machine_test.h"

struct Violation {
  const char* report;  // a regular expression the report must match
  std::function<void(std::optional<kernel::Machine>& machine)> violate;
};

// Listed by report, not by bytes.
inline void PrintTo(const Violation& v, std::ostream* os) { *os << v.report; }

class VerifierDeathTest : public MachineTest, public ::testing::WithParamInterface<Violation> {};
