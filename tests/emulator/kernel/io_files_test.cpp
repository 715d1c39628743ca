// Opening devices by name, and close with requests still outstanding.
#include "emulator/kernel/system_worker.h"
#include "io_fixture.h"

namespace iotest {
namespace {

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

}  // namespace
}  // namespace iotest
