// GetCommState, SetCommState and BuildCommDCB against the recording driver:
// the exact requests and records, and the restore when a setting fails.
#include "recording_driver.h"

namespace win32test {
namespace {

using CommState = RecordingTest;

Request Get(ULONG code) { return {IRP_MJ_DEVICE_CONTROL, code, {}}; }
Request Set(ULONG code, std::vector<UCHAR> input = {}) { return {IRP_MJ_DEVICE_CONTROL, code, input}; }

const std::vector<Request> kReads = {Get(IOCTL_SERIAL_GET_BAUD_RATE), Get(IOCTL_SERIAL_GET_LINE_CONTROL),
                                     Get(IOCTL_SERIAL_GET_CHARS), Get(IOCTL_SERIAL_GET_HANDFLOW)};

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 115200;
  dcb.fBinary = TRUE;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x04;
  dcb.EvtChar = '\n';
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  return dcb;
}

std::vector<Request> Concat(std::vector<Request> a, const std::vector<Request>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(CommState, SetCommStateSendsTheRecordsInOrderAndGetCommStateReadsThemBack) {
  struct Case {
    const char* name;
    void (*adjust)(DCB&);
    std::vector<Request> lines;  // between the baud rate and the line control
    SERIAL_HANDFLOW flow;
  };
  // The port's DCD handshake and break-character replacement are not DCB
  // members: they stay.
  port().flow = {SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE, SERIAL_RTS_CONTROL | SERIAL_BREAK_CHAR, 1, 2};
  // Flags that sit side by side in a record are set in different rows, so
  // that no two of them can be mistaken for each other.
  const Case cases[] = {
      {"lines enabled, DSR flow, XON/XOFF input",
       [](DCB& d) {
         d.fDtrControl = DTR_CONTROL_ENABLE;
         d.fRtsControl = RTS_CONTROL_ENABLE;
         d.fOutxDsrFlow = d.fInX = TRUE;
       },
       {Set(IOCTL_SERIAL_SET_RTS), Set(IOCTL_SERIAL_SET_DTR)},
       {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE,
        SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE | SERIAL_BREAK_CHAR, 100, 200}},
      {"lines disabled, DSR sensitivity, abort, null stripping, continue on XOFF",
       [](DCB& d) {
         d.fAbortOnError = TRUE;
         d.fNull = TRUE;
         d.fDsrSensitivity = d.fTXContinueOnXoff = TRUE;
       },
       {Set(IOCTL_SERIAL_CLR_RTS), Set(IOCTL_SERIAL_CLR_DTR)},
       {SERIAL_DCD_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
        SERIAL_BREAK_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE, 100, 200}},
      {"hardware handshake",
       [](DCB& d) {
         d.fDtrControl = DTR_CONTROL_HANDSHAKE;
         d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         d.fOutxCtsFlow = TRUE;
       },
       {},
       {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DCD_HANDSHAKE,
        SERIAL_RTS_HANDSHAKE | SERIAL_BREAK_CHAR, 100, 200}},
      {"XON/XOFF output, error character, toggle",
       [](DCB& d) {
         d.fDtrControl = DTR_CONTROL_ENABLE;
         d.fRtsControl = RTS_CONTROL_TOGGLE;
         d.fOutX = d.fErrorChar = TRUE;
       },
       {Set(IOCTL_SERIAL_SET_DTR)},
       {SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE,
        SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT | SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR, 100, 200}},
  };
  HANDLE h = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DCB dcb = BaseDcb();
    c.adjust(dcb);
    TakeControls();
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    const SERIAL_BAUD_RATE baud{115200};
    const SERIAL_LINE_CONTROL line{TWOSTOPBITS, EVEN_PARITY, 7};
    const SERIAL_CHARS chars{0x04, '?', 0x7E, '\n', 0x11, 0x13};  // break character kept
    std::vector<Request> expected = Concat(kReads, {Set(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud))});
    expected = Concat(expected, c.lines);
    expected = Concat(
        expected, {Set(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line)), Set(IOCTL_SERIAL_SET_CHARS, Bytes(chars)),
                   Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(c.flow))});
    EXPECT_EQ(TakeControls(), expected);

    DCB read;
    std::memset(&read, 0xCC, sizeof read);
    ASSERT_TRUE(GetCommState(h, &read));
    EXPECT_EQ(TakeControls(), kReads);
    dcb.fParity = TRUE;  // reported for any parity but none
    EXPECT_EQ(Bytes(read), Bytes(dcb));
  }
  CloseHandle(h);
}

TEST_F(CommState, AFailingSettingPutsThePreviousOnesBack) {
  struct Case {
    ULONG failing;
    NTSTATUS status;
    DWORD error;
  };
  const Case cases[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {IOCTL_SERIAL_CLR_DTR, STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
      {IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {IOCTL_SERIAL_SET_HANDFLOW, STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
  };
  HANDLE h = Open();
  const SERIAL_BAUD_RATE oldBaud = port().baud;
  const SERIAL_LINE_CONTROL oldLine = port().line;
  const SERIAL_CHARS oldChars = port().chars;
  const SERIAL_HANDFLOW oldFlow = port().flow;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    port().failures = {{c.failing, c.status}};
    DCB dcb = BaseDcb();  // DTR and RTS off
    TakeControls();
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(c.error));
    port().failures.clear();
    // The restore ends with the old records, the lines driven as they say.
    const std::vector<Request> log = TakeControls();
    const std::vector<Request> restore = {Set(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(oldBaud)),
                                          Set(IOCTL_SERIAL_SET_RTS),
                                          Set(IOCTL_SERIAL_SET_DTR),
                                          Set(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(oldLine)),
                                          Set(IOCTL_SERIAL_SET_CHARS, Bytes(oldChars)),
                                          Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(oldFlow))};
    ASSERT_GE(log.size(), restore.size());
    EXPECT_EQ(std::vector<Request>(log.end() - restore.size(), log.end()), restore);
  }
  CloseHandle(h);
}

TEST_F(CommState, RefusedBeforeAnyRequest) {
  HANDLE h = Open();
  DCB dcb = BaseDcb();
  dcb.XoffChar = dcb.XonChar;
  TakeControls();
  SetLastError(0);
  EXPECT_FALSE(SetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  dcb = BaseDcb();
  dcb.fDtrControl = 3;
  EXPECT_FALSE(SetCommState(h, &dcb));
  EXPECT_FALSE(SetCommState(h, nullptr));
  EXPECT_FALSE(GetCommState(h, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(TakeControls().empty());
  // A failing read leaves the caller's DCB alone.
  port().failures = {{IOCTL_SERIAL_GET_HANDFLOW, STATUS_DEVICE_REMOVED}};
  DCB untouched = BaseDcb();
  EXPECT_FALSE(GetCommState(h, &untouched));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(Bytes(untouched), Bytes(BaseDcb()));
  CloseHandle(h);
}

TEST(BuildCommDcb, ParsesBothFormsAndRefusesNonsenseWithoutChangingTheDcb) {
  struct Case {
    const char* definition;
    bool ok;
    DWORD baud;
    BYTE parity, data, stop;
    bool outX, cts;
    DWORD dtr, rts;
  };
  const Case cases[] = {
      {"9600,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, false, false, 1, 1},
      {"COM3: 96,e,7,2", true, 9600, EVENPARITY, 7, TWOSTOPBITS, false, false, 1, 1},
      {"19200,o,,1.5,x", true, 19200, ODDPARITY, 5, ONE5STOPBITS, true, false, 1, 1},
      {"115200,m,8,1,p", true, 115200, MARKPARITY, 8, ONESTOPBIT, false, true, 2, 2},
      {"11", true, 110, SPACEPARITY, 5, TWOSTOPBITS, false, false, 1, 1},
      {"baud=57600 parity=N data=6 stop=2 xon=on dtr=hs rts=tg octs=on", true, 57600, NOPARITY, 6,
       TWOSTOPBITS, true, true, 2, 3},
      {"com1:baud=1200 to=off dtr=off rts=off", true, 1200, SPACEPARITY, 5, ONESTOPBIT, false, false, 0, 0},
      {"", false},
      {"9600,q,8,1", false},
      {"9600,n,9,1", false},
      {"9600,n,8,1,z", false},
      {"baud=", false},
      {"xon=maybe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.definition);
    DCB dcb{};
    dcb.Parity = SPACEPARITY;
    dcb.fParity = TRUE;
    dcb.ByteSize = 5;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = dcb.fOutxCtsFlow = TRUE;  // turned off unless asked for
    const DCB before = dcb;
    SetLastError(0);
    ASSERT_EQ(BuildCommDCBA(c.definition, &dcb), c.ok ? TRUE : FALSE);
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
      EXPECT_EQ(Bytes(dcb), Bytes(before));
      continue;
    }
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.fParity, c.parity != NOPARITY);
    EXPECT_EQ(dcb.ByteSize, c.data);
    EXPECT_EQ(dcb.StopBits, c.stop);
    EXPECT_EQ(bool(dcb.fOutX), c.outX);
    EXPECT_EQ(bool(dcb.fInX), c.outX);
    EXPECT_EQ(bool(dcb.fOutxCtsFlow), c.cts);
    EXPECT_EQ(dcb.fDtrControl, c.dtr);
    EXPECT_EQ(dcb.fRtsControl, c.rts);
  }
  EXPECT_FALSE(BuildCommDCBA(nullptr, nullptr));
}

}  // namespace
}  // namespace win32test
