// Interrupt-in: the host polls every interval; the device answers a poll
// with a 16-byte status report when something happened since its last
// report and an interrupt is still pending: [0] interrupt identification
// (IIR), [1] LSR, [2] MSR, [3] IER, [4] LCR, [5] MCR, the rest 0. Reading the
// report changes no register: the host clears the conditions by reading LSR
// or MSR.
#include <cstring>

#include "emulator/chip/port.h"
#include "platform/host/usb.h"

namespace chip {

void Port::ServiceInterruptIn() {
  auto& q = Queue(Pipe::InterruptIn);
  if (q.empty() || q.front().hung || uart_.Events() == reportedEvents_) return;
  if (!interruptTimer_.Armed()) interruptTimer_.Arm(NextInterruptPoll());
}

Time Port::NextInterruptPoll() const {
  Time interval = std::max<Time>(1, options_.interruptInterval) * options_.frameLength;
  return (scheduler_.Now() / interval + 1) * interval;
}

void Port::ReportInterrupt() {
  auto& q = Queue(Pipe::InterruptIn);
  if (q.empty() || q.front().hung || uart_.Events() == reportedEvents_) return;
  reportedEvents_ = uart_.Events();
  uint8_t id = uart_.InterruptIdentification();
  if (id & 0x01) return;  // cleared before the poll: nothing to report
  Transfer& t = q.front();
  if (t.length < kInterruptInMaxPacket) {
    FinishFront(Pipe::InterruptIn, USBD_STATUS_BUFFER_OVERRUN, 0);
    return;
  }
  uint8_t report[kInterruptInMaxPacket] = {id,
                                           uart_.LineStatus(),
                                           uart_.ModemStatus(),
                                           uart_.InterruptEnable(),
                                           uart_.LineControl(),
                                           uart_.ModemControl()};
  std::memcpy(t.buffer, report, sizeof report);
  FinishFront(Pipe::InterruptIn, USBD_STATUS_SUCCESS, kInterruptInMaxPacket);
}

}  // namespace chip
