// Internal to the file modules: name resolution and the open-file records.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "emulator/kernel/ex/handles.h"
#include "platform/host/ex.h"

namespace kernel::files {

struct Resolved {
  std::string hostPath;
  bool exists = false;
  bool isDirectory = false;
};

// Maps a kernel name to the host. STATUS_OBJECT_NAME_INVALID for a malformed
// name (empty, "." or ".." components, characters files cannot have),
// STATUS_OBJECT_PATH_NOT_FOUND when it is outside the system root or a folder
// on the way is missing.
NTSTATUS Resolve(std::u16string_view kernelName, Resolved& resolved);

// Opens of one file and the sharing they allow, as IoCheckShareAccess keeps it.
struct ShareAccess {
  ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
  ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
};

struct FileObject : handles::Object {
  ~FileObject() override;
  const char* TypeName() const override { return "File"; }

  std::string hostPath;
  int fd = -1;  // -1 for a folder
  bool isDirectory = false;
  bool readAccess = false, writeAccess = false, deleteAccess = false;
  ULONG shareAccess = 0;
  bool synchronous = false;
  bool deleteOnClose = false;
  int64_t position = 0;
};

// Guards every open file and the share table.
std::mutex& Lock();
// Share state per host path (lock held).
std::map<std::string, ShareAccess>& Shares();

}  // namespace kernel::files
