#include "fuzz/support/fuzz_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "emulator/chip/cable.h"

namespace fuzz {

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

uint8_t Input::Byte() {
  if (rest_.empty()) return 0;
  uint8_t b = rest_[0];
  rest_ = rest_.subspan(1);
  return b;
}

uint16_t Input::Word() { return uint16_t(Byte() | Byte() << 8); }

uint32_t Input::Dword() { return uint32_t(Word()) | uint32_t(Word()) << 16; }

std::vector<uint8_t> Input::Take(size_t n) {
  n = std::min(n, rest_.size());
  std::vector<uint8_t> bytes(rest_.begin(), rest_.begin() + n);
  rest_ = rest_.subspan(n);
  return bytes;
}

Request::Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
Request::~Request() { CloseHandle(overlapped.hEvent); }

bool Request::Ended(DWORD ms) const { return WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0; }

HANDLE OpenPort(const std::string& path, const COMMTIMEOUTS& timeouts) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  Settle(h);
  COMMTIMEOUTS t = timeouts;
  SetCommTimeouts(h, &t);
  return h;
}

void Settle(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  const DWORD current = dcb.BaudRate;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = dcb.fDsrSensitivity = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(port, &dcb)) {
    // A settings file may give the port a custom clock that no rate can be
    // set with (the refusal is right): the port keeps its rate, and a loopback
    // plug must still carry data at it.
    dcb.BaudRate = current;
    SetCommState(port, &dcb);
  }
  COMMTIMEOUTS timeouts{0, 0, 1000, 0, 1000};
  SetCommTimeouts(port, &timeouts);
  SetCommMask(port, 0);
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
}

bool Control(HANDLE port, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* got,
             DWORD ms) {
  Request request;
  *got = 0;
  DeviceIoControl(port, code, const_cast<void*>(in), inLength, out, outLength, nullptr, &request.overlapped);
  if (!request.Ended(ms)) {
    CancelIoEx(port, &request.overlapped);
    Check(request.Ended(1000), "a cancelled request stays pending");
  }
  return GetOverlappedResult(port, &request.overlapped, got, TRUE);
}

bool Carries(HANDLE from, HANDLE to) {
  static const uint8_t text[] = {'p', 'i', 'n', 'g', 0x00, 0x11, 0x13, 0xFF};
  Request write, read;
  uint8_t got[sizeof text] = {};
  ReadFile(to, got, sizeof got, nullptr, &read.overlapped);
  WriteFile(from, text, sizeof text, nullptr, &write.overlapped);
  DWORD wrote = 0, n = 0;
  bool ok = GetOverlappedResult(from, &write.overlapped, &wrote, TRUE) && wrote == sizeof text;
  ok = GetOverlappedResult(to, &read.overlapped, &n, TRUE) && ok;
  return ok && n == sizeof text && std::equal(text, text + sizeof text, got);
}

void CheckLoopback(const std::string& path) {
  HANDLE h = OpenPort(path, {0, 0, 1000, 0, 1000});
  Check(h != INVALID_HANDLE_VALUE, path + " does not open");
  Check(Carries(h, h), path + " no longer carries data");
  Check(CloseHandle(h), path + " does not close");
}

void Bench::AddChip() {
  chip::UsbChip& board = pc_.AddChip({.ports = 2});
  chip::PlugLoopback(board.port(0));
}

void Bench::Plug() { pc_.Plug(*pc_.Ports().at(0).chip); }

HANDLE Bench::OpenFirstPort(const COMMTIMEOUTS& timeouts) {
  const std::string path = pc_.Ports().at(0).Path();
  HANDLE port = OpenPort(path, timeouts);
  Check(port != INVALID_HANDLE_VALUE, path + " does not open");
  return port;
}

void Bench::Finish() {
  finished_ = true;
  rig::LeakReport report = pc_.Shutdown();
  Check(report.Clean(), "left behind at teardown: " + report.Describe());
}

Bench::~Bench() {
  if (!finished_) Finish();
}

}  // namespace fuzz
