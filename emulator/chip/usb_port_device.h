// The bus driver's physical device object of one port (usb_bus.h) and the
// dispatch routines the bus driver object uses for it.
#pragma once

#include <atomic>
#include <mutex>

#include "emulator/chip/port.h"
#include "platform/host/io.h"
#include "platform/host/usb.h"

namespace chip {

// One open pipe; its address is the pipe handle handed out.
struct PipeSlot {
  Pipe pipe = Pipe::BulkIn;
  bool open = false;
};

struct PortDevice {
  Port* port = nullptr;
  std::atomic<PDEVICE_OBJECT> pdo{nullptr};  // nullptr once deleted
  std::atomic<bool> reported{false};
  std::atomic<bool> missing{false};  // unplugged: the removal deletes the PDO
  std::mutex mutex;                  // guards the pipe slots
  PipeSlot pipes[3] = {{Pipe::InterruptIn}, {Pipe::BulkIn}, {Pipe::BulkOut}};
  char configurationToken = 0;  // its address is the configuration handle
  char interfaceToken = 0;      // its address is the interface handle
};

PortDevice& PortDeviceOf(PDEVICE_OBJECT pdo);
// The pipe behind a handle of the current configuration, or nullptr.
PipeSlot* OpenPipe(PortDevice& device, PVOID handle);
void ClosePipes(PortDevice& device);

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);

// Completes an IRP that carries an URB with a USBD status and its NTSTATUS.
NTSTATUS CompleteUrb(PIRP irp, PURB urb, int32_t usbdStatus);
// The NTSTATUS a bus driver gives an IRP whose URB ended with `usbdStatus`.
NTSTATUS IrpStatusOf(int32_t usbdStatus);
// Hands the IRP to the model: marks it pending, installs the cancel routine
// and calls `submit`. When the transfer ends, `finish` fills the URB and
// returns the USBD status to report.
NTSTATUS StartTransfer(PortDevice& device, PIRP irp, PURB urb,
                       std::function<int32_t(int32_t usbdStatus, uint32_t length)> finish,
                       std::function<TransferId(TransferDone)> submit);

// urb_requests.cpp
NTSTATUS SubmitUrb(PortDevice& device, PIRP irp, PURB urb);

}  // namespace chip
