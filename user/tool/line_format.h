// A serial line's speed, character format and flow control, in the numbering
// a DCB uses, shared by the pseudo-terminals, the COM ports and the wires.
#pragma once

#include <cstdint>
#include <string>

namespace t7315 {

struct LineFormat {
  enum Parity : uint8_t { kNone, kOdd, kEven, kMark, kSpace };
  enum StopBits : uint8_t { kOne, kOneAndHalf, kTwo };
  uint32_t baud = 9600;
  uint8_t dataBits = 8;  // 5 to 8
  uint8_t parity = kNone;
  uint8_t stopBits = kOne;
  bool rtsCts = false;  // CTS holds our transmitter, RTS tells the far end to hold
  bool xonOut = false;  // XOFF received holds our transmitter
  bool xonIn = false;   // we send XOFF when our buffer fills
  bool operator==(const LineFormat&) const = default;
  // "115200 8N1", with " rtscts", " xon" and " xoff" when set.
  std::string Describe() const;
};

}  // namespace t7315
