// The character format and speed one end of a wire uses.
#pragma once

#include <cstdint>

namespace chip {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };

struct LineSettings {
  double rate = 9600;  // bits per second actually produced; 0 = clock stopped
  int dataBits = 8;    // 5 to 8
  Parity parity = Parity::None;
  int stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two

  // Durations in 100-ns units (with fractions: bit edges fall between ticks).
  double BitTime() const;
  double FrameBits() const;  // start + data + parity + stop
  double CharTime() const;
  bool Running() const { return rate > 0; }

  // The format a 16550 line control value selects, at `rate`.
  static LineSettings FromLineControl(uint8_t lcr, double rate);
};

// The parity bit that goes with `value` (its low `dataBits` bits).
bool ParityBit(Parity parity, uint8_t value, int dataBits);

}  // namespace chip
