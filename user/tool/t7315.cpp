// The t7315 command-line tool.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "user/tool/bench.h"
#include "user/tool/demo.h"
#include "user/tool/selfcheck.h"
#include "user/tool/serve.h"
#include "user/tool/serve_options.h"
#include "user/tool/soak.h"

namespace {

constexpr int kUsageError = 2;

void PrintUsage(std::ostream& out) {
  out << "usage: t7315 COMMAND\n"
         "\n"
         "commands:\n"
         "  demo        run the driver end to end on an emulated computer (demo --help)\n"
         "  selfcheck   boot the emulated kernel on the real clock and check its services\n"
         "  serve       run the driver on simulated chips and offer its COM ports as\n"
         "              pseudo-terminals and RFC 2217 servers (t7315 serve --help)\n"
         "  bench       measure `serve` over its ptys and RFC 2217 next to a socat pty\n"
         "              pair (t7315 bench --help)\n"
         "  soak        stream data through every port on the virtual clock and compare\n"
         "              every byte (t7315 soak --help)\n"
         "  help        show this text (also -h, --help)\n";
}

int UsageError(const std::string& problem) {
  std::cerr << "t7315: " << problem << "\n";
  PrintUsage(std::cerr);
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("no command given");
  const std::string command = argv[1];
  if (command == "help" || command == "-h" || command == "--help") {
    PrintUsage(std::cout);
    return 0;
  }
  if (command == "demo") {
    t7315::DemoOptions options;
    bool help = false;
    std::string error;
    if (!t7315::ParseDemoOptions({argv + 2, argv + argc}, &options, &help, &error)) {
      std::cerr << "t7315 demo: " << error << "\n";
      t7315::PrintDemoUsage(std::cerr);
      return kUsageError;
    }
    if (help) {
      t7315::PrintDemoUsage(std::cout);
      return 0;
    }
    return t7315::RunDemo(options, std::cout, std::cerr);
  }
  if (command == "selfcheck") {
    if (argc > 2) return UsageError("selfcheck takes no arguments, got '" + std::string(argv[2]) + "'");
    return t7315::RunSelfCheck(std::cout) == 0 ? 0 : 1;
  }
  if (command == "serve") {
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
      std::cout << t7315::kServeUsage;
      return 0;
    }
    return t7315::RunServe(args, std::cout, std::cerr);
  }
  if (command == "bench") {
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
      std::cout << t7315::kBenchUsage;
      return 0;
    }
    return t7315::RunBench(args, std::cout, std::cerr);
  }
  if (command == "soak") {
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
      std::cout << t7315::kSoakUsage;
      return 0;
    }
    t7315::SoakOptions options;
    std::string error;
    if (!t7315::ParseSoakOptions(args, &options, &error)) {
      std::cerr << "t7315 soak: " << error << "\n" << t7315::kSoakUsage;
      return kUsageError;
    }
    return t7315::RunSoak(options, std::cout, std::cerr);
  }
  return UsageError("unknown command '" + command + "'");
}
