#include "user/tool/rfc2217.h"

#include <algorithm>

namespace t7315 {
namespace {

using namespace telnet;

bool SupportedLocally(uint8_t option) {
  // ECHO is offered so that a plain telnet client leaves echoing to the
  // device on the far end instead of echoing locally.
  return option == kBinary || option == kEcho || option == kSuppressGoAhead || option == kComPortOption;
}

bool SupportedRemotely(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

}  // namespace

Rfc2217Session::Rfc2217Session(Rfc2217Port& port, std::string signature)
    : port_(port), signature_(std::move(signature)) {}

void Rfc2217Session::Start() {
  RequestLocal(kBinary);
  RequestRemote(kBinary);
  RequestLocal(kSuppressGoAhead);
  RequestLocal(kEcho);
  RequestLocal(kComPortOption);
}

bool Rfc2217Session::ComPortActive() const {
  return options_[kComPortOption].local || options_[kComPortOption].remote;
}

void Rfc2217Session::Consume(size_t n) {
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(std::min(n, out_.size())));
}

void Rfc2217Session::SendCommand(uint8_t verb, uint8_t option) {
  out_.insert(out_.end(), {kIac, verb, option});
}

void Rfc2217Session::RequestLocal(uint8_t option) {
  OptionState& o = options_[option];
  if (o.local || o.localRequested) return;
  o.localRequested = true;
  SendCommand(kWill, option);
}

void Rfc2217Session::RequestRemote(uint8_t option) {
  OptionState& o = options_[option];
  if (o.remote || o.remoteRequested) return;
  o.remoteRequested = true;
  SendCommand(kDo, option);
}

// Answers only when the state changes, so two parties never loop (RFC 854).
void Rfc2217Session::Negotiate(uint8_t verb, uint8_t option) {
  OptionState& o = options_[option];
  const bool wasActive = ComPortActive();
  switch (verb) {
    case kDo:
    case kDont:
      Answer(option, verb == kDo, SupportedLocally(option), o.local, o.localRequested, kWill, kWont);
      break;
    case kWill:
    case kWont:
      Answer(option, verb == kWill, SupportedRemotely(option), o.remote, o.remoteRequested, kDo, kDont);
      break;
  }
  ComPortMaybeStarted(wasActive);
}

// One side of an option: `on` and `requested` are ours (DO/DONT, answered
// with WILL/WONT) or theirs (WILL/WONT, answered with DO/DONT).
void Rfc2217Session::Answer(uint8_t option, bool asked, bool supported, bool& on, bool& requested,
                            uint8_t yes, uint8_t no) {
  if (asked && !supported) {
    SendCommand(no, option);
  } else if (asked != on) {
    on = asked;
    if (!requested) SendCommand(asked ? yes : no, option);
  }
  requested = false;
}

// A client that just agreed to COM-PORT-OPTION learns the modem lines at
// once: clients report them from the last notification they got.
void Rfc2217Session::ComPortMaybeStarted(bool wasActive) {
  if (!wasActive && ComPortActive()) NotifyModemState(port_.ModemLines(), true);
}

void Rfc2217Session::Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& toPort) {
  for (uint8_t b : bytes) {
    switch (state_) {
      case State::Data:
        if (b == kIac) {
          state_ = State::Iac;
        } else {
          toPort.push_back(b);
        }
        break;
      case State::Iac:
        state_ = State::Data;
        if (b == kIac) {
          toPort.push_back(kIac);
        } else if (b >= kWill) {
          verb_ = b;
          state_ = State::Verb;
        } else if (b == kSb) {
          state_ = State::Sb;
        }
        // Other commands (NOP, GA, AYT, BRK, a stray SE, ...) carry nothing
        // for a serial line.
        break;
      case State::Verb:
        Negotiate(verb_, b);
        state_ = State::Data;
        break;
      case State::Sb:
      case State::SbData:
        if (state_ == State::Sb) {
          sb_.clear();
          sbOverflow_ = false;
          state_ = State::SbData;
        }
        if (b == kIac) {
          state_ = State::SbIac;
        } else if (sb_.size() < kMaxSubnegotiation) {
          sb_.push_back(b);
        } else {
          sbOverflow_ = true;
        }
        break;
      case State::SbIac:
        if (b == kIac) {
          if (sb_.size() < kMaxSubnegotiation) {
            sb_.push_back(kIac);
          } else {
            sbOverflow_ = true;
          }
          state_ = State::SbData;
        } else if (b == kSe) {
          if (!sbOverflow_) Subnegotiation();
          state_ = State::Data;
        } else {
          // A command inside a subnegotiation: the subnegotiation was cut
          // short; drop it and take the command as it stands.
          state_ = State::Iac;
          const uint8_t again[] = {b};
          Receive(again, toPort);
        }
        break;
    }
  }
}

void Rfc2217Session::Subnegotiation() {
  if (sb_.size() < 2 || sb_[0] != kComPortOption || !ComPortActive()) return;
  ComPortCommand(sb_[1], std::span<const uint8_t>(sb_).subspan(2));
}

void Rfc2217Session::ComPortCommand(uint8_t command, std::span<const uint8_t> value) {
  using namespace rfc2217;
  // A value of the wrong length asks for the current setting only.
  auto byteValue = [&] { return value.size() == 1 ? value[0] : uint8_t{0}; };
  switch (command) {
    case kSignature:
      if (value.empty())
        Reply(kSignature, std::span(reinterpret_cast<const uint8_t*>(signature_.data()), signature_.size()));
      break;
    case kSetBaudRate: {
      uint32_t rate = 0;
      if (value.size() == 4)
        rate = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | value[2] << 8 | value[3];
      rate = port_.BaudRate(rate);
      const uint8_t answer[] = {uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8), uint8_t(rate)};
      Reply(kSetBaudRate, answer);
      break;
    }
    case kSetDataSize:
      ReplyByte(kSetDataSize, port_.DataSize(byteValue()));
      break;
    case kSetParity:
      ReplyByte(kSetParity, port_.Parity(byteValue()));
      break;
    case kSetStopSize:
      ReplyByte(kSetStopSize, port_.StopSize(byteValue()));
      break;
    case kSetControl:
      if (value.size() == 1 && value[0] <= kControlLast) {
        if (auto answer = port_.Control(value[0])) ReplyByte(kSetControl, *answer);
      }
      break;
    case kNotifyModemState:  // a poll
      NotifyModemState(port_.ModemLines(), true);
      break;
    case kFlowControlSuspend:
      suspended_ = true;
      break;
    case kFlowControlResume:
      suspended_ = false;
      break;
    case kSetLineStateMask:
      if (value.size() == 1) lineStateMask_ = value[0];
      ReplyByte(kSetLineStateMask, lineStateMask_);
      break;
    case kSetModemStateMask:
      if (value.size() == 1) modemStateMask_ = value[0];
      ReplyByte(kSetModemStateMask, modemStateMask_);
      break;
    case kPurgeData:
      if (value.size() == 1 && value[0] >= kPurgeReceive && value[0] <= kPurgeBoth) {
        port_.Purge(value[0]);
        ReplyByte(kPurgeData, value[0]);
      }
      break;
    default:  // NOTIFY-LINESTATE and unknown commands have no client form
      break;
  }
}

void Rfc2217Session::Reply(uint8_t command, std::span<const uint8_t> value) {
  out_.insert(out_.end(), {kIac, kSb, kComPortOption, uint8_t(command + rfc2217::kServerOffset)});
  for (uint8_t b : value) {
    out_.push_back(b);
    if (b == kIac) out_.push_back(kIac);
  }
  out_.insert(out_.end(), {kIac, kSe});
}

void Rfc2217Session::ReplyByte(uint8_t command, uint8_t value) {
  const uint8_t one[] = {value};
  Reply(command, one);
}

void Rfc2217Session::SendData(std::span<const uint8_t> bytes) {
  out_.reserve(out_.size() + bytes.size());
  for (uint8_t b : bytes) {
    out_.push_back(b);
    if (b == kIac) out_.push_back(kIac);
  }
}

void Rfc2217Session::NotifyModemState(uint8_t lines, bool force) {
  using namespace rfc2217;
  lines &= kCts | kDsr | kRi | kCd;
  const uint8_t last = lastLines_.value_or(lines);
  const uint8_t changed = lines ^ last;
  uint8_t state = lines;
  if (changed & kCts) state |= kDeltaCts;
  if (changed & kDsr) state |= kDeltaDsr;
  if (changed & kCd) state |= kDeltaCd;
  if ((changed & kRi) && !(lines & kRi)) state |= kTrailingRi;
  const bool wasReported = lastLines_.has_value();
  lastLines_ = lines;
  if (!ComPortActive()) return;
  const bool relevant = ((state & 0x0F) | changed) & modemStateMask_;
  if (force || !wasReported || relevant) ReplyByte(kNotifyModemState, state & modemStateMask_);
}

void Rfc2217Session::ModemLinesChanged(uint8_t lines) { NotifyModemState(lines, false); }

void Rfc2217Session::LineErrors(uint8_t lineState) {
  if (!ComPortActive() || (lineState & lineStateMask_) == 0) return;
  ReplyByte(rfc2217::kNotifyLineState, lineState & lineStateMask_);
}

}  // namespace t7315
