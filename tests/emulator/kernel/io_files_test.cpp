// Opening devices by name, user-mode requests with buffered I/O, and the
// order of create, cleanup and close.
#include <algorithm>

#include "emulator/kernel/system_worker.h"
#include "io_fixture.h"

namespace iotest {
namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IoFiles : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    port_ = AddBottom(u"\\Device\\Serial0");
    port_->Flags |= DO_BUFFERED_IO | DO_EXCLUSIVE;
    std::u16string link = u"\\DosDevices\\COM3", target = u"\\Device\\Serial0";
    UNICODE_STRING linkName = Text(link), targetName = Text(target);
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &targetName), STATUS_SUCCESS);
  }
  void TearDown() override {
    std::u16string link = u"\\??\\COM3";
    UNICODE_STRING linkName = Text(link);
    IoDeleteSymbolicLink(&linkName);
    IoTest::TearDown();
  }

  PFILE_OBJECT Open() {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel::io::OpenFile(u"\\??\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    return file;
  }

  PDEVICE_OBJECT port_ = nullptr;
};

TEST_F(IoFiles, OpenUseAndCloseReachTheDriverInOrder) {
  PFILE_OBJECT file = Open();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->DeviceObject, port_);
  EXPECT_EQ(port_->ReferenceCount, 1);
  EXPECT_EQ(Config(port_).lastLocation.MajorFunction, IRP_MJ_CREATE);
  EXPECT_EQ(Config(port_).lastLocation.FileObject, file);
  EXPECT_EQ(Config(port_).lastLocation.Parameters.Create.Options >> 24, ULONG(FILE_OPEN));

  DeviceConfig& config = Config(port_);
  config.reply = {'o', 'k'};
  config.information = 2;
  UCHAR readBuffer[8] = {};
  IO_STATUS_BLOCK result =
      kernel::io::SendUserRequest(file, {.output = readBuffer, .outputLength = sizeof readBuffer});
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 2u);
  EXPECT_EQ(std::string(readBuffer, readBuffer + 3), std::string("ok\0", 3));
  EXPECT_EQ(config.lastLocation.Parameters.Read.Length, 8u);

  const UCHAR data[3] = {1, 2, 3};
  config.reply.clear();
  config.information = 3;
  result =
      kernel::io::SendUserRequest(file, {.majorFunction = IRP_MJ_WRITE, .input = data, .inputLength = 3});
  EXPECT_EQ(result.Information, 3u);
  EXPECT_EQ(config.lastInput, (std::vector<UCHAR>{1, 2, 3}));

  ULONG baud = 9600, answer = 0;
  config.reply = {0x00, 0xC2, 0x01, 0x00};
  config.information = 4;
  kernel::io::SendUserRequest(file, {.majorFunction = IRP_MJ_DEVICE_CONTROL,
                                     .ioControlCode = kBufferedCode,
                                     .input = &baud,
                                     .inputLength = sizeof baud,
                                     .output = &answer,
                                     .outputLength = sizeof answer});
  EXPECT_EQ(answer, 115200u);
  EXPECT_EQ(config.lastInput, (std::vector<UCHAR>{0x80, 0x25, 0, 0}));
  EXPECT_EQ(config.lastLocation.Parameters.DeviceIoControl.IoControlCode, kBufferedCode);

  kernel::io::CloseFile(file);
  EXPECT_EQ(config.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE,
                                               IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(port_->ReferenceCount, 0);
}

TEST_F(IoFiles, OpensThatMustFail) {
  PFILE_OBJECT file = Open();
  struct Case {
    const char* name;
    const char16_t* path;
    ULONG exclusive;        // DO_EXCLUSIVE while the test opens
    ULONG extensionFlags;   // kDoe* flags set meanwhile
    NTSTATUS createStatus;  // what the driver answers
    NTSTATUS expected;
  };
  const NTSTATUS ok = STATUS_SUCCESS;
  const Case cases[] = {
      {"exclusive device already open", u"\\??\\COM3", DO_EXCLUSIVE, 0, ok, STATUS_ACCESS_DENIED},
      {"no such name", u"\\??\\COM9", DO_EXCLUSIVE, 0, ok, STATUS_OBJECT_NAME_NOT_FOUND},
      {"driver refuses", u"\\??\\COM3", 0, 0, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY},
      {"device not started", u"\\??\\COM3", 0, kernel::io::kDoeStartPending, ok, STATUS_NO_SUCH_DEVICE},
      {"removal pending", u"\\??\\COM3", 0, kernel::io::kDoeRemovePending, ok, STATUS_DELETE_PENDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port_->Flags = (port_->Flags & ~DO_EXCLUSIVE) | c.exclusive;
    kernel::io::SetExtensionFlags(port_, c.extensionFlags, 0);
    Config(port_).createStatus = c.createStatus;
    PFILE_OBJECT second = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(kernel::io::OpenFile(c.path, GENERIC_READ, 0, &second), c.expected);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(port_->ReferenceCount, 1);
    kernel::io::SetExtensionFlags(port_, 0, c.extensionFlags);
  }
  kernel::io::CloseFile(file);
}

TEST_F(IoFiles, CloseWaitsForOutstandingRequestsAndCancelReachesThem) {
  DeviceConfig& config = Config(port_);
  config.queue = true;
  PFILE_OBJECT file = Open();
  UCHAR buffer[4];
  int completions = 0;
  NTSTATUS lastStatus = 0;
  for (int i = 0; i < 2; ++i) {
    auto done = [&](const IO_STATUS_BLOCK& status) {
      ++completions;
      lastStatus = status.Status;
    };
    EXPECT_EQ(kernel::io::SubmitUserRequest(file, {.output = buffer, .outputLength = 4, .onComplete = done}),
              STATUS_PENDING);
  }
  EXPECT_EQ(kernel::io::OutstandingRequests(file), 2u);
  kernel::io::CloseFile(file);
  EXPECT_EQ(config.majors.back(), IRP_MJ_CLEANUP);
  ASSERT_TRUE(CompleteNext(port_, STATUS_SUCCESS));
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(config.majors.back(), IRP_MJ_CLEANUP);
  kernel::io::CancelUserRequests(file);
  EXPECT_EQ(completions, 2);
  EXPECT_EQ(lastStatus, STATUS_CANCELLED);
  kernel::worker::WaitForIdle();
  EXPECT_EQ(config.majors.back(), IRP_MJ_CLOSE);
  EXPECT_EQ(port_->ReferenceCount, 0);
}

TEST_F(IoFiles, CancelPicksRequestsByStatusBlockAndThread) {
  Config(port_).queue = true;
  PFILE_OBJECT file = Open();
  UCHAR buffer[4];
  IO_STATUS_BLOCK blocks[3] = {};
  std::vector<int> cancelled;
  for (int i = 0; i < 3; ++i) {
    auto done = [&, i](const IO_STATUS_BLOCK& status) {
      if (status.Status == STATUS_CANCELLED) cancelled.push_back(i);
    };
    kernel::io::UserRequest read{
        .output = buffer, .outputLength = 4, .userIosb = &blocks[i], .onComplete = done};
    EXPECT_EQ(kernel::io::SubmitUserRequest(file, std::move(read)), STATUS_PENDING);
  }
  IO_STATUS_BLOCK unknown;
  EXPECT_EQ(kernel::io::CancelUserRequests(file, nullptr, &unknown), 0u);
  EXPECT_EQ(kernel::io::CancelUserRequests(file, nullptr, &blocks[1]), 1u);
  EXPECT_EQ(cancelled, std::vector<int>{1});
  PETHREAD other = reinterpret_cast<PETHREAD>(&unknown);
  EXPECT_EQ(kernel::io::CancelUserRequests(file, other, nullptr), 0u);
  EXPECT_EQ(kernel::io::CancelUserRequests(file, PsGetCurrentThread(), nullptr), 2u);
  std::sort(cancelled.begin() + 1, cancelled.end());
  EXPECT_EQ(cancelled, (std::vector<int>{1, 0, 2}));
  kernel::io::CloseFile(file);
}

}  // namespace
}  // namespace iotest
