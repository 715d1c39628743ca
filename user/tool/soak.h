// `t7315 soak`: long runs of traffic on the virtual clock. One simulated
// chip of four ports (COM3 and COM4 on a null-modem cable, COM5 and COM6 on
// loopback plugs) carries a stream each way on every port at each rate and
// flow control, and every byte received is compared with the byte sent.
// Nothing may be lost, doubled or changed: the reader keeps up, so even
// without flow control a byte that goes missing is a fault.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace t7315 {

enum class SoakFlow { None, RtsCts, XonXoff, DtrDsr };

struct SoakOptions {
  uint64_t bytes = 100ull << 20;  // per port, rate and flow control
  std::vector<unsigned> rates = {9600, 115200, 921600};
  std::vector<SoakFlow> flows = {SoakFlow::None, SoakFlow::RtsCts, SoakFlow::XonXoff};
  // The reader takes bytes at half the line's pace instead of keeping up.
  bool slowReader = false;
};

// The arguments after "soak"; false with a message in *error on a bad one.
bool ParseSoakOptions(std::span<const std::string> args, SoakOptions* options, std::string* error);

// Every rate and flow control in turn; 0 when every byte arrived unchanged
// and teardown was clean, 1 otherwise.
int RunSoak(const SoakOptions& options, std::ostream& out, std::ostream& err);

extern const char kSoakUsage[];

}  // namespace t7315
