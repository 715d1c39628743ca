// The real driver through a system sleep: the chip loses power in S3, and
// after the resume the port talks at its old rate and format again without
// the application doing anything; a read pending across the sleep completes
// with the bytes sent before and after it.
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "chip/external_end.h"
#include "host/io_manager.h"
#include "host/power_manager.h"
#include "support/driver_fixture.h"

namespace power_test {
namespace {

class SleepResume : public DriverTest {
 protected:
  struct Pending {
    std::atomic<bool> done{false};
    IO_STATUS_BLOCK io{};
    std::vector<uint8_t> data;
  };

  IO_STATUS_BLOCK Control(ULONG code, const void* in, ULONG inLength) {
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    q.input = in;
    q.inputLength = inLength;
    return host::io::SendUserRequest(file_, std::move(q));
  }

  std::shared_ptr<Pending> Read(ULONG length) {
    auto pending = std::make_shared<Pending>();
    pending->data.assign(length, 0);
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_READ;
    q.output = pending->data.data();
    q.outputLength = length;
    q.onComplete = [pending](const IO_STATUS_BLOCK& io) {
      pending->io = io;
      pending->done.store(true);
    };
    EXPECT_EQ(host::io::SubmitUserRequest(file_, std::move(q)), STATUS_PENDING);
    return pending;
  }

  void Send(chip::ExternalEnd& far, std::vector<uint8_t> bytes) {
    far.Send(bytes);
    host::clock::Sleep(50 * kMs);
  }

  PFILE_OBJECT file_ = nullptr;
};

TEST_F(SleepResume, PendingReadAndLineSettingsSurviveS3) {
  const chip::LineSettings line{.rate = 19200, .dataBits = 7, .parity = chip::Parity::Even, .stopHalfBits = 2};
  chip::UsbChip& board = Pc().AddChip({.ports = 1});
  chip::ExternalEnd far(board.Clock(), line);
  chip::ConnectExternal(board.port(0), far);
  ASSERT_EQ(Pc().Plug(board), std::vector<NTSTATUS>{STATUS_SUCCESS});
  ASSERT_EQ(host::io::OpenFile(u"\\??\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &file_), STATUS_SUCCESS);
  ULONG rate = 19200;
  SERIAL_LINE_CONTROL format = {STOP_BIT_1, EVEN_PARITY, 7};
  ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate).Status, STATUS_SUCCESS);
  ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &format, sizeof format).Status, STATUS_SUCCESS);

  auto read = Read(4);
  Send(far, {'a', 'b'});
  ASSERT_FALSE(read->done.load());

  ASSERT_EQ(host::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Shared(Context(0)->DevPowerState), ULONG(PowerDeviceD3));
  ASSERT_EQ(host::power::ResumeSystem().status, STATUS_SUCCESS);
  EXPECT_EQ(Shared(Context(0)->DevPowerState), ULONG(PowerDeviceD0));

  Send(far, {'c', 'd'});
  for (int i = 0; i < 100 && !read->done.load(); ++i) host::clock::Sleep(10 * kMs);
  ASSERT_TRUE(read->done.load());
  EXPECT_EQ(read->io.Status, STATUS_SUCCESS);
  EXPECT_EQ(read->data, (std::vector<uint8_t>{'a', 'b', 'c', 'd'}));

  // And the other way: what the port sends arrives without errors.
  far.ClearReceived();
  host::io::UserRequest w;
  w.majorFunction = IRP_MJ_WRITE;
  const uint8_t out[] = {'x', 'y'};
  w.input = out;
  w.inputLength = sizeof out;
  EXPECT_EQ(host::io::SendUserRequest(file_, std::move(w)).Status, STATUS_SUCCESS);
  host::clock::Sleep(50 * kMs);
  std::vector<chip::RxChar> received = far.Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].value, 'x');
  EXPECT_EQ(received[0].errors | received[1].errors, 0);
  EXPECT_EQ(Context(0)->PerfStats.FrameErrorCount + Context(0)->PerfStats.ParityErrorCount, 0u);

  host::io::CloseFile(file_);
}

}  // namespace
}  // namespace power_test
