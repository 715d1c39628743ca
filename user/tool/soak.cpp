#include "user/tool/soak.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "emulator/chip/cable.h"
#include "emulator/kernel/clock.h"
#include "user/rig/computer.h"
#include "user/tool/dcb_format.h"
#include "user/win32/windows.h"

namespace t7315 {

const char kSoakUsage[] =
    "usage: t7315 soak [--bytes N[K|M]] [--rates R,R,...] [--flow F,F,...] [--slow-reader]\n"
    "\n"
    "Streams N bytes (default 100M) out of and into each port of a simulated\n"
    "chip (COM3 and COM4 on a null-modem cable, COM5 and COM6 on loopback plugs)\n"
    "on the virtual clock, at each rate (default 9600,115200,921600) and with\n"
    "each flow control (none, rtscts, xonxoff, dtrdsr; default the first three),\n"
    "and compares every byte. Exit status 0 when nothing was lost or changed and\n"
    "teardown left nothing behind. --slow-reader reads at half the line's pace:\n"
    "flow control must then hold the sender back (without it, bytes are lost).\n";

namespace {

constexpr DWORD kChunk = 4096;
// Without a byte moving for this long (virtual time) the run has stalled.
constexpr int64_t kStallLimit = 10 * 1000 * kernel::clock::kMillisecond;
constexpr int kPorts = 4;
constexpr int64_t kMs = kernel::clock::kMillisecond;

// Byte `at` of stream `stream`. With XON/XOFF the flow characters are kept
// out of the data, as a user of software flow control must.
uint8_t StreamByte(uint64_t at, unsigned stream, bool noFlowCharacters) {
  uint32_t x = uint32_t(at) * 0x9E3779B1u ^ uint32_t(at >> 32) ^ stream * 0x85EBCA6Bu;
  x ^= x >> 15;
  uint8_t b = uint8_t(x);
  if (noFlowCharacters && (b == 0x11 || b == 0x13)) b |= 0x20;
  return b;
}

const char* FlowName(SoakFlow flow) {
  switch (flow) {
    case SoakFlow::None:
      return "no flow control";
    case SoakFlow::RtsCts:
      return "RTS/CTS";
    case SoakFlow::DtrDsr:
      return "DTR/DSR";
    default:
      return "XON/XOFF";
  }
}

// One port: the stream it sends and the one it receives (its own through a
// loopback plug, the other port's through the cable).
struct Port {
  Port() {
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Port() {
    CloseHandle(write.hEvent);
    CloseHandle(read.hEvent);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
  unsigned sends = 0, receives = 0;
  uint64_t sent = 0, received = 0;
  OVERLAPPED write{}, read{};
  bool writing = false, reading = false;
  int64_t readAgainAt = 0;  // a slow reader's next read
  uint8_t out[kChunk] = {}, in[kChunk] = {};
};

class Round {
 public:
  Round(const SoakOptions& options, unsigned rate, SoakFlow flow)
      : bytes_(options.bytes),
        rate_(rate),
        flow_(flow),
        slowReader_(options.slowReader),
        pc_(rig::ComputerOptions{.abortOnLeaks = false}) {}
  // Empty when every byte arrived unchanged; else what went wrong.
  std::string Run();
  rig::LeakReport Shutdown() { return pc_.Shutdown(); }
  int64_t VirtualTime() const { return kernel::clock::Now() - start_; }

 private:
  std::string Open(Port& p, const rig::Port& port);
  void Issue(Port& p);
  std::string Collect(Port& p);
  bool Done() const;

  const uint64_t bytes_;
  const unsigned rate_;
  const SoakFlow flow_;
  const bool slowReader_;
  rig::Computer pc_;
  Port ports_[kPorts];
  int64_t start_ = 0;
};

std::string Round::Open(Port& p, const rig::Port& port) {
  p.name = port.comName;
  p.handle = CreateFileA(port.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (p.handle == INVALID_HANDLE_VALUE) return p.name + " does not open";
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(p.handle, &dcb);
  dcb.BaudRate = rate_;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fOutxDsrFlow = flow_ == SoakFlow::DtrDsr;
  dcb.fDsrSensitivity = 0;
  dcb.fDtrControl = flow_ == SoakFlow::DtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = flow_ == SoakFlow::RtsCts;
  dcb.fRtsControl = flow_ == SoakFlow::RtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = dcb.fInX = flow_ == SoakFlow::XonXoff;
  SetFlowLimits(dcb);
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!SetCommState(p.handle, &dcb)) return p.name + " refuses its settings";
  // A read returns as soon as bytes are there, or after a second without any.
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
  if (!SetCommTimeouts(p.handle, &timeouts)) return p.name + " refuses its timeouts";
  return "";
}

void Round::Issue(Port& p) {
  if (!p.writing && p.sent < bytes_) {
    DWORD n = DWORD(std::min<uint64_t>(kChunk, bytes_ - p.sent));
    for (DWORD i = 0; i < n; ++i) p.out[i] = StreamByte(p.sent + i, p.sends, flow_ == SoakFlow::XonXoff);
    ResetEvent(p.write.hEvent);
    WriteFile(p.handle, p.out, n, nullptr, &p.write);
    p.writing = true;
  }
  if (!p.reading && p.received < bytes_ && kernel::clock::Now() >= p.readAgainAt) {
    ResetEvent(p.read.hEvent);
    ReadFile(p.handle, p.in, DWORD(std::min<uint64_t>(kChunk, bytes_ - p.received)), nullptr, &p.read);
    p.reading = true;
  }
}

// Takes the port's finished requests; what went wrong, if anything.
std::string Round::Collect(Port& p) {
  DWORD n = 0;
  if (p.writing && WaitForSingleObject(p.write.hEvent, 0) == WAIT_OBJECT_0) {
    p.writing = false;
    if (!GetOverlappedResult(p.handle, &p.write, &n, FALSE))
      return p.name + ": write failed, error " + std::to_string(GetLastError());
    p.sent += n;
  }
  if (p.reading && WaitForSingleObject(p.read.hEvent, 0) == WAIT_OBJECT_0) {
    p.reading = false;
    if (!GetOverlappedResult(p.handle, &p.read, &n, FALSE))
      return p.name + ": read failed, error " + std::to_string(GetLastError());
    // The far end's flow characters arrive among the data; the stream has none.
    bool xonXoff = flow_ == SoakFlow::XonXoff;
    for (DWORD i = 0; i < n; ++i) {
      if (xonXoff && (p.in[i] == 0x11 || p.in[i] == 0x13)) continue;
      if (p.in[i] != StreamByte(p.received, p.receives, xonXoff)) {
        return p.name + ": byte " + std::to_string(p.received) +
               " of what it received differs (lost or changed)";
      }
      ++p.received;
    }
    // A slow reader takes the bytes at half the line's pace.
    if (slowReader_) p.readAgainAt = kernel::clock::Now() + int64_t(n) * 20 * 1000 * kMs / rate_;
  }
  return "";
}

bool Round::Done() const {
  for (const Port& p : ports_) {
    if (p.sent < bytes_ || p.received < bytes_) return false;
  }
  return true;
}

std::string Round::Run() {
  chip::UsbChip& board = pc_.AddChip({.ports = kPorts});
  chip::ConnectNullModem(board.port(0), board.port(1));
  chip::PlugLoopback(board.port(2));
  chip::PlugLoopback(board.port(3));
  pc_.Plug(board);
  for (int i = 0; i < kPorts; ++i) {
    ports_[i].sends = unsigned(i);
    ports_[i].receives = unsigned(i < 2 ? 1 - i : i);
    std::string problem = Open(ports_[i], pc_.Ports().at(i));
    if (!problem.empty()) return problem;
  }
  start_ = kernel::clock::Now();
  int64_t lastProgress = start_;
  std::string problem;
  while (problem.empty() && !Done()) {
    HANDLE events[2 * kPorts];
    DWORD count = 0;
    for (Port& p : ports_) {
      Issue(p);
      if (p.writing) events[count++] = p.write.hEvent;
      if (p.reading) events[count++] = p.read.hEvent;
    }
    if (count == 0) {  // only a slow reader's pause to wait out
      kernel::clock::Sleep(kMs);
      continue;
    }
    DWORD waitMs = slowReader_ ? 1 : 1000;
    if (WaitForMultipleObjects(count, events, FALSE, waitMs) == WAIT_TIMEOUT &&
        kernel::clock::Now() - lastProgress > kStallLimit) {
      problem = "no byte moved for 10 s";
      break;
    }
    for (Port& p : ports_) {
      uint64_t before = p.sent + p.received;
      problem = Collect(p);
      if (!problem.empty()) break;
      if (p.sent + p.received != before) lastProgress = kernel::clock::Now();
    }
  }
  for (Port& p : ports_) {
    if (p.handle != INVALID_HANDLE_VALUE) CloseHandle(p.handle);
  }
  return problem;
}

bool ParseList(const std::string& text, std::vector<std::string>* items) {
  items->clear();
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (item.empty()) return false;
    items->push_back(item);
  }
  return !items->empty();
}

bool ParseBytes(const std::string& text, uint64_t* bytes) {
  size_t end = 0;
  unsigned long long n = 0;
  try {
    n = std::stoull(text, &end);
  } catch (const std::exception&) {
    return false;
  }
  std::string suffix = text.substr(end);
  int shift = suffix.empty() ? 0 : suffix == "K" ? 10 : suffix == "M" ? 20 : -1;
  if (shift < 0 || n == 0 || n > (1ull << 40) >> shift || text[0] == '-') return false;
  *bytes = n << shift;
  return true;
}

}  // namespace

bool ParseSoakOptions(std::span<const std::string> args, SoakOptions* options, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--slow-reader") {
      options->slowReader = true;
      continue;
    }
    if (option != "--bytes" && option != "--rates" && option != "--flow") {
      *error = "unknown option '" + option + "'";
      return false;
    }
    if (i + 1 == args.size()) {
      *error = option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    std::vector<std::string> items;
    if (option == "--bytes") {
      if (!ParseBytes(value, &options->bytes)) {
        *error = "--bytes takes a count of bytes with K or M, 1 to 1T, not '" + value + "'";
        return false;
      }
    } else if (option == "--rates") {
      options->rates.clear();
      bool ok = ParseList(value, &items);
      for (const std::string& item : items) {
        char* end = nullptr;
        unsigned long rate = std::strtoul(item.c_str(), &end, 10);
        ok = ok && *end == '\0' && rate >= 75 && rate <= 3000000 && item[0] != '-';
        options->rates.push_back(unsigned(rate));
      }
      if (!ok) {
        *error = "--rates takes baud rates from 75 to 3000000, separated by commas, not '" + value + "'";
        return false;
      }
    } else {
      options->flows.clear();
      bool ok = ParseList(value, &items);
      for (const std::string& item : items) {
        ok = ok && (item == "none" || item == "rtscts" || item == "xonxoff" || item == "dtrdsr");
        options->flows.push_back(item == "rtscts"    ? SoakFlow::RtsCts
                                 : item == "xonxoff" ? SoakFlow::XonXoff
                                 : item == "dtrdsr"  ? SoakFlow::DtrDsr
                                                     : SoakFlow::None);
      }
      if (!ok) {
        *error = "--flow takes none, rtscts, xonxoff and dtrdsr, separated by commas, not '" + value + "'";
        return false;
      }
    }
  }
  return true;
}

int RunSoak(const SoakOptions& options, std::ostream& out, std::ostream& err) {
  int failures = 0;
  uint64_t total = 0;
  for (unsigned rate : options.rates) {
    for (SoakFlow flow : options.flows) {
      auto started = std::chrono::steady_clock::now();
      Round round(options, rate, flow);
      std::string problem = round.Run();
      double virtualSeconds = double(round.VirtualTime()) / (1000.0 * kernel::clock::kMillisecond);
      rig::LeakReport report = round.Shutdown();
      double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      char line[200];
      std::snprintf(line, sizeof line,
                    "%7u baud, %-15s: 4 ports x %llu bytes each way, %.0f s virtual, %.1f s real: ", rate,
                    FlowName(flow), static_cast<unsigned long long>(options.bytes), virtualSeconds,
                    realSeconds);
      out << line << (problem.empty() ? "every byte arrived" : problem) << "; leaks: " << report.Describe()
          << std::endl;
      if (!problem.empty() || !report.Clean()) {
        ++failures;
        err << "soak: " << rate << " baud, " << FlowName(flow) << ": "
            << (problem.empty() ? "leaks: " + report.Describe() : problem) << "\n";
      } else {
        total += kPorts * options.bytes;
      }
    }
  }
  out << "soak: " << total << " bytes carried and compared, " << failures << " failed setting(s)"
      << std::endl;
  return failures == 0 ? 0 : 1;
}

}  // namespace t7315
