#include "emulator/chip/external_end.h"

#include "emulator/chip/model_lock.h"

namespace chip {

ExternalEnd::ExternalEnd(Scheduler& scheduler, LineSettings settings)
    : scheduler_(scheduler),
      settings_(settings),
      tx_(scheduler, {.takeByte = [this] { return TakeByte(); },
                      .settings = [this] { return settings_; },
                      .line = [this] { return &TxLine(); },
                      .drawn = [this] { TxDrawn(); },
                      .sent = [] {}}),
      rx_(scheduler, {.settings = [this] { return settings_; },
                      .line = [this] { return RxLine(); },
                      .received =
                          [this](const RxChar& c) {
                            received_.push_back(c);
                            if (onReceive_) Defer([f = onReceive_, c] { f(c); });
                          }}),
      breakTimer_(scheduler, [this] { EndBreak(); }) {}

ExternalEnd::~ExternalEnd() {
  ModelGuard guard;
  Unplug(*this);
}

void ExternalEnd::SetSettings(const LineSettings& settings) {
  ModelGuard guard;
  settings_ = settings;
  rx_.Restart();
  tx_.Kick();
}

LineSettings ExternalEnd::Settings() const {
  ModelGuard guard;
  return settings_;
}

void ExternalEnd::Send(std::span<const uint8_t> bytes) {
  ModelGuard guard;
  for (uint8_t b : bytes) queue_.push_back({.byte = b});
  tx_.Kick();
}

void ExternalEnd::SendBreak(Time duration) {
  ModelGuard guard;
  queue_.push_back({.breakLength = duration > 0 ? duration : 1});
  tx_.Kick();
}

bool ExternalEnd::Sending() const {
  ModelGuard guard;
  return !queue_.empty() || tx_.Busy() || tx_.InBreak();
}

std::optional<uint8_t> ExternalEnd::TakeByte() {
  if (tx_.InBreak() || queue_.empty()) return std::nullopt;
  Item item = queue_.front();
  queue_.pop_front();
  if (item.breakLength == 0) return item.byte;
  tx_.SetBreak(true);
  breakTimer_.Arm(scheduler_.Now() + item.breakLength);
  return std::nullopt;
}

void ExternalEnd::EndBreak() {
  tx_.SetBreak(false);
  tx_.Kick();
}

void ExternalEnd::Present(const ModemInputs& lines) {
  ModelGuard guard;
  presented_ = lines;
  OutputsChanged();
}

ModemInputs ExternalEnd::Presented() const {
  ModelGuard guard;
  return presented_;
}

ModemOutputs ExternalEnd::PortLines() const {
  ModelGuard guard;
  ModemInputs in = Inputs();
  return {.rts = in.cts, .dtr = in.dsr};
}

std::vector<RxChar> ExternalEnd::Received() const {
  ModelGuard guard;
  return received_;
}

std::vector<uint8_t> ExternalEnd::ReceivedBytes() const {
  ModelGuard guard;
  std::vector<uint8_t> bytes;
  for (const RxChar& c : received_) bytes.push_back(c.value);
  return bytes;
}

void ExternalEnd::ClearReceived() {
  ModelGuard guard;
  received_.clear();
}

void ExternalEnd::OnReceive(std::function<void(const RxChar&)> callback) {
  ModelGuard guard;
  onReceive_ = std::move(callback);
}

void ExternalEnd::OnPortLines(std::function<void(const ModemOutputs&)> callback) {
  ModelGuard guard;
  onPortLines_ = std::move(callback);
}

// On any other cable the end acts as a DTE whose RTS and DTR are the CTS and
// DSR it presents.
ModemOutputs ExternalEnd::Outputs() const { return {.rts = presented_.cts, .dtr = presented_.dsr}; }

void ExternalEnd::InputsChanged() {
  ModemInputs in = Inputs();
  ModemOutputs now{.rts = in.cts, .dtr = in.dsr};
  if (now.rts == lastPortLines_.rts && now.dtr == lastPortLines_.dtr) return;
  lastPortLines_ = now;
  if (onPortLines_) Defer([f = onPortLines_, now] { f(now); });
}

void ExternalEnd::RxActivity() { rx_.LineActivity(); }

void ExternalEnd::RxReplaced() { rx_.Restart(); }

}  // namespace chip
