#include "user/tool/demo.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

#include "emulator/chip/cable.h"
#include "emulator/kernel/clock.h"
#include "emulator/kernel/pnp_manager.h"
#include "user/rig/computer.h"
#include "user/tool/serve_options.h"
#include "user/win32/windows.h"

namespace t7315 {
namespace {

// Reads a decimal number within [low, high]; false on anything else.
bool ParseNumber(const std::string& text, unsigned long low, unsigned long high, unsigned long* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stoul(text);
  return *value >= low && *value <= high;
}

bool ParseRates(const std::string& text, std::vector<unsigned>* rates) {
  rates->clear();
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    unsigned long rate;
    if (!ParseNumber(item, 1, 4'000'000, &rate)) return false;
    rates->push_back(static_cast<unsigned>(rate));
  }
  return !rates->empty() && text.back() != ',';
}

std::string Win32Error(const char* what) {
  return std::string(what) + " failed with error " + std::to_string(GetLastError());
}

// An open COM port, closed when it goes.
class PortHandle {
 public:
  PortHandle(const rig::Port& port) : name_(port.comName) {
    handle_ = CreateFileA(port.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) failure_ = Win32Error("CreateFileA");
  }
  ~PortHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;

  const std::string& Name() const { return name_; }
  HANDLE Handle() const { return handle_; }
  const std::string& Failure() const { return failure_; }

  // 8 data bits, no parity, one stop bit, no flow control, at `rate`; reads
  // end at the latest `readLimitMs` after they start.
  bool Configure(unsigned rate, DWORD readLimitMs) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = rate;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle_, &dcb)) return Fail("SetCommState");
    COMMTIMEOUTS timeouts{0, 0, readLimitMs, 0, 0};
    if (!SetCommTimeouts(handle_, &timeouts)) return Fail("SetCommTimeouts");
    return true;
  }

 private:
  bool Fail(const char* what) {
    failure_ = Win32Error(what);
    return false;
  }

  std::string name_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string failure_;
};

// One direction of traffic in flight: an overlapped write on `from` and an
// overlapped read of as many bytes on `to`.
struct Flow {
  PortHandle* from;
  PortHandle* to;
  std::vector<uint8_t> data, received;
  OVERLAPPED write{}, read{};
  TransferResult result;
};

std::vector<uint8_t> Pattern(size_t bytes, unsigned seed) {
  std::vector<uint8_t> data(bytes);
  uint32_t x = 0x9E3779B9u * (seed + 1);
  for (uint8_t& b : data) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return data;
}

// Waits for one overlapped request; its byte count, or a failure text.
bool Finish(HANDLE handle, OVERLAPPED* request, const char* what, unsigned* bytes, std::string* failure) {
  DWORD done = 0;
  BOOL ok = GetOverlappedResult(handle, request, &done, TRUE);
  *bytes = done;
  if (!ok && failure->empty()) *failure = Win32Error(what);
  CloseHandle(request->hEvent);
  return ok;
}

void Start(Flow& f, unsigned rate, unsigned bytes, unsigned seed) {
  f.data = Pattern(bytes, seed);
  f.received.assign(bytes, 0);
  f.result.from = f.from->Name();
  f.result.to = f.to->Name();
  f.result.rate = rate;
  f.read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  f.write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ReadFile(f.to->Handle(), f.received.data(), bytes, nullptr, &f.read) &&
      GetLastError() != ERROR_IO_PENDING) {
    f.result.failure = Win32Error("ReadFile");
  }
  if (!WriteFile(f.from->Handle(), f.data.data(), bytes, nullptr, &f.write) &&
      GetLastError() != ERROR_IO_PENDING) {
    f.result.failure = Win32Error("WriteFile");
  }
}

void Collect(Flow& f, int64_t started) {
  Finish(f.from->Handle(), &f.write, "WriteFile", &f.result.sent, &f.result.failure);
  Finish(f.to->Handle(), &f.read, "ReadFile", &f.result.received, &f.result.failure);
  f.result.seconds = double(kernel::clock::Now() - started) / kernel::clock::kSecond;
  for (unsigned i = 0; i < f.result.received && i < f.data.size(); ++i)
    f.result.wrong += f.received[i] != f.data[i];
}

constexpr size_t kDemoRxFifoDepth = 16384;

// Bits on the wire for one byte at 8N1.
constexpr unsigned kBitsPerByte = 10;

DWORD ReadLimitMs(unsigned rate, unsigned bytes) {
  uint64_t wire = uint64_t(bytes) * kBitsPerByte * 1000 / rate;
  return static_cast<DWORD>(std::min<uint64_t>(wire * 3 + 2000, MAXDWORD - 1));
}

// Runs every flow at once; the results in the order of `pairs`.
std::vector<TransferResult> RunFlows(const std::vector<std::pair<PortHandle*, PortHandle*>>& pairs,
                                     unsigned rate, unsigned bytes) {
  std::vector<std::unique_ptr<Flow>> flows;
  int64_t started = kernel::clock::Now();
  unsigned seed = rate;
  for (auto [from, to] : pairs) {
    flows.push_back(std::make_unique<Flow>());
    flows.back()->from = from;
    flows.back()->to = to;
    Start(*flows.back(), rate, bytes, seed++);
  }
  std::vector<TransferResult> results;
  for (auto& f : flows) {
    Collect(*f, started);
    results.push_back(f->result);
  }
  return results;
}

void PrintResult(std::ostream& out, const TransferResult& r) {
  out << "  " << std::left << std::setw(7) << r.from << "-> " << std::setw(7) << r.to << std::right
      << std::setw(8) << r.rate << " baud " << std::setw(8) << r.received << "/" << r.sent << " bytes "
      << std::fixed << std::setprecision(3) << std::setw(8) << r.seconds << " s " << std::setw(5)
      << r.Errors() << " errors";
  if (!r.failure.empty()) out << "  (" << r.failure << ")";
  out << "\n";
}

void PrintTable(std::ostream& out, const std::vector<TransferResult>& results) {
  out << "\nsummary\n  " << std::left << std::setw(7) << "from"
      << "   " << std::setw(7) << "to" << std::right << std::setw(8) << "rate"
      << "      " << std::setw(17) << "bytes"
      << "      " << std::setw(8) << "time"
      << "   " << std::setw(5) << "errors\n";
  for (const TransferResult& r : results) PrintResult(out, r);
}

// Every flow of the ports: 0 <-> 1 on the null-modem cable, each further
// port back to itself through its loopback plug (port 0 alone: loopback).
std::vector<std::pair<PortHandle*, PortHandle*>> Flows(std::vector<std::unique_ptr<PortHandle>>& ports) {
  std::vector<std::pair<PortHandle*, PortHandle*>> pairs;
  size_t first = 0;
  if (ports.size() >= 2) {
    pairs.emplace_back(ports[0].get(), ports[1].get());
    pairs.emplace_back(ports[1].get(), ports[0].get());
    first = 2;
  }
  for (size_t i = first; i < ports.size(); ++i) pairs.emplace_back(ports[i].get(), ports[i].get());
  return pairs;
}

class Demo {
 public:
  Demo(const DemoOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int Run() {
    out_ << "t7315 demo: " << options_.ports << " port(s), " << options_.bytes
         << " bytes per transfer each way\n";
    std::optional<rig::Computer> computer;
    try {
      computer.emplace(
          rig::ComputerOptions{.clock = options_.clock, .abortOnLeaks = false, .image = options_.image});
    } catch (const std::exception& e) {
      Fail("start", e.what());
      out_ << "demo FAILED\n";
      return 1;
    }
    rig::Computer& pc = *computer;
    out_ << "driver: " << (options_.image.empty() ? "natively built" : "Windows image " + options_.image)
         << "\n";
    bool ok = PlugAndOpen(pc) && Traffic() && StopAndRestart(pc);
    ports_.clear();
    rig::LeakReport report = pc.Shutdown();
    out_ << "devices removed, driver unloaded: " << report.Describe() << "\n";
    if (!results_.empty()) PrintTable(out_, results_);
    if (ok && !report.Clean()) ok = Fail("teardown", report.Describe());
    for (const TransferResult& r : results_) {
      if (ok && r.Errors() != 0)
        ok = Fail("traffic", r.from + " -> " + r.to + " at " + std::to_string(r.rate) + " baud had " +
                                 std::to_string(r.Errors()) + " error(s)");
    }
    out_ << (ok ? "demo passed\n" : "demo FAILED\n");
    return ok ? 0 : 1;
  }

 private:
  bool Fail(const std::string& step, const std::string& why) {
    err_ << "t7315 demo: " << step << ": " << why << "\n";
    return false;
  }

  bool PlugAndOpen(rig::Computer& pc) {
    // Deep receive FIFOs: the emulation runs on real time next to whatever
    // else the host runs, and a pause of the host must not show as overruns.
    chip::UsbChip& board = pc.AddChip(
        {.ports = options_.ports, .bulkOutFrame = options_.busFrame, .rxFifoDepth = kDemoRxFifoDepth});
    if (options_.ports >= 2) chip::ConnectNullModem(board.port(0), board.port(1));
    for (int i = options_.ports >= 2 ? 2 : 0; i < options_.ports; ++i) chip::PlugLoopback(board.port(i));
    std::vector<NTSTATUS> starts = pc.Plug(board);
    for (const rig::Port& port : pc.Ports()) {
      PDEVICE_OBJECT device = pc.PortDevice(port);
      out_ << "port " << port.index << ": " << port.comName << " started with status 0x" << std::hex
           << std::setw(8) << std::setfill('0') << ULONG(port.startStatus) << std::dec << std::setfill(' ')
           << (device != nullptr ? "" : ", no device") << "\n";
      if (!NT_SUCCESS(port.startStatus) || device == nullptr)
        return Fail("start", port.comName + " did not start");
    }
    for (const rig::Port& port : pc.Ports()) {
      ports_.push_back(std::make_unique<PortHandle>(port));
      if (!ports_.back()->Failure().empty()) return Fail("open " + port.comName, ports_.back()->Failure());
    }
    out_ << "opened";
    for (auto& p : ports_) out_ << " " << p->Name();
    out_ << "\n";
    return true;
  }

  bool RunAt(unsigned rate, const std::vector<std::pair<PortHandle*, PortHandle*>>& pairs) {
    for (auto& p : ports_) {
      if (!p->Configure(rate, ReadLimitMs(rate, options_.bytes)))
        return Fail(p->Name() + " at " + std::to_string(rate), p->Failure());
    }
    for (const TransferResult& r : RunFlows(pairs, rate, options_.bytes)) {
      PrintResult(out_, r);
      results_.push_back(r);
    }
    return true;
  }

  bool Traffic() {
    out_ << "traffic (" << (options_.ports >= 2 ? "null-modem cable between the first two ports, " : "")
         << "loopback plugs on the others)\n";
    for (unsigned rate : options_.rates) {
      if (!RunAt(rate, Flows(ports_))) return false;
    }
    return true;
  }

  // The first port is stopped and started again by the Plug and Play
  // manager while closed, then carries traffic once more.
  bool StopAndRestart(rig::Computer& pc) {
    ports_.clear();
    out_ << "ports closed; stopping and restarting " << pc.Ports()[0].comName << "\n";
    PDEVICE_OBJECT pdo = pc.Ports()[0].chip->Pdo(0);
    NTSTATUS status = kernel::pnp::QueryStopAndStop(pdo);
    if (NT_SUCCESS(status)) status = kernel::pnp::Restart(pdo);
    if (!NT_SUCCESS(status)) return Fail("stop and restart", "status " + std::to_string(status));
    for (const rig::Port& port : pc.Ports()) {
      ports_.push_back(std::make_unique<PortHandle>(port));
      if (!ports_.back()->Failure().empty()) return Fail("reopen " + port.comName, ports_.back()->Failure());
    }
    out_ << "after the restart\n";
    return RunAt(options_.rates.front(), Flows(ports_));
  }

  const DemoOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::unique_ptr<PortHandle>> ports_;
  std::vector<TransferResult> results_;
};

}  // namespace

void PrintDemoUsage(std::ostream& out) {
  out << "usage: t7315 demo [--ports N] [--rates R1,R2,...] [--bytes N] [--bus KIND] [--image FILE]\n"
         "\n"
         "Loads the driver on an emulated computer, plugs a simulated chip, opens every\n"
         "port through the Win32 serial API and runs full-duplex traffic between the\n"
         "first two ports (null-modem cable) and through loopback plugs on the others,\n"
         "at each rate; then closes, stops and restarts the first port, removes the\n"
         "devices, unloads the driver and checks that nothing leaked. Runs on real time.\n"
         "\n"
         "options:\n"
         "  --ports N          ports of the chip, 1 to "
      << kDemoMaxPorts
      << " (default 4)\n"
         "  --rates R1,R2,...  baud rates to run the traffic at (default 9600,38400,115200)\n"
         "  --bytes N          bytes per transfer and direction, 1 to "
      << kDemoMaxBytes
      << " (default 2048)\n"
         "  --bus KIND         the USB host controller's frame timing for bulk-out: none\n"
         "                     (default), full (1 ms frames) or high (125 us micro-frames)\n"
         "  --image FILE       run the Windows driver image FILE (t7315ser.sys) instead of\n"
         "                     the natively built driver (default: $T7315_IMAGE, if set)\n"
         "  -h, --help         show this text\n"
         "\n"
         "Exits 0 when every byte arrived intact and nothing leaked, 1 otherwise.\n";
}

bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions* options, bool* help,
                      std::string* error) {
  *help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    if (name == "-h" || name == "--help") {
      *help = true;
      return true;
    }
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    } else if (name == "--ports" || name == "--rates" || name == "--bytes" || name == "--bus" ||
               name == "--image") {
      if (i + 1 == args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    unsigned long number;
    if (name == "--ports") {
      if (!ParseNumber(value, 1, kDemoMaxPorts, &number)) {
        *error =
            "--ports wants a number from 1 to " + std::to_string(kDemoMaxPorts) + ", got '" + value + "'";
        return false;
      }
      options->ports = static_cast<int>(number);
    } else if (name == "--bytes") {
      if (!ParseNumber(value, 1, kDemoMaxBytes, &number)) {
        *error =
            "--bytes wants a number from 1 to " + std::to_string(kDemoMaxBytes) + ", got '" + value + "'";
        return false;
      }
      options->bytes = static_cast<unsigned>(number);
    } else if (name == "--bus") {
      options->busFrame = BusFrame(value);
      if (options->busFrame < 0) {
        *error = "--bus wants none, full or high, got '" + value + "'";
        return false;
      }
    } else if (name == "--image") {
      if (value.empty()) {
        *error = "--image wants a driver image file";
        return false;
      }
      options->image = value;
    } else if (name == "--rates") {
      if (!ParseRates(value, &options->rates)) {
        *error = "--rates wants baud rates separated by commas, got '" + value + "'";
        return false;
      }
    } else {
      *error = "unknown demo option '" + args[i] + "'";
      return false;
    }
  }
  return true;
}

int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
  return Demo(options, out, err).Run();
}

}  // namespace t7315
