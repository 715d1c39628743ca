// `t7315 selfcheck`: boots an emulated machine on the real clock and checks
// that the kernel services the driver stands on behave.
#pragma once

#include <iosfwd>

namespace t7315 {

// Prints one "<check>: OK" or "<check>: FAIL (<why>)" line per check;
// returns the number of failed checks.
int RunSelfCheck(std::ostream& out);

}  // namespace t7315
