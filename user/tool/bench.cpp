#include "user/tool/bench.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "user/tool/pty.h"
#include "user/tool/rfc2217.h"
#include "user/tool/serve_options.h"

extern char** environ;

namespace t7315 {

const char kBenchUsage[] =
    "usage: t7315 bench [--seconds S] [--bus none|full|high]\n"
    "  Starts `t7315 serve` with a loopback plug on COM5 and a null-modem cable\n"
    "  COM3:COM4, and a socat pty pair when socat is installed, and measures\n"
    "  round trips of 1, 16 and 64 bytes at 115200 baud and throughput with\n"
    "  RTS/CTS at 115200, 921600 and 3000000 baud (S seconds of data at the bound each, default\n"
    "  2), over the ptys and over RFC 2217, with the server's CPU per byte; then\n"
    "  a second server with null-modem cables COM3:COM4 and COM5:COM6 carries all\n"
    "  four ports full duplex at 921600 at once. --bus gives the chips a host\n"
    "  controller's frame timing, as `serve --bus` does.\n";

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBase = 17300;  // RFC 2217 base of the server under test
constexpr int kRoundTrips = 20;
// The driver's default MaxWriteLength: the bytes one bulk-out frame carries.
constexpr double kChunk = 32;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A program of ours or socat, its output read for a ready line.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;

  bool Start(const std::vector<std::string>& args) {
    int pipe_[2];
    if (pipe(pipe_) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int status = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    if (status != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_[1]);
    out = fdopen(pipe_[0], "r");
    return status == 0;
  }
  bool AwaitLine(const std::string& prefix) {
    char line[512];
    while (out && fgets(line, sizeof(line), out)) {
      if (std::string(line).rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  // CPU seconds used so far (user and system).
  double Cpu() const {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / double(sysconf(_SC_CLK_TCK));
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGINT);
      waitpid(pid, nullptr, 0);
    }
    if (out) fclose(out);
  }
};

// One end of a port as a program reaches it: a pty, or an RFC 2217 client
// that sends data escaped and drops the server's commands from what it reads.
class End {
 public:
  static std::unique_ptr<End> Terminal(const std::string& path) {
    std::unique_ptr<End> end(new End);
    end->fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    return end->fd_ >= 0 ? std::move(end) : nullptr;
  }
  static std::unique_ptr<End> Telnet(int tcpPort) {
    std::unique_ptr<End> end(new End);
    end->telnet_ = true;
    end->fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int yes = 1;
    setsockopt(end->fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    if (connect(end->fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return nullptr;
    const uint8_t willComPort[] = {telnet::kIac, telnet::kWill, telnet::kComPortOption};
    end->Send(willComPort);
    return end;
  }
  ~End() { close(fd_); }

  // Speed, with RTS/CTS; returns once the port has it.
  bool Set(uint32_t baud) {
    if (!telnet_) return WriteRawTermios(fd_, {.baud = baud, .rtsCts = true});
    std::vector<uint8_t> command = {telnet::kIac, telnet::kSb, telnet::kComPortOption, rfc2217::kSetBaudRate};
    for (int shift = 24; shift >= 0; shift -= 8) {
      command.push_back(uint8_t(baud >> shift));
      if (command.back() == telnet::kIac) command.push_back(telnet::kIac);
    }
    command.insert(command.end(),
                   {telnet::kIac, telnet::kSe, telnet::kIac, telnet::kSb, telnet::kComPortOption,
                    rfc2217::kSetControl, rfc2217::kControlFlowHardware, telnet::kIac, telnet::kSe});
    Send(command);
    uint8_t sink[256];
    const auto start = Clock::now();
    while (!controlAnswered_ && Since(start) < 5) Read(sink, sizeof(sink), 100);
    controlAnswered_ = false;
    return true;
  }
  void Write(std::span<const uint8_t> bytes) {
    if (!telnet_) return Send(bytes);
    std::vector<uint8_t> escaped;
    for (uint8_t b : bytes) {
      escaped.push_back(b);
      if (b == telnet::kIac) escaped.push_back(b);
    }
    Send(escaped);
  }
  // Data read within `timeoutMs`, commands dropped; 0 on time-out.
  size_t Read(uint8_t* buffer, size_t size, int timeoutMs) {
    pollfd fd = {fd_, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) <= 0) return 0;
    const ssize_t n = read(fd_, buffer, size);
    if (n <= 0) return 0;
    return telnet_ ? Unescape(buffer, size_t(n)) : size_t(n);
  }

 private:
  void Send(std::span<const uint8_t> bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = write(fd_, bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) return;
      sent += size_t(n);
    }
  }
  // In place; notes the answer to SET-CONTROL, which Set sends last.
  size_t Unescape(uint8_t* buffer, size_t n) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = buffer[i];
      switch (state_) {
        case 0:
          if (b == telnet::kIac)
            state_ = 1;
          else
            buffer[out++] = b;
          break;
        case 1:
          if (b == telnet::kIac) buffer[out++] = b;
          state_ = b == telnet::kSb ? 3 : (b >= telnet::kWill && b <= telnet::kDont) ? 2 : 0;
          sb_.clear();
          break;
        case 2:
          state_ = 0;
          break;  // the option of a negotiation
        case 3:
          if (b == telnet::kIac)
            state_ = 4;
          else
            sb_.push_back(b);
          break;
        default:
          if (b == telnet::kSe && sb_.size() >= 2 &&
              sb_[1] == rfc2217::kSetControl + rfc2217::kServerOffset) {
            controlAnswered_ = true;
          }
          if (b == telnet::kIac) sb_.push_back(b);
          state_ = b == telnet::kIac ? 3 : 0;
      }
    }
    return out;
  }

  int fd_ = -1;
  bool telnet_ = false;
  int state_ = 0;
  std::vector<uint8_t> sb_;
  bool controlAnswered_ = false;
};

// Reads `count` bytes at most `limit` seconds; the count read.
size_t ReadAll(End& end, size_t count, double limit, uint8_t* into = nullptr) {
  std::vector<uint8_t> buffer(65536);
  size_t got = 0;
  const auto start = Clock::now();
  while (got < count && Since(start) < limit) {
    const size_t n = end.Read(buffer.data(), std::min(buffer.size(), count - got), 100);
    if (into) std::copy_n(buffer.data(), n, into + got);
    got += n;
  }
  return got;
}

// Median round trip in ms of `size` bytes: out at `a`, back at `a` (a
// loopback plug) or through an echo at `b`.
double RoundTrip(End& a, End* b, size_t size) {
  std::vector<uint8_t> bytes(size, 0x55);
  std::vector<double> times;
  for (int i = 0; i < kRoundTrips; ++i) {
    const auto start = Clock::now();
    a.Write(bytes);
    if (b) {
      if (ReadAll(*b, size, 2) < size) return -1;
      b->Write(bytes);
    }
    if (ReadAll(a, size, 2) < size) return -1;
    times.push_back(Since(start) * 1000);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

struct Flow {
  double bytesPerSecond = 0;
  size_t lost = 0;       // never arrived
  bool changed = false;  // what arrived is not what was sent
};

// `count` random bytes from `a` to `b`, written and read at once.
Flow Throughput(End& a, End& b, size_t count, double limit) {
  std::vector<uint8_t> data(count), got(count);
  std::mt19937 random(7315);
  for (uint8_t& byte : data) byte = uint8_t(random());
  const auto start = Clock::now();
  std::thread writer([&] { a.Write(data); });
  const size_t n = ReadAll(b, count, limit, got.data());
  const double seconds = Since(start);
  writer.join();
  return {n / seconds, count - n, !std::equal(got.begin(), got.begin() + n, data.begin())};
}

// Starts `t7315 serve` on `state` with these cables; true once it serves.
bool StartServer(Child& server, const std::string& state, int base, const std::vector<std::string>& cables,
                 const std::string& bus) {
  std::vector<std::string> args = {"/proc/self/exe",     "serve", "--state", state, "--rfc2217",
                                   std::to_string(base), "--bus", bus};
  for (const std::string& cable : cables) args.insert(args.end(), {"--cable", cable});
  return server.Start(args) && server.AwaitLine("serving ");
}

std::string Cell(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Label(const std::string& text) {
  return text + std::string(text.size() < 24 ? 24 - text.size() : 1, ' ');
}

std::string ThroughputRow(const std::string& path, uint32_t baud, const Flow& flow, double bound,
                          double cpuPerByte, double core) {
  return Label(path) + Cell("%8.0f", baud) + Cell("%10.1f", flow.bytesPerSecond / 1000) +
         Cell("%12.1f", bound / 1000) + Cell("%7.1f%%", flow.bytesPerSecond * 100 / bound) +
         Cell("%7.0f", double(flow.lost)) + (flow.changed ? "*" : " ") + Cell("%6.2f", cpuPerByte) +
         Cell("%6.0f%%", core) + "\n";
}

// Two null-modem pairs, every port sending to its partner while it receives
// from it, all at once: a row per direction, each with the server's CPU per
// byte carried over all four and its share of a core.
void FourPortsFullDuplex(const std::string& state, const std::string& bus, double busBound, double seconds,
                         std::ostream& out) {
  constexpr uint32_t kBaud = 921600;
  Child server;
  if (!StartServer(server, state, kBase + 10, {"COM3:COM4", "COM5:COM6"}, bus)) {
    out << "(four ports: the second server did not start)\n";
    return;
  }
  std::vector<std::unique_ptr<End>> ends;
  for (int com = 3; com <= 6; ++com) {
    ends.push_back(End::Terminal(state + "/COM" + std::to_string(com)));
    if (!ends.back() || !ends.back()->Set(kBaud)) {
      out << "(four ports: COM" << com << " cannot be opened)\n";
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double bound = std::min(kBaud / 10.0, busBound);
  const size_t count = size_t(bound * seconds);
  out << "\nall four ports full duplex at once (a second server, null modems COM3:COM4 and COM5:COM6;\n"
      << "us/B and core: the server's CPU over the four directions together)\n"
      << Label("path") << "    baud      KB/s  bound KB/s       %   lost   us/B  core\n";
  const int partner[4] = {1, 0, 3, 2};
  Flow flows[4];
  const double cpuBefore = server.Cpu();
  const auto start = Clock::now();
  std::vector<std::thread> directions;
  for (int i = 0; i < 4; ++i) {
    directions.emplace_back(
        [&, i] { flows[i] = Throughput(*ends[i], *ends[partner[i]], count, seconds * 3 + 5); });
  }
  for (std::thread& direction : directions) direction.join();
  const double cpu = server.Cpu() - cpuBefore, elapsed = Since(start);
  for (int i = 0; i < 4; ++i) {
    out << ThroughputRow("4 ports, COM" + std::to_string(3 + i) + " to COM" + std::to_string(3 + partner[i]),
                         kBaud, flows[i], bound, cpu * 1e6 / double(4 * count), cpu * 100 / elapsed);
  }
}

}  // namespace

int RunBench(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  double seconds = 2;
  std::string bus = "none";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--bus" && i + 1 < args.size() && BusFrame(args[i + 1]) >= 0) {
      bus = args[++i];
      continue;
    }
    if (args[i] == "--seconds") {
      seconds = i + 1 < args.size() ? std::atof(args[++i].c_str()) : 0;
      if (seconds > 0 && seconds <= 60) continue;
      err << "t7315: bench: --seconds wants a number from 0 to 60 (not 0), got '"
          << (i < args.size() ? args[i] : "") << "'\n";
      return 2;
    } else {
      err << "t7315: bench: unknown argument '" << args[i] << "'\n" << kBenchUsage;
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  char folder[] = "/tmp/t7315-bench-XXXXXX";
  if (!mkdtemp(folder)) {
    err << "t7315: bench: cannot create a temporary folder\n";
    return 1;
  }
  const std::string state = folder;
  int status = 1;
  {
    Child server, socat;
    const bool served = StartServer(server, state, kBase, {"COM3:COM4", "COM5:loop"}, bus);
    const bool paired = socat.Start(
        {"socat", "pty,raw,echo=0,link=" + state + "/socatA", "pty,raw,echo=0,link=" + state + "/socatB"});
    for (int i = 0; paired && i < 50 && !std::filesystem::exists(state + "/socatB"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto socatA = End::Terminal(state + "/socatA"), socatB = End::Terminal(state + "/socatB");
    if (!served) {
      err << "t7315: bench: the server did not start\n";
    } else {
      auto open = [&](bool telnet, int com) {
        return telnet ? End::Telnet(kBase + com) : End::Terminal(state + "/COM" + std::to_string(com));
      };
      out << "round trip at 115200 baud, median of " << kRoundTrips << " (ms; wire time 1/16/64 B: "
          << "0.09/1.39/5.56)\n";
      out << Label("path") << "     1 B     16 B     64 B\n";
      for (bool telnet : {false, true}) {
        auto loop = open(telnet, 5);
        loop->Set(115200);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out << Label(telnet ? "loopback, RFC 2217" : "loopback, pty");
        for (size_t size : {1, 16, 64}) out << Cell("%9.2f", RoundTrip(*loop, nullptr, size));
        out << "\n";
      }
      if (socatA && socatB) {
        out << Label("socat pty pair, echoed");
        for (size_t size : {1, 16, 64}) out << Cell("%9.2f", RoundTrip(*socatA, socatB.get(), size));
        out << "\n";
      }
      // Per second: a frame's chunk, or no limit without frames.
      const double busBound =
          BusFrame(bus) > 0 ? kChunk * 1000.0 * chip::kMillisecond / double(BusFrame(bus)) : 1e18;
      out << "\nthroughput with RTS/CTS, " << seconds << " s of data each, bus " << bus
          << " (KB/s; the bound, the smaller of the line's rate/10\n"
          << "and " << kChunk
          << " bytes a bus frame; bytes lost (* when what arrived differs); server CPU in\n"
          << "microseconds per byte and % of a core)\n";
      out << Label("path") << "    baud      KB/s  bound KB/s       %   lost   us/B  core\n";
      for (bool telnet : {false, true}) {
        for (bool loopback : {true, false}) {
          auto a = open(telnet, loopback ? 5 : 3);
          auto b = loopback ? nullptr : open(telnet, 4);
          for (uint32_t baud : {115200u, 921600u, 3000000u}) {
            a->Set(baud);
            if (b) b->Set(baud);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const double bound = std::min(baud / 10.0, busBound);
            const size_t count = size_t(bound * seconds);
            const double cpuBefore = server.Cpu();
            const auto start = Clock::now();
            const Flow flow = Throughput(*a, b ? *b : *a, count, seconds * 3 + 5);
            const double cpu = server.Cpu() - cpuBefore, elapsed = Since(start);
            out << ThroughputRow(
                std::string(loopback ? "loopback" : "COM3 to COM4") + (telnet ? ", RFC 2217" : ", pty"), baud,
                flow, bound, cpu * 1e6 / double(count), cpu * 100 / elapsed);
          }
        }
      }
      if (socatA && socatB) {
        const size_t count = size_t(3000000 / 10 * seconds);
        const Flow flow = Throughput(*socatA, *socatB, count, seconds * 3 + 5);
        out << Label("socat pty pair") << "       -" << Cell("%10.1f", flow.bytesPerSecond / 1000)
            << "           -       -" << Cell("%7.0f", double(flow.lost)) << (flow.changed ? "*" : " ")
            << "\n";
      } else {
        out << "(no socat pair: install socat to compare)\n";
      }
      FourPortsFullDuplex(state + "/four", bus, busBound, seconds, out);
      status = 0;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(state, ignored);
  return status;
}

}  // namespace t7315
