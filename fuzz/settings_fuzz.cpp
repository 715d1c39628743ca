// The settings file every port reads at start, any length and content: the
// port starts (or fails to start cleanly), carries data when it started, and
// teardown leaves nothing behind.
#include "emulator/kernel/files.h"
#include "fuzz/support/fuzz_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x2000) return -1;
  fuzz::Bench bench([&](rig::Computer&) {
    fuzz::Check(kernel::files::WriteWholeFile("\\SystemRoot\\System32\\Tarvio7315Setting.bin",
                                              std::vector<uint8_t>(data, data + size)),
                "cannot lay down the settings file");
  });
  if (NT_SUCCESS(bench.StartStatus(0))) fuzz::CheckLoopback(bench.Pc().Ports().at(0).Path());
  return 0;
}
