// Bulk-in transfers from the chip, any bytes in any split, into an open port
// with a read and a wait pending: both end within their timeouts, the port
// still carries data, and teardown leaves nothing behind.
#include "emulator/kernel/clock.h"
#include "fuzz/support/fuzz_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  fuzz::Bench bench;
  HANDLE port = bench.OpenFirstPort({0, 0, 300, 0, 300});
  SetCommMask(port, EV_RXCHAR | EV_RXFLAG | EV_BREAK | EV_ERR | EV_RX80FULL);
  fuzz::Request read, wait;
  uint8_t got[512];
  DWORD events = 0;
  ReadFile(port, got, sizeof got, nullptr, &read.overlapped);
  WaitCommEvent(port, &events, &wait.overlapped);
  // Each transfer: a length byte, then that many bytes as the chip sends them.
  for (int transfers = 0; !input.Empty() && transfers < 64; ++transfers) {
    bench.ChipPort(0).InjectBulkIn(input.Take(input.Byte()));
  }
  fuzz::Check(read.Ended(1000), "read still pending past its timeout");
  SetCommMask(port, 0);  // ends a wait nothing satisfied
  fuzz::Check(wait.Ended(100), "wait still pending after the mask changed");
  fuzz::Settle(port);
  fuzz::Check(fuzz::Carries(port, port), "the port no longer carries data");
  fuzz::Check(CloseHandle(port), "close failed");
  return 0;
}
