// Device-control requests on an open port: any code (the serial ones, the
// vendor ones and any other, every transfer type), any lengths and contents,
// with a read and a wait pending. Every request ends (a pending one within
// two seconds or when cancelled), the pending read and wait end, the port
// reopens and carries data, and teardown leaves nothing behind.
#include "fuzz/support/fuzz_port.h"

namespace {

// Codes the port knows; the input picks one of them or any other.
constexpr DWORD kKnown[] = {0x1B0000, 0x1B2C00, 0x222800};

DWORD Code(fuzz::Input& input) {
  uint8_t pick = input.Byte();
  if (pick < 0xC0) return kKnown[pick % 3] | DWORD(input.Byte()) << 2 | (pick >> 2 & 3);
  return input.Dword();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  fuzz::Bench bench;
  HANDLE port = bench.OpenFirstPort({0, 0, 3000, 0, 3000});
  fuzz::Request read, wait;
  uint8_t got[64];
  DWORD events = 0;
  ReadFile(port, got, sizeof got, nullptr, &read.overlapped);
  SetCommMask(port, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
  WaitCommEvent(port, &events, &wait.overlapped);
  for (int requests = 0; !input.Empty() && requests < 16; ++requests) {
    DWORD code = Code(input);
    DWORD inLength = input.Word() % 600, outLength = input.Word() % 600;
    std::vector<uint8_t> in = input.Take(inLength);
    in.resize(inLength);
    std::vector<uint8_t> out(outLength, 0xCC);
    DWORD answered = 0;
    // A refusal may give a larger count: the size the caller would need.
    const bool done = fuzz::Control(port, code, in.data(), inLength, out.data(), outLength, &answered);
    fuzz::Check(!done || answered <= outLength, "answered more bytes than the output buffer holds");
  }
  // A pending read ends by its timeout; the wait and the rest end at close.
  fuzz::Check(read.Ended(4000), "read still pending past its timeout");
  fuzz::Check(CloseHandle(port), "close failed");
  fuzz::Check(wait.Ended(1000), "wait still pending after the close");
  fuzz::CheckLoopback(bench.Pc().Ports().at(0).Path());
  return 0;
}
