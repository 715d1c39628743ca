// The chip's own per-port registers beside the UART: port setup, serial
// configuration 0 and 1, the two auxiliary registers and port control.
// They hold what is written; the model gives meaning to the clock select
// (SERIAL_CONFIG_REG0 bits 1-0) and the double-rate bit (PORT_CONTROL_REG
// bit 5). The pin registers are in pins.h. Callers hold the model lock.
#pragma once

#include <cstdint>
#include <optional>

namespace chip {

class ChipRegisters {
 public:
  ChipRegisters() { Reset(); }
  void Reset();  // every register 0 at power-on

  // nullopt for an address that is not one of these registers.
  std::optional<uint8_t> Read(uint16_t address) const;
  // False for an address that is not one of these registers.
  bool Write(uint16_t address, uint8_t value);

  uint8_t ClockSelect() const { return config0_ & 0x03; }
  bool DoubleRate() const;

 private:
  uint8_t* Find(uint16_t address);
  uint8_t portSetup_ = 0, config0_ = 0, config1_ = 0, aux0_ = 0, aux1_ = 0, control_ = 0;
};

}  // namespace chip
