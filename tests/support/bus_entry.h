// A tap's place in a simulated chip's bus driver: the tap's routine takes the
// bus driver's entry for one major function, and what the tap does not answer
// goes on to the entry it replaced. The entry stays the tap's once the tap is
// gone (its routine then passes everything on), so a tap may outlive the chip
// or go before it.
#pragma once

#include <atomic>

#include "emulator/chip/usb_bus.h"
#include "platform/platform.h"

namespace bus_entry {

template <UCHAR Major>
class BusEntry {
 public:
  static void Take(chip::UsbChip& board, PDRIVER_DISPATCH tap) {
    PDRIVER_DISPATCH& entry = board.Pdo(0)->DriverObject->MajorFunction[Major];
    if (entry != tap) Replaced() = entry;
    entry = tap;
  }
  // The bus driver's own handling.
  static NTSTATUS PassOn(PDEVICE_OBJECT device, PIRP irp) { return Replaced().load()(device, irp); }

 private:
  static std::atomic<PDRIVER_DISPATCH>& Replaced() {
    static std::atomic<PDRIVER_DISPATCH> replaced{nullptr};
    return replaced;
  }
};

}  // namespace bus_entry
