// The Win32 serial API through the real driver on an emulated computer with
// a simulated chip: settings, lines, holds, errors, events, purge,
// properties and data between two ports, all on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "emulator/chip/cable.h"
#include "emulator/chip/model_lock.h"
#include "user/rig/computer.h"
#include "user/win32/windows.h"

namespace win32test {
namespace {

enum class Wiring { Loopback, NullModem };

class Driver : public ::testing::Test {
 protected:
  void Bring(Wiring wiring) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pc_.emplace();
    chip::UsbChip& board = pc_->AddChip({.ports = 2});
    {
      chip::ModelGuard guard;
      if (wiring == Wiring::Loopback) chip::PlugLoopback(board.port(0));
      if (wiring == Wiring::NullModem) chip::ConnectNullModem(board.port(0), board.port(1));
    }
    for (NTSTATUS status : pc_->Plug(board)) ASSERT_EQ(status, STATUS_SUCCESS);
    board_ = &board;
  }

  void TearDown() override {
    for (HANDLE h : open_) CloseHandle(h);
    if (pc_) {
      EXPECT_TRUE(pc_->Shutdown().Clean());
    }
  }

  HANDLE Open(const char* name, DWORD flags = 0) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    open_.push_back(h);
    return h;
  }

  // Reads with a total time-out until `count` bytes came or nothing more does.
  static std::string ReadAll(HANDLE h, size_t count) {
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
    std::string data;
    while (data.size() < count) {
      char buffer[512];
      DWORD got = 0;
      const DWORD want = DWORD(std::min(sizeof buffer, count - data.size()));
      if (!ReadFile(h, buffer, want, &got, nullptr) || got == 0) break;
      data.append(buffer, got);
    }
    return data;
  }

  static DWORD ModemStatus(HANDLE h) {
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(h, &status));
    return status;
  }

  static COMSTAT Stat(HANDLE h, DWORD* errors = nullptr) {
    COMSTAT stat{};
    DWORD ignored;
    EXPECT_TRUE(ClearCommError(h, errors ? errors : &ignored, &stat));
    return stat;
  }

  std::optional<rig::Computer> pc_;
  chip::UsbChip* board_ = nullptr;
  std::vector<HANDLE> open_;
};

TEST_F(Driver, EverySupportedRateAndLineFormatRoundTrips) {
  Bring(Wiring::Loopback);
  HANDLE h = Open("\\\\.\\COM3");
  const DWORD rates[] = {50,     75,     110,    135,    150,    300,     600,     1200,    1800,   2000,
                         2400,   3600,   4800,   7200,   9600,   14400,   19200,   38400,   56000,  57600,
                         115200, 230400, 460800, 921600, 560000, 576000,  1152000, 128000,  249600, 256000,
                         499200, 500000, 748800, 1497600, 1500000, 1000000, 3000000};
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  for (DWORD rate : rates) {
    SCOPED_TRACE(rate);
    dcb.BaudRate = rate;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    DCB read{};
    ASSERT_TRUE(GetCommState(h, &read));
    EXPECT_EQ(read.BaudRate, rate);
  }
  dcb.BaudRate = 9600;
  for (BYTE data = 5; data <= 8; ++data)
    for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity)
      for (BYTE stop : {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS}) {
        SCOPED_TRACE(testing::Message() << int(data) << "/" << int(parity) << "/" << int(stop));
        dcb.ByteSize = data;
        dcb.Parity = parity;
        dcb.StopBits = stop;
        // One and a half stop bits go with five data bits only, two with six or more.
        const bool valid = stop == ONESTOPBIT || (stop == ONE5STOPBITS) == (data == 5);
        SetLastError(0);
        EXPECT_EQ(SetCommState(h, &dcb), valid ? TRUE : FALSE);
        DCB read{};
        ASSERT_TRUE(GetCommState(h, &read));
        if (!valid) {
          EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
          continue;
        }
        EXPECT_EQ(read.ByteSize, data);
        EXPECT_EQ(read.Parity, parity);
        EXPECT_EQ(read.StopBits, stop);
      }
  // Handshake and special characters.
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
  dcb.XonChar = 'Q';
  dcb.XoffChar = 'S';
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\r';
  dcb.XonLim = 128;
  dcb.XoffLim = 512;
  ASSERT_TRUE(SetCommState(h, &dcb));
  DCB read{};
  ASSERT_TRUE(GetCommState(h, &read));
  dcb.fParity = FALSE;
  EXPECT_EQ(std::memcmp(&read, &dcb, sizeof dcb), 0);
}

TEST_F(Driver, AnUnsupportedRateFailsAndTheChipKeepsTheOldOne) {
  Bring(Wiring::Loopback);
  HANDLE h = Open("COM3");
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 19200;
  ASSERT_TRUE(SetCommState(h, &dcb));
  dcb.BaudRate = 1201;
  dcb.ByteSize = 7;
  SetLastError(0);
  EXPECT_FALSE(SetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  DCB read{};
  ASSERT_TRUE(GetCommState(h, &read));
  EXPECT_EQ(read.BaudRate, 19200u);
  EXPECT_EQ(read.ByteSize, 8);
  EXPECT_NEAR(board_->port(0).Settings().rate, 19200, 1);
  EXPECT_EQ(board_->port(0).Settings().dataBits, 8);
  // The port still talks at its rate.
  DWORD written;
  ASSERT_TRUE(WriteFile(h, "ok", 2, &written, nullptr));
  EXPECT_EQ(ReadAll(h, 2), "ok");
}

TEST_F(Driver, OneEndsLinesAreTheOtherEndsInputs) {
  Bring(Wiring::NullModem);
  HANDLE a = Open("COM3"), b = Open("COM4");
  struct Step {
    DWORD function;
    DWORD seen;  // by b, of CTS, DSR and RLSD
  };
  const Step steps[] = {
      {CLRDTR, MS_CTS_ON},
      {CLRRTS, 0},
      {SETDTR, MS_DSR_ON | MS_RLSD_ON},
      {SETRTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.function);
    ASSERT_TRUE(EscapeCommFunction(a, step.function));
    Sleep(20);
    EXPECT_EQ(ModemStatus(b) & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), step.seen);
  }
}

TEST_F(Driver, BreakAndXoffAreHoldReasons) {
  Bring(Wiring::Loopback);
  HANDLE h = Open("COM3");
  auto holds = [&] {
    SERIAL_STATUS status{};
    DWORD returned;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status, &returned,
                                nullptr));
    return status.HoldReasons;
  };
  ASSERT_TRUE(SetCommBreak(h));
  EXPECT_EQ(holds() & SERIAL_TX_WAITING_ON_BREAK, DWORD(SERIAL_TX_WAITING_ON_BREAK));
  ASSERT_TRUE(ClearCommBreak(h));
  EXPECT_EQ(holds() & SERIAL_TX_WAITING_ON_BREAK, 0u);
  ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
  EXPECT_TRUE(Stat(h).fXoffHold);
  ASSERT_TRUE(EscapeCommFunction(h, SETXON));
  EXPECT_FALSE(Stat(h).fXoffHold);
}

// A write whose total timeout is beyond any clock waits for as long as it is
// held: its timer lies in the far future rather than in the past.
TEST_F(Driver, AWriteWithAnEndlessTimeoutNeverTimesOut) {
  Bring(Wiring::Loopback);
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, MAXDWORD, MAXDWORD};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
  std::string data(65536, 'w');
  OVERLAPPED ov{};
  ASSERT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), nullptr, &ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  Sleep(1000);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT));
  DWORD count;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &count, TRUE));
}

TEST_F(Driver, LineErrorsAreReportedOnceThenCleared) {
  Bring(Wiring::NullModem);
  HANDLE a = Open("COM3"), b = Open("COM4");
  DCB dcb{};
  ASSERT_TRUE(GetCommState(b, &dcb));
  dcb.BaudRate = 4800;  // a listens at 9600: framing errors
  ASSERT_TRUE(SetCommState(b, &dcb));
  DWORD written;
  ASSERT_TRUE(WriteFile(b, "\x00\x00\x00\x00", 4, &written, nullptr));
  Sleep(100);
  DWORD errors = 0;
  Stat(a, &errors);
  EXPECT_NE(errors & (CE_FRAME | CE_BREAK), 0u);
  Stat(a, &errors);
  EXPECT_EQ(errors, 0u);
}

TEST_F(Driver, WaitCommEventReportsTheMaskedEvents) {
  Bring(Wiring::NullModem);
  HANDLE a = Open("COM3", FILE_FLAG_OVERLAPPED), b = Open("COM4");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Case {
    DWORD mask;
    std::function<void()> cause;
    DWORD expected;
  };
  const Case cases[] = {
      {EV_RXCHAR, [&] { DWORD n; WriteFile(b, "x", 1, &n, nullptr); }, EV_RXCHAR},
      {EV_CTS, [&] { EscapeCommFunction(b, CLRRTS); }, EV_CTS},
      {EV_DSR | EV_RLSD, [&] { EscapeCommFunction(b, CLRDTR); }, EV_DSR | EV_RLSD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    ASSERT_TRUE(SetCommMask(a, c.mask));
    DWORD mask = 0, count;
    OVERLAPPED ov{};
    ov.hEvent = event;
    ASSERT_FALSE(WaitCommEvent(a, &mask, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    c.cause();
    ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(a, &ov, &count, FALSE));
    // DSR and DCD may change in one status report or in two.
    EXPECT_NE(mask, 0u);
    EXPECT_EQ(mask & c.expected, mask);
    PurgeComm(a, PURGE_RXCLEAR);
  }
  // Changing the mask ends a pending wait with no event.
  DWORD mask = 0xFFFF, count;
  OVERLAPPED ov{};
  ov.hEvent = event;
  ASSERT_FALSE(WaitCommEvent(a, &mask, &ov));
  ASSERT_TRUE(SetCommMask(a, EV_BREAK));
  EXPECT_TRUE(GetOverlappedResult(a, &ov, &count, TRUE));
  EXPECT_EQ(mask, 0u);
  CloseHandle(event);
}

TEST_F(Driver, PurgeEmptiesTheInputAndPropertiesFollowTheQueueSize) {
  Bring(Wiring::NullModem);
  HANDLE a = Open("COM3"), b = Open("COM4");
  DWORD written;
  ASSERT_TRUE(WriteFile(b, "pending", 7, &written, nullptr));
  Sleep(50);
  EXPECT_EQ(Stat(a).cbInQue, 7u);
  ASSERT_TRUE(PurgeComm(a, PURGE_RXCLEAR));
  EXPECT_EQ(Stat(a).cbInQue, 0u);

  COMMPROP properties{};
  ASSERT_TRUE(GetCommProperties(a, &properties));
  for (DWORD size : {properties.dwMaxTxQueue, properties.dwMaxRxQueue, properties.dwCurrentTxQueue,
                     properties.dwCurrentRxQueue})
    EXPECT_EQ(size, 65535u);
  EXPECT_EQ(properties.wPacketLength, sizeof(COMMPROP));
  EXPECT_EQ(properties.dwServiceMask, SP_SERIALCOMM);
  EXPECT_EQ(properties.dwProvSubType, PST_RS232);
  EXPECT_EQ(properties.dwMaxBaud, BAUD_USER);
  ASSERT_TRUE(SetupComm(a, 0x20000, 0x20000));
  ASSERT_TRUE(GetCommProperties(a, &properties));
  EXPECT_EQ(properties.dwMaxRxQueue, 0x1FFFFu);
  EXPECT_EQ(properties.dwCurrentTxQueue, 0x1FFFFu);
  SetLastError(0);
  EXPECT_FALSE(TransmitCommChar(a, 'x'));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
}

// A write whose bulk-out chunk never comes back still ends every way a write
// ends, with no byte counted as written, and the port works (and opens)
// again afterwards.
TEST_F(Driver, AWriteWithAHungChunkStillEnds) {
  Bring(Wiring::Loopback);
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 100};  // 600 ms at 9600 baud
  struct Case {
    const char* what;
    std::function<void(OVERLAPPED&)> end;  // nothing: the total time-out
    NTSTATUS status;
  } cases[] = {
      {"total time-out", nullptr, STATUS_TIMEOUT},
      {"PurgeComm", [&](OVERLAPPED&) { EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT)); }, STATUS_CANCELLED},
      {"CancelIoEx", [&](OVERLAPPED& ov) { EXPECT_TRUE(CancelIoEx(h, &ov)); }, STATUS_CANCELLED},
      {"CloseHandle", [&](OVERLAPPED&) { EXPECT_TRUE(CloseHandle(h)); open_.clear(); }, STATUS_CANCELLED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    board_->port(0).NeverComplete(chip::Pipe::BulkOut);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    ASSERT_FALSE(WriteFile(h, "hung", 4, &n, &ov));
    Sleep(20);
    if (c.end) c.end(ov);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    EXPECT_EQ(NTSTATUS(ov.Internal), c.status);
    EXPECT_EQ(ov.InternalHigh, 0u);
    if (open_.empty()) {
      Sleep(200);  // the close goes out once the write has ended, and takes a while
      h = Open("COM3", FILE_FLAG_OVERLAPPED);
    }
    ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WriteFile(h, "ok", 2, &n, &ov);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 2u);
    CloseHandle(ov.hEvent);
    PurgeComm(h, PURGE_RXCLEAR);
  }
}

TEST_F(Driver, TwoPortsExchangeDataBothWaysAtOnce) {
  Bring(Wiring::NullModem);
  // With no time-outs set, a read waits for all it asked for.
  HANDLE a = Open("COM3", FILE_FLAG_OVERLAPPED), b = Open("\\\\.\\COM4", FILE_FLAG_OVERLAPPED);
  std::string toB(700, 0), toA(500, 0);
  for (size_t i = 0; i < toB.size(); ++i) toB[i] = char(i * 7);
  for (size_t i = 0; i < toA.size(); ++i) toA[i] = char(i * 13 + 1);
  std::string atA(toA.size(), 0), atB(toB.size(), 0);
  struct Transfer {
    HANDLE handle;
    OVERLAPPED ov;
    size_t expected;
  } transfers[] = {{b, {}, toB.size()}, {a, {}, toA.size()}, {a, {}, toB.size()}, {b, {}, toA.size()}};
  HANDLE events[4];
  for (int i = 0; i < 4; ++i) transfers[i].ov.hEvent = events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n;
  EXPECT_FALSE(ReadFile(b, atB.data(), DWORD(atB.size()), &n, &transfers[0].ov));
  EXPECT_FALSE(ReadFile(a, atA.data(), DWORD(atA.size()), &n, &transfers[1].ov));
  WriteFile(a, toB.data(), DWORD(toB.size()), &n, &transfers[2].ov);
  WriteFile(b, toA.data(), DWORD(toA.size()), &n, &transfers[3].ov);
  EXPECT_EQ(WaitForMultipleObjects(4, events, TRUE, 10000), WAIT_OBJECT_0);
  for (Transfer& t : transfers) {
    EXPECT_TRUE(GetOverlappedResult(t.handle, &t.ov, &n, FALSE));
    EXPECT_EQ(n, t.expected);
    CloseHandle(t.ov.hEvent);
  }
  EXPECT_EQ(atB, toB);
  EXPECT_EQ(atA, toA);
}

// Overlapped reads take the bytes in the order they were issued; a read with
// MAXDWORD, MAXDWORD and a constant returns as soon as bytes come.
TEST_F(Driver, OverlappedReadsAreServedInOrderAndOnTheirFirstBytes) {
  Bring(Wiring::NullModem);
  HANDLE a = Open("COM3", FILE_FLAG_OVERLAPPED), b = Open("COM4");
  char first[8], second[2], stream[4096];
  struct {
    char* buffer;
    DWORD length;
    const char* sent;  // by b once the read is issued
    std::string expected;
    OVERLAPPED ov;
  } reads[] = {{first, sizeof first, "abcd", "abcdefgh", {}},  // no time-outs: waits for all 8
               {second, sizeof second, "efghij", "ij", {}},
               {stream, sizeof stream, "xyz", "xyz", {}}};
  COMMTIMEOUTS streamTimeouts{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 0, 0};  // as a common runtime's stream sets
  DWORD n;
  for (auto& r : reads) {
    if (&r == &reads[2]) {
      EXPECT_TRUE(SetCommTimeouts(a, &streamTimeouts));
    }
    r.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(a, r.buffer, r.length, &n, &r.ov));
    EXPECT_TRUE(WriteFile(b, r.sent, DWORD(std::strlen(r.sent)), &n, nullptr));
    Sleep(50);
  }
  for (auto& r : reads) {
    SCOPED_TRACE(r.expected);
    n = 0;
    EXPECT_EQ(WaitForSingleObject(r.ov.hEvent, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(a, &r.ov, &n, FALSE));
    EXPECT_EQ(std::string(r.buffer, n), r.expected);
  }
  CloseHandle(a);  // ends what a failure left pending while its buffers exist
  open_.erase(open_.begin());
  for (auto& r : reads) CloseHandle(r.ov.hEvent);
}

}  // namespace
}  // namespace win32test
