#include "emulator/chip/uart_registers.h"

#include <algorithm>

namespace chip {
namespace {

enum Offset { kData = 0, kIer = 1, kIirFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5, kMsr = 6 };

constexpr uint8_t kDlab = 0x80;
constexpr uint8_t kIerRxData = 0x01;
constexpr uint8_t kIerThrEmpty = 0x02;
constexpr uint8_t kIerModemStatus = 0x08;

}  // namespace

Uart::Uart(UartHost& host, size_t rxFifoDepth, size_t txFifoDepth)
    : host_(host),
      rxFifoDepth_(std::max<size_t>(rxFifoDepth, 1)),
      txFifoDepth_(std::max<size_t>(txFifoDepth, 1)) {
  Reset();
}

// A bridge comes up at 9600 bits/s, 8 data bits, no parity, one stop bit,
// with FIFOs off and every interrupt disabled.
void Uart::Reset() {
  dll_ = 12;
  dlm_ = 0;
  ier_ = 0;
  lcr_ = 0x03;
  mcr_ = 0;
  msr_ = 0;
  lsrErrors_ = 0;
  fifoTrigger_ = 0;
  fifoEnabled_ = false;
  thrInterrupt_ = false;
  lastReceived_ = 0;
  rxFifo_.clear();
  txFifo_.clear();
}

uint8_t Uart::Read(int offset) {
  switch (offset) {
    case kData:
      return (lcr_ & kDlab) ? dll_ : ReadReceiveBuffer();
    case kIer:
      return (lcr_ & kDlab) ? dlm_ : ier_;
    case kIirFcr: {
      uint8_t id = InterruptIdentification();
      if ((id & 0x0F) == 0x02) thrInterrupt_ = false;  // reading IIR acknowledges THRE
      return id;
    }
    case kLcr:
      return lcr_;
    case kMcr:
      return mcr_;
    case kLsr: {
      uint8_t value = LineStatus();
      lsrErrors_ = 0;
      return value;
    }
    case kMsr: {
      uint8_t value = msr_;
      msr_ &= 0xF0;  // deltas clear when read
      return value;
    }
  }
  return 0;
}

void Uart::Write(int offset, uint8_t value) {
  switch (offset) {
    case kData:
      if (lcr_ & kDlab) {
        dll_ = value;
        host_.LineFormatChanged();
      } else {
        if (TxSpace() > 0) PushTx(value);
        thrInterrupt_ = false;
        host_.TxQueued();
      }
      return;
    case kIer:
      if (lcr_ & kDlab) {
        dlm_ = value;
        host_.LineFormatChanged();
      } else {
        if ((value & ~ier_ & kIerThrEmpty) && txFifo_.empty()) thrInterrupt_ = true;
        ier_ = value & 0x0F;
        if ((InterruptIdentification() & 0x01) == 0) RaiseEvent();
      }
      return;
    case kIirFcr:
      WriteFifoControl(value);
      return;
    case kLcr:
      WriteLineControl(value);
      return;
    case kMcr:
      WriteModemControl(value);
      return;
    default:
      return;  // LSR and MSR are status: writes have no effect
  }
}

uint8_t Uart::ReadReceiveBuffer() {
  if (rxFifo_.empty()) return lastReceived_;
  lastReceived_ = rxFifo_.front().value;
  rxFifo_.pop_front();
  return lastReceived_;
}

void Uart::WriteFifoControl(uint8_t value) {
  bool enable = value & 0x01;
  if (enable != fifoEnabled_) {  // switching the FIFOs empties them
    fifoEnabled_ = enable;
    rxFifo_.clear();
    txFifo_.clear();
    host_.RxFifoReset();
  }
  if (!enable) return;  // the other bits count only with bit 0 set
  if (value & 0x02) {
    rxFifo_.clear();
    host_.RxFifoReset();
  }
  if (value & 0x04) txFifo_.clear();
  fifoTrigger_ = value >> 6;
}

void Uart::WriteLineControl(uint8_t value) {
  uint8_t changed = lcr_ ^ value;
  lcr_ = value;
  if (changed & 0x3F) host_.LineFormatChanged();
  if (changed & 0x40) host_.BreakChanged();
}

void Uart::WriteModemControl(uint8_t value) {
  mcr_ = value & 0x1F;
  host_.ModemControlChanged();
}

uint8_t Uart::InterruptIdentification() const {
  uint8_t fifo = fifoEnabled_ ? 0xC0 : 0x00;
  // Line errors are always signalled: the host must read LSR to clear them.
  if (lsrErrors_) return fifo | 0x06;
  if ((ier_ & kIerRxData) && !rxFifo_.empty() && rxFifo_.size() >= RxTriggerLevel()) return fifo | 0x04;
  if ((ier_ & kIerThrEmpty) && thrInterrupt_) return fifo | 0x02;
  if ((ier_ & kIerModemStatus) && (msr_ & 0x0F)) return fifo | 0x00;
  return fifo | 0x01;
}

uint8_t Uart::LineStatus() const {
  uint8_t value = lsrErrors_;
  if (!rxFifo_.empty()) value |= kLsrDataReady;
  if (txFifo_.empty()) {
    value |= kLsrThrEmpty;
    if (!host_.TransmitterBusy()) value |= kLsrTxEmpty;
  }
  if (fifoEnabled_ &&
      std::any_of(rxFifo_.begin(), rxFifo_.end(), [](const RxEntry& e) { return e.errors != 0; })) {
    value |= kLsrFifoError;
  }
  return value;
}

size_t Uart::RxTriggerLevel() const {
  if (!fifoEnabled_) return 1;
  // 1, 4, 8 and 14 of 16, scaled to the FIFO's depth.
  size_t levels[4] = {1, rxFifoDepth_ / 4, rxFifoDepth_ / 2, rxFifoDepth_ * 7 / 8};
  return std::max<size_t>(levels[fifoTrigger_ & 3], 1);
}

void Uart::Receive(const RxChar& c) {
  if (rxFifo_.size() >= RxDepth()) {  // overrun: the new character is lost
    if (!rxFifo_.empty()) rxFifo_.back().overrunAfter = true;
    lsrErrors_ |= kLsrOverrun;
    RaiseEvent();
    return;
  }
  rxFifo_.push_back({.value = c.value, .errors = c.errors});
  if (c.errors) {
    lsrErrors_ |= c.errors;
    RaiseEvent();
  } else if ((ier_ & kIerRxData) && rxFifo_.size() == RxTriggerLevel()) {
    RaiseEvent();
  }
}

std::optional<uint8_t> Uart::TakeTx() {
  if (txFifo_.empty()) return std::nullopt;
  uint8_t value = txFifo_.front();
  txFifo_.pop_front();
  if (txFifo_.empty() && (ier_ & kIerThrEmpty)) {
    thrInterrupt_ = true;
    RaiseEvent();
  }
  return value;
}

size_t Uart::TxSpace() const { return TxDepth() - std::min(TxDepth(), txFifo_.size()); }

void Uart::PushTx(uint8_t value) { txFifo_.push_back(value); }

void Uart::SetModemInputs(const ModemInputs& in) {
  uint8_t status = (in.cts ? 0x10 : 0) | (in.dsr ? 0x20 : 0) | (in.ri ? 0x40 : 0) | (in.dcd ? 0x80 : 0);
  uint8_t changed = status ^ (msr_ & 0xF0);
  uint8_t delta = 0;
  if (changed & 0x10) delta |= 0x01;
  if (changed & 0x20) delta |= 0x02;
  if ((changed & 0x40) && !in.ri) delta |= 0x04;  // ring: trailing edge only
  if (changed & 0x80) delta |= 0x08;
  uint8_t fresh = delta & ~msr_;
  msr_ = status | (msr_ & 0x0F) | delta;
  if (fresh) RaiseEvent();
}

void Uart::ResetModemInputs(const ModemInputs& in) {
  SetModemInputs(in);
  msr_ &= 0xF0;
}

void Uart::RaiseEvent() {
  ++events_;
  host_.InterruptSourcesChanged();
}

}  // namespace chip
