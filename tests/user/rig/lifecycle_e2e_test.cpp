// The driver end to end on the virtual clock: load, four ports named COM3 to
// COM6, traffic through the Win32 API on a null-modem cable and on loopback
// plugs at several rates, stop and restart, surprise removal in the middle of
// traffic, removal and unload with nothing left behind.
#include <sstream>

#include "user/tool/demo.h"
#include "emulator/chip/cable.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "support/driver_fixture.h"
#include "user/win32/windows.h"

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

class EndToEndTest : public DriverTest {
 protected:
  HANDLE Open(const rig::Port& port) {
    HANDLE h = CreateFileA(port.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << port.comName << " error " << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    EXPECT_TRUE(SetCommState(h, &dcb));
    // Every request ends within three seconds, whatever happens to the port.
    COMMTIMEOUTS timeouts{0, 0, 3000, 0, 3000};
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
    return h;
  }
};

struct Pending {
  explicit Pending() { request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Pending() { CloseHandle(request.hEvent); }
  // Its byte count; `ok` tells whether it succeeded.
  DWORD Wait(HANDLE h, bool* ok) {
    DWORD n = 0;
    *ok = GetOverlappedResult(h, &request, &n, TRUE);
    return n;
  }
  OVERLAPPED request{};
};

TEST_F(EndToEndTest, SurpriseRemovalInTheMiddleOfTrafficEndsItsRequestsAndLeavesNothingBehind) {
  chip::UsbChip& board = Pc().AddChip({.ports = 2});
  chip::ConnectNullModem(board.port(0), board.port(1));
  ASSERT_EQ(Pc().Plug(board), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
  HANDLE a = Open(Port(0));
  HANDLE b = Open(Port(1));
  std::vector<uint8_t> out(2000, 0x5A), in(2000);
  Pending write, read;
  ASSERT_FALSE(ReadFile(b, in.data(), DWORD(in.size()), nullptr, &read.request));
  ASSERT_FALSE(WriteFile(a, out.data(), DWORD(out.size()), nullptr, &write.request));
  // About half of it is on its way at 9600 baud.
  kernel::clock::Sleep(1000 * kMs);
  board.Disconnect(0);

  // Both requests end: the write on the gone port fails, the read on the
  // other one returns what crossed the cable before.
  bool ok = true;
  DWORD written = write.Wait(a, &ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(written, out.size());
  DWORD got = read.Wait(b, &ok);
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, out.size());
  EXPECT_TRUE(std::all_of(in.begin(), in.begin() + got, [](uint8_t c) { return c == 0x5A; }));
  // Removal waits for the last handle of the gone port.
  EXPECT_NE(board.Pdo(0), nullptr);
  CloseHandle(a);
  kernel::pnp::WaitForPendingActions();
  EXPECT_EQ(board.Pdo(0), nullptr);
  EXPECT_EQ(kernel::io::FindDevice(u"\\??\\COM3"), nullptr);
  // The other port lives on.
  EXPECT_EQ(Shared(Context(1)->DeviceState), 1u);
  CloseHandle(b);
}

}  // namespace
