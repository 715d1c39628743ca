// Handles, names, synchronous and overlapped requests, cancellation, error
// mapping and events against the recording driver.
#include <atomic>
#include <thread>

#include "emulator/kernel/system_worker.h"
#include "recording_driver.h"

namespace win32test {
namespace {

using Files = RecordingTest;

TEST_F(Files, NamesResolveThroughTheDosDevicesAndAPortOpensOnce) {
  struct Case {
    const char* name;
    DWORD error;  // 0: opens
  };
  const Case cases[] = {
      {"\\\\.\\COM3", 0},
      {"COM3", 0},
      {"com3:", 0},
      {"\\\\.\\com3", 0},
      {"\\\\?\\COM3", 0},
      {"COM4", ERROR_FILE_NOT_FOUND},
      {"\\\\.\\COM30", ERROR_FILE_NOT_FOUND},
      {"COM33", ERROR_FILE_NOT_FOUND},
      {"C:\\COM3", ERROR_FILE_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(12345);
    HANDLE h = CreateFileA(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.error != 0) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      continue;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(u"\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(h));
  }
  EXPECT_EQ(CreateFileA("COM3", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, BadHandlesAndArgumentsFailCleanlyAndSendNothing) {
  HANDLE h = Open();
  HANDLE overlapped = INVALID_HANDLE_VALUE;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(closed);
  port().log.clear();
  DWORD count = 7;
  UCHAR buffer[4];
  OVERLAPPED ov{};
  DCB dcb{};
  struct Case {
    const char* name;
    std::function<BOOL()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"read, null handle", [&] { return ReadFile(nullptr, buffer, 4, &count, nullptr); },
       ERROR_INVALID_HANDLE},
      {"write, invalid handle", [&] { return WriteFile(INVALID_HANDLE_VALUE, buffer, 4, &count, nullptr); },
       ERROR_INVALID_HANDLE},
      {"read, event handle", [&] { return ReadFile(event, buffer, 4, &count, nullptr); },
       ERROR_INVALID_HANDLE},
      {"comm state, closed handle", [&] { return GetCommState(closed, &dcb); }, ERROR_INVALID_HANDLE},
      {"set event on a file", [&] { return SetEvent(h); }, ERROR_INVALID_HANDLE},
      {"close twice", [&] { return CloseHandle(closed); }, ERROR_INVALID_HANDLE},
      {"read, no buffer", [&] { return ReadFile(h, nullptr, 4, &count, nullptr); }, ERROR_NOACCESS},
      {"control, no output buffer",
       [&] {
         return DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 4, &count, nullptr);
       },
       ERROR_NOACCESS},
      {"read, no count", [&] { return ReadFile(h, buffer, 4, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
      {"escape 0", [&] { return EscapeCommFunction(h, 0); }, ERROR_INVALID_PARAMETER},
      {"escape 10", [&] { return EscapeCommFunction(h, CLRBREAK + 1); }, ERROR_INVALID_PARAMETER},
      {"wait event, no mask", [&] { return WaitCommEvent(h, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
      {"timeouts, no record", [&] { return SetCommTimeouts(h, nullptr); }, ERROR_INVALID_PARAMETER},
      {"overlapped result, none", [&] { return GetOverlappedResult(h, nullptr, &count, FALSE); },
       ERROR_INVALID_PARAMETER},
      {"overlapped, closed event",
       [&] {
         ov.hEvent = closed;
         CloseHandle(h);
         overlapped = Open("COM3", FILE_FLAG_OVERLAPPED);
         return ReadFile(overlapped, buffer, 4, &count, &ov);
       },
       ERROR_INVALID_HANDLE},
      {"overlapped handle, no OVERLAPPED", [&] { return ReadFile(overlapped, buffer, 4, &count, nullptr); },
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.error);
  }
  for (const Request& request : port().log)
    EXPECT_TRUE(request.major == IRP_MJ_CREATE || request.major == IRP_MJ_CLEANUP ||
                request.major == IRP_MJ_CLOSE);
  EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(overlapped);
  CloseHandle(event);
}

TEST_F(Files, DriverStatusesReachGetLastErrorMapped) {
  struct Case {
    NTSTATUS status;
    DWORD error;
  };
  const Case cases[] = {
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
      {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
      {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
      {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
      {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
      {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
      {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_WMI_GUID_NOT_FOUND, ERROR_WMI_GUID_NOT_FOUND},
      {STATUS_WMI_INSTANCE_NOT_FOUND, ERROR_WMI_INSTANCE_NOT_FOUND},
      {NTSTATUS(0xC0000185L), ERROR_IO_DEVICE},
      {NTSTATUS(0x80070005L), ERROR_ACCESS_DENIED},  // a wrapped Win32 error
      {NTSTATUS(0xC0ABCDEFL), ERROR_MR_MID_NOT_FOUND},
  };
  HANDLE h = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error);
    port().failures = {{IOCTL_SERIAL_GET_BAUD_RATE, c.status}};
    SERIAL_BAUD_RATE baud{};
    DWORD returned = 99;
    SetLastError(0);
    EXPECT_FALSE(
        DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &returned, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(returned, 0u);
  }
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_SUCCESS), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), DWORD(ERROR_IO_PENDING));
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_TIMEOUT), DWORD(WAIT_TIMEOUT));
  CloseHandle(h);
}

TEST_F(Files, OverlappedRequestsEndOnTheirEventOrOnTheFile) {
  port().holdIo = true;
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // reset by the read
  UCHAR data[8] = {};
  OVERLAPPED read{};
  read.hEvent = event;
  DWORD count = 99;
  SetLastError(0);
  EXPECT_FALSE(ReadFile(h, data, sizeof data, &count, &read));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(HasOverlappedIoCompleted(&read));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  EXPECT_FALSE(GetOverlappedResult(h, &read, &count, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

  // A write with no event of its own signals the file.
  OVERLAPPED write{};
  const char text[] = "hello";
  EXPECT_FALSE(WriteFile(h, text, 5, &count, &write));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));

  ASSERT_TRUE(CompletePending(port(), STATUS_SUCCESS, {'a', 'b', 'c'}));
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_TRUE(GetOverlappedResult(h, &read, &count, FALSE));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 3), "abc");
  EXPECT_EQ(WaitForSingleObject(h, 0), DWORD(WAIT_TIMEOUT));

  // The waiter blocks until the driver ends the write from another thread.
  std::thread completer([&] { CompletePending(port(), STATUS_SUCCESS); });
  EXPECT_TRUE(GetOverlappedResult(h, &write, &count, TRUE));
  {
    kernel::clock::ScopedExternalWait joining;
    completer.join();
  }
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(port().log.back().input, (std::vector<UCHAR>{'h', 'e', 'l', 'l', 'o'}));

  // A failing overlapped request reports its error through the result.
  DWORD mask = 0;
  OVERLAPPED wait{};
  wait.hEvent = event;
  EXPECT_FALSE(WaitCommEvent(h, &mask, &wait));
  ASSERT_TRUE(CompletePending(port(), STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(GetOverlappedResult(h, &wait, &count, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  // A request the driver ends at once succeeds at once, with its count.
  port().holdIo = false;
  port().waitMask = EV_RXCHAR | EV_CTS;
  EXPECT_TRUE(WaitCommEvent(h, &mask, &wait));
  EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_CTS));
  port().received = {'n', 'o', 'w'};
  EXPECT_TRUE(ReadFile(h, data, sizeof data, &count, &read));
  EXPECT_EQ(count, 3u);
  CloseHandle(event);
  CloseHandle(h);
}

TEST_F(Files, CancelPicksTheRightRequestsAndCloseEndsTheRest) {
  port().holdIo = true;
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  UCHAR data[4];
  OVERLAPPED first{}, second{}, third{};
  DWORD count;
  EXPECT_FALSE(ReadFile(h, data, 4, &count, &first));
  EXPECT_FALSE(ReadFile(h, data, 4, &count, &second));
  OVERLAPPED stranger{};
  EXPECT_FALSE(CancelIoEx(h, &stranger));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
  EXPECT_TRUE(CancelIoEx(h, &second));
  EXPECT_FALSE(GetOverlappedResult(h, &second, &count, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(GetOverlappedResult(h, &first, &count, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

  // CancelIo reaches only the calling thread's requests.
  std::thread other([&] {
    EXPECT_FALSE(ReadFile(h, data, 4, &count, &third));
    EXPECT_TRUE(CancelIo(h));
  });
  {
    kernel::clock::ScopedExternalWait joining;
    other.join();
  }
  EXPECT_FALSE(GetOverlappedResult(h, &third, &count, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(HasOverlappedIoCompleted(&first));

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(HasOverlappedIoCompleted(&first));
  EXPECT_EQ(NTSTATUS(first.Internal), STATUS_CANCELLED);
}

TEST_F(Files, ARequestThatOutlivesItsHandleStillReportsItsEnd) {
  port().holdIo = port().keepOnCleanup = true;
  HANDLE h = Open("COM3", FILE_FLAG_OVERLAPPED);
  UCHAR data[4];
  OVERLAPPED ov{};
  DWORD count;
  EXPECT_FALSE(ReadFile(h, data, sizeof data, &count, &ov));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  ASSERT_TRUE(CompletePending(port(), STATUS_SUCCESS, {'l', 'a', 't', 'e'}));
  EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);
  EXPECT_EQ(ov.InternalHigh, 4u);
  EXPECT_EQ(data[3], 'e');
  kernel::worker::WaitForIdle();
  EXPECT_EQ(port().log.back().major, IRP_MJ_CLOSE);
}

TEST_F(Files, SynchronousRequestsWaitAndAnotherThreadCanCancelThem) {
  HANDLE h = Open();
  port().received = {'x', 'y'};
  UCHAR data[8];
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(h, data, sizeof data, &count, nullptr));
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(WriteFile(h, "abc", 3, &count, nullptr));
  EXPECT_EQ(count, 3u);
  EXPECT_TRUE(FlushFileBuffers(h));
  port().holdIo = true;
  std::thread reader([&] {
    DWORD mask = 0;
    SetLastError(0);
    EXPECT_FALSE(WaitCommEvent(h, &mask, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  });
  // Once the driver has the wait, cancel it from here.
  auto logged = [&] {
    std::lock_guard guard(port().lock);
    return !port().log.empty() && port().log.back().code == IOCTL_SERIAL_WAIT_ON_MASK;
  };
  while (!logged()) std::this_thread::yield();
  EXPECT_TRUE(CancelIoEx(h, nullptr));
  {
    kernel::clock::ScopedExternalWait joining;
    reader.join();
  }
  CloseHandle(h);
}

TEST_F(Files, CloseWhileAnotherThreadSendsRequests) {
  HANDLE h = Open();
  std::atomic<int> done{0};
  std::thread user([&] {
    SERIAL_BAUD_RATE baud{};
    DWORD count;
    while (DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &count, nullptr))
      ++done;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  });
  while (done < 3) std::this_thread::yield();
  EXPECT_TRUE(CloseHandle(h));
  {
    kernel::clock::ScopedExternalWait joining;
    user.join();
  }
  std::lock_guard guard(port().lock);
  EXPECT_EQ(port().log.back().major, IRP_MJ_CLOSE);
}

TEST_F(Files, EventsResetAsCreatedAndTimeOutOnTheMachineClock) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT));  // consumed
  const int64_t start = Now();
  EXPECT_EQ(WaitForSingleObject(manual, 250), DWORD(WAIT_TIMEOUT));
  EXPECT_EQ(Now() - start, 250 * kMs);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_OBJECT_0));  // stays set
  const HANDLE both[] = {automatic, manual};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), DWORD(WAIT_OBJECT_0 + 1));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), DWORD(WAIT_TIMEOUT));
  EXPECT_TRUE(ResetEvent(manual));
  const HANDLE twice[] = {manual, manual};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  const DWORD before = GetTickCount();
  Sleep(1500);
  EXPECT_EQ(GetTickCount() - before, 1500u);
  for (HANDLE h : {manual, automatic}) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace win32test
