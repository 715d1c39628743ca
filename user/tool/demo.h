// `t7315 demo`: the driver's whole life on an emulated computer, shown step
// by step. It loads the driver, plugs one simulated chip (ports 0 and 1 on a
// null-modem cable, every further port on a loopback plug), opens every port
// through the Win32 serial API, runs full-duplex traffic at each rate, closes
// the ports, stops and restarts one, removes everything and unloads the
// driver, then checks that nothing was left behind.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "emulator/kernel/machine.h"
#include "user/rig/computer.h"

namespace t7315 {

struct DemoOptions {
  int ports = 4;
  std::vector<unsigned> rates = {9600, 38400, 115200};
  unsigned bytes = 2048;  // per transfer, each way
  kernel::ClockKind clock = kernel::ClockKind::Real;
  int64_t busFrame = 0;                             // chip::ChipOptions::bulkOutFrame
  std::string image = rig::ImageFromEnvironment();  // rig::ComputerOptions::image
};

constexpr int kDemoMaxPorts = 8;
constexpr unsigned kDemoMaxBytes = 1u << 20;

// Parses the arguments after "demo". False with a message in *error on a bad
// argument; *help set when help was asked for.
bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions* options, bool* help,
                      std::string* error);
void PrintDemoUsage(std::ostream& out);

// One transfer: `bytes` written on one port, read back on another (or the
// same, through a loopback plug).
struct TransferResult {
  std::string from, to;
  unsigned rate = 0;
  unsigned sent = 0;      // bytes the write completed
  unsigned received = 0;  // bytes the read returned
  unsigned wrong = 0;     // bytes received that differ from those sent
  double seconds = 0;
  std::string failure;  // a request that failed, with its error
  unsigned Errors() const { return (sent - std::min(sent, received)) + wrong + (failure.empty() ? 0 : 1); }
};

// The whole run; 0 when every step and every byte went right, 1 otherwise
// (with the reason on `err`).
int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace t7315
