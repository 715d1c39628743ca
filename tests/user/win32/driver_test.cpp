// The Win32 serial API through the real driver on an emulated computer with
// a simulated chip: writes that cannot finish, on the virtual clock. The
// settings and the traffic are the driver's and the rig's tests.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "emulator/chip/cable.h"
#include "emulator/chip/model_lock.h"
#include "user/rig/computer.h"
#include "user/win32/windows.h"

namespace win32test {
namespace {

class Driver : public ::testing::Test {
 protected:
  // COM3 with a loopback plug.
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pc_.emplace();
    chip::UsbChip& board = pc_->AddChip({.ports = 1});
    {
      chip::ModelGuard guard;
      chip::PlugLoopback(board.port(0));
    }
    for (NTSTATUS status : pc_->Plug(board)) ASSERT_EQ(status, STATUS_SUCCESS);
    board_ = &board;
  }

  void TearDown() override {
    for (HANDLE h : open_) CloseHandle(h);
    if (pc_) {
      EXPECT_TRUE(pc_->Shutdown().Clean());
    }
  }

  HANDLE Open(const char* name, DWORD flags = 0) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    open_.push_back(h);
    return h;
  }

  std::optional<rig::Computer> pc_;
  chip::UsbChip* board_ = nullptr;
  std::vector<HANDLE> open_;
};

// A write whose total timeout is beyond any clock waits for as long as it is
// held: its timer lies in the far future rather than in the past.
TEST_F(Driver, AWriteWithAnEndlessTimeoutNeverTimesOut) {
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, MAXDWORD, MAXDWORD};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
  std::string data(65536, 'w');
  OVERLAPPED ov{};
  ASSERT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), nullptr, &ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  Sleep(1000);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT));
  DWORD count;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &count, TRUE));
}

// A write whose bulk-out chunk never comes back still ends when cancelled
// or closed, with no byte counted as written, and the port works (and
// opens) again afterwards. Its time-out and purge are the driver's tests.
TEST_F(Driver, AWriteWithAHungChunkStillEnds) {
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  const std::function<void(OVERLAPPED&)> ends[] = {
      [&](OVERLAPPED& ov) { EXPECT_TRUE(CancelIoEx(h, &ov)); },
      [&](OVERLAPPED&) {
        EXPECT_TRUE(CloseHandle(h));
        open_.clear();
      },
  };
  for (const auto& end : ends) {
    board_->port(0).NeverComplete(chip::Pipe::BulkOut);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    ASSERT_FALSE(WriteFile(h, "hung", 4, &n, &ov));
    Sleep(20);
    end(ov);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_CANCELLED);
    EXPECT_EQ(ov.InternalHigh, 0u);
    if (open_.empty()) {
      Sleep(200);  // the close goes out once the write has ended, and takes a while
      h = Open("COM3", FILE_FLAG_OVERLAPPED);
    }
    ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WriteFile(h, "ok", 2, &n, &ov);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 2u);
    CloseHandle(ov.hEvent);
    PurgeComm(h, PURGE_RXCLEAR);
  }
}

}  // namespace
}  // namespace win32test
