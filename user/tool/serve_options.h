// The command line of `t7315 serve` and its cable descriptions.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "emulator/chip/scheduler.h"
#include "user/rig/computer.h"

namespace t7315 {

// What is plugged into a port's connector.
struct CableSpec {
  enum class Kind { NullModem, Loopback, WirePty };
  std::string port;  // "COM3"
  Kind kind = Kind::NullModem;
  std::string peer;  // the other port of a null-modem cable
};

struct ServeOptions {
  int chips = 1;
  int portsPerChip = 4;
  int rfc2217Base = 7000;   // COM port k listens on rfc2217Base + k
  std::string stateDir;     // empty: a temporary folder
  chip::Time busFrame = 0;  // bulk-out completions once a frame of this length; 0: at once
  // Empty: the ports are joined in null-modem pairs in their order.
  std::vector<CableSpec> cables;
  std::string image = rig::ImageFromEnvironment();  // rig::ComputerOptions::image
};

constexpr int kMaxChips = 8;
constexpr int kMaxPortsPerChip = 8;

// "COM3:COM4", "COM5:loop" or "COM6:pty", else a message.
std::variant<CableSpec, std::string> ParseCable(std::string_view text);
// The arguments after "serve"; a message on the first bad one.
std::variant<ServeOptions, std::string> ParseServeOptions(std::span<const std::string> args);
// The number of a "COMn" name, or -1.
int ComNumber(std::string_view name);

// Cables of `options` for ports named `names` (in their order), defaults
// included; a message when a cable names a port that does not exist.
std::variant<std::vector<CableSpec>, std::string> ResolveCables(const ServeOptions& options,
                                                                const std::vector<std::string>& names);

// "--bus" values: "none", "full" (1 ms frames) or "high" (125 us); -1 for
// any other.
chip::Time BusFrame(std::string_view name);

extern const char kServeUsage[];

}  // namespace t7315
