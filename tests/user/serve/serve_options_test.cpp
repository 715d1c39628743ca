#include "user/tool/serve_options.h"

#include <gtest/gtest.h>

namespace t7315 {
namespace {

std::string Problem(std::vector<std::string> args) {
  auto parsed = ParseServeOptions(args);
  auto* problem = std::get_if<std::string>(&parsed);
  return problem ? *problem : "";
}

TEST(ServeOptionsTest, BadArgumentsGetAClearMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  const Case cases[] = {
      {{"--chips", "0"}, "--chips wants a number from 1 to 8, got '0'"},
      {{"--chips=2x"}, "--chips wants a number from 1 to 8, got '2x'"},
      {{"--ports", "9"}, "--ports wants a number from 1 to 8, got '9'"},
      {{"--rfc2217", "65536"}, "--rfc2217 wants a TCP port number from 1 to 65535, got '65536'"},
      {{"--rfc2217"}, "--rfc2217 needs a value"},
      {{"--state="}, "--state wants a folder"},
      {{"--verbose"}, "unknown argument '--verbose'"},
      {{"--bus", "usb3"}, "--bus wants none, full or high, got 'usb3'"},
      {{"COM3"}, "unknown argument 'COM3'"},
      {{"--cable", "COM3"}, "cable 'COM3' is not PORT:END (e.g. COM3:COM4, COM5:loop, COM6:pty)"},
      {{"--cable", "COM3:COM3"}, "cable 'COM3:COM3' joins a port to itself (use COM3:loop)"},
      {{"--cable", "LPT1:loop"}, "cable 'LPT1:loop': 'LPT1' is not a COM name"},
      {{"--cable", "COM3:COM04"}, "cable 'COM3:COM04': 'COM04' is not a COM name, loop or pty"},
      {{"--cable", "COM3:pty", "--cable", "COM4:COM3"}, "port COM3 has more than one cable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(Problem(c.args), c.problem);
  }
}

TEST(ServeOptionsTest, ValuesAndCablesAreTaken) {
  const std::vector<std::string> args = {"--chips=2", "--ports",  "3",       "--rfc2217", "9000",
                                         "--state",   "/tmp/s",   "--cable", "COM3:COM7", "--cable=COM5:loop",
                                         "--cable",   "COM6:pty", "--bus",   "high"};
  auto parsed = ParseServeOptions(args);
  ASSERT_TRUE(std::holds_alternative<ServeOptions>(parsed)) << std::get<std::string>(parsed);
  const ServeOptions& o = std::get<ServeOptions>(parsed);
  EXPECT_EQ(o.chips, 2);
  EXPECT_EQ(o.portsPerChip, 3);
  EXPECT_EQ(o.rfc2217Base, 9000);
  EXPECT_EQ(o.stateDir, "/tmp/s");
  EXPECT_EQ(o.busFrame, chip::kMillisecond / 8);
  ASSERT_EQ(o.cables.size(), 3u);
  EXPECT_EQ(o.cables[0].peer, "COM7");
  EXPECT_EQ(o.cables[1].kind, CableSpec::Kind::Loopback);
  EXPECT_EQ(o.cables[2].kind, CableSpec::Kind::WirePty);

  const std::vector<std::string> names = {"COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
  auto resolved = ResolveCables(o, names);
  ASSERT_TRUE(std::holds_alternative<std::vector<CableSpec>>(resolved));
}

TEST(ServeOptionsTest, DefaultCablesPairThePortsInOrder) {
  const std::vector<std::string> names = {"COM3", "COM4", "COM5", "COM6", "COM7"};
  auto cables = std::get<std::vector<CableSpec>>(ResolveCables(ServeOptions{}, names));
  ASSERT_EQ(cables.size(), 2u);
  EXPECT_EQ(cables[0].port + ":" + cables[0].peer, "COM3:COM4");
  EXPECT_EQ(cables[1].port + ":" + cables[1].peer, "COM5:COM6");
}

}  // namespace
}  // namespace t7315
