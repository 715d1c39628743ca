#include "emulator/chip/two_wire_memory.h"

namespace chip {

void TwoWireMemory::Observe(bool scl, bool sda) {
  bool wasScl = scl_, wasSda = sda_;
  scl_ = scl;
  sda_ = sda;
  if (scl && wasScl && sda != wasSda) {
    if (sda) {  // stop
      phase_ = Phase::Idle;
      holdLow_ = false;
    } else {
      Start();
    }
  } else if (scl && !wasScl) {
    Rise(sda);
  } else if (!scl && wasScl) {
    Fall();
  }
}

void TwoWireMemory::Start() {
  phase_ = Phase::Receive;
  target_ = Target::DeviceAddress;
  bits_ = 0;
  shift_ = 0;
  holdLow_ = false;
}

// Data is sampled while the clock is high.
void TwoWireMemory::Rise(bool sda) {
  if (phase_ == Phase::Receive) {
    shift_ = static_cast<uint8_t>(shift_ << 1 | (sda ? 1 : 0));
    ++bits_;
  } else if (phase_ == Phase::AckIn) {
    masterAcked_ = !sda;
  }
}

// The device changes SDA only while the clock is low.
void TwoWireMemory::Fall() {
  switch (phase_) {
    case Phase::Receive:
      if (bits_ == 8) ByteReceived();
      return;
    case Phase::AckOut:
      holdLow_ = false;
      if (reading_) {
        LoadByteToSend();
      } else {
        phase_ = Phase::Receive;
        bits_ = 0;
        shift_ = 0;
      }
      return;
    case Phase::Transmit:
      if (++bits_ == 8) {
        holdLow_ = false;  // the master acknowledges now
        ++pointer_;
        phase_ = Phase::AckIn;
      } else {
        holdLow_ = !((shift_ << bits_) & 0x80);
      }
      return;
    case Phase::AckIn:
      if (masterAcked_) {
        LoadByteToSend();
      } else {
        phase_ = Phase::Idle;  // no acknowledge: wait for stop or start
      }
      return;
    case Phase::Idle:
      return;
  }
}

void TwoWireMemory::ByteReceived() {
  switch (target_) {
    case Target::DeviceAddress:
      if ((shift_ & 0xFE) != address_) {
        phase_ = Phase::Idle;  // not ours: stay off the bus
        return;
      }
      reading_ = shift_ & 0x01;
      target_ = Target::WordAddress;
      break;
    case Target::WordAddress:
      pointer_ = shift_;
      target_ = Target::Data;
      break;
    case Target::Data:
      memory_[pointer_++] = shift_;
      break;
  }
  phase_ = Phase::AckOut;
  holdLow_ = true;
}

void TwoWireMemory::LoadByteToSend() {
  phase_ = Phase::Transmit;
  bits_ = 0;
  shift_ = memory_[pointer_];
  holdLow_ = !(shift_ & 0x80);
}

}  // namespace chip
