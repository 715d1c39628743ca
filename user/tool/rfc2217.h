// The telnet side of one RFC 2217 client connection, without sockets: bytes
// from the client go in, data for the serial port and replies for the client
// come out. It negotiates BINARY, SUPPRESS-GO-AHEAD, ECHO and COM-PORT-OPTION
// (RFC 854, RFC 2217), unescapes IAC IAC in the client's data, escapes 0xFF in
// the port's data, answers the COM-PORT-OPTION commands through an
// Rfc2217Port and sends the line- and modem-state notifications the client's
// masks let through. Malformed input is dropped; memory stays bounded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace t7315 {

namespace telnet {
constexpr uint8_t kSe = 240, kNop = 241, kSb = 250, kWill = 251, kWont = 252, kDo = 253, kDont = 254,
                  kIac = 255;
constexpr uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPortOption = 44;
}  // namespace telnet

// COM-PORT-OPTION commands as the client sends them; the server answers with
// the command plus kServerOffset.
namespace rfc2217 {
constexpr uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                  kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7, kFlowControlSuspend = 8,
                  kFlowControlResume = 9, kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
// SET-CONTROL values.
constexpr uint8_t kControlFlowQuery = 0, kControlFlowNone = 1, kControlFlowXonXoff = 2,
                  kControlFlowHardware = 3, kControlBreakQuery = 4, kControlBreakOn = 5, kControlBreakOff = 6,
                  kControlDtrQuery = 7, kControlDtrOn = 8, kControlDtrOff = 9, kControlRtsQuery = 10,
                  kControlRtsOn = 11, kControlRtsOff = 12, kControlInboundQuery = 13,
                  kControlInboundNone = 14, kControlInboundXonXoff = 15, kControlInboundHardware = 16,
                  kControlLast = 19;
// PURGE-DATA values.
constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;
// Modem-state bits (the 16550 MSR layout).
constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kTrailingRi = 0x04, kDeltaCd = 0x08, kCts = 0x10,
                  kDsr = 0x20, kRi = 0x40, kCd = 0x80;
// Line-state bits (the 16550 LSR layout, bit 7 a time-out error).
constexpr uint8_t kOverrunError = 0x02, kParityError = 0x04, kFramingError = 0x08, kBreakDetect = 0x10;
}  // namespace rfc2217

// What a session asks of the serial port. Values are in RFC 2217 encoding; a
// zero asks for the current value only. Each call returns the value the port
// has afterwards, which the client receives as the answer: a refused change
// answers with the unchanged value.
class Rfc2217Port {
 public:
  virtual ~Rfc2217Port() = default;
  virtual uint32_t BaudRate(uint32_t requested) = 0;
  virtual uint8_t DataSize(uint8_t requested) = 0;
  virtual uint8_t Parity(uint8_t requested) = 0;
  virtual uint8_t StopSize(uint8_t requested) = 0;
  // `request` is 0..kControlLast; nothing is answered when this returns none.
  virtual std::optional<uint8_t> Control(uint8_t request) = 0;
  // kPurgeReceive, kPurgeTransmit or kPurgeBoth.
  virtual void Purge(uint8_t which) = 0;
  // CTS, DSR, RI and CD in the modem-state layout.
  virtual uint8_t ModemLines() = 0;
};

class Rfc2217Session {
 public:
  // A subnegotiation longer than this is dropped whole.
  static constexpr size_t kMaxSubnegotiation = 256;

  Rfc2217Session(Rfc2217Port& port, std::string signature);

  // Our side of the opening negotiation; call once, first.
  void Start();
  // Takes bytes from the client. Data for the serial port is appended to
  // `toPort`; commands are carried out at once.
  void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& toPort);
  // Data from the serial port for the client.
  void SendData(std::span<const uint8_t> bytes);
  // The port's current CTS, DSR, RI and CD; a notification goes out when a
  // change passes the client's modem-state mask.
  void ModemLinesChanged(uint8_t lines);
  // Line errors the port reported (line-state bits); sent when the client's
  // line-state mask lets any through.
  void LineErrors(uint8_t lineState);

  // The client asked us to stop sending data (FLOWCONTROL-SUSPEND).
  bool Suspended() const { return suspended_; }
  // True once either side agreed to COM-PORT-OPTION.
  bool ComPortActive() const;

  // Bytes waiting for the client, oldest first; Consume drops the first n.
  std::span<const uint8_t> Output() const { return out_; }
  void Consume(size_t n);

 private:
  enum class State : uint8_t { Data, Iac, Verb, Sb, SbData, SbIac };
  struct OptionState {
    bool local = false;            // we do it (after WILL / DO)
    bool remote = false;           // they do it
    bool localRequested = false;   // we sent WILL, no answer yet
    bool remoteRequested = false;  // we sent DO, no answer yet
  };

  void SendCommand(uint8_t verb, uint8_t option);
  void RequestLocal(uint8_t option);
  void RequestRemote(uint8_t option);
  void Negotiate(uint8_t verb, uint8_t option);
  void Answer(uint8_t option, bool asked, bool supported, bool& on, bool& requested, uint8_t yes, uint8_t no);
  void ComPortMaybeStarted(bool wasActive);
  void Subnegotiation();
  void ComPortCommand(uint8_t command, std::span<const uint8_t> value);
  void Reply(uint8_t command, std::span<const uint8_t> value);
  void ReplyByte(uint8_t command, uint8_t value);
  void NotifyModemState(uint8_t lines, bool force);

  Rfc2217Port& port_;
  std::string signature_;
  State state_ = State::Data;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sb_;
  bool sbOverflow_ = false;
  std::array<OptionState, 256> options_{};
  bool suspended_ = false;
  uint8_t lineStateMask_ = 0;
  uint8_t modemStateMask_ = 0xFF;
  std::optional<uint8_t> lastLines_;  // as last reported to the client
  std::vector<uint8_t> out_;
};

}  // namespace t7315
