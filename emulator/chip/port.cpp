#include "emulator/chip/port.h"

#include "emulator/chip/baud_clock.h"
#include "emulator/chip/model_lock.h"

namespace chip {
namespace {

uint8_t DefaultMemoryAddress(int index) { return static_cast<uint8_t>(0x58 - 2 * std::min(index / 4, 2)); }

}  // namespace

Port::Port(Scheduler& scheduler, const ChipOptions& options, int index)
    : scheduler_(scheduler),
      options_(options),
      index_(index),
      uart_(*this, options.rxFifoDepth, options.txFifoDepth),
      pins_(options.chipMode),
      tx_(scheduler, {.takeByte = [this] { return uart_.TakeTx(); },
                      .settings = [this] { return CurrentSettings(); },
                      .line = [this] { return ActiveTxLine(); },
                      .drawn =
                          [this] {
                            if (loopback_) {
                              rx_.LineActivity();
                              RelaxBulkIn();
                            } else {
                              TxDrawn();
                            }
                          },
                      .sent = [this] { ServiceBulkOut(); },
                      .queued = [this] { return uart_.TxCount() + BulkOutWaiting(); }}),
      rx_(scheduler, {.settings = [this] { return CurrentSettings(); },
                      .line = [this] { return loopback_ ? &loopLine_ : RxLine(); },
                      .received = [this](const RxChar& c) { Received(c); },
                      .room = [this] { return RxRoomAhead(); }}),
      finishTimer_(scheduler, [this] { DeliverFinished(); }),
      controlTimer_(scheduler, [this] { ControlDone(); }),
      bulkInTimer_(scheduler, [this] { DeliverBulkIn(); }),
      interruptTimer_(scheduler, [this] { ReportInterrupt(); }),
      bulkOutFrameTimer_(scheduler, [this] { FinishBulkOutAtFrame(); }),
      resetTimer_(scheduler, [this] {
        for (TransferDone& done : resetsPending_) Defer([done] { done(0, 0); });
        resetsPending_.clear();
      }) {
  if (options.twoWireMemory) pins_.AttachMemory(DefaultMemoryAddress(index));
}

Port::~Port() {
  ModelGuard guard;
  Unplug(*this);
}

// Worked out again only when a register it comes from has changed: the wire
// asks for every character.
LineSettings Port::CurrentSettings() const {
  SettingsSource source{registers_.ClockSelect(), registers_.DoubleRate(), uart_.Divisor(),
                        uart_.LineControl()};
  if (source != settingsSource_) {
    settingsSource_ = source;
    double rate = baud_clock::Rate(source.clockSelect, source.divisor, source.doubleRate);
    settings_ = LineSettings::FromLineControl(source.lineControl, rate);
  }
  return settings_;
}

Line* Port::ActiveTxLine() { return loopback_ ? &loopLine_ : &TxLine(); }

LineSettings Port::Settings() const {
  ModelGuard guard;
  return CurrentSettings();
}

// --- UART changes ------------------------------------------------------------

void Port::LineFormatChanged() {
  rx_.Restart();
  tx_.Kick();  // a stopped clock may run again
}

void Port::ModemControlChanged() {
  bool loopback = uart_.Loopback();
  if (loopback != loopback_) {
    loopback_ = loopback;
    // The line now in use shows the break state; the other one rests at mark.
    Instant now = static_cast<Instant>(scheduler_.Now());
    Line& idle = loopback ? TxLine() : loopLine_;
    idle.CutAfter(now);
    idle.Drive(now, true);
    ActiveTxLine()->Drive(now, !uart_.BreakOn());
    if (loopback) TxDrawn();
    rx_.Restart();
  }
  UpdateModemInputs();
  OutputsChanged();
}

void Port::BreakChanged() { tx_.SetBreak(uart_.BreakOn()); }

void Port::TxQueued() { tx_.Kick(); }

void Port::InterruptSourcesChanged() { ServiceInterruptIn(); }

bool Port::TransmitterBusy() const { return tx_.Busy(); }

void Port::RxFifoReset() { ServiceBulkIn(); }

// --- Connector -----------------------------------------------------------------

// In loopback the modem outputs are cut off from the connector: inactive.
ModemOutputs Port::Outputs() const {
  if (loopback_) return {};
  uint8_t mcr = uart_.ModemControl();
  return {.rts = (mcr & 0x02) != 0, .dtr = (mcr & 0x01) != 0};
}

void Port::InputsChanged() { UpdateModemInputs(); }

void Port::RxActivity() {
  if (loopback_) return;
  rx_.LineActivity();
  RelaxBulkIn();
}

void Port::RxReplaced() {
  if (!loopback_) rx_.Restart();
}

// In loopback RTS feeds CTS, DTR feeds DSR, OUT1 feeds RI and OUT2 feeds DCD.
ModemInputs Port::EffectiveInputs() const {
  if (!loopback_) return Inputs();
  uint8_t mcr = uart_.ModemControl();
  return {
      .cts = (mcr & 0x02) != 0, .dsr = (mcr & 0x01) != 0, .ri = (mcr & 0x04) != 0, .dcd = (mcr & 0x08) != 0};
}

void Port::UpdateModemInputs() { uart_.SetModemInputs(EffectiveInputs()); }

void Port::Received(const RxChar& c) {
  uart_.Receive(c);
  Time now = scheduler_.Now();
  lastRxAt_ = now;
  // A receiver catching up on a late callback hands a full FIFO to the
  // pending transfer, rather than losing what it decodes next; it hands on
  // no sooner, so that what came in a batch goes on together.
  bool late = c.at + CurrentSettings().CharTime() < static_cast<Instant>(now);
  if (late && uart_.RxRoom() == 0) return DeliverBulkIn();
  ServiceBulkIn();
}

// --- Power -----------------------------------------------------------------------

// The UART side only: the USB side keeps its state and its pending
// transfers. A bulk-out transfer that waited for room in the transmit FIFO
// takes the rest of its bytes into the empty one (what the old FIFO held is
// lost with it, as the host was told it was taken), since the reset
// transmitter will not call for it.
void Port::PowerOnReset() {
  uart_.Reset();
  registers_.Reset();
  pins_.Reset();
  tx_.Reset();
  ModemControlChanged();
  uart_.ResetModemInputs(EffectiveInputs());
  rx_.Restart();
  ServiceBulkOut();
}

void Port::LosePower() {
  ModelGuard guard;
  PowerOnReset();
}

void Port::SetDevicePower(int state) {
  ModelGuard guard;
  if (state == 4 && devicePower_ != 4 && options_.resetOnD3) lostPowerInD3_ = true;
  if (state == 1 && lostPowerInD3_) {
    lostPowerInD3_ = false;
    PowerOnReset();
  }
  devicePower_ = state;
}

// --- Pins ------------------------------------------------------------------------

void Port::SetPinExternalLevel(int pin, bool level) {
  ModelGuard guard;
  pins_.SetExternalLevel(pin, level);
}

void Port::SetPinInputStraps(uint8_t bits) {
  ModelGuard guard;
  pins_.SetInputStraps(bits);
}

TwoWireMemory& Port::Memory(uint8_t addressByte) {
  ModelGuard guard;
  if (TwoWireMemory* memory = pins_.Memory(addressByte)) return *memory;
  return pins_.AttachMemory(addressByte);
}

void Port::DetachMemories() {
  ModelGuard guard;
  pins_.DetachMemories();
}

size_t Port::RxFifoCount() const {
  ModelGuard guard;
  return uart_.RxCount();
}

size_t Port::TxFifoCount() const {
  ModelGuard guard;
  return uart_.TxCount();
}

}  // namespace chip
