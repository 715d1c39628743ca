// Bulk-out: plain data for the transmitter. The device takes bytes only as
// the TX FIFO has room, so a transfer completes when its last byte is in the
// FIFO and a writer is paced by the real line speed.
#include "emulator/chip/model_lock.h"
#include "emulator/chip/port.h"
#include "platform/host/usb.h"

namespace chip {

void Port::ServiceBulkOut() {
  auto& q = Queue(Pipe::BulkOut);
  while (!q.empty() && !q.front().hung) {
    Transfer& t = q.front();
    while (t.done < t.length && uart_.TxSpace() > 0) uart_.PushTx(t.buffer[t.done++]);
    tx_.Kick();
    if (t.done < t.length) return;  // the transmitter calls again when a byte has left
    if (options_.bulkOutFrame > 0) {
      if (!bulkOutFrameTimer_.Armed()) {
        bulkOutFrameTimer_.Arm((scheduler_.Now() / options_.bulkOutFrame + 1) * options_.bulkOutFrame);
      }
      return;
    }
    if (submitting_ && finished_.empty()) {
      // The FIFO took it all as it came: it completes within its submission,
      // so that a writer that keeps one transfer in flight fills the FIFO
      // without a round trip through the DPC thread for every transfer.
      Transfer done = std::move(q.front());
      q.pop_front();
      Defer([callback = std::move(done.callback), length = done.length] {
        callback(USBD_STATUS_SUCCESS, length);
      });
      continue;
    }
    FinishFront(Pipe::BulkOut, USBD_STATUS_SUCCESS, t.length);
  }
}

size_t Port::BulkOutWaiting() const {
  const auto& q = Queue(Pipe::BulkOut);
  return q.empty() || q.front().hung ? 0 : q.front().length - q.front().done;
}

// The frame ended: the transfer whose bytes all went is reported. One that
// was cancelled meanwhile is gone; the next one has not gone yet.
void Port::FinishBulkOutAtFrame() {
  auto& q = Queue(Pipe::BulkOut);
  if (q.empty() || q.front().hung || q.front().done < q.front().length) return;
  FinishFront(Pipe::BulkOut, USBD_STATUS_SUCCESS, q.front().length);
  ServiceBulkOut();
}

}  // namespace chip
