// The Win32 serial API through the real driver on an emulated computer with
// a simulated chip: settings, lines, holds, errors, events, purge,
// properties and data between two ports, all on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "chip/cable.h"
#include "chip/external_end.h"
#include "chip/model_lock.h"
#include "rig/computer.h"
#include "win32/windows.h"

namespace win32test {
namespace {

enum class Wiring { Loopback, NullModem, External };

class Driver : public ::testing::Test {
 protected:
  void Bring(Wiring wiring) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pc_.emplace();
    chip::UsbChip& board = pc_->AddChip({.ports = 2});
    {
      chip::ModelGuard guard;
      if (wiring == Wiring::Loopback) chip::PlugLoopback(board.port(0));
      if (wiring == Wiring::NullModem) chip::ConnectNullModem(board.port(0), board.port(1));
      if (wiring == Wiring::External) {
        far_.emplace(board.Clock());
        chip::ConnectExternal(board.port(0), *far_);
      }
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

  // Reads with a total time-out until `count` bytes came or nothing more does.
  static std::string ReadAll(HANDLE h, size_t count) {
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
    std::string data;
    while (data.size() < count) {
      char buffer[512];
      DWORD got = 0;
      const DWORD want = DWORD(std::min(sizeof buffer, count - data.size()));
      if (!ReadFile(h, buffer, want, &got, nullptr) || got == 0) break;
      data.append(buffer, got);
    }
    return data;
  }

  static DWORD ModemStatus(HANDLE h) {
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(h, &status));
    return status;
  }

  static COMSTAT Stat(HANDLE h, DWORD* errors = nullptr) {
    COMSTAT stat{};
    DWORD ignored;
    EXPECT_TRUE(ClearCommError(h, errors ? errors : &ignored, &stat));
    return stat;
  }

  std::optional<rig::Computer> pc_;
  std::optional<chip::ExternalEnd> far_;
  chip::UsbChip* board_ = nullptr;
  std::vector<HANDLE> open_;
};

TEST_F(Driver, TwoPortsExchangeDataBothWaysAtOnce) {
  Bring(Wiring::NullModem);
  // With no time-outs set, a read waits for all it asked for.
  HANDLE a = Open("COM3", FILE_FLAG_OVERLAPPED), b = Open("\\\\.\\COM4", FILE_FLAG_OVERLAPPED);
  std::string toB(700, 0), toA(500, 0);
  for (size_t i = 0; i < toB.size(); ++i) toB[i] = char(i * 7);
  for (size_t i = 0; i < toA.size(); ++i) toA[i] = char(i * 13 + 1);
  std::string atA(toA.size(), 0), atB(toB.size(), 0);
  struct Transfer {
    HANDLE handle;
    OVERLAPPED ov;
    size_t expected;
  } transfers[] = {{b, {}, toB.size()}, {a, {}, toA.size()}, {a, {}, toB.size()}, {b, {}, toA.size()}};
  HANDLE events[4];
  for (int i = 0; i < 4; ++i) transfers[i].ov.hEvent = events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n;
  EXPECT_FALSE(ReadFile(b, atB.data(), DWORD(atB.size()), &n, &transfers[0].ov));
  EXPECT_FALSE(ReadFile(a, atA.data(), DWORD(atA.size()), &n, &transfers[1].ov));
  WriteFile(a, toB.data(), DWORD(toB.size()), &n, &transfers[2].ov);
  WriteFile(b, toA.data(), DWORD(toA.size()), &n, &transfers[3].ov);
  EXPECT_EQ(WaitForMultipleObjects(4, events, TRUE, 10000), WAIT_OBJECT_0);
  for (Transfer& t : transfers) {
    EXPECT_TRUE(GetOverlappedResult(t.handle, &t.ov, &n, FALSE));
    EXPECT_EQ(n, t.expected);
    CloseHandle(t.ov.hEvent);
  }
  EXPECT_EQ(atB, toB);
  EXPECT_EQ(atA, toA);
}

}  // namespace
}  // namespace win32test
