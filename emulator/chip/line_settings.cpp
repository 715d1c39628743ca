#include "emulator/chip/line_settings.h"

#include <bit>

#include "emulator/chip/scheduler.h"

namespace chip {

double LineSettings::BitTime() const { return static_cast<double>(kSecond) / rate; }

double LineSettings::FrameBits() const {
  return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopHalfBits / 2.0;
}

double LineSettings::CharTime() const { return FrameBits() * BitTime(); }

LineSettings LineSettings::FromLineControl(uint8_t lcr, double rate) {
  LineSettings s;
  s.rate = rate;
  s.dataBits = 5 + (lcr & 0x03);
  // Bit 2 gives one and a half stop bits with 5-bit words, two otherwise.
  s.stopHalfBits = (lcr & 0x04) == 0 ? 2 : (s.dataBits == 5 ? 3 : 4);
  if ((lcr & 0x08) == 0) {
    s.parity = Parity::None;
  } else if (lcr & 0x20) {  // stick parity: even-select picks space, else mark
    s.parity = (lcr & 0x10) ? Parity::Space : Parity::Mark;
  } else {
    s.parity = (lcr & 0x10) ? Parity::Even : Parity::Odd;
  }
  return s;
}

bool ParityBit(Parity parity, uint8_t value, int dataBits) {
  bool odd = std::popcount(static_cast<unsigned>(value & ((1u << dataBits) - 1))) & 1;
  switch (parity) {
    case Parity::Odd:
      return !odd;
    case Parity::Even:
      return odd;
    case Parity::Mark:
      return true;
    case Parity::Space:
      return false;
    case Parity::None:
      break;
  }
  return true;
}

}  // namespace chip
