// Bulk-out: plain data for the transmitter. The device takes bytes only as
// the TX FIFO has room, so a transfer completes when its last byte is in the
// FIFO and a writer is paced by the real line speed.
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
    FinishFront(Pipe::BulkOut, USBD_STATUS_SUCCESS, t.length);
  }
}

}  // namespace chip
