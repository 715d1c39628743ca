// IoBuildDeviceIoControlRequest: the request the driver below sees, and the
// status block, event, output copy and freeing the I/O manager takes care of.
#include "io_fixture.h"

namespace iotest {
namespace {

using IoBuild = IoTest;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kInternalNeitherCode = CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);

struct BuildCase {
  const char* name;
  bool pend;
  NTSTATUS status;
  bool outputCopied;
};

TEST_F(IoBuild, StatusBlockEventAndOutputAfterCompletion) {
  const BuildCase cases[] = {
      {"completed at once", false, STATUS_SUCCESS, true},
      {"completed at once with a warning", false, STATUS_BUFFER_OVERFLOW, true},
      {"completed at once with an error", false, STATUS_INVALID_PARAMETER, false},
      {"completed later", true, STATUS_SUCCESS, true},
      {"completed later with an error", true, STATUS_DEVICE_NOT_CONNECTED, false},
  };
  PDEVICE_OBJECT bottom = AddBottom();
  DeviceConfig& config = Config(bottom);
  config.reply = {0xA1, 0xA2, 0xA3};
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    config.queue = c.pend;
    config.status = c.status;
    config.information = 3;
    UCHAR input[2] = {0x11, 0x22};
    UCHAR output[4] = {0, 0, 0, 0x5A};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x12345;
    iosb.Information = 99;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, bottom, input, sizeof input, output,
                                             sizeof output, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, bottom->StackSize);
    const NTSTATUS returned = IoCallDriver(bottom, irp);
    EXPECT_EQ(config.lastLocation.MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(config.lastLocation.Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
    EXPECT_EQ(config.lastLocation.Parameters.DeviceIoControl.InputBufferLength, 2u);
    EXPECT_EQ(config.lastLocation.Parameters.DeviceIoControl.OutputBufferLength, 4u);
    EXPECT_EQ(config.lastInput, (std::vector<UCHAR>{0x11, 0x22}));
    if (c.pend) {
      EXPECT_EQ(returned, STATUS_PENDING);
      EXPECT_EQ(KeReadStateEvent(&event), 0);
      EXPECT_EQ(iosb.Status, 0x12345);
      ASSERT_TRUE(CompleteNext(bottom, c.status, 3));
    } else {
      EXPECT_EQ(returned, c.status);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, c.status);
    EXPECT_EQ(iosb.Information, 3u);
    const UCHAR copied[4] = {0xA1, 0xA2, 0xA3, 0x5A};
    const UCHAR untouched[4] = {0, 0, 0, 0x5A};
    EXPECT_EQ(std::memcmp(output, c.outputCopied ? copied : untouched, 4), 0);
    EXPECT_TRUE(kernel::io::LiveIrps().empty());
  }
}

TEST_F(IoBuild, InternalRequestCarriesItsArgumentToTheDriverBelow) {
  PDEVICE_OBJECT bottom = AddBottom();
  PDEVICE_OBJECT top = AddRelay(bottom);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(kInternalNeitherCode, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->Tail.Overlay.Thread, PsGetCurrentThread());
  int urb = 0;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
  const IO_STACK_LOCATION& seen = Config(bottom).lastLocation;
  EXPECT_EQ(seen.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen.Parameters.Others.Argument1, &urb);
  EXPECT_EQ(seen.Parameters.DeviceIoControl.IoControlCode, kInternalNeitherCode);
  EXPECT_EQ(seen.DeviceObject, bottom);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

TEST_F(IoBuild, AWaitThatTimesOutCancelsAndWaitsAgain) {
  PDEVICE_OBJECT bottom = AddBottom();
  Config(bottom).queue = true;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kInternalNeitherCode, bottom, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &iosb);
  ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -1000 * kMs;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  ASSERT_EQ(kernel::io::LiveIrps().size(), 1u);
  EXPECT_EQ(kernel::io::LiveIrps()[0].holder, bottom);
  EXPECT_STREQ(kernel::io::LiveIrps()[0].origin, "threaded");
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

}  // namespace
}  // namespace iotest
