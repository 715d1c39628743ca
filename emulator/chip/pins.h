// The general-purpose pins of one port: PIN_OUTPUT_REG and PIN_INPUT_REG.
// Pins are open drain: an output bit of 1 releases the pin (pulled high), 0
// pulls it low; the level read back is also low when something outside pulls
// it low. Pin 0 is the two-wire clock and pin 1 the two-wire data line, on
// which memories may answer. Bits 1-0 of PIN_OUTPUT_REG are the chip-mode
// straps (read-only); bits 7-3 of PIN_INPUT_REG are straps a test may set.
// Callers hold the model lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "emulator/chip/two_wire_memory.h"

namespace chip {

class Pins {
 public:
  explicit Pins(uint8_t chipMode) : chipMode_(chipMode & 0x03) { Reset(); }

  void Reset();  // power-on: every pin released, bit 7 and bit 3 clear
  uint8_t ReadOutput() const { return output_; }
  void WriteOutput(uint8_t value);
  uint8_t ReadInput() const;

  // Something outside holds pin 0, 1 or 2 low (false) or lets it go (true).
  void SetExternalLevel(int pin, bool level);
  void SetInputStraps(uint8_t bits) { straps_ = bits & 0xF8; }
  bool Level(int pin) const;

  TwoWireMemory& AttachMemory(uint8_t addressByte);
  void DetachMemories();
  TwoWireMemory* Memory(uint8_t addressByte);

 private:
  bool Released(int pin) const { return (output_ >> (4 + pin)) & 1; }
  void UpdateBus();

  const uint8_t chipMode_;
  uint8_t output_ = 0;
  uint8_t straps_ = 0;
  std::array<bool, 3> external_{true, true, true};
  std::vector<std::unique_ptr<TwoWireMemory>> memories_;
};

}  // namespace chip
