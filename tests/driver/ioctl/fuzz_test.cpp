// Random control codes, lengths and buffers against a live port: nothing may
// crash, leak or hang, and a refused request must leave the port as it was.
#include <random>

#include "emulator/kernel/pool.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

// Codes the port knows, and their neighbours. The wait-on-mask request is
// left out because it may stay pending, the port reset because it resets the
// chip's USB port under the running transfers.
std::vector<ULONG> KnownCodes() {
  std::vector<ULONG> codes;
  for (ULONG function = 0; function <= 40; ++function) {
    if (function != 18) codes.push_back(0x1B0000 | function << 2);
  }
  for (ULONG code = 0x1B2C30; code <= 0x1B2C60; code += 4) codes.push_back(code);
  for (ULONG code : {0x1B2CC0u, 0x1B2CC4u, 0x222800u, 0x222804u, 0x22280Cu, 0x222810u, 0x222817u, 0x22281Bu})
    codes.push_back(code);
  return codes;
}

ULONG RandomCode(std::mt19937& rng, const std::vector<ULONG>& known) {
  switch (rng() % 4) {
    case 0:
    case 1:
      return known[rng() % known.size()];
    case 2:  // a known code with another method or access
      return known[rng() % known.size()] ^ (rng() % 16);
    default:
      return ULONG(rng());
  }
}

TEST_F(IoctlTest, RandomRequestsNeverCrashLeakOrChangeStateOnFailure) {
  std::mt19937 rng(7315);
  const std::vector<ULONG> known = KnownCodes();
  ctx_->DebugLogEnabled = 1;
  const size_t irpsBefore = kernel::io::LiveIrps().size();
  const size_t poolBefore = kernel::pool::TotalLiveCount();
  int failures = 0;

  for (int i = 0; i < 3000; ++i) {
    ULONG code = RandomCode(rng, known);
    ULONG in = rng() % 3 == 0 ? 0 : rng() % 300;
    ULONG out = rng() % 3 == 0 ? 0 : rng() % 300;
    Bytes buffer(std::max<ULONG>({in, out, 1}));
    for (auto& b : buffer) b = uint8_t(rng());
    if (code == IOCTL_SERIAL_SET_QUEUE_SIZE && buffer.size() >= 4) {
      buffer[2] &= 0x03;  // growth up to 256 KiB: enough to move the ring, not the host's memory
      buffer[3] = 0;
    }
    bool present = rng() % 8 != 0;
    SCOPED_TRACE(testing::Message() << "request " << i << " code " << std::hex << code << " in " << in
                                    << " out " << out << (present ? "" : " no buffer"));
    Snapshot before = Take();
    Result r = SendIrp(code, in, out, present ? &buffer : nullptr);
    if (!NT_SUCCESS(r.status)) {
      ++failures;
      ASSERT_TRUE(Take() == before) << "status " << r.status;
      if ((code >> 16) == FILE_DEVICE_SERIAL_PORT && (code & 0xFFFF) < 0x2C00) {
        EXPECT_EQ(r.information, 0u);
      }
    } else {
      ASSERT_LE(r.information, out);
    }
  }
  EXPECT_GT(failures, 1000);
  SetShared(ctx_->TxHolding, 0);
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(kernel::io::LiveIrps().size(), irpsBefore);
  EXPECT_EQ(kernel::pool::TotalLiveCount(), poolBefore);
  EXPECT_EQ(Shared(ctx_->OutstandingIo), 1);
}

}  // namespace
}  // namespace ioctl_test
