// Register access against the simulated chip: retries, the one-second limit
// and the register mutex (plain reads and writes are every suite's).
#include <gtest/gtest.h>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/system_worker.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "registers_fixture.h"

namespace uart_test {
namespace {

using RegisterAccessTest = ChipPortTest;

// Stalls, a missing lower device and exhausted pool: each access returns the
// last failure after its attempts, leaves the caller's buffer alone and
// frees the mutex once.
struct FailingAccess {
  const char* name;
  int stalls;
  bool detached;
  bool noPool;
  NTSTATUS status;
  int64_t minMs, maxMs;  // of the whole call
};
// 20 one-frame transfers and 19 one-millisecond pauses.
const FailingAccess kFailingAccesses[] = {
    {"stalled 20 times", 20, false, false, STATUS_UNSUCCESSFUL, 38, 42},
    {"stalled 19 times", 19, false, false, STATUS_SUCCESS, 38, 42},
    {"no lower device", 0, true, false, STATUS_UNSUCCESSFUL, 19, 21},
    {"no pool", 0, false, true, STATUS_INSUFFICIENT_RESOURCES, 0, 0},
};
class FailingAccesses : public ChipPortTest, public testing::WithParamInterface<FailingAccess> {};

TEST_P(FailingAccesses, AreRetriedThenReported) {
  const FailingAccess& c = GetParam();
  SCOPED_TRACE(c.name);
  Chip().Write(chip::reg::kPortAux0, 0x77);
  Chip().StallControlTransfers(c.stalls);
  if (c.detached) Detach();
  if (c.noPool) kernel::pool::FailAllocationsWithTag(DriverPoolTag);
  UCHAR value = 0x11;
  int64_t start = Now();
  EXPECT_EQ(ReadRegister(ctx_, chip::reg::kPortAux0, 1, &value), c.status);
  EXPECT_GE(Now() - start, c.minMs * kMs);
  EXPECT_LE(Now() - start, c.maxMs * kMs);
  EXPECT_EQ(value, c.status == STATUS_SUCCESS ? 0x77 : 0x11);
  EXPECT_TRUE(MutexFree());
  kernel::pool::ClearInjection();
}
INSTANTIATE_TEST_SUITE_P(Register, FailingAccesses, testing::ValuesIn(kFailingAccesses));

TEST_F(RegisterAccessTest, TransferThatNeverCompletesIsCancelledAfterOneSecond) {
  Chip().NeverComplete(chip::Pipe::Control);
  UCHAR value = 0x11;
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, RegisterReadRequestType, RegisterRequest,
                        MODEM_CONTROL_REGISTER, 0, &value, nullptr, 1, nullptr);
  int64_t start = Now();
  EXPECT_EQ(SubmitUrbSync(ctx_, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Now() - start, kernel::clock::kSecond);
  // The cancelled transfer has finished before the call returned.
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(value, 0x11);

  // A register access rides over one hung transfer with its next attempt.
  Chip().NeverComplete(chip::Pipe::Control);
  Chip().Write(chip::reg::kModemControl, 0x03);
  start = Now();
  EXPECT_EQ(ReadRegister(ctx_, MODEM_CONTROL_REGISTER, 1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x03);
  EXPECT_GE(Now() - start, kernel::clock::kSecond);
  EXPECT_LT(Now() - start, kernel::clock::kSecond + 5 * kMs);
}

// While one thread's access waits out its retries, another thread's access
// waits for the mutex instead of slipping in between (and taking some of the
// stalls meant for the first).
TEST_F(RegisterAccessTest, AccessesOfTwoThreadsDoNotInterleave) {
  Chip().StallControlTransfers(RegisterAccessAttempts);
  std::atomic<int64_t> writeDone{0};
  std::atomic<NTSTATUS> writeStatus{-1};
  kernel::worker::Queue([&] {
    kernel::clock::Sleep(2 * kMs);  // starts while the read below is retrying
    UCHAR value = 0x5A;
    writeStatus = WriteRegister(ctx_, chip::reg::kPortAux0, 1, &value);
    writeDone = Now();
  });
  UCHAR value = 0;
  EXPECT_EQ(ReadRegister(ctx_, MODEM_CONTROL_REGISTER, 1, &value), STATUS_UNSUCCESSFUL);
  int64_t readDone = Now();
  kernel::worker::WaitForIdle();
  EXPECT_EQ(writeStatus.load(), STATUS_SUCCESS);
  EXPECT_GT(writeDone.load(), readDone);
  EXPECT_EQ(Chip().Peek(chip::reg::kPortAux0), 0x5A);
}

TEST_F(RegisterAccessTest, DelayWaitsBelowDispatchAndSpinsAtDispatch) {
  struct Case {
    KIRQL irql;
    ULONG milliseconds;
    int64_t elapsed;
  };
  const Case cases[] = {
      {PASSIVE_LEVEL, 10, 10 * kMs},
      {PASSIVE_LEVEL, 1, 1 * kMs},
      {DISPATCH_LEVEL, 10, 1 * kMs},  // spinning gives a tenth
      {DISPATCH_LEVEL, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "IRQL " << int(c.irql) << ", " << c.milliseconds << " ms");
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    int64_t start = Now();
    DelayMilliseconds(c.milliseconds);
    int64_t elapsed = Now() - start;
    KeLowerIrql(old);
    EXPECT_EQ(elapsed, c.elapsed);
  }
}

}  // namespace
}  // namespace uart_test
