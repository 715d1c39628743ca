// Removal at a random instant: per seed, two chips of two ports carry
// full-duplex traffic with a read, a write and a WaitCommEvent pending on
// each port through the Win32 API; one fault is injected on one port and one
// chip goes (surprise or orderly) at a random moment of the virtual clock.
// Every request must end, every handle close, the ports that remain must open
// and carry data again, and teardown must leave nothing behind.
//
// T7315_SEEDS=first-last picks the seeds (make soak runs thousands); a
// failure names its seed.
#include <cstdlib>
#include <functional>
#include <random>

#include "emulator/chip/cable.h"
#include "emulator/kernel/pnp_manager.h"
#include "support/driver_fixture.h"
#include "user/win32/windows.h"

namespace {

constexpr int kChips = 2, kPortsPerChip = 2, kPorts = kChips * kPortsPerChip;
constexpr DWORD kLength = 3000;

// The faults one port may be given: none, or one of its pipes stalled,
// failing or never answering.
const std::function<void(chip::Port&)> kFaults[] = {
    [](chip::Port&) {},
    [](chip::Port& p) { p.FailNext(chip::Pipe::BulkIn, USBD_STATUS_STALL_PID); },
    [](chip::Port& p) { p.FailNext(chip::Pipe::BulkOut, USBD_STATUS_DEV_NOT_RESPONDING); },
    [](chip::Port& p) { p.NeverComplete(chip::Pipe::BulkOut); },
    [](chip::Port& p) { p.NeverComplete(chip::Pipe::BulkIn); },
    [](chip::Port& p) { p.StallControlTransfers(3); },
    [](chip::Port& p) { p.FailNext(chip::Pipe::Control, USBD_STATUS_DEV_NOT_RESPONDING); },
};

struct Plan {
  size_t fault;  // in kFaults
  int faultPort;
  int removedChip;
  bool surprise;
  int64_t removeAfterMs;
  bool timeouts;  // read and write timeouts set, else only closing ends the requests
  DWORD baud;
};

Plan PlanFor(uint32_t seed) {
  std::mt19937 rng(seed);
  Plan p{};
  p.fault = rng() % std::size(kFaults);
  p.faultPort = int(rng() % kPorts);
  p.removedChip = int(rng() % kChips);
  p.surprise = rng() % 3 != 0;
  p.removeAfterMs = int64_t(rng() % 4000);
  p.timeouts = rng() % 2 == 0;
  p.baud = rng() % 2 == 0 ? 9600 : 115200;
  return p;
}

// One overlapped request with its own event.
struct Request {
  Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(overlapped.hEvent); }
  OVERLAPPED overlapped{};
};

struct OpenPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> out = std::vector<uint8_t>(kLength), in = std::vector<uint8_t>(kLength);
  DWORD events = 0;
  Request read, write, wait;
};

// One seed's computer: its own machine on the virtual clock.
class Round {
 public:
  explicit Round(const Plan& plan) : plan_(plan), pc_(rig::ComputerOptions{.abortOnLeaks = false}) {}
  void Run();
  rig::LeakReport Shutdown() { return pc_.Shutdown(); }

 private:
  const rig::Port& Port(int i) const { return pc_.Ports().at(i); }
  static constexpr int64_t kMs = kernel::clock::kMillisecond;

  static HANDLE Open(const rig::Port& port, const Plan& plan) {
    HANDLE h = CreateFileA(port.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    DCB dcb{};
    GetCommState(h, &dcb);
    BuildCommDCBA(plan.baud == 9600 ? "9600,n,8,1" : "115200,n,8,1", &dcb);
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{};
    if (plan.timeouts) timeouts = {0, 0, 2000, 0, 2000};
    SetCommTimeouts(h, &timeouts);
    return h;
  }

  // Starts the read, the write and the wait; a request that ends at once is
  // not pending, which is fine.
  static void Start(OpenPort& p, uint8_t tag) {
    for (DWORD i = 0; i < kLength; ++i) p.out[i] = uint8_t(tag + i);
    SetCommMask(p.handle, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR);
    ReadFile(p.handle, p.in.data(), kLength, nullptr, &p.read.overlapped);
    WriteFile(p.handle, p.out.data(), kLength, nullptr, &p.write.overlapped);
    WaitCommEvent(p.handle, &p.events, &p.wait.overlapped);
  }

  void Remove(int chip, bool surprise) {
    chip::UsbChip& board = *Port(chip * kPortsPerChip).chip;
    if (surprise) {
      board.Unplug();
      return;
    }
    for (int i = 0; i < kPortsPerChip; ++i) {
      NTSTATUS status = kernel::pnp::QueryRemoveAndRemove(board.Pdo(i));
      // Open handles veto an orderly removal.
      EXPECT_TRUE(status == STATUS_SUCCESS || status == kernel::pnp::kVetoOutstandingOpen) << status;
    }
  }

  // Bytes written on `from` arrive on `to` within a second.
  static bool Carries(HANDLE from, HANDLE to) {
    const char text[] = "still here";
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 1000};
    SetCommTimeouts(from, &timeouts);
    SetCommTimeouts(to, &timeouts);
    PurgeComm(to, PURGE_RXCLEAR);
    Request write, read;
    char got[sizeof text] = {};
    DWORD n = 0;
    WriteFile(from, text, sizeof text, nullptr, &write.overlapped);
    ReadFile(to, got, sizeof text, nullptr, &read.overlapped);
    bool wrote = GetOverlappedResult(from, &write.overlapped, &n, TRUE) && n == sizeof text;
    return wrote && GetOverlappedResult(to, &read.overlapped, &n, TRUE) && n == sizeof text &&
           std::equal(text, text + sizeof text, got);
  }

  const Plan plan_;
  rig::Computer pc_;
};

void Round::Run() {
  const Plan& plan = plan_;
  // Port 0 of each chip to port 0 of the other by a null-modem cable, port 1
  // of each on a loopback plug.
  chip::UsbChip& a = pc_.AddChip({.ports = kPortsPerChip});
  chip::UsbChip& b = pc_.AddChip({.ports = kPortsPerChip});
  chip::ConnectNullModem(a.port(0), b.port(0));
  chip::PlugLoopback(a.port(1));
  chip::PlugLoopback(b.port(1));
  pc_.Plug(a);
  pc_.Plug(b);
  std::vector<OpenPort> ports(kPorts);
  for (int i = 0; i < kPorts; ++i) {
    ports[i].handle = Open(Port(i), plan);
    ASSERT_NE(ports[i].handle, INVALID_HANDLE_VALUE) << Port(i).comName;
  }
  kFaults[plan.fault](Port(plan.faultPort).chip->port(Port(plan.faultPort).index));
  for (int i = 0; i < kPorts; ++i) Start(ports[i], uint8_t(i * 64));
  kernel::clock::Sleep(plan.removeAfterMs * kMs);
  Remove(plan.removedChip, plan.surprise);
  kernel::clock::Sleep(500 * kMs);

  // Closing ends whatever is still pending, on every port.
  for (OpenPort& p : ports) EXPECT_TRUE(CloseHandle(p.handle));
  for (int i = 0; i < kPorts; ++i) {
    for (Request* r : {&ports[i].read, &ports[i].write, &ports[i].wait}) {
      EXPECT_EQ(WaitForSingleObject(r->overlapped.hEvent, 5000), WAIT_OBJECT_0)
          << Port(i).comName << " request " << (r - &ports[i].read) << " still pending";
    }
    // What arrived is what was sent, in order, from the port at the far end;
    // a far end that lost power may have cut its last character short.
    int from = i % kPortsPerChip == 1 ? i : (i + kPortsPerChip) % kPorts;
    DWORD got = DWORD(ports[i].read.overlapped.InternalHigh);
    if (from / kPortsPerChip == plan.removedChip && plan.surprise && got > 0) --got;
    EXPECT_TRUE(std::equal(ports[i].in.begin(), ports[i].in.begin() + got, ports[from].out.begin()))
        << Port(i).comName << " received other bytes";
  }
  kernel::pnp::WaitForPendingActions();

  // Every port that is still there opens again, and those on a loopback plug
  // carry data; the ports of an unplugged chip are gone.
  for (int i = 0; i < kPorts; ++i) {
    const bool gone = plan.surprise && i / kPortsPerChip == plan.removedChip;
    HANDLE h = Open(Port(i), plan);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, gone) << Port(i).comName;
    if (h == INVALID_HANDLE_VALUE) continue;
    if (i % kPortsPerChip == 1) {
      EXPECT_TRUE(Carries(h, h)) << Port(i).comName;
    }
    CloseHandle(h);
  }
}

// "first-last" from T7315_SEEDS, else the suite's few dozen.
std::pair<uint32_t, uint32_t> Seeds() {
  const char* text = std::getenv("T7315_SEEDS");
  unsigned first = 1, last = 16;
  if (text != nullptr && std::sscanf(text, "%u-%u", &first, &last) < 2) last = first;
  return {first, last};
}

TEST(RandomRemoval, EveryRequestEndsAndNothingIsLeftBehind) {
  auto [first, last] = Seeds();
  for (uint32_t seed = first; seed <= last; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Round round(PlanFor(seed));
    round.Run();
    rig::LeakReport report = round.Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Describe();
  }
}

}  // namespace
