#include "emulator/chip/chip_registers.h"

#include "emulator/chip/register_map.h"

namespace chip {

void ChipRegisters::Reset() { portSetup_ = config0_ = config1_ = aux0_ = aux1_ = control_ = 0; }

uint8_t* ChipRegisters::Find(uint16_t address) {
  switch (address) {
    case reg::kPortSetup:
      return &portSetup_;
    case reg::kSerialConfig0:
      return &config0_;
    case reg::kSerialConfig1:
      return &config1_;
    case reg::kPortAux0:
      return &aux0_;
    case reg::kPortAux1:
      return &aux1_;
    case reg::kPortControl:
      return &control_;
    default:
      return nullptr;
  }
}

std::optional<uint8_t> ChipRegisters::Read(uint16_t address) const {
  const uint8_t* r = const_cast<ChipRegisters*>(this)->Find(address);
  if (r == nullptr) return std::nullopt;
  return *r;
}

bool ChipRegisters::Write(uint16_t address, uint8_t value) {
  uint8_t* r = Find(address);
  if (r == nullptr) return false;
  *r = value;
  return true;
}

bool ChipRegisters::DoubleRate() const { return control_ & reg::kPortControlDoubleRate; }

}  // namespace chip
