// Internal requests go to the USB device below with their status and count
// preset to 0; the two settings requests first end the reads in progress.
#include "driver/ioctl/internal_control.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using InternalControl = VendorTest;

IO_STATUS_BLOCK SendInternal(PDEVICE_OBJECT fdo, ULONG code) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, fdo, nullptr, 0, nullptr, 0, TRUE, &done, &io);
  irp->IoStatus.Information = 0x1234;
  if (IoCallDriver(fdo, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return io;
}

TEST_F(InternalControl, EveryCodeGoesDownAndOnlySettingsRequestsEndReads) {
  struct Case {
    ULONG code;
    bool endsReads;
  } cases[] = {
      {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, false},
      {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, false},
      {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x40, METHOD_BUFFERED, FILE_ANY_ACCESS), false},
      {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true},
      {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true},
  };
  SetTimeouts(0, 0, 0);  // reads wait for their bytes
  for (const Case& c : cases) {
    auto current = Read(4);
    auto queued = Read(4);
    Inject(Packet({0x41}));  // the first read is being served: it is the current one
    ASSERT_NE(Shared(ctx_->CurrentReadIrp), nullptr);
    ASSERT_FALSE(current->done.load());
    IO_STATUS_BLOCK io = SendInternal(fdo_, c.code);
    // The bus driver below knows none of these codes: its answer is returned.
    EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << c.code;
    EXPECT_EQ(io.Information, 0u);
    kernel::clock::RunUntilIdle();
    EXPECT_EQ(current->done.load(), c.endsReads) << std::hex << c.code;
    EXPECT_EQ(queued->done.load(), c.endsReads);
    if (c.endsReads) {
      EXPECT_EQ(current->status, STATUS_CANCELLED);
      EXPECT_EQ(queued->status, STATUS_CANCELLED);
    } else {
      Inject(Packet({2, 3, 4}));  // both still take their bytes
      Inject(Packet({5, 6, 7, 8}));
      ASSERT_TRUE(Await(current));
      ASSERT_TRUE(Await(queued));
      EXPECT_EQ(current->Bytes(), (std::vector<uint8_t>{0x41, 2, 3, 4}));
      EXPECT_EQ(queued->Bytes(), (std::vector<uint8_t>{5, 6, 7, 8}));
    }
  }
}

TEST_F(InternalControl, SettingsRequestWithoutAReadInProgressTouchesNothing) {
  SetTimeouts(0, 0, 0);
  auto queued = Read(4);  // waits in the queue: no read is being served
  kernel::clock::RunUntilIdle();
  IO_STATUS_BLOCK io = SendInternal(fdo_, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS);
  EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST);
  kernel::clock::RunUntilIdle();
  EXPECT_FALSE(queued->done.load());
  Inject(Packet({1, 2, 3, 4}));
  ASSERT_TRUE(Await(queued));
  EXPECT_EQ(queued->Bytes(), (std::vector<uint8_t>{1, 2, 3, 4}));

  Inject(Packet({1, 2, 3}));
  io = SendInternal(fdo_, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS);
  EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Held(), 3u);
  auto read = Read(3);
  ASSERT_TRUE(Await(read));
  EXPECT_EQ(read->Bytes(), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace ioctl_test
