// The UART clock: a clock select, the divisor latch and the double-rate bit
// give the rate the port really runs at. Nothing is rounded to the rate the
// driver meant, so a wrong divisor shows up as a wrong rate.
#pragma once

#include <cstdint>

namespace chip::baud_clock {

// Base rate (rate x divisor) of clock select 0 to 3.
uint32_t Base(uint8_t select);
// Bits per second produced; 0 when the divisor is 0 (the clock stops).
double Rate(uint8_t select, uint16_t divisor, bool doubleRate);

}  // namespace chip::baud_clock
