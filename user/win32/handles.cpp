// The handle table: handles are never reused, so a stale handle is refused
// instead of reaching an object opened later.
#include <unordered_map>

#include "emulator/kernel/machine.h"
#include "user/win32/objects.h"

namespace win32 {
namespace {

struct Entry {
  std::shared_ptr<EventObject> event;
  std::shared_ptr<FileObject> file;
};

struct Table {
  std::mutex lock;
  std::unordered_map<ULONG_PTR, Entry> entries;
  ULONG_PTR next = 0x100;
};

Table& T() {
  static Table table;
  return table;
}

HANDLE Insert(Entry entry) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  const ULONG_PTR value = t.next;
  t.next += 4;
  t.entries.emplace(value, std::move(entry));
  return reinterpret_cast<HANDLE>(value);
}

Entry Find(HANDLE handle) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == t.entries.end() ? Entry{} : it->second;
}

// Handles do not outlive the machine their objects belong to.
const bool registered = kernel::RegisterSubsystem({"win32 handles", 900, nullptr, [] {
                                                     Table& t = T();
                                                     std::lock_guard guard(t.lock);
                                                     t.entries.clear();
                                                   }});

}  // namespace

HANDLE InsertHandle(std::shared_ptr<EventObject> event) { return Insert({std::move(event), nullptr}); }
HANDLE InsertHandle(std::shared_ptr<FileObject> file) { return Insert({nullptr, std::move(file)}); }

std::shared_ptr<EventObject> ReferenceEvent(HANDLE handle) {
  std::shared_ptr<EventObject> event = Find(handle).event;
  if (event == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return event;
}

std::shared_ptr<FileObject> ReferenceFile(HANDLE handle) {
  std::shared_ptr<FileObject> file = Find(handle).file;
  if (file == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return file;
}

PKEVENT ReferenceWaitable(HANDLE handle, std::shared_ptr<void>* keep) {
  Entry entry = Find(handle);
  if (entry.event != nullptr) {
    *keep = entry.event;
    return &entry.event->event;
  }
  if (entry.file != nullptr) {
    *keep = entry.file;
    return &entry.file->event;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

std::u16string Widen(const char* text) {
  std::u16string wide;
  for (; *text != 0; ++text) wide.push_back(char16_t(static_cast<unsigned char>(*text)));
  return wide;
}

bool RemoveHandle(HANDLE handle, std::shared_ptr<EventObject>* event, std::shared_ptr<FileObject>* file) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == t.entries.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *event = std::move(it->second.event);
  *file = std::move(it->second.file);
  t.entries.erase(it);
  return true;
}

}  // namespace win32
