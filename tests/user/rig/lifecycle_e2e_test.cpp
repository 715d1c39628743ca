// The driver end to end on the virtual clock: load, four ports named COM3 to
// COM6, traffic through the Win32 API on a null-modem cable and on loopback
// plugs at several rates, stop and restart, removal and unload with nothing
// left behind. Removal in the middle of traffic is the random-removal test.
#include <gtest/gtest.h>

#include <sstream>

#include "emulator/kernel/clock.h"
#include "user/tool/demo.h"

namespace {

TEST(EndToEnd, FourPortsCarryFullDuplexTrafficAtEveryRateThroughStopRestartAndUnload) {
  t7315::DemoOptions options;
  options.clock = kernel::ClockKind::Virtual;
  options.ports = 4;
  options.rates = {1200, 9600, 115200};
  options.bytes = 1500;
  std::ostringstream out, err;
  EXPECT_EQ(t7315::RunDemo(options, out, err), 0) << out.str() << err.str();
  EXPECT_EQ(err.str(), "");
  const std::string text = out.str();
  for (const char* line : {"port 0: COM3 started", "port 3: COM6 started", "opened COM3 COM4 COM5 COM6",
                           "devices removed, driver unloaded: clean", "demo passed"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  // Four flows per rate and four after the restart, each reported twice
  // (as it ends and in the summary), every one of them complete.
  size_t complete = 0;
  for (size_t at = text.find("1500/1500 bytes"); at != std::string::npos;
       at = text.find("1500/1500 bytes", at + 1)) {
    ++complete;
  }
  EXPECT_EQ(complete, 2u * 4 * (options.rates.size() + 1)) << text;
}

}  // namespace
