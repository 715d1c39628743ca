#include "user/tool/serve_options.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace t7315 {

const char kServeUsage[] =
    "usage: t7315 serve [--chips N] [--ports N] [--rfc2217 BASE] [--cable PORT:END]... [--state DIR]\n"
    "                   [--bus none|full|high] [--image FILE]\n"
    "\n"
    "  --chips N       simulated chips to plug (1-8, default 1)\n"
    "  --ports N       ports per chip (1-8, default 4)\n"
    "  --rfc2217 BASE  COMk listens for RFC 2217 clients on 127.0.0.1 port BASE+k (default 7000)\n"
    "  --cable P:E     what port P's wire goes to: another port (COM3:COM4, a null-modem cable),\n"
    "                  loop (a loopback plug) or pty (a pseudo-terminal STATE/P-wire that plays\n"
    "                  the attached device); repeatable; default: ports joined in pairs\n"
    "  --state DIR     keep the registry, the settings file and the pty links in DIR\n"
    "  --bus KIND      the USB host controller's frame timing for bulk-out: none (completions at\n"
    "                  once, the default), full (1 ms frames) or high (125 us micro-frames)\n"
    "  --image FILE    run the Windows driver image FILE (t7315ser.sys) instead of the natively\n"
    "                  built driver (default: $T7315_IMAGE, if set)\n";

int ComNumber(std::string_view name) {
  if (name.size() < 4 || name.substr(0, 3) != "COM") return -1;
  int number = 0;
  auto digits = name.substr(3);
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || number < 1 || number > 256 ||
      digits[0] == '0') {
    return -1;
  }
  return number;
}

std::variant<CableSpec, std::string> ParseCable(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    return "cable '" + std::string(text) + "' is not PORT:END (e.g. COM3:COM4, COM5:loop, COM6:pty)";
  }
  CableSpec cable;
  cable.port = std::string(text.substr(0, colon));
  const std::string end(text.substr(colon + 1));
  if (ComNumber(cable.port) < 0)
    return "cable '" + std::string(text) + "': '" + cable.port + "' is not a COM name";
  if (end == "loop") {
    cable.kind = CableSpec::Kind::Loopback;
  } else if (end == "pty") {
    cable.kind = CableSpec::Kind::WirePty;
  } else if (ComNumber(end) >= 0) {
    if (end == cable.port)
      return "cable '" + std::string(text) + "' joins a port to itself (use " + end + ":loop)";
    cable.peer = end;
  } else {
    return "cable '" + std::string(text) + "': '" + end + "' is not a COM name, loop or pty";
  }
  return cable;
}

namespace {

// Parses a whole decimal number within [low, high].
bool ParseNumber(const std::string& text, int low, int high, int& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

}  // namespace

chip::Time BusFrame(std::string_view name) {
  if (name == "none") return 0;
  if (name == "full") return chip::kMillisecond;
  if (name == "high") return chip::kMillisecond / 8;
  return -1;
}

std::variant<ServeOptions, std::string> ParseServeOptions(std::span<const std::string> args) {
  ServeOptions options;
  std::set<std::string> cabled;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    const auto equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    } else if (name == "--chips" || name == "--ports" || name == "--rfc2217" || name == "--cable" ||
               name == "--state" || name == "--bus" || name == "--image") {
      if (i + 1 == args.size()) return name + " needs a value";
      value = args[++i];
    } else {
      return "unknown argument '" + name + "'";
    }
    if (name == "--chips") {
      if (!ParseNumber(value, 1, kMaxChips, options.chips)) {
        return "--chips wants a number from 1 to " + std::to_string(kMaxChips) + ", got '" + value + "'";
      }
    } else if (name == "--ports") {
      if (!ParseNumber(value, 1, kMaxPortsPerChip, options.portsPerChip)) {
        return "--ports wants a number from 1 to " + std::to_string(kMaxPortsPerChip) + ", got '" + value +
               "'";
      }
    } else if (name == "--rfc2217") {
      if (!ParseNumber(value, 1, 65535, options.rfc2217Base)) {
        return "--rfc2217 wants a TCP port number from 1 to 65535, got '" + value + "'";
      }
    } else if (name == "--bus") {
      options.busFrame = BusFrame(value);
      if (options.busFrame < 0) return "--bus wants none, full or high, got '" + value + "'";
    } else if (name == "--state") {
      if (value.empty()) return "--state wants a folder";
      options.stateDir = value;
    } else if (name == "--image") {
      if (value.empty()) return "--image wants a driver image file";
      options.image = value;
    } else if (name == "--cable") {
      auto parsed = ParseCable(value);
      if (auto* problem = std::get_if<std::string>(&parsed)) return *problem;
      const CableSpec& cable = std::get<CableSpec>(parsed);
      for (const std::string& end : {cable.port, cable.peer}) {
        if (!end.empty() && !cabled.insert(end).second) return "port " + end + " has more than one cable";
      }
      options.cables.push_back(cable);
    } else {
      return "unknown argument '" + name + "'";
    }
  }
  return options;
}

std::variant<std::vector<CableSpec>, std::string> ResolveCables(const ServeOptions& options,
                                                                const std::vector<std::string>& names) {
  if (options.cables.empty()) {
    std::vector<CableSpec> pairs;
    for (size_t i = 0; i + 1 < names.size(); i += 2) {
      pairs.push_back({names[i], CableSpec::Kind::NullModem, names[i + 1]});
    }
    return pairs;
  }
  auto known = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (const CableSpec& cable : options.cables) {
    for (const std::string& end : {cable.port, cable.peer}) {
      if (!end.empty() && !known(end)) return "cable for " + end + ": there is no such port";
    }
  }
  return options.cables;
}

}  // namespace t7315
