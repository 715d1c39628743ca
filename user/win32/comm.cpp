// The comm functions that are one serial request each: timeouts, events,
// errors and status, purge, lines and break, queue sizes and properties.
#include <cstring>

#include "user/win32/objects.h"

using win32::Control;
using win32::Fail;

namespace {

BOOL Action(HANDLE handle, ULONG code) { return Control(handle, code, nullptr, 0, nullptr, 0); }

BOOL Put(HANDLE handle, ULONG code, const void* input, ULONG length) {
  return Control(handle, code, input, length, nullptr, 0);
}

BOOL Take(HANDLE handle, ULONG code, void* output, ULONG length) {
  if (output == nullptr) return win32::ReferenceFile(handle) ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
  return Control(handle, code, nullptr, 0, output, length);
}

DWORD CommErrors(ULONG errors) {
  static constexpr struct {
    ULONG serial;
    DWORD comm;
  } kErrors[] = {
      {SERIAL_ERROR_BREAK, CE_BREAK},     {SERIAL_ERROR_FRAMING, CE_FRAME},
      {SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
      {SERIAL_ERROR_PARITY, CE_RXPARITY},
  };
  DWORD comm = 0;
  for (const auto& entry : kErrors)
    if (errors & entry.serial) comm |= entry.comm;
  return comm;
}

}  // namespace

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return Take(hFile, IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr) return win32::ReferenceFile(hFile) ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
  return Put(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return Put(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  return Take(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpEvtMask == nullptr) return win32::ReferenceFile(hFile) ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
  DWORD returned;
  return win32::Transfer(
      hFile, win32::ControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD)),
      &returned, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_STATUS status{};
  if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
  if (lpErrors != nullptr) *lpErrors = CommErrors(status.Errors);
  if (lpStat != nullptr) {
    COMSTAT stat{};
    const ULONG hold = status.HoldReasons;
    stat.fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    *lpStat = stat;
  }
  return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return Put(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static constexpr ULONG kCodes[] = {
      0,
      IOCTL_SERIAL_SET_XOFF,       // SETXOFF
      IOCTL_SERIAL_SET_XON,        // SETXON
      IOCTL_SERIAL_SET_RTS,        // SETRTS
      IOCTL_SERIAL_CLR_RTS,        // CLRRTS
      IOCTL_SERIAL_SET_DTR,        // SETDTR
      IOCTL_SERIAL_CLR_DTR,        // CLRDTR
      IOCTL_SERIAL_RESET_DEVICE,   // RESETDEV
      IOCTL_SERIAL_SET_BREAK_ON,   // SETBREAK
      IOCTL_SERIAL_SET_BREAK_OFF,  // CLRBREAK
  };
  if (dwFunc < SETXOFF || dwFunc > CLRBREAK)
    return win32::ReferenceFile(hFile) ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
  return Action(hFile, kCodes[dwFunc]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return Action(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return Action(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  return Take(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat, sizeof(DWORD));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  const SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
  return Put(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  if (lpCommProp == nullptr) return win32::ReferenceFile(hFile) ? Fail(ERROR_INVALID_PARAMETER) : FALSE;
  // A caller that initialised the record offers room for provider data.
  ULONG length = sizeof(COMMPROP);
  if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length)
    length = lpCommProp->wPacketLength;
  return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  return Put(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof cChar);
}
