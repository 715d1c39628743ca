// GetCommState, SetCommState and BuildCommDCB: the DCB as the four serial
// records baud rate, line control, special characters and handshake.
#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "user/win32/objects.h"

namespace {

using win32::Control;

struct CommRecords {
  SERIAL_BAUD_RATE baud;
  SERIAL_LINE_CONTROL line;
  SERIAL_CHARS chars;
  SERIAL_HANDFLOW flow;
};

bool Get(HANDLE handle, ULONG code, void* record, ULONG size) {
  return Control(handle, code, nullptr, 0, record, size);
}

bool Set(HANDLE handle, ULONG code, const void* record, ULONG size) {
  return Control(handle, code, record, size, nullptr, 0);
}

bool Read(HANDLE handle, CommRecords* records) {
  return Get(handle, IOCTL_SERIAL_GET_BAUD_RATE, &records->baud, sizeof records->baud) &&
         Get(handle, IOCTL_SERIAL_GET_LINE_CONTROL, &records->line, sizeof records->line) &&
         Get(handle, IOCTL_SERIAL_GET_CHARS, &records->chars, sizeof records->chars) &&
         Get(handle, IOCTL_SERIAL_GET_HANDFLOW, &records->flow, sizeof records->flow);
}

// A line in a handshake-free mode is driven to its level before the
// handshake record arrives, as SetCommState has always done.
bool DriveLine(HANDLE handle, ULONG mode, ULONG enabled, ULONG setCode, ULONG clearCode) {
  if (mode == 0) return Set(handle, clearCode, nullptr, 0);
  if (mode == enabled) return Set(handle, setCode, nullptr, 0);
  return true;
}

// Sends the records in the order SetCommState uses. A restore (`firstFailureStops`
// false) goes through every step so that as much as possible is put back.
bool Apply(HANDLE handle, const CommRecords& records, bool firstFailureStops) {
  const std::function<bool()> steps[] = {
      [&] { return Set(handle, IOCTL_SERIAL_SET_BAUD_RATE, &records.baud, sizeof records.baud); },
      [&] {
        return DriveLine(handle, records.flow.FlowReplace & SERIAL_RTS_MASK, SERIAL_RTS_CONTROL,
                         IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS);
      },
      [&] {
        return DriveLine(handle, records.flow.ControlHandShake & SERIAL_DTR_MASK, SERIAL_DTR_CONTROL,
                         IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR);
      },
      [&] { return Set(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &records.line, sizeof records.line); },
      [&] { return Set(handle, IOCTL_SERIAL_SET_CHARS, &records.chars, sizeof records.chars); },
      [&] { return Set(handle, IOCTL_SERIAL_SET_HANDFLOW, &records.flow, sizeof records.flow); },
  };
  bool ok = true;
  for (const auto& step : steps) {
    ok = step() && ok;
    if (!ok && firstFailureStops) return false;
  }
  return ok;
}

ULONG Flag(bool on, ULONG bit) { return on ? bit : 0; }

// The DCB over the current records: what a DCB cannot express (the break
// character, DCD handshake, break-character replacement) is kept.
CommRecords FromDcb(const DCB& dcb, const CommRecords& current) {
  static constexpr ULONG kRtsModes[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  static constexpr ULONG kDtrModes[] = {0, SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE};
  CommRecords records = current;
  records.baud.BaudRate = dcb.BaudRate;
  records.line = {dcb.StopBits, dcb.Parity, dcb.ByteSize};
  records.chars.EofChar = UCHAR(dcb.EofChar);
  records.chars.ErrorChar = UCHAR(dcb.ErrorChar);
  records.chars.EventChar = UCHAR(dcb.EvtChar);
  records.chars.XonChar = UCHAR(dcb.XonChar);
  records.chars.XoffChar = UCHAR(dcb.XoffChar);
  SERIAL_HANDFLOW& flow = records.flow;
  flow.ControlHandShake &= ~(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                             SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
  flow.ControlHandShake |= kDtrModes[dcb.fDtrControl] | Flag(dcb.fOutxCtsFlow, SERIAL_CTS_HANDSHAKE) |
                           Flag(dcb.fOutxDsrFlow, SERIAL_DSR_HANDSHAKE) |
                           Flag(dcb.fDsrSensitivity, SERIAL_DSR_SENSITIVITY) |
                           Flag(dcb.fAbortOnError, SERIAL_ERROR_ABORT);
  flow.FlowReplace &= ~(SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                        SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE);
  flow.FlowReplace |= kRtsModes[dcb.fRtsControl] | Flag(dcb.fOutX, SERIAL_AUTO_TRANSMIT) |
                      Flag(dcb.fInX, SERIAL_AUTO_RECEIVE) | Flag(dcb.fErrorChar, SERIAL_ERROR_CHAR) |
                      Flag(dcb.fNull, SERIAL_NULL_STRIPPING) |
                      Flag(dcb.fTXContinueOnXoff, SERIAL_XOFF_CONTINUE);
  flow.XonLimit = dcb.XonLim;
  flow.XoffLimit = dcb.XoffLim;
  return records;
}

DCB ToDcb(const CommRecords& records) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = records.baud.BaudRate;
  dcb.fBinary = TRUE;
  dcb.fParity = records.line.Parity != NOPARITY;
  const ULONG shake = records.flow.ControlHandShake, replace = records.flow.FlowReplace;
  dcb.fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDtrControl = (shake & SERIAL_DTR_HANDSHAKE) ? DTR_CONTROL_HANDSHAKE
                    : (shake & SERIAL_DTR_CONTROL) ? DTR_CONTROL_ENABLE
                                                   : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case SERIAL_RTS_HANDSHAKE:
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case SERIAL_TRANSMIT_TOGGLE:
      dcb.fRtsControl = RTS_CONTROL_TOGGLE;
      break;
    default:
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
  }
  dcb.fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
  dcb.XonLim = WORD(records.flow.XonLimit);
  dcb.XoffLim = WORD(records.flow.XoffLimit);
  dcb.ByteSize = records.line.WordLength;
  dcb.Parity = records.line.Parity;
  dcb.StopBits = records.line.StopBits;
  dcb.XonChar = char(records.chars.XonChar);
  dcb.XoffChar = char(records.chars.XoffChar);
  dcb.ErrorChar = char(records.chars.ErrorChar);
  dcb.EofChar = char(records.chars.EofChar);
  dcb.EvtChar = char(records.chars.EventChar);
  return dcb;
}

// ---- BuildCommDCB ------------------------------------------------------------------

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ParseBaud(const std::string& text, DWORD* baud) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  // The two-digit forms of the mode command.
  static constexpr struct {
    unsigned long abbreviation, rate;
  } kShort[] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
  for (const auto& entry : kShort)
    if (value == entry.abbreviation) {
      *baud = DWORD(entry.rate);
      return true;
    }
  if (value == 0) return false;
  *baud = DWORD(value);
  return true;
}

bool ParseParity(const std::string& text, DCB* dcb) {
  static const std::string kLetters = "noems";
  if (text.size() != 1 || kLetters.find(text[0]) == std::string::npos) return false;
  dcb->Parity = BYTE(kLetters.find(text[0]));
  dcb->fParity = dcb->Parity != NOPARITY;
  return true;
}

bool ParseData(const std::string& text, DCB* dcb) {
  if (text.size() != 1 || text[0] < '5' || text[0] > '8') return false;
  dcb->ByteSize = BYTE(text[0] - '0');
  return true;
}

bool ParseStop(const std::string& text, DCB* dcb) {
  if (text == "1")
    dcb->StopBits = ONESTOPBIT;
  else if (text == "1.5")
    dcb->StopBits = ONE5STOPBITS;
  else if (text == "2")
    dcb->StopBits = TWOSTOPBITS;
  else
    return false;
  return true;
}

bool ParseOnOff(const std::string& text, bool* on) {
  if (text != "on" && text != "off") return false;
  *on = text == "on";
  return true;
}

bool ParseKeyword(const std::string& key, const std::string& value, DCB* dcb, bool* stopGiven) {
  bool on;
  if (key == "baud") return ParseBaud(value, &dcb->BaudRate);
  if (key == "parity") return ParseParity(value, dcb);
  if (key == "data") return ParseData(value, dcb);
  if (key == "stop") return *stopGiven = true, ParseStop(value, dcb);
  if (key == "to") return ParseOnOff(value, &on);  // a time-out switch: no DCB member
  if (key == "dtr") {
    if (value == "hs") return dcb->fDtrControl = DTR_CONTROL_HANDSHAKE, true;
    if (!ParseOnOff(value, &on)) return false;
    dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return true;
  }
  if (key == "rts") {
    if (value == "hs") return dcb->fRtsControl = RTS_CONTROL_HANDSHAKE, true;
    if (value == "tg") return dcb->fRtsControl = RTS_CONTROL_TOGGLE, true;
    if (!ParseOnOff(value, &on)) return false;
    dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    return true;
  }
  if (!ParseOnOff(value, &on)) return false;
  if (key == "xon")
    dcb->fInX = dcb->fOutX = on;
  else if (key == "odsr")
    dcb->fOutxDsrFlow = on;
  else if (key == "octs")
    dcb->fOutxCtsFlow = on;
  else if (key == "idsr")
    dcb->fDsrSensitivity = on;
  else
    return false;
  return true;
}

std::vector<std::string> Split(const std::string& text, const std::string& separators) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find_first_of(separators, start);
    parts.push_back(Trim(text.substr(start, end - start)));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// "baud=9600 parity=n data=8 stop=1 xon=off ..."
bool ParseKeywords(const std::string& text, DCB* dcb, bool* stopGiven) {
  for (const std::string& part : Split(text, " \t")) {
    if (part.empty()) continue;
    const size_t equals = part.find('=');
    if (equals == std::string::npos ||
        !ParseKeyword(part.substr(0, equals), part.substr(equals + 1), dcb, stopGiven))
      return false;
  }
  return true;
}

// "9600,n,8,1[,x|p]": empty fields keep their values.
bool ParsePositional(const std::string& text, DCB* dcb, bool* stopGiven) {
  const std::vector<std::string> fields = Split(text, ",");
  if (fields.size() > 5 || fields[0].empty()) return false;
  if (!ParseBaud(fields[0], &dcb->BaudRate)) return false;
  if (fields.size() > 1 && !fields[1].empty() && !ParseParity(fields[1], dcb)) return false;
  if (fields.size() > 2 && !fields[2].empty() && !ParseData(fields[2], dcb)) return false;
  if (fields.size() > 3 && !fields[3].empty() && !(*stopGiven = true, ParseStop(fields[3], dcb)))
    return false;
  if (fields.size() > 4 && !fields[4].empty()) {
    if (fields[4] == "x") {
      dcb->fInX = dcb->fOutX = TRUE;
    } else if (fields[4] == "p") {
      dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = TRUE;
      dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (win32::ReferenceFile(hFile) == nullptr) return FALSE;
  if (lpDCB == nullptr) return win32::Fail(ERROR_INVALID_PARAMETER);
  CommRecords records;
  if (!Read(hFile, &records)) return FALSE;
  *lpDCB = ToDcb(records);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (win32::ReferenceFile(hFile) == nullptr) return FALSE;
  // Equal flow characters could not be told apart; DTR has no fourth mode.
  if (lpDCB == nullptr || lpDCB->XonChar == lpDCB->XoffChar || lpDCB->fDtrControl > DTR_CONTROL_HANDSHAKE)
    return win32::Fail(ERROR_INVALID_PARAMETER);
  CommRecords previous;
  if (!Read(hFile, &previous)) return FALSE;
  if (Apply(hFile, FromDcb(*lpDCB, previous), true)) return TRUE;
  // Put every setting back; the caller learns why the new ones failed.
  const DWORD error = GetLastError();
  Apply(hFile, previous, false);
  return win32::Fail(error);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  if (lpDef == nullptr || lpDCB == nullptr) return win32::Fail(ERROR_INVALID_PARAMETER);
  std::string text = Lower(Trim(lpDef));
  // An optional device name: "COM1:" or "COM1".
  if (text.compare(0, 3, "com") == 0) {
    size_t end = 3;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > 3 && (end == text.size() || text[end] == ':' || text[end] == ' ')) {
      if (end < text.size() && text[end] == ':') ++end;
      text = Trim(text.substr(end));
    }
  }
  DCB dcb = *lpDCB;
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = TRUE;
  // Flow control stays off unless the definition asks for it.
  dcb.fInX = dcb.fOutX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  bool stopGiven = false;
  const bool parsed = text.find('=') != std::string::npos ? ParseKeywords(text, &dcb, &stopGiven)
                                                          : ParsePositional(text, &dcb, &stopGiven);
  if (!parsed || text.empty()) return win32::Fail(ERROR_INVALID_PARAMETER);
  // As the mode command does: 110 baud goes with two stop bits.
  if (dcb.BaudRate == CBR_110 && !stopGiven) dcb.StopBits = TWOSTOPBITS;
  *lpDCB = dcb;
  return TRUE;
}
