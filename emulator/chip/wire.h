// Serial data on a wire, bit by bit. A transmitter draws each character's
// waveform (start bit, data bits, parity, stop bits) at its own rate; a
// receiver samples the waveform at its own rate and format, in the middle of
// each bit as a 16550 does. When the two ends disagree the receiver sees
// exactly the framing and parity errors a real UART would.
#pragma once

#include <cstdint>
#include <vector>
#include <functional>
#include <optional>

#include "emulator/chip/line_settings.h"
#include "emulator/chip/scheduler.h"
#include "emulator/chip/timer.h"

namespace chip {

// Instants on a wire: 100-ns units with fractions.
using Instant = double;

// Line status bits a received character can carry (16550 LSR layout).
constexpr uint8_t kLsrDataReady = 0x01;
constexpr uint8_t kLsrOverrun = 0x02;
constexpr uint8_t kLsrParityError = 0x04;
constexpr uint8_t kLsrFramingError = 0x08;
constexpr uint8_t kLsrBreak = 0x10;
constexpr uint8_t kLsrThrEmpty = 0x20;
constexpr uint8_t kLsrTxEmpty = 0x40;
constexpr uint8_t kLsrFifoError = 0x80;
constexpr uint8_t kLsrErrors = kLsrOverrun | kLsrParityError | kLsrFramingError | kLsrBreak;

// The level history of one data wire. Idle (mark) is high.
class Line {
 public:
  bool LevelAt(Instant t) const;
  // The levels in the middle of `count` bits (at most 32) of width `bit`
  // from `start`, bit i for bit i: one search, then a walk along the edges.
  uint32_t MidBitLevels(Instant start, double bit, int count) const;
  // The first edge to `level` at or after `from`, if one is drawn yet.
  std::optional<Instant> NextEdge(Instant from, bool level) const;
  // Draws a level from `t` on; `t` is not before any edge drawn so far.
  void Drive(Instant t, bool level);
  // Erases what was drawn after `t` (a character cut short by a break).
  void CutAfter(Instant t);
  // Drops history before `t`; nobody will look there again.
  void ForgetBefore(Instant t);
  // Forgets all but the present level (no receiver listens).
  void ForgetHistory();

 private:
  struct Edge {
    Instant at;
    bool level;
  };
  using EdgeIt = std::vector<Edge>::const_iterator;
  EdgeIt Seek(Instant t, bool orAt) const;
  bool LevelBefore(EdgeIt it) const;
  bool Empty() const { return first_ == edges_.size(); }
  bool LastLevel() const { return Empty() ? base_ : edges_.back().level; }
  bool base_ = true;  // level before the first edge kept
  // Edges from first_ on; forgotten ones are dropped in bulk.
  std::vector<Edge> edges_;
  size_t first_ = 0;
};

// A received character with its errors (kLsrParityError, kLsrFramingError,
// kLsrBreak) and the instant its stop bit was sampled.
struct RxChar {
  uint8_t value = 0;
  uint8_t errors = 0;
  Instant at = 0;
};

// How late the callback that moves a character on may run: `share` of the
// time of `chars` characters, the buffer between lateness and a stalled line
// or a lost character, and never more than a millisecond, so that data is not
// held back long. A late callback catches up in order, at the instants the
// wire would have given.
Time BufferSlack(size_t chars, const LineSettings& s, double share);
// A receiver keeps half its FIFO's room in reserve: lateness beyond the
// slack loses characters.
constexpr double kRoomSlackShare = 0.5;
// A late transmitter shifts what waits back to back at the instants it would
// have had; only lateness beyond all of it leaves the line idle a while.
constexpr double kQueueSlackShare = 0.9;

class Transmitter {
 public:
  struct Hooks {
    std::function<std::optional<uint8_t>()> takeByte;  // next byte to send
    std::function<LineSettings()> settings;
    std::function<Line*()> line;  // where characters are drawn
    std::function<void()> drawn;  // the line got new levels
    std::function<void()> sent;   // a character left the shift register
    // Bytes that wait behind the character being shifted; without it every
    // character ends on time.
    std::function<size_t()> queued;
  };
  Transmitter(Scheduler& scheduler, Hooks hooks);

  // Starts shifting when idle and a byte waits; when busy, the end of the
  // frame may be seen as late as the bytes now waiting allow.
  void Kick();
  // A break holds the line at space; characters shifted meanwhile are lost.
  void SetBreak(bool on);
  bool Busy() const { return busy_; }
  bool InBreak() const { return break_; }
  // Power loss: the character in flight is cut and the line released.
  void Reset();

 private:
  // Draws the next byte's frame from `start`; false when none can start.
  bool StartFrame(Instant start);
  void DrawFrame(Line& line, Instant start, uint8_t value, const LineSettings& s);
  Time FrameEndTick() const;
  Time QueueSlack(const LineSettings& s) const;
  void ArmFrameEnd();
  void FrameDone();

  Scheduler& scheduler_;
  Hooks hooks_;
  Timer timer_;
  bool busy_ = false;
  bool break_ = false;
  Instant frameEnd_ = 0;
  Time frameSlack_ = 0;  // how late the end of the frame in flight may be seen, as of its start
};

class Receiver {
 public:
  struct Hooks {
    std::function<LineSettings()> settings;
    std::function<Line*()> line;  // nullptr: nothing connected, idle at mark
    std::function<void(const RxChar&)> received;
    // Characters that may still arrive before one is lost (the FIFO's
    // room, and what a pending transfer would take); without it every
    // character is sampled on time.
    std::function<size_t()> room;
  };
  Receiver(Scheduler& scheduler, Hooks hooks);

  // New levels were drawn on the line.
  void LineActivity();
  // Settings or source changed: hunt for a start bit afresh from now.
  void Restart();
  // A character has started and is being sampled.
  bool Receiving() const { return timer_.Armed(); }
  // The FIFO has more room: the sampling may be seen as late as it allows.
  void RoomGrew();

 private:
  void Run();
  // Decodes the character whose start edge is at `start`; false when its
  // last sample still lies in the future.
  bool Decode(Line& line, Instant start, const LineSettings& s, Instant now);
  Time RoomSlack(const LineSettings& s) const;

  Scheduler& scheduler_;
  Hooks hooks_;
  Timer timer_;
  Instant readyAt_ = 0;    // hunting for a start bit from here
  bool waitMark_ = false;  // after a break: the line must return to mark first
};

}  // namespace chip
