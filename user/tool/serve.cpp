#include "user/tool/serve.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <stdexcept>

#include "user/tool/console.h"
#include "user/tool/served_port.h"
#include "user/tool/serve_options.h"
#include "user/tool/wire_pty.h"
#include "emulator/chip/model_lock.h"
#include "user/rig/computer.h"

namespace t7315 {
namespace {

// On real time the emulated machine shares the host with everything else:
// a real chip's bulk-in data is taken by the USB host controller without the
// CPU, while the emulated one waits for threads that a busy host (or a
// sanitizer) can hold up for hundreds of milliseconds. The driver has no
// receive flow control (RTS handshake only raises RTS), so the chip's FIFO
// is all that covers such a pause: the chips served get one of 64 KiB, half
// a second at 921600 baud.
constexpr size_t kServeRxFifoDepth = 64 * 1024;

// The wires behind the ports, and the far ends played through ptys.
struct Wiring {
  std::vector<std::unique_ptr<chip::ExternalEnd>> ends;
  std::vector<std::unique_ptr<WirePty>> wirePtys;
  std::map<std::string, std::string> description;  // per port name
  // The bridges go before the ends they drive.
  void Clear() {
    wirePtys.clear();
    ends.clear();
  }
};

std::string HexStatus(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Plugs the cables in; false with a message in *error.
bool Wire(rig::Computer& pc, const std::vector<CableSpec>& cables, const std::string& state, Wiring& wiring,
          std::string* error) {
  auto connector = [&](const std::string& name) -> chip::Port& {
    const rig::Port* port = pc.FindPort(name);
    return port->chip->port(port->index);
  };
  for (const CableSpec& cable : cables) {
    chip::Port& port = connector(cable.port);
    switch (cable.kind) {
      case CableSpec::Kind::NullModem: {
        chip::ModelGuard guard;
        chip::ConnectNullModem(port, connector(cable.peer));
        wiring.description[cable.port] = "null modem to " + cable.peer;
        wiring.description[cable.peer] = "null modem to " + cable.port;
        break;
      }
      case CableSpec::Kind::Loopback: {
        chip::ModelGuard guard;
        chip::PlugLoopback(port);
        wiring.description[cable.port] = "loopback plug";
        break;
      }
      case CableSpec::Kind::WirePty: {
        auto pty = Pty::Open(LineFormat{}, error);
        const std::string link = state + "/" + cable.port + "-wire";
        if (!pty || !pty->LinkAs(link, error)) return false;
        const rig::Port* owner = pc.FindPort(cable.port);
        wiring.ends.push_back(std::make_unique<chip::ExternalEnd>(owner->chip->Clock()));
        {
          chip::ModelGuard guard;
          chip::ConnectExternal(port, *wiring.ends.back());
        }
        wiring.description[cable.port] = "wire pty " + pty->TerminalPath() + " (" + link + ")";
        wiring.wirePtys.push_back(std::make_unique<WirePty>(*wiring.ends.back(), std::move(pty)));
        break;
      }
    }
  }
  return true;
}

// Makes `state` ours while the returned descriptor stays open: a second
// server there would fight over the links. Links left by a server that died
// are removed; ours are made anew. -1 with a message on `err`.
int ClaimStateFolder(const std::string& state, std::ostream& err) {
  const std::string lockPath = state + "/serve.lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    err << "t7315: serve: cannot open " << lockPath << "\n";
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    std::string pid;
    std::ifstream(lockPath) >> pid;
    err << "t7315: serve: " << state << " is in use by another t7315 serve (pid " << pid
        << "); stop it or choose another --state\n";
    close(fd);
    return -1;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || write(fd, pid.data(), pid.size()) != ssize_t(pid.size())) {
    err << "t7315: serve: cannot write " << lockPath << "\n";
    close(fd);
    return -1;
  }
  static const std::regex kLink("COM[0-9]+(-wire)?");
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(state, ignored)) {
    if (entry.is_symlink(ignored) && std::regex_match(entry.path().filename().string(), kLink)) {
      std::filesystem::remove(entry.path(), ignored);
    }
  }
  return fd;
}

// Waits for SIGINT or SIGTERM, which every thread has blocked.
int AwaitStop(const sigset_t& signals) {
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return signal;
}

int Serve(const ServeOptions& options, const std::string& state, Console& console, std::ostream& err,
          const sigset_t& signals) {
  rig::Computer pc({.clock = kernel::ClockKind::Real,
                    .stateDir = options.stateDir,
                    .abortOnLeaks = false,
                    .image = options.image});
  std::vector<chip::UsbChip*> chips;
  for (int i = 0; i < options.chips; ++i) {
    chips.push_back(&pc.AddChip(
        {.ports = options.portsPerChip, .bulkOutFrame = options.busFrame, .rxFifoDepth = kServeRxFifoDepth}));
  }
  std::vector<std::string> names;
  for (const rig::Port& port : pc.Ports()) names.push_back(port.comName);

  auto cables = ResolveCables(options, names);
  if (auto* problem = std::get_if<std::string>(&cables)) {
    err << "t7315: serve: " << *problem << "\n";
    pc.Shutdown();
    return 2;
  }
  Wiring wiring;
  std::string error;
  if (!Wire(pc, std::get<std::vector<CableSpec>>(cables), state, wiring, &error)) {
    err << "t7315: serve: " << error << "\n";
    wiring.Clear();
    pc.Shutdown();
    return 1;
  }
  for (chip::UsbChip* board : chips) pc.Plug(*board);

  std::vector<std::unique_ptr<ServedPort>> served;
  for (const rig::Port& port : pc.Ports()) {
    const int tcpPort = options.rfc2217Base + ComNumber(port.comName);
    std::unique_ptr<ServedPort> one;
    if (!NT_SUCCESS(port.startStatus)) {
      error = "the driver did not start it (status " + HexStatus(port.startStatus) + ")";
    } else if (tcpPort > 65535) {
      error = "TCP port " + std::to_string(tcpPort) + " is out of range; choose a lower --rfc2217 base";
    } else {
      one =
          ServedPort::Open({port.comName, port.Path(), tcpPort, state + "/" + port.comName}, console, &error);
    }
    const std::string cable =
        wiring.description.count(port.comName) ? wiring.description[port.comName] : "none";
    if (!one) {
      console.Line(port.comName + "  not served: " + error + "  cable: " + cable);
      continue;
    }
    console.Line(port.comName + "  pty " + one->Terminal().TerminalPath() + " (" + state + "/" +
                 port.comName + ")  rfc2217://127.0.0.1:" + std::to_string(tcpPort) + "  cable: " + cable);
    served.push_back(std::move(one));
  }
  int status = 0;
  if (served.empty()) {
    err << "t7315: serve: no port could be served\n";
    status = 1;
  } else {
    for (auto& port : served) port->Start();
    for (auto& wire : wiring.wirePtys) wire->Start();
    console.Line("serving " + std::to_string(served.size()) + " port(s) from " + state +
                 "; Ctrl-C or SIGTERM stops");
    const int signal = AwaitStop(signals);
    console.Line(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
  }
  served.clear();
  wiring.Clear();
  const rig::LeakReport report = pc.Shutdown();
  console.Line("driver unloaded; leaks: " + report.Describe());
  return report.Clean() ? status : 1;
}

}  // namespace

int RunServe(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  auto parsed = ParseServeOptions(args);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    err << "t7315: serve: " << *problem << "\n" << kServeUsage;
    return 2;
  }
  const ServeOptions& options = std::get<ServeOptions>(parsed);

  // Every thread started from here on inherits the blocked signals; only
  // AwaitStop takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string state = options.stateDir;
  bool temporary = false;
  std::error_code fsError;
  if (state.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "t7315-serve-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      err << "t7315: serve: cannot create a temporary folder\n";
      return 1;
    }
    state = pattern;
    temporary = true;
  } else if (!std::filesystem::create_directories(state, fsError) && fsError) {
    err << "t7315: serve: cannot create " << state << ": " << fsError.message() << "\n";
    return 1;
  }
  state = std::filesystem::absolute(state).lexically_normal().string();
  if (state.size() > 1 && state.back() == '/') state.pop_back();

  const int lock = ClaimStateFolder(state, err);
  if (lock < 0) return 1;
  Console console(out);
  int status = 1;
  try {
    status = Serve(options, state, console, err, signals);
  } catch (const std::exception& e) {
    err << "t7315: serve: " << e.what() << "\n";
  }
  if (temporary) std::filesystem::remove_all(state, fsError);
  close(lock);
  return status;
}

}  // namespace t7315
