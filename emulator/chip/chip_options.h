// Settings of a simulated chip. The defaults are those of a 16550-style
// bridge on a full-speed bus; tests change what they need.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emulator/chip/scheduler.h"

namespace chip {

struct ChipOptions {
  int ports = 4;
  uint16_t vendorId = T7315_USB_VENDOR_ID;  // set by the build, with the INF's
  uint16_t productId = T7315_USB_PRODUCT_ID;
  uint8_t chipMode = 0;             // PIN_OUTPUT_REG bits 1-0 (straps)
  Time frameLength = kMillisecond;  // one USB frame; full speed
  // A host controller that reports bulk-out completions at the end of a
  // (micro)frame of this length: a transfer completes at the first frame
  // boundary after its last byte went into the TX FIFO, so a driver that keeps
  // one transfer in flight sends at most one per frame (1 ms full speed,
  // 125 us high speed). 0: at once, as soon as the FIFO takes the bytes.
  Time bulkOutFrame = 0;
  uint8_t interruptInterval = 1;  // frames between interrupt-in polls
  Time portResetTime = 20 * kMillisecond;
  size_t rxFifoDepth = 128;
  size_t txFifoDepth = 128;
  // A character waits in the RX FIFO this many character times after the
  // last one arrived before a bulk-in transfer takes it (as a 16550's
  // character time-out).
  double rxTimeoutCharTimes = 4;
  // Bytes of vendor descriptors appended to the configuration descriptor,
  // to make it longer than what a driver reads at first.
  size_t configurationPadding = 0;
  // A two-wire memory on every port's pins, at 0x58 for ports 0-3, 0x56 for
  // ports 4-7 and 0x54 above.
  bool twoWireMemory = true;
  // A device power-down to D3 and back loses the registers.
  bool resetOnD3 = true;
};

}  // namespace chip
