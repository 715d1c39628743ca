// Opening and closing COM ports and the request path: ReadFile, WriteFile,
// DeviceIoControl with synchronous and overlapped completion, their results
// and their cancellation.
#include <atomic>
#include <string>

#include "user/win32/objects.h"

namespace win32 {
namespace {

// "\\.\COM3" and "\\?\COM3" name the object namespace; a bare "COM1" to
// "COM9" (optionally with a colon) is a reserved DOS device name. Anything
// else would be a path in a file system, which this machine does not have.
bool NtName(std::u16string name, std::u16string* ntName) {
  if (name.size() > 4 && (name.compare(0, 4, u"\\\\.\\") == 0 || name.compare(0, 4, u"\\\\?\\") == 0)) {
    *ntName = u"\\??\\" + name.substr(4);
    return true;
  }
  if (!name.empty() && name.back() == u':') name.pop_back();
  if (name.size() == 4 && (name[0] == u'C' || name[0] == u'c') && (name[1] == u'O' || name[1] == u'o') &&
      (name[2] == u'M' || name[2] == u'm') && name[3] >= u'1' && name[3] <= u'9') {
    *ntName = u"\\??\\COM" + name.substr(3);
    return true;
  }
  return false;
}

HANDLE CreateFileCore(const std::u16string& name, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string ntName;
  if (!NtName(name, &ntName)) {
    SetLastError(name.empty() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  const NTSTATUS status = kernel::io::OpenFile(ntName, access, shareMode, &file->file);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  KeInitializeEvent(&file->event, NotificationEvent, FALSE);
  KeInitializeEvent(&file->drained, NotificationEvent, FALSE);
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::move(file));
}

void CloseFileObject(FileObject& file) {
  bool wait;
  {
    std::lock_guard guard(file.lock);
    file.closing = true;
    wait = file.submitting != 0;
  }
  if (wait) KeWaitForSingleObject(&file.drained, Executive, KernelMode, FALSE, nullptr);
  kernel::io::CloseFile(file.file);
}

// Runs `action` on the file object unless the handle is being closed.
template <typename Action>
bool WithFileObject(FileObject& file, Action action) {
  {
    std::lock_guard guard(file.lock);
    if (file.closing) return false;
    ++file.submitting;
  }
  action(file.file);
  std::lock_guard guard(file.lock);
  if (--file.submitting == 0 && file.closing) KeSetEvent(&file.drained, IO_NO_INCREMENT, FALSE);
  return true;
}

std::atomic_ref<ULONG_PTR> Internal(OVERLAPPED& overlapped) { return std::atomic_ref(overlapped.Internal); }
std::atomic_ref<ULONG_PTR> InternalHigh(OVERLAPPED& overlapped) {
  return std::atomic_ref(overlapped.InternalHigh);
}

void Record(OVERLAPPED& overlapped, const IO_STATUS_BLOCK& result) {
  InternalHigh(overlapped).store(result.Information, std::memory_order_relaxed);
  Internal(overlapped).store(ULONG(result.Status), std::memory_order_release);
}

BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD transferred) {
  if (transferred != nullptr) *transferred = DWORD(information);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

// The overlapped form: the request runs on while the caller goes on; its end
// is recorded in the OVERLAPPED and signalled on the caller's event, or on the
// file when there is none.
BOOL StartOverlapped(const std::shared_ptr<FileObject>& file, kernel::io::UserRequest request,
                     LPDWORD transferred, OVERLAPPED& overlapped) {
  std::shared_ptr<EventObject> event;
  // The low bit of hEvent only keeps a completion port away.
  HANDLE eventHandle =
      reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped.hEvent) & ~ULONG_PTR(1));
  if (eventHandle != nullptr && (event = ReferenceEvent(eventHandle)) == nullptr) return FALSE;
  PKEVENT signal = event != nullptr ? &event->event : &file->event;
  KeClearEvent(signal);
  InternalHigh(overlapped).store(0, std::memory_order_relaxed);
  Internal(overlapped).store(ULONG(STATUS_PENDING), std::memory_order_release);
  request.userIosb = reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped);
  // The request may outlive the handle: it keeps what it signals.
  request.onComplete = [&overlapped, event, file, signal](const IO_STATUS_BLOCK& result) {
    Record(overlapped, result);
    KeSetEvent(signal, IO_NO_INCREMENT, FALSE);
  };
  bool sent;
  const NTSTATUS status = Submit(*file, std::move(request), &sent);
  if (!sent) {
    Record(overlapped, IO_STATUS_BLOCK{{status}, 0});
    return FailStatus(status);
  }
  if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
  return Finish(status, InternalHigh(overlapped).load(std::memory_order_acquire), transferred);
}

BOOL ReadOrWrite(HANDLE handle, UCHAR major, LPVOID buffer, DWORD length, LPDWORD transferred,
                 LPOVERLAPPED overlapped) {
  if (buffer == nullptr && length != 0) return Fail(ERROR_NOACCESS);
  kernel::io::UserRequest request;
  request.majorFunction = major;
  if (major == IRP_MJ_READ) {
    request.output = buffer;
    request.outputLength = length;
  } else {
    request.input = buffer;
    request.inputLength = length;
  }
  return Transfer(handle, std::move(request), transferred, overlapped);
}

}  // namespace

NTSTATUS OverlappedStatus(const OVERLAPPED& overlapped) {
  return NTSTATUS(
      ULONG(std::atomic_ref(const_cast<ULONG_PTR&>(overlapped.Internal)).load(std::memory_order_acquire)));
}

NTSTATUS Submit(FileObject& file, kernel::io::UserRequest request, bool* sent) {
  auto completed = std::make_shared<std::atomic<bool>>(false);
  request.onComplete = [completed, inner = std::move(request.onComplete)](const IO_STATUS_BLOCK& result) {
    completed->store(true);
    inner(result);
  };
  NTSTATUS status = STATUS_INVALID_HANDLE;
  *sent = false;
  WithFileObject(file, [&](PFILE_OBJECT object) {
    status = kernel::io::SubmitUserRequest(object, std::move(request));
    // Only a request that never reached a driver ends without completing.
    *sent = status == STATUS_PENDING || completed->load();
  });
  return status;
}

NTSTATUS SendAndWait(FileObject& file, kernel::io::UserRequest request, ULONG_PTR* information) {
  struct Outcome {
    KEVENT done;
    IO_STATUS_BLOCK result{};
  };
  auto outcome = std::make_shared<Outcome>();
  KeInitializeEvent(&outcome->done, NotificationEvent, FALSE);
  request.onComplete = [outcome](const IO_STATUS_BLOCK& result) {
    outcome->result = result;
    KeSetEvent(&outcome->done, IO_NO_INCREMENT, FALSE);
  };
  bool sent;
  const NTSTATUS status = Submit(file, std::move(request), &sent);
  *information = 0;
  if (!sent) return status;
  KeWaitForSingleObject(&outcome->done, UserRequest, UserMode, FALSE, nullptr);
  *information = outcome->result.Information;
  return outcome->result.Status;
}

kernel::io::UserRequest ControlRequest(ULONG code, const void* input, ULONG inputLength, void* output,
                                       ULONG outputLength) {
  kernel::io::UserRequest request;
  request.majorFunction = IRP_MJ_DEVICE_CONTROL;
  request.ioControlCode = code;
  request.input = input;
  request.inputLength = inputLength;
  request.output = output;
  request.outputLength = outputLength;
  return request;
}

BOOL Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
             ULONG outputLength, ULONG_PTR* information) {
  std::shared_ptr<FileObject> file = ReferenceFile(handle);
  if (file == nullptr) return FALSE;
  ULONG_PTR returned;
  const NTSTATUS status =
      SendAndWait(*file, ControlRequest(code, input, inputLength, output, outputLength), &returned);
  if (information != nullptr) *information = returned;
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL Transfer(HANDLE handle, kernel::io::UserRequest request, LPDWORD transferred, LPOVERLAPPED overlapped) {
  std::shared_ptr<FileObject> file = ReferenceFile(handle);
  if (file == nullptr) return FALSE;
  if (transferred != nullptr) *transferred = 0;
  if (file->overlapped) {
    if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return StartOverlapped(file, std::move(request), transferred, *overlapped);
  }
  if (transferred == nullptr && overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ULONG_PTR information;
  const NTSTATUS status = SendAndWait(*file, std::move(request), &information);
  if (overlapped != nullptr) Record(*overlapped, IO_STATUS_BLOCK{{status}, information});
  return Finish(status, information, transferred);
}

}  // namespace win32

using namespace win32;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  const std::u16string name = lpFileName != nullptr ? Widen(lpFileName) : u"";
  return CreateFileW(lpFileName != nullptr ? name.c_str() : nullptr, dwDesiredAccess, dwShareMode,
                     lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileCore(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  std::shared_ptr<EventObject> event;
  std::shared_ptr<FileObject> file;
  if (!RemoveHandle(hObject, &event, &file)) return FALSE;
  if (file != nullptr) CloseFileObject(*file);
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  return ReadOrWrite(hFile, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return ReadOrWrite(hFile, IRP_MJ_WRITE, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                     lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  std::shared_ptr<FileObject> file = ReferenceFile(hFile);
  if (file == nullptr) return FALSE;
  kernel::io::UserRequest request;
  request.majorFunction = IRP_MJ_FLUSH_BUFFERS;
  ULONG_PTR information;
  const NTSTATUS status = SendAndWait(*file, std::move(request), &information);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0))
    return Fail(ERROR_NOACCESS);
  return Transfer(hDevice,
                  ControlRequest(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize),
                  lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  std::shared_ptr<FileObject> file = ReferenceFile(hFile);
  if (file == nullptr) return FALSE;
  if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (OverlappedStatus(*lpOverlapped) == STATUS_PENDING) {
    if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
    std::shared_ptr<void> keep;
    HANDLE waitOn =
        lpOverlapped->hEvent != nullptr
            ? reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR(1))
            : hFile;
    PKEVENT event = ReferenceWaitable(waitOn, &keep);
    if (event == nullptr) return FALSE;
    KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, nullptr);
    // The event may be shared with other requests that ended first.
    if (OverlappedStatus(*lpOverlapped) == STATUS_PENDING) return Fail(ERROR_IO_INCOMPLETE);
  }
  return Finish(OverlappedStatus(*lpOverlapped), InternalHigh(*lpOverlapped).load(std::memory_order_acquire),
                lpNumberOfBytesTransferred);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  std::shared_ptr<FileObject> file = ReferenceFile(hFile);
  if (file == nullptr) return FALSE;
  if (!WithFileObject(*file, [](PFILE_OBJECT object) {
        kernel::io::CancelUserRequests(object, PsGetCurrentThread(), nullptr);
      }))
    return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  std::shared_ptr<FileObject> file = ReferenceFile(hFile);
  if (file == nullptr) return FALSE;
  size_t found = 0;
  if (!WithFileObject(*file, [&](PFILE_OBJECT object) {
        found =
            kernel::io::CancelUserRequests(object, nullptr, reinterpret_cast<PIO_STATUS_BLOCK>(lpOverlapped));
      }))
    return Fail(ERROR_INVALID_HANDLE);
  return found != 0 ? TRUE : Fail(ERROR_NOT_FOUND);
}
