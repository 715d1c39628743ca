// The 16550-style UART of one port, register by register: receive buffer /
// transmit holding / divisor latches behind LCR bit 7, IER, IIR on read and
// FCR on write, LCR, MCR, LSR and MSR. Offsets count from DIVISOR_LATCH_LSB.
// The port around it owns the wire, the cable and the USB endpoints and is
// told of every change that matters to them. Callers hold the model lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <deque>
#include <optional>

#include "emulator/chip/cable.h"
#include "emulator/chip/line_settings.h"
#include "emulator/chip/wire.h"

namespace chip {

struct RxEntry {
  uint8_t value = 0;
  uint8_t errors = 0;         // kLsrParityError, kLsrFramingError, kLsrBreak
  bool overrunAfter = false;  // characters were lost after this one
};

class UartHost {
 public:
  virtual ~UartHost() = default;
  virtual void LineFormatChanged() = 0;    // LCR format or divisor
  virtual void ModemControlChanged() = 0;  // MCR
  virtual void BreakChanged() = 0;         // LCR bit 6
  virtual void TxQueued() = 0;             // THR written
  virtual void InterruptSourcesChanged() = 0;
  virtual bool TransmitterBusy() const = 0;
  virtual void RxFifoReset() = 0;
};

class Uart {
 public:
  static constexpr int kRegisterCount = 7;

  Uart(UartHost& host, size_t rxFifoDepth, size_t txFifoDepth);
  void Reset();  // power-on values

  uint8_t Read(int offset);
  void Write(int offset, uint8_t value);

  uint16_t Divisor() const { return static_cast<uint16_t>(dlm_ << 8 | dll_); }
  uint8_t LineControl() const { return lcr_; }
  uint8_t ModemControl() const { return mcr_; }
  uint8_t InterruptEnable() const { return ier_; }
  bool Loopback() const { return mcr_ & 0x10; }
  bool BreakOn() const { return lcr_ & 0x40; }
  // The identification a read of IIR would return, without its side effect.
  uint8_t InterruptIdentification() const;
  uint8_t LineStatus() const;
  uint8_t ModemStatus() const { return msr_; }
  // Counts events worth an interrupt report (new delta, error, data, THRE).
  uint32_t Events() const { return events_; }

  // Receiver side.
  void Receive(const RxChar& c);
  std::deque<RxEntry>& RxFifo() { return rxFifo_; }
  size_t RxCount() const { return rxFifo_.size(); }
  size_t RxDepth() const { return fifoEnabled_ ? rxFifoDepth_ : 1; }
  size_t RxRoom() const { return RxDepth() - std::min(RxDepth(), rxFifo_.size()); }
  size_t RxTriggerLevel() const;
  // Transmitter side.
  std::optional<uint8_t> TakeTx();
  size_t TxSpace() const;
  void PushTx(uint8_t value);
  size_t TxCount() const { return txFifo_.size(); }
  // Modem inputs as the pins see them (cable, or MCR in loopback).
  void SetModemInputs(const ModemInputs& in);
  // After a reset: the inputs as they stand, with no change to report.
  void ResetModemInputs(const ModemInputs& in);

 private:
  size_t TxDepth() const { return fifoEnabled_ ? txFifoDepth_ : 1; }
  uint8_t ReadReceiveBuffer();
  void WriteFifoControl(uint8_t value);
  void WriteLineControl(uint8_t value);
  void WriteModemControl(uint8_t value);
  void RaiseEvent();

  UartHost& host_;
  const size_t rxFifoDepth_;
  const size_t txFifoDepth_;
  uint8_t dll_ = 0, dlm_ = 0, ier_ = 0, lcr_ = 0, mcr_ = 0, msr_ = 0;
  uint8_t lsrErrors_ = 0;  // sticky until LSR is read
  uint8_t fifoTrigger_ = 0;
  bool fifoEnabled_ = false;
  bool thrInterrupt_ = false;
  uint8_t lastReceived_ = 0;
  uint32_t events_ = 0;
  std::deque<RxEntry> rxFifo_;
  std::deque<uint8_t> txFifo_;
};

}  // namespace chip
