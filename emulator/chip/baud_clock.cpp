#include "emulator/chip/baud_clock.h"

namespace chip::baud_clock {

uint32_t Base(uint8_t select) {
  static constexpr uint32_t kBases[4] = {115200, 1152000, 1500000, 921600};
  return kBases[select & 0x03];
}

double Rate(uint8_t select, uint16_t divisor, bool doubleRate) {
  if (divisor == 0) return 0;
  return static_cast<double>(Base(select)) * (doubleRate ? 2 : 1) / divisor;
}

}  // namespace chip::baud_clock
