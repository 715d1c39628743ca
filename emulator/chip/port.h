// One port of the chip: a USB device of its own with its UART, its chip
// registers and pins, its serial connector and its four endpoints (default
// control, interrupt-in, bulk-in, bulk-out). The USB face turns IRPs and URBs
// into the transfer calls below; tests use the rest to look inside and to
// inject faults. Public members take the model lock themselves.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "emulator/chip/cable.h"
#include "emulator/chip/chip_options.h"
#include "emulator/chip/chip_registers.h"
#include "emulator/chip/pins.h"
#include "emulator/chip/timer.h"
#include "emulator/chip/uart_registers.h"
#include "emulator/chip/wire.h"

namespace chip {

enum class Pipe : uint8_t { Control, InterruptIn, BulkIn, BulkOut };
constexpr int kPipeCount = 4;

// Endpoint addresses, in the configuration descriptor's order.
constexpr uint8_t kInterruptInEndpoint = 0x81;
constexpr uint8_t kBulkInEndpoint = 0x82;
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr uint16_t kInterruptInMaxPacket = 16;
constexpr uint16_t kBulkMaxPacket = 64;

struct SetupPacket {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

struct RegisterAccess {
  Time at = 0;
  bool write = false;
  uint16_t address = 0;
  uint8_t value = 0;
  bool operator==(const RegisterAccess& o) const {
    return write == o.write && address == o.address && value == o.value;
  }
};

// How a transfer ended: a USBD status and the bytes moved. Called without
// the model lock.
using TransferDone = std::function<void(int32_t usbdStatus, uint32_t length)>;
using TransferId = uint64_t;

class Port final : public Connector, private UartHost {
 public:
  Port(Scheduler& scheduler, const ChipOptions& options, int index);
  ~Port() override;

  int Index() const { return index_; }

  // --- USB device side (the face) ---
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  // `data` holds setup.length bytes; it is written (IN) only at completion.
  TransferId SubmitControl(const SetupPacket& setup, uint8_t* data, TransferDone done);
  // Bulk and interrupt transfers. An IN buffer is written only at completion;
  // an OUT buffer is read while the transfer is pending.
  TransferId Submit(Pipe pipe, uint8_t* buffer, uint32_t length, TransferDone done);
  // Completes the transfer with USBD_STATUS_CANCELED if it is still pending.
  bool Cancel(TransferId id);
  // Ends every pending transfer of `pipe` with USBD_STATUS_CANCELED.
  void AbortPipe(Pipe pipe);
  // A USB reset of the port: pipes aborted and un-halted, configuration kept.
  void ResetPort(TransferDone done);
  // Device power state changes seen by the bus driver (D0 = 1 ... D3 = 4).
  void SetDevicePower(int state);
  bool Connected() const;
  uint8_t Configuration() const;
  bool RemoteWakeEnabled() const;
  bool Halted(Pipe pipe) const;
  // Told (without the lock) when the port is disconnected.
  void OnDisconnect(std::function<void()> callback);

  // --- Looking inside (tests) ---
  // The value a read would return, without the read's side effects.
  std::optional<uint8_t> Peek(uint16_t address) const;
  // A register access as the bus would make it, side effects included; not logged.
  std::optional<uint8_t> Read(uint16_t address);
  bool Write(uint16_t address, uint8_t value);
  // Register accesses made through the vendor request, oldest first.
  std::vector<RegisterAccess> RegisterLog() const;
  std::vector<RegisterAccess> RegisterWrites() const;
  void ClearRegisterLog();
  LineSettings Settings() const;
  size_t RxFifoCount() const;
  size_t TxFifoCount() const;

  // Pins and the two-wire bus.
  void SetPinExternalLevel(int pin, bool level);
  void SetPinInputStraps(uint8_t bits);
  // The memory at `addressByte` (write form), attached if there is none.
  TwoWireMemory& Memory(uint8_t addressByte);
  void DetachMemories();

  // --- Faults ---
  void StallControlTransfers(int count);
  // The next `count` vendor reads of the register at `address` stall; other
  // control transfers go through.
  void StallRegisterReads(uint16_t address, int count);
  // The next `count` transfers of `pipe` never complete unless cancelled; a
  // hung control transfer holds up the ones behind it.
  void NeverComplete(Pipe pipe, int count = 1);
  // The next transfer of `pipe` to complete (the pending one, else the next
  // submitted) ends with `usbdStatus`; a stall halts the pipe.
  void FailNext(Pipe pipe, int32_t usbdStatus);
  // The next bulk-in completion carries exactly these bytes.
  void InjectBulkIn(std::vector<uint8_t> raw);
  // Pending transfers end with USBD_STATUS_DEVICE_GONE, later ones fail so,
  // the UART loses power; then the OnDisconnect callback runs.
  void Disconnect();
  // Every register back to its power-on value; USB state is kept.
  void LosePower();

 private:
  struct Transfer {
    TransferId id = 0;
    Pipe pipe = Pipe::Control;
    SetupPacket setup;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t done = 0;  // bulk-out bytes taken so far
    bool hung = false;
    TransferDone callback;
  };
  struct Faults {
    int stallControl = 0;
    uint16_t stallReadAddress = 0;
    int stallReads = 0;
    std::array<int, kPipeCount> hang{};
    std::array<std::deque<int32_t>, kPipeCount> fail;
    std::deque<std::vector<uint8_t>> rawBulkIn;
  };

  // UartHost
  void LineFormatChanged() override;
  void ModemControlChanged() override;
  void BreakChanged() override;
  void TxQueued() override;
  void InterruptSourcesChanged() override;
  bool TransmitterBusy() const override;
  void RxFifoReset() override;
  // Connector
  ModemOutputs Outputs() const override;
  void InputsChanged() override;
  void RxActivity() override;
  void RxReplaced() override;

  // port.cpp
  LineSettings CurrentSettings() const;
  Line* ActiveTxLine();
  ModemInputs EffectiveInputs() const;
  void UpdateModemInputs();
  void Received(const RxChar& c);
  void PowerOnReset();
  // port_registers.cpp
  std::optional<uint8_t> ReadRegister(uint16_t address);
  bool WriteRegister(uint16_t address, uint8_t value);
  std::optional<uint8_t> PeekRegister(uint16_t address) const;
  // transfers.cpp
  std::deque<Transfer>& Queue(Pipe pipe) { return queues_[static_cast<int>(pipe)]; }
  const std::deque<Transfer>& Queue(Pipe pipe) const { return queues_[static_cast<int>(pipe)]; }
  TransferId Enqueue(Transfer t);
  void Finish(Transfer t, int32_t usbdStatus, uint32_t length);
  void FinishFront(Pipe pipe, int32_t usbdStatus, uint32_t length);
  void DeliverFinished();
  void Service(Pipe pipe);
  bool TakeFailure(Pipe pipe, int32_t& status);
  // control_pipe.cpp
  void StartControl();
  void ControlDone();
  bool TakeRegisterReadStall(const SetupPacket& s);
  std::pair<int32_t, uint32_t> Execute(const SetupPacket& s, uint8_t* data);
  std::pair<int32_t, uint32_t> ExecuteVendor(const SetupPacket& s, uint8_t* data);
  std::pair<int32_t, uint32_t> ExecuteStandard(const SetupPacket& s, uint8_t* data);
  std::pair<int32_t, uint32_t> GetDescriptor(const SetupPacket& s, uint8_t* data);
  std::pair<int32_t, uint32_t> SetFeature(const SetupPacket& s, bool on);
  void SetConfiguration(uint8_t value);
  // bulk_in.cpp
  void ServiceBulkIn();
  Time RxTimeout() const;
  Time BulkInDue() const;
  void DeliverBulkIn();
  void RelaxBulkIn();
  size_t RxRoomAhead() const;
  uint32_t PackRxFifo(uint8_t* buffer, uint32_t length);
  // bulk_out.cpp
  void ServiceBulkOut();
  // Bytes of the pending bulk-out transfer that the TX FIFO has yet to take.
  size_t BulkOutWaiting() const;
  void FinishBulkOutAtFrame();
  // interrupt_in.cpp
  void ServiceInterruptIn();
  Time NextInterruptPoll() const;
  void ReportInterrupt();

  struct SettingsSource {
    uint8_t clockSelect = 0xFF;  // none yet
    bool doubleRate = false;
    uint16_t divisor = 0;
    uint8_t lineControl = 0;
    bool operator==(const SettingsSource&) const = default;
  };

  Scheduler& scheduler_;
  const ChipOptions& options_;
  const int index_;
  Uart uart_;
  ChipRegisters registers_;
  Pins pins_;
  Line loopLine_;  // TX to RX inside the UART in loopback mode
  Transmitter tx_;
  Receiver rx_;
  bool loopback_ = false;
  Time lastRxAt_ = 0;
  mutable SettingsSource settingsSource_;  // what settings_ was worked out from
  mutable LineSettings settings_;

  bool connected_ = true;
  uint8_t configuration_ = 0;
  bool remoteWake_ = false;
  std::array<bool, kPipeCount> halted_{};
  int devicePower_ = 1;
  bool lostPowerInD3_ = false;
  std::array<std::deque<Transfer>, kPipeCount> queues_;
  TransferId nextId_ = 1;
  std::vector<std::pair<Transfer, std::pair<int32_t, uint32_t>>> finished_;
  bool submitting_ = false;  // a transfer is being submitted
  Timer finishTimer_;
  Timer controlTimer_;
  Timer bulkInTimer_;
  Time bulkInDue_ = 0;  // when bulkInTimer_ fires, if armed
  Timer interruptTimer_;
  Timer bulkOutFrameTimer_;
  Timer resetTimer_;
  std::vector<TransferDone> resetsPending_;
  uint32_t reportedEvents_ = 0;
  Faults faults_;
  std::vector<RegisterAccess> log_;
  std::function<void()> onDisconnect_;
};

}  // namespace chip
