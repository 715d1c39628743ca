// `t7315 bench`: `t7315 serve` measured from outside as its users reach it,
// over the pseudo-terminals and over RFC 2217, next to a socat pty pair.
#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace t7315 {

// The arguments after "bench"; the exit status (2 for a bad argument).
int RunBench(std::span<const std::string> args, std::ostream& out, std::ostream& err);

extern const char kBenchUsage[];

}  // namespace t7315
