// What every fuzz target shares: a fresh emulated computer per input, an
// open port with requests pending, and the checks that run after the input:
// every request ends within its timeouts, the port still carries data, and
// teardown leaves nothing behind. A failed check aborts with a message, which
// libFuzzer reports as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "user/rig/computer.h"
#include "user/win32/windows.h"

namespace fuzz {

// Aborts with `what` when `ok` is false.
void Check(bool ok, const std::string& what);

// Takes bytes off the front of the input; short inputs read as zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : rest_(data, size) {}
  bool Empty() const { return rest_.empty(); }
  size_t Size() const { return rest_.size(); }
  uint8_t Byte();
  uint16_t Word();
  uint32_t Dword();
  std::vector<uint8_t> Take(size_t n);

 private:
  std::span<const uint8_t> rest_;
};

// One overlapped request with its own event.
struct Request {
  Request();
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  // Waits up to `ms` of virtual time; false when it is still pending.
  bool Ended(DWORD ms) const;
  OVERLAPPED overlapped{};
};

// Opens `path` overlapped at 115200 8N1 without flow control, with `timeouts`.
HANDLE OpenPort(const std::string& path, const COMMTIMEOUTS& timeouts);
// Sets 115200 8N1 (or the port's rate, when it refuses every rate), no flow
// control, DTR and RTS on, and one-second timeouts.
void Settle(HANDLE port);
// A device-control request, waited for; false when it failed or stays
// pending past `ms` of virtual time (then it is cancelled).
bool Control(HANDLE port, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* got,
             DWORD ms = 2000);
// Bytes written on `from` arrive unchanged on `to`.
bool Carries(HANDLE from, HANDLE to);

// A computer with one chip of two ports: COM3 on a loopback plug, COM4 free
// (for targets that need a spare port).
class Bench {
 public:
  // `beforePlug(computer)` runs once the chip is added (its keys exist) and before
  // its ports start.
  template <class F>
  explicit Bench(F beforePlug) : pc_(rig::ComputerOptions{.abortOnLeaks = false}) {
    AddChip();
    beforePlug(pc_);
    Plug();
  }
  Bench() : Bench([](rig::Computer&) {}) {}
  ~Bench();
  rig::Computer& Pc() { return pc_; }
  chip::Port& ChipPort(int i) { return pc_.Ports().at(i).chip->port(i); }
  NTSTATUS StartStatus(int i) const { return pc_.Ports().at(i).startStatus; }
  // Opens COM3 as OpenPort does; aborts when it does not open.
  HANDLE OpenFirstPort(const COMMTIMEOUTS& timeouts);
  // Removes every device and unloads the driver; aborts on a leak.
  void Finish();

 private:
  void AddChip();
  void Plug();
  rig::Computer pc_;
  bool finished_ = false;
};

// Checks that the port at `path` opens, carries data through its loopback
// plug, and closes.
void CheckLoopback(const std::string& path);

}  // namespace fuzz
