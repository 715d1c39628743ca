// The Win32 serial API through the real driver on an emulated computer with
// a simulated chip: writes that cannot finish, on the virtual clock. The
// settings and the traffic are the driver's and the rig's tests.
#include <functional>
#include <string>

#include "support/driver_fixture.h"
#include "user/win32/windows.h"

namespace win32test {
namespace {

// COM3, open for overlapped requests.
class Driver : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    PlugChip();
    h_ = Open();
  }
  void TearDown() override {
    CloseHandle(h_);
    DriverTest::TearDown();
  }
  static HANDLE Open() {
    HANDLE h = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    return h;
  }
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A write whose total timeout is beyond any clock waits for as long as it is
// held: its timer lies in the far future rather than in the past.
TEST_F(Driver, AWriteWithAnEndlessTimeoutNeverTimesOut) {
  COMMTIMEOUTS timeouts{0, 0, 0, MAXDWORD, MAXDWORD};
  ASSERT_TRUE(SetCommTimeouts(h_, &timeouts));
  ASSERT_TRUE(EscapeCommFunction(h_, SETXOFF));
  std::string data(65536, 'w');
  OVERLAPPED ov{};
  ASSERT_FALSE(WriteFile(h_, data.data(), DWORD(data.size()), nullptr, &ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  Sleep(1000);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  ASSERT_TRUE(PurgeComm(h_, PURGE_TXABORT));
  DWORD count;
  EXPECT_FALSE(GetOverlappedResult(h_, &ov, &count, TRUE));
}

// A write whose bulk-out chunk never comes back still ends when cancelled
// or closed, with no byte counted as written, and the port works (and
// opens) again afterwards. Its time-out and purge are the driver's tests.
TEST_F(Driver, AWriteWithAHungChunkStillEnds) {
  const std::function<void(OVERLAPPED&)> ends[] = {
      [&](OVERLAPPED& ov) { EXPECT_TRUE(CancelIoEx(h_, &ov)); },
      [&](OVERLAPPED&) {
        EXPECT_TRUE(CloseHandle(h_));
        h_ = INVALID_HANDLE_VALUE;
      },
  };
  for (const auto& end : ends) {
    Port(0).chip->port(0).NeverComplete(chip::Pipe::BulkOut);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    ASSERT_FALSE(WriteFile(h_, "hung", 4, &n, &ov));
    Sleep(20);
    end(ov);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_CANCELLED);
    EXPECT_EQ(ov.InternalHigh, 0u);
    if (h_ == INVALID_HANDLE_VALUE) {
      Sleep(200);  // the close goes out once the write has ended, and takes a while
      h_ = Open();
    }
    OVERLAPPED again{};
    EXPECT_TRUE(WriteFile(h_, "ok", 2, &n, &again) || GetOverlappedResult(h_, &again, &n, TRUE));
    EXPECT_EQ(n, 2u);
  }
}

}  // namespace
}  // namespace win32test
