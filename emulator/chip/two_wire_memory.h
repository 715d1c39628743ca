// A small two-wire (I2C) memory: 256 bytes behind an 8-bit word address. It
// acknowledges its own address byte and no other, and supports the byte
// write (start, address, offset, data..., stop) and the random read (start,
// address, offset, restart, address|1, data with acknowledges, stop). The
// pointer advances after each byte. Callers hold the model lock.
#pragma once

#include <array>
#include <cstdint>

namespace chip {

class TwoWireMemory {
 public:
  // `addressByte` in write form (bit 0 is the read flag and is ignored).
  explicit TwoWireMemory(uint8_t addressByte) : address_(addressByte & 0xFE) {}

  uint8_t Address() const { return address_; }
  std::array<uint8_t, 256>& Contents() { return memory_; }

  // The bus levels after a change; the device answers by holding SDA low.
  void Observe(bool scl, bool sda);
  bool HoldsDataLow() const { return holdLow_; }

 private:
  enum class Phase { Idle, Receive, AckOut, Transmit, AckIn };
  enum class Target { DeviceAddress, WordAddress, Data };

  void Start();
  void Rise(bool sda);
  void Fall();
  void ByteReceived();
  void LoadByteToSend();

  const uint8_t address_;
  std::array<uint8_t, 256> memory_{};
  bool scl_ = true, sda_ = true;
  Phase phase_ = Phase::Idle;
  Target target_ = Target::DeviceAddress;
  bool reading_ = false;
  bool masterAcked_ = false;
  int bits_ = 0;
  uint8_t shift_ = 0;
  uint8_t pointer_ = 0;
  bool holdLow_ = false;
};

}  // namespace chip
