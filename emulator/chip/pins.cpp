#include "emulator/chip/pins.h"

namespace chip {

void Pins::Reset() {
  output_ = 0x70 | chipMode_;
  UpdateBus();
}

void Pins::WriteOutput(uint8_t value) {
  output_ = static_cast<uint8_t>((value & ~0x03) | chipMode_);
  UpdateBus();
}

uint8_t Pins::ReadInput() const {
  uint8_t levels = (Level(0) ? 1 : 0) | (Level(1) ? 2 : 0) | (Level(2) ? 4 : 0);
  return straps_ | levels;
}

void Pins::SetExternalLevel(int pin, bool level) {
  if (pin < 0 || pin > 2) return;
  external_[pin] = level;
  UpdateBus();
}

bool Pins::Level(int pin) const {
  bool level = Released(pin) && external_[pin];
  if (pin == 1) {
    for (const auto& memory : memories_) level = level && !memory->HoldsDataLow();
  }
  return level;
}

TwoWireMemory& Pins::AttachMemory(uint8_t addressByte) {
  memories_.push_back(std::make_unique<TwoWireMemory>(addressByte));
  UpdateBus();
  return *memories_.back();
}

void Pins::DetachMemories() { memories_.clear(); }

TwoWireMemory* Pins::Memory(uint8_t addressByte) {
  for (auto& memory : memories_) {
    if (memory->Address() == (addressByte & 0xFE)) return memory.get();
  }
  return nullptr;
}

// Devices change SDA only while SCL is low, so one pass settles the bus.
void Pins::UpdateBus() {
  bool scl = Level(0);
  bool sda = Level(1);
  for (auto& memory : memories_) memory->Observe(scl, sda);
}

}  // namespace chip
