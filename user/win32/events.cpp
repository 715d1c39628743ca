// Events and waits on the machine's dispatcher objects, so that a thread
// blocked in a wait lets the virtual clock move like any kernel wait.
#include <map>
#include <string>
#include <vector>

#include "emulator/kernel/clock.h"
#include "user/win32/objects.h"

namespace {

using win32::EventObject;

// Named events live while a handle to them is open.
struct Names {
  std::mutex lock;
  std::map<std::u16string, std::weak_ptr<EventObject>> events;
};

Names& N() {
  static Names names;
  return names;
}

HANDLE CreateEventCore(BOOL manualReset, BOOL initialState, const std::u16string* name) {
  auto fresh = [&] {
    auto event = std::make_shared<EventObject>();
    KeInitializeEvent(&event->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    return event;
  };
  if (name == nullptr) {
    SetLastError(ERROR_SUCCESS);
    return win32::InsertHandle(fresh());
  }
  Names& n = N();
  std::lock_guard guard(n.lock);
  std::shared_ptr<EventObject> event = n.events[*name].lock();
  SetLastError(event != nullptr ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  if (event == nullptr) n.events[*name] = event = fresh();
  return win32::InsertHandle(event);
}

// Relative time-out in 100-ns units, or none for INFINITE.
PLARGE_INTEGER Timeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE) return nullptr;
  storage->QuadPart = -LONGLONG(milliseconds) * kernel::clock::kMillisecond;
  return storage;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  if (status >= STATUS_WAIT_0 && status <= STATUS_WAIT_63) return DWORD(status);
  SetLastError(RtlNtStatusToDosError(status));
  return WAIT_FAILED;
}

}  // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  const std::u16string name = lpName != nullptr ? win32::Widen(lpName) : u"";
  return CreateEventW(lpEventAttributes, bManualReset, bInitialState,
                      lpName != nullptr ? name.c_str() : nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  if (lpName == nullptr) return CreateEventCore(bManualReset, bInitialState, nullptr);
  const std::u16string name(lpName);
  return CreateEventCore(bManualReset, bInitialState, &name);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  std::shared_ptr<EventObject> event = win32::ReferenceEvent(hEvent);
  if (event == nullptr) return FALSE;
  KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  std::shared_ptr<EventObject> event = win32::ReferenceEvent(hEvent);
  if (event == nullptr) return FALSE;
  KeClearEvent(&event->event);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<void>> keep(nCount);
  std::vector<PVOID> objects(nCount);
  for (DWORD i = 0; i < nCount; ++i) {
    objects[i] = win32::ReferenceWaitable(lpHandles[i], &keep[i]);
    if (objects[i] == nullptr) return WAIT_FAILED;
    for (DWORD j = 0; bWaitAll && j < i; ++j)
      if (objects[j] == objects[i]) {  // one object cannot be acquired twice
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
  }
  std::vector<KWAIT_BLOCK> blocks(nCount);
  LARGE_INTEGER storage;
  return WaitResult(KeWaitForMultipleObjects(nCount, objects.data(), bWaitAll ? WaitAll : WaitAny,
                                             UserRequest, UserMode, FALSE, Timeout(dwMilliseconds, &storage),
                                             blocks.data()));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  kernel::clock::Sleep(int64_t(dwMilliseconds) * kernel::clock::kMillisecond);
}

DWORD WINAPI GetTickCount() { return DWORD(kernel::clock::Now() / kernel::clock::kMillisecond); }
