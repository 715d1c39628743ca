// The one-request comm functions against the recording driver: the request
// each sends and how its answer reaches the caller.
#include "recording_driver.h"

namespace win32test {
namespace {

using Comm = RecordingTest;

std::vector<UCHAR> Dword(DWORD value) { return Bytes(value); }

TEST_F(Comm, EachFunctionSendsItsRequest) {
  HANDLE h = Open();
  COMMTIMEOUTS timeouts{MAXDWORD, 1, 2, 3, 4};
  struct Case {
    const char* name;
    std::function<BOOL()> call;
    ULONG code;
    std::vector<UCHAR> input;
  };
  const Case cases[] = {
      {"SETXOFF", [&] { return EscapeCommFunction(h, SETXOFF); }, IOCTL_SERIAL_SET_XOFF, {}},
      {"SETXON", [&] { return EscapeCommFunction(h, SETXON); }, IOCTL_SERIAL_SET_XON, {}},
      {"SETRTS", [&] { return EscapeCommFunction(h, SETRTS); }, IOCTL_SERIAL_SET_RTS, {}},
      {"CLRRTS", [&] { return EscapeCommFunction(h, CLRRTS); }, IOCTL_SERIAL_CLR_RTS, {}},
      {"SETDTR", [&] { return EscapeCommFunction(h, SETDTR); }, IOCTL_SERIAL_SET_DTR, {}},
      {"CLRDTR", [&] { return EscapeCommFunction(h, CLRDTR); }, IOCTL_SERIAL_CLR_DTR, {}},
      {"SETBREAK", [&] { return EscapeCommFunction(h, SETBREAK); }, IOCTL_SERIAL_SET_BREAK_ON, {}},
      {"CLRBREAK", [&] { return EscapeCommFunction(h, CLRBREAK); }, IOCTL_SERIAL_SET_BREAK_OFF, {}},
      {"SetCommBreak", [&] { return SetCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_ON, {}},
      {"ClearCommBreak", [&] { return ClearCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_OFF, {}},
      {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT); }, IOCTL_SERIAL_PURGE,
       Dword(PURGE_RXCLEAR | PURGE_TXABORT)},
      {"SetupComm",
       [&] { return SetupComm(h, 0x20000, 512); },
       IOCTL_SERIAL_SET_QUEUE_SIZE,
       {0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x00}},
      {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR | EV_BREAK); }, IOCTL_SERIAL_SET_WAIT_MASK,
       Dword(EV_RXCHAR | EV_BREAK)},
      {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &timeouts); }, IOCTL_SERIAL_SET_TIMEOUTS,
       Bytes(timeouts)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TakeControls();
    EXPECT_TRUE(c.call());
    EXPECT_EQ(TakeControls(), (std::vector<Request>{{IRP_MJ_DEVICE_CONTROL, c.code, c.input}}));
  }
  // Read back what was set.
  COMMTIMEOUTS read{};
  EXPECT_TRUE(GetCommTimeouts(h, &read));
  EXPECT_EQ(Bytes(read), Bytes(timeouts));
  DWORD mask = 0;
  EXPECT_TRUE(GetCommMask(h, &mask));
  EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_BREAK));
  // The port refuses the immediate character, as Windows reports it.
  TakeControls();
  SetLastError(0);
  EXPECT_FALSE(TransmitCommChar(h, 'Z'));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(TakeControls(),
            (std::vector<Request>{{IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_IMMEDIATE_CHAR, {'Z'}}}));
  CloseHandle(h);
}

TEST_F(Comm, StatusAnswersReachTheCallersRecords) {
  struct Case {
    SERIAL_STATUS status;
    DWORD errors;
    COMSTAT stat;
  };
  const Case cases[] = {
      // Each hold reason has a pattern of rows of its own.
      {{SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING, SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT, 5,
        7, 0, 0},
       CE_BREAK | CE_FRAME,
       {0, 0, 1, 0, 1, 0, 0, 0, 5, 7}},
      {{SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY, SERIAL_TX_WAITING_FOR_XON, 0,
        0, 0, 0},
       CE_OVERRUN | CE_RXOVER | CE_RXPARITY,
       {0, 0, 0, 1}},
      {{0, SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD, 1, 0, 1, 0},
       0,
       {1, 0, 1, 0, 0, 1, 0, 0, 1, 0}},
      {{0, SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_XOFF_SENT, 0, 0, 0, 1},
       0,
       {0, 1, 0, 1, 1, 0, 1, 0, 0, 0}},
  };
  HANDLE h = Open();
  for (const Case& c : cases) {
    port().status = c.status;
    DWORD errors = 0xFFFF;
    COMSTAT stat;
    std::memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(Bytes(stat), Bytes(c.stat));
  }
  EXPECT_TRUE(ClearCommError(h, nullptr, nullptr));  // both are optional

  port().modemStatus = SERIAL_CTS_STATE | SERIAL_DCD_STATE;
  DWORD modem = 0;
  EXPECT_TRUE(GetCommModemStatus(h, &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_RLSD_ON);

  COMMPROP properties;
  std::memset(&properties, 0xEE, sizeof properties);
  TakeControls();
  EXPECT_TRUE(GetCommProperties(h, &properties));
  EXPECT_EQ(properties.wPacketLength, sizeof(COMMPROP));
  EXPECT_EQ(properties.dwMaxRxQueue, 4095u);
  EXPECT_EQ(properties.dwProvSubType, PST_RS232);
  EXPECT_EQ(TakeControls().at(0).code, ULONG(IOCTL_SERIAL_GET_PROPERTIES));
  EXPECT_FALSE(GetCommProperties(h, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  CloseHandle(h);
}

}  // namespace
}  // namespace win32test
