// `t7315 serve`: the emulated computer with the driver and simulated chips,
// on real time, its COM ports offered as pseudo-terminals and RFC 2217
// servers until SIGINT or SIGTERM.
#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace t7315 {

// The arguments after "serve". Returns the exit status: 0 after a clean stop,
// 1 when the ports could not be served or something leaked, 2 for a bad
// argument.
int RunServe(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace t7315
