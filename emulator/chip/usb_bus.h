// A simulated chip plugged into the emulated machine: one physical device
// object per port, answering IRPs and URBs as a USB hub's child does, and
// reported to the Plug and Play manager, which stacks the installed function
// driver on each. Create it after the Machine and destroy it before.
//
//   chip::UsbChip board({.ports = 2});
//   chip::ExternalEnd far(board.Clock());
//   chip::ConnectExternal(board.port(0), far);
//   board.Plug();                       // AddDevice and start on each port
//   board.port(0).FailNext(chip::Pipe::BulkIn, USBD_STATUS_CANCELED);
//   board.Disconnect(1);                // surprise removal of port 1
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/chip/chip.h"
#include "emulator/chip/machine_clock.h"
#include "platform/host/io.h"

namespace chip {

struct PortDevice;

class UsbChip {
 public:
  explicit UsbChip(ChipOptions options = {});
  ~UsbChip();
  UsbChip(const UsbChip&) = delete;
  UsbChip& operator=(const UsbChip&) = delete;

  Port& port(int index) { return model_.port(index); }
  int PortCount() const { return model_.PortCount(); }
  Scheduler& Clock() { return clock_; }
  // nullptr once the Plug and Play manager has removed a disconnected port.
  PDEVICE_OBJECT Pdo(int index) const;
  // Hardware id of the port's device: "USB\VID_vvvv&PID_pppp".
  std::u16string HardwareId() const;
  // Instance path the port's device node gets when it is plugged
  // ("USB\VID_vvvv&PID_pppp\<chip>&<port>"), known before, so that its
  // device key can be prepared.
  std::u16string InstancePath(int index) const;

  // Reports every port to the Plug and Play manager (PASSIVE_LEVEL); the
  // status of each port's add and start.
  std::vector<NTSTATUS> Plug();
  // One port drops off the bus: its transfers end with device-not-connected
  // and the Plug and Play manager removes it.
  void Disconnect(int index);
  // Every port drops off the bus.
  void Unplug();

 private:
  std::u16string InstanceId(int index) const;

  MachineClock clock_;
  Chip model_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<PortDevice>> ports_;
  int serial_ = 0;
};

}  // namespace chip
