#include "emulator/chip/wire.h"

#include <algorithm>
#include <cmath>

namespace chip {

// ---------------------------------------------------------------------------
// Line

// The first kept edge after `t` (or at it, with `orAt`). The search gallops
// out from the oldest kept edge: a receiver looks just past what it has let
// go, so the answer is nearly always among the first few edges.
Line::EdgeIt Line::Seek(Instant t, bool orAt) const {
  auto before = [t, orAt](const Edge& e) { return orAt ? e.at < t : e.at <= t; };
  size_t lo = first_;
  size_t hi = first_;
  for (size_t step = 1; hi < edges_.size() && before(edges_[hi]); step *= 2) {
    lo = hi + 1;
    hi += step;
  }
  auto end = edges_.begin() + static_cast<std::ptrdiff_t>(std::min(hi + 1, edges_.size()));
  return std::partition_point(edges_.begin() + static_cast<std::ptrdiff_t>(lo), end, before);
}

bool Line::LevelBefore(EdgeIt it) const {
  return it == edges_.begin() + static_cast<std::ptrdiff_t>(first_) ? base_ : std::prev(it)->level;
}

bool Line::LevelAt(Instant t) const { return LevelBefore(Seek(t, false)); }

uint32_t Line::MidBitLevels(Instant start, double bit, int count) const {
  auto it = Seek(start + 0.5 * bit, false);
  bool level = LevelBefore(it);
  uint32_t levels = 0;
  for (int i = 0; i < count; ++i) {
    Instant t = start + (i + 0.5) * bit;
    for (; it != edges_.end() && it->at <= t; ++it) level = it->level;
    if (level) levels |= 1u << i;
  }
  return levels;
}

std::optional<Instant> Line::NextEdge(Instant from, bool level) const {
  for (auto it = Seek(from, true); it != edges_.end(); ++it) {
    if (it->level == level) return it->at;
  }
  return std::nullopt;
}

void Line::Drive(Instant t, bool level) {
  if (!Empty() && edges_.back().at >= t) {
    t = edges_.back().at;
    edges_.pop_back();  // a pulse of no width is no pulse
  }
  if (level != LastLevel()) edges_.push_back({t, level});
}

void Line::CutAfter(Instant t) {
  while (!Empty() && edges_.back().at > t) edges_.pop_back();
}

void Line::ForgetBefore(Instant t) {
  while (!Empty() && edges_[first_].at < t) base_ = edges_[first_++].level;
  if (first_ > edges_.size() / 2) {
    edges_.erase(edges_.begin(), edges_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
  }
}

void Line::ForgetHistory() {
  base_ = LastLevel();
  edges_.clear();
  first_ = 0;
}

Time BufferSlack(size_t chars, const LineSettings& s, double share) {
  return static_cast<Time>(std::min<double>(kMillisecond, share * static_cast<double>(chars) * s.CharTime()));
}

// ---------------------------------------------------------------------------
// Transmitter

Transmitter::Transmitter(Scheduler& scheduler, Hooks hooks)
    : scheduler_(scheduler), hooks_(std::move(hooks)), timer_(scheduler, [this] { FrameDone(); }) {}

void Transmitter::Kick() {
  if (busy_) return timer_.Relax(QueueSlack(hooks_.settings()));
  if (StartFrame(std::max<Instant>(static_cast<Instant>(scheduler_.Now()), frameEnd_))) ArmFrameEnd();
}

bool Transmitter::StartFrame(Instant start) {
  LineSettings s = hooks_.settings();
  if (!s.Running()) return false;  // no clock: bytes wait in the FIFO
  std::optional<uint8_t> byte = hooks_.takeByte();
  if (!byte) return false;
  busy_ = true;
  Line* line = hooks_.line();
  if (!break_ && line != nullptr) {
    DrawFrame(*line, start, *byte, s);
    hooks_.drawn();
  }
  frameEnd_ = start + s.CharTime();
  frameSlack_ = QueueSlack(s);
  return true;
}

Time Transmitter::QueueSlack(const LineSettings& s) const {
  return hooks_.queued ? BufferSlack(hooks_.queued(), s, kQueueSlackShare) : 0;
}

Time Transmitter::FrameEndTick() const { return static_cast<Time>(std::ceil(frameEnd_)); }

void Transmitter::ArmFrameEnd() { timer_.Arm(FrameEndTick(), frameSlack_); }

void Transmitter::DrawFrame(Line& line, Instant start, uint8_t value, const LineSettings& s) {
  double bit = s.BitTime();
  line.Drive(start, false);
  for (int i = 0; i < s.dataBits; ++i) line.Drive(start + (1 + i) * bit, (value >> i) & 1);
  int index = 1 + s.dataBits;
  if (s.parity != Parity::None) {
    line.Drive(start + index * bit, ParityBit(s.parity, value, s.dataBits));
    ++index;
  }
  line.Drive(start + index * bit, true);
}

// A callback that ran late shifts, in order, every character whose end has
// already come, instead of one callback each.
void Transmitter::FrameDone() {
  Time now = scheduler_.Now();
  for (;;) {
    busy_ = false;
    bool started = StartFrame(frameEnd_);  // back to back when the next byte already waits
    hooks_.sent();
    if (!started || !busy_) return;  // idle, or restarted (and timed) by the byte sent() queued
    if (FrameEndTick() > now) break;
  }
  ArmFrameEnd();
}

void Transmitter::SetBreak(bool on) {
  if (on == break_) return;
  break_ = on;
  Line* line = hooks_.line();
  if (line == nullptr) return;
  Instant now = static_cast<Instant>(scheduler_.Now());
  if (on) line->CutAfter(now);
  line->Drive(now, !on);
  hooks_.drawn();
}

void Transmitter::Reset() {
  timer_.Disarm();
  busy_ = false;
  break_ = false;
  Instant now = static_cast<Instant>(scheduler_.Now());
  frameEnd_ = now;
  if (Line* line = hooks_.line()) {
    line->CutAfter(now);
    line->Drive(now, true);
    hooks_.drawn();
  }
}

// ---------------------------------------------------------------------------
// Receiver

Receiver::Receiver(Scheduler& scheduler, Hooks hooks)
    : scheduler_(scheduler), hooks_(std::move(hooks)), timer_(scheduler, [this] { Run(); }) {}

void Receiver::LineActivity() {
  if (!timer_.Armed()) Run();
}

void Receiver::Restart() {
  timer_.Disarm();
  readyAt_ = static_cast<Instant>(scheduler_.Now());
  waitMark_ = false;
  Run();
}

void Receiver::Run() {
  Instant now = static_cast<Instant>(scheduler_.Now());
  Line* line = hooks_.line();
  if (line == nullptr) return;
  LineSettings s = hooks_.settings();
  if (!s.Running()) {  // a receiver without clock hears nothing
    readyAt_ = now;
    line->ForgetBefore(now);
    return;
  }
  for (;;) {
    if (waitMark_ && !line->LevelAt(readyAt_)) {
      std::optional<Instant> mark = line->NextEdge(readyAt_, true);
      if (!mark) return;
      readyAt_ = *mark;
    }
    waitMark_ = false;
    Instant start = readyAt_;
    if (line->LevelAt(readyAt_)) {
      std::optional<Instant> fall = line->NextEdge(readyAt_, false);
      if (!fall) return;
      start = *fall;
    }
    if (!Decode(*line, start, s, now)) return;
  }
}

Time Receiver::RoomSlack(const LineSettings& s) const {
  return hooks_.room ? BufferSlack(hooks_.room(), s, kRoomSlackShare) : 0;
}

void Receiver::RoomGrew() {
  if (timer_.Armed()) timer_.Relax(RoomSlack(hooks_.settings()));
}

bool Receiver::Decode(Line& line, Instant start, const LineSettings& s, Instant now) {
  double bit = s.BitTime();
  bool hasParity = s.parity != Parity::None;
  int stopIndex = 1 + s.dataBits + (hasParity ? 1 : 0);
  Instant stopSample = start + (stopIndex + 0.5) * bit;
  if (stopSample >= now) {
    timer_.ArmAfter(stopSample, RoomSlack(s));
    return false;
  }
  uint32_t levels = line.MidBitLevels(start, bit, stopIndex + 1);
  auto sample = [levels](int index) { return ((levels >> index) & 1) != 0; };
  if (sample(0)) {  // the line rose again before mid start bit: noise
    readyAt_ = start + 0.5 * bit;
    return true;
  }
  RxChar c;
  c.value = static_cast<uint8_t>((levels >> 1) & ((1u << s.dataBits) - 1));
  bool parityLevel = hasParity && sample(1 + s.dataBits);
  bool stop = sample(stopIndex);
  if (hasParity && parityLevel != ParityBit(s.parity, c.value, s.dataBits)) c.errors |= kLsrParityError;
  if (!stop) c.errors |= kLsrFramingError;
  if (c.value == 0 && !parityLevel && !stop) {  // all space: a break
    c.errors = kLsrBreak;
    waitMark_ = true;
  }
  c.at = stopSample;
  readyAt_ = stopSample;
  line.ForgetBefore(readyAt_);
  hooks_.received(c);
  return true;
}

}  // namespace chip
