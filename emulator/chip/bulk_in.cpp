// Bulk-in: received characters leave the RX FIFO framed as packets of
// [length N][N-2 data bytes][line status]. A pending transfer completes once
// the FIFO reaches its trigger level or its newest character has waited the
// receive time-out, carrying all that has arrived. A packet ends after a
// character with an error (so that the status goes with it), before the
// lost characters of an overrun, and at the USB packet size. While no
// transfer is pending the characters stay in the FIFO, until it overflows.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "emulator/chip/port.h"
#include "platform/host/usb.h"

namespace chip {
namespace {

constexpr uint32_t kMaxPacketData = kBulkMaxPacket - 2;

}  // namespace

Time Port::RxTimeout() const {
  LineSettings s = CurrentSettings();
  if (!s.Running()) return options_.frameLength;
  return std::max<Time>(1, static_cast<Time>(std::ceil(options_.rxTimeoutCharTimes * s.CharTime())));
}

// When the FIFO's characters are due to go: at once from the trigger level,
// else once the newest has waited the receive time-out.
Time Port::BulkInDue() const {
  Time now = scheduler_.Now();
  if (uart_.RxCount() >= uart_.RxTriggerLevel()) return now;
  return std::max(lastRxAt_ + RxTimeout(), now);
}

void Port::ServiceBulkIn() {
  auto& q = Queue(Pipe::BulkIn);
  if (q.empty() || q.front().hung) return bulkInTimer_.Disarm();
  if (!faults_.rawBulkIn.empty()) return bulkInTimer_.Arm(scheduler_.Now());
  if (uart_.RxCount() == 0) return bulkInTimer_.Disarm();
  // Every character moves the time-out later: an earlier arming stays, and
  // DeliverBulkIn looks again when it fires, instead of a new arming each.
  // One relaxed while a character was coming in does not stay once none is:
  // the data would wait for nothing.
  Time due = BulkInDue();
  bool keep = bulkInTimer_.Armed() && bulkInDue_ <= due && (rx_.Receiving() || bulkInTimer_.Slack() == 0);
  if (!keep) {
    bulkInTimer_.Arm(due);
    bulkInDue_ = due;
  }
  RelaxBulkIn();
}

// With a transfer pending that takes a full FIFO, a receiver catching up
// hands the FIFO on when it fills (see Received): a full FIFO more may
// arrive before a character is lost.
size_t Port::RxRoomAhead() const {
  const auto& q = Queue(Pipe::BulkIn);
  size_t depth = uart_.RxDepth();
  size_t packets = (depth + kMaxPacketData - 1) / kMaxPacketData;
  bool takesFullFifo = !q.empty() && !q.front().hung && faults_.rawBulkIn.empty() &&
                       q.front().length >= packets * kBulkMaxPacket;
  return uart_.RxRoom() + (takesFullFifo ? depth : 0);
}

// While a character is coming in, the receiver acts again when it has
// arrived, and the transfer may wait for that as long as the receiver may.
void Port::RelaxBulkIn() {
  if (rx_.Receiving()) bulkInTimer_.Relax(BufferSlack(RxRoomAhead(), CurrentSettings(), kRoomSlackShare));
}

void Port::DeliverBulkIn() {
  auto& q = Queue(Pipe::BulkIn);
  if (q.empty() || q.front().hung) return;
  Transfer& t = q.front();
  if (!faults_.rawBulkIn.empty()) {
    std::vector<uint8_t> raw = std::move(faults_.rawBulkIn.front());
    faults_.rawBulkIn.pop_front();
    uint32_t n = std::min<uint32_t>(t.length, static_cast<uint32_t>(raw.size()));
    if (n > 0) std::memcpy(t.buffer, raw.data(), n);
    FinishFront(Pipe::BulkIn, USBD_STATUS_SUCCESS, n);
  } else if (uart_.RxCount() > 0) {
    if (BulkInDue() > scheduler_.Now()) return ServiceBulkIn();  // the time-out moved on
    uint32_t n = PackRxFifo(t.buffer, t.length);
    rx_.RoomGrew();
    // A buffer too small for one packet cannot take what the device sends.
    FinishFront(Pipe::BulkIn, n > 0 ? USBD_STATUS_SUCCESS : USBD_STATUS_BUFFER_OVERRUN, n);
  }
  ServiceBulkIn();
}

uint32_t Port::PackRxFifo(uint8_t* buffer, uint32_t length) {
  auto& fifo = uart_.RxFifo();
  uint8_t base = uart_.LineStatus() & (kLsrThrEmpty | kLsrTxEmpty);
  uint32_t offset = 0;
  while (!fifo.empty() && length - offset >= 3) {
    uint32_t room = std::min(kMaxPacketData, length - offset - 2);
    uint8_t status = base;
    uint32_t n = 0;
    while (n < room && !fifo.empty()) {
      RxEntry e = fifo.front();
      fifo.pop_front();
      buffer[offset + 1 + n++] = e.value;
      if (e.errors || e.overrunAfter) {
        status |= e.errors | (e.overrunAfter ? kLsrOverrun : 0);
        break;
      }
    }
    buffer[offset] = static_cast<uint8_t>(n + 2);
    buffer[offset + 1 + n] = status;
    offset += n + 2;
  }
  return offset;
}

}  // namespace chip
