// Register access by address: the chip's own registers, the pins and the
// UART behind them, with the access log that tests read.
#include "emulator/chip/model_lock.h"
#include "emulator/chip/port.h"
#include "emulator/chip/register_map.h"

namespace chip {
namespace {

bool IsUart(uint16_t address) {
  return address >= reg::kUartBase && address < reg::kUartBase + Uart::kRegisterCount;
}

}  // namespace

std::optional<uint8_t> Port::ReadRegister(uint16_t address) {
  if (IsUart(address)) return uart_.Read(address - reg::kUartBase);
  if (address == reg::kPinOutput) return pins_.ReadOutput();
  if (address == reg::kPinInput) return pins_.ReadInput();
  return registers_.Read(address);
}

bool Port::WriteRegister(uint16_t address, uint8_t value) {
  if (IsUart(address)) {
    uart_.Write(address - reg::kUartBase, value);
    return true;
  }
  if (address == reg::kPinOutput) {
    pins_.WriteOutput(value);
    return true;
  }
  if (address == reg::kPinInput) return true;  // read-only: the write is ignored
  if (!registers_.Write(address, value)) return false;
  if (address == reg::kSerialConfig0 || address == reg::kPortControl) LineFormatChanged();
  return true;
}

std::optional<uint8_t> Port::PeekRegister(uint16_t address) const {
  if (!IsUart(address)) return const_cast<Port*>(this)->ReadRegister(address);  // no side effects there
  bool dlab = uart_.LineControl() & 0x80;
  switch (address) {
    case reg::kUartBase: {
      if (dlab) return static_cast<uint8_t>(uart_.Divisor() & 0xFF);
      const auto& fifo = const_cast<Uart&>(uart_).RxFifo();
      return fifo.empty() ? uint8_t{0} : fifo.front().value;
    }
    case reg::kInterruptEnable:
      return dlab ? static_cast<uint8_t>(uart_.Divisor() >> 8) : uart_.InterruptEnable();
    case reg::kFifoControl:
      return uart_.InterruptIdentification();
    case reg::kLineControl:
      return uart_.LineControl();
    case reg::kModemControl:
      return uart_.ModemControl();
    case reg::kLineStatus:
      return uart_.LineStatus();
    default:
      return uart_.ModemStatus();
  }
}

std::optional<uint8_t> Port::Peek(uint16_t address) const {
  ModelGuard guard;
  return PeekRegister(address);
}

std::optional<uint8_t> Port::Read(uint16_t address) {
  ModelGuard guard;
  return ReadRegister(address);
}

bool Port::Write(uint16_t address, uint8_t value) {
  ModelGuard guard;
  return WriteRegister(address, value);
}

std::vector<RegisterAccess> Port::RegisterLog() const {
  ModelGuard guard;
  return log_;
}

std::vector<RegisterAccess> Port::RegisterWrites() const {
  ModelGuard guard;
  std::vector<RegisterAccess> writes;
  for (const RegisterAccess& a : log_) {
    if (a.write) writes.push_back(a);
  }
  return writes;
}

void Port::ClearRegisterLog() {
  ModelGuard guard;
  log_.clear();
}

}  // namespace chip
