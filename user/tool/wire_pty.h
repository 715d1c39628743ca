// The far end of a port's wire played through a pseudo-terminal: what a
// program writes to the terminal goes down the wire at the terminal's speed
// and format, and what the port sends arrives there, with whatever a rate or
// format mismatch made of it. The attached device is powered and ready: it
// presents DSR and DCD, and CTS while its program keeps up with the data.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "user/tool/pty.h"
#include "emulator/chip/external_end.h"

namespace t7315 {

// The wire settings a terminal's termios asks for.
chip::LineSettings WireSettings(const LineFormat& format);

class WirePty {
 public:
  // Holds at most this much for a program that does not read; CTS drops at
  // a quarter of it.
  static constexpr size_t kMaxPending = 64 * 1024;

  // The caller plugs `end` into the port's connector and keeps it beyond
  // this bridge.
  WirePty(chip::ExternalEnd& end, std::unique_ptr<Pty> pty);
  ~WirePty();
  WirePty(const WirePty&) = delete;
  WirePty& operator=(const WirePty&) = delete;

  const Pty& Terminal() const { return *pty_; }
  // Runs Pump on a thread of its own until destruction.
  void Start();
  // One pass: the terminal's termios become the end's settings, what the
  // program wrote is queued on the wire (when the wire has sent what came
  // before), and received characters go to the program.
  void Pump();
  // Characters dropped because the program did not read them.
  size_t Dropped() const { return dropped_; }

 private:
  struct Inbox;
  void Run();
  void UpdateClearToSend();

  chip::ExternalEnd& end_;
  std::unique_ptr<Pty> pty_;
  std::shared_ptr<Inbox> inbox_;
  LineFormat format_;
  std::vector<uint8_t> pending_;  // for the program
  bool clearToSend_ = true;
  std::atomic<size_t> dropped_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace t7315
