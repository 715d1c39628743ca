// Internal to user/win32/: the objects behind handles, the handle table, the
// calling thread's last error and the request path shared by the file and
// comm functions.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "emulator/kernel/io_manager.h"
#include "user/win32/windows.h"

namespace win32 {

struct EventObject {
  KEVENT event;
};

// An open file. Its own event is signalled when an overlapped request that
// names no event of its own ends (a file handle is waitable). `submitting`
// counts requests being handed to the driver, so that CloseHandle can let
// them reach the I/O manager before the file object goes away.
struct FileObject {
  PFILE_OBJECT file = nullptr;
  bool overlapped = false;
  KEVENT event;
  std::mutex lock;
  bool closing = false;
  int submitting = 0;
  KEVENT drained;  // set once closing and nothing is being submitted
};

HANDLE InsertHandle(std::shared_ptr<EventObject> event);
HANDLE InsertHandle(std::shared_ptr<FileObject> file);
// The object behind a handle, or nullptr with ERROR_INVALID_HANDLE set.
std::shared_ptr<EventObject> ReferenceEvent(HANDLE handle);
std::shared_ptr<FileObject> ReferenceFile(HANDLE handle);
// The event a wait on `handle` waits for; `keep` holds its object alive.
PKEVENT ReferenceWaitable(HANDLE handle, std::shared_ptr<void>* keep);
// Takes the handle out of the table; false (ERROR_INVALID_HANDLE) when unknown.
bool RemoveHandle(HANDLE handle, std::shared_ptr<EventObject>* event, std::shared_ptr<FileObject>* file);

// An ANSI name as UTF-16, byte for byte (Latin-1).
std::u16string Widen(const char* text);

// Sets the last error and returns FALSE.
BOOL Fail(DWORD error);
BOOL FailStatus(NTSTATUS status);

// Hands a request to the driver unless the handle is being closed. `*sent`
// tells whether onComplete will run.
NTSTATUS Submit(FileObject& file, kernel::io::UserRequest request, bool* sent);
// Submits and waits for the end, whatever the handle's mode, as the comm
// functions do. The request's final status; its information in `*information`.
NTSTATUS SendAndWait(FileObject& file, kernel::io::UserRequest request, ULONG_PTR* information);
// A device-control request as the I/O system services build it.
kernel::io::UserRequest ControlRequest(ULONG code, const void* input, ULONG inputLength, void* output,
                                       ULONG outputLength);
// One device-control request, waited for. FALSE with the mapped error when it
// fails; `*information` (optional) gets the bytes returned.
BOOL Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
             ULONG outputLength, ULONG_PTR* information = nullptr);
// ReadFile, WriteFile, DeviceIoControl and WaitCommEvent: synchronous on a
// synchronous handle, overlapped on an overlapped one.
BOOL Transfer(HANDLE handle, kernel::io::UserRequest request, LPDWORD transferred, LPOVERLAPPED overlapped);

// OVERLAPPED.Internal is written by the completing thread while the issuing
// thread may poll it.
NTSTATUS OverlappedStatus(const OVERLAPPED& overlapped);

}  // namespace win32
