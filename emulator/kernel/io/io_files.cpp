// File objects: opening a device by name (IRP_MJ_CREATE), closing the
// handle (IRP_MJ_CLEANUP) and the final IRP_MJ_CLOSE once neither the handle
// nor an outstanding request references the file object any more. When the
// last reference is a request's, which may complete at DISPATCH_LEVEL,
// IRP_MJ_CLOSE goes out from a system worker thread at PASSIVE_LEVEL.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/system_worker.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {
namespace {

constexpr ULONG kRemovalFlags =
    kDoeUnloadPending | kDoeDeletePending | kDoeRemovePending | kDoeRemoveProcessed;

struct FileRecord {
  PFILE_OBJECT file = nullptr;
  std::u16string fileName;  // behind FILE_OBJECT.FileName
  long references = 1;      // the handle, and one per outstanding request
  bool handleClosed = false;
  std::unordered_set<PIRP> outstanding;
};

struct Files {
  std::mutex lock;
  std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> open;
};

Files& F() {
  static auto* files = new Files;
  return *files;
}

// Sends a create, cleanup or close request and waits for its completion.
IO_STATUS_BLOCK SendAndWait(PIRP irp, PDEVICE_OBJECT top) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  SetFinisher(irp, [&result, &done](PIRP finished) {
    result = finished->IoStatus;
    ReleaseIrp(finished);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  IofCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return result;
}

PIRP NewFileIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR majorFunction, bool mustSucceed) {
  PIRP irp = AllocateIrp(top->StackSize, Origin::User, mustSucceed);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Flags = IRP_SYNCHRONOUS_API;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = majorFunction;
  sp->FileObject = file;
  return irp;
}

// Walks the stack from the named device up: the status an open gets.
NTSTATUS OpenableStatus(PDEVICE_OBJECT device, bool* exclusive, LONG* openFiles) {
  *exclusive = false;
  *openFiles = 0;
  for (PDEVICE_OBJECT at = device; at != nullptr; at = at->AttachedDevice) {
    const ULONG flags = ExtensionFlags(at);
    if (flags & kRemovalFlags) return STATUS_DELETE_PENDING;
    if ((flags & kDoeStartPending) || (at->Flags & DO_DEVICE_INITIALIZING)) return STATUS_NO_SUCH_DEVICE;
    *exclusive |= (at->Flags & DO_EXCLUSIVE) != 0;
    *openFiles += at->ReferenceCount;
  }
  return STATUS_SUCCESS;
}

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, ACCESS_MASK access, ULONG share) {
  auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  file->SharedRead = (share & FILE_SHARE_READ) != 0;
  file->SharedWrite = (share & FILE_SHARE_WRITE) != 0;
  file->SharedDelete = (share & FILE_SHARE_DELETE) != 0;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  KeInitializeSpinLock(&file->IrpListLock);
  InitializeListHead(&file->IrpList);
  return file;
}

void ReleaseDevice(PDEVICE_OBJECT device) {
  InterlockedDecrement(&device->ReferenceCount);
  ob::Dereference(device, "IopDeleteFile");
}

// The last reference is gone: IRP_MJ_CLOSE, then the file object goes.
void CloseAndDelete(PFILE_OBJECT file) {
  verifier::CheckIrql("IopDeleteFile", file, PASSIVE_LEVEL);
  PDEVICE_OBJECT device = file->DeviceObject;
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  SendAndWait(NewFileIrp(file, top, IRP_MJ_CLOSE, true), top);
  ReleaseDevice(device);
  pnp::NotifyFileClosed(device);  // a surprise-removed device waits for its last handle
  {
    Files& f = F();
    std::lock_guard guard(f.lock);
    f.open.erase(file);
  }
  std::free(file);
}

FileRecord* FindLocked(Files& f, PFILE_OBJECT file) {
  auto it = f.open.find(file);
  return it == f.open.end() ? nullptr : it->second.get();
}

}  // namespace

void CheckFileOpen(PFILE_OBJECT file, const char* routine) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  FileRecord* record = FindLocked(f, file);
  if (record == nullptr || record->handleClosed)
    verifier::Fail("file object used after close", routine, file);
}

bool AddFileReference(PFILE_OBJECT file, PIRP irp) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  FileRecord* record = FindLocked(f, file);
  if (record == nullptr || record->handleClosed) return false;
  ++record->references;
  record->outstanding.insert(irp);
  return true;
}

void DropFileReference(PFILE_OBJECT file, PIRP irp) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  FileRecord* record = FindLocked(f, file);
  record->outstanding.erase(irp);
  if (--record->references == 0) worker::Queue([file] { CloseAndDelete(file); });
}

std::vector<PIRP> HoldOutstandingIrps(PFILE_OBJECT file) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  std::vector<PIRP> held;
  if (FileRecord* record = FindLocked(f, file))
    for (PIRP irp : record->outstanding)
      if (Hold(irp)) held.push_back(irp);
  return held;
}

void BootFiles() {
  Files& f = F();
  std::lock_guard guard(f.lock);
  f.open.clear();
}

void ShutdownFiles(bool checkLeaks) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  if (checkLeaks && !f.open.empty()) {
    const FileRecord& record = *f.open.begin()->second;
    verifier::Fail("file object leak", "machine shutdown", record.file,
                   "%zu file(s) not closed; this one, on \"%s\", has %zu request(s) "
                   "outstanding%s",
                   f.open.size(), Narrow(io::DeviceName(record.file->DeviceObject)).c_str(),
                   record.outstanding.size(),
                   record.handleClosed ? " and its IRP_MJ_CLOSE waits for them" : "");
  }
  for (auto& [file, record] : f.open) std::free(file);
  f.open.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

NTSTATUS OpenFile(std::u16string_view name, ACCESS_MASK desiredAccess, ULONG shareAccess,
                  PFILE_OBJECT* fileObject) {
  verifier::CheckIrql("OpenFile", nullptr, PASSIVE_LEVEL);
  *fileObject = nullptr;
  auto record = std::make_unique<FileRecord>();
  PDEVICE_OBJECT device = LookupDevicePrefix(name, &record->fileName, true);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  Files& f = F();
  {
    std::lock_guard guard(f.lock);
    bool exclusive;
    LONG openFiles;
    NTSTATUS status = OpenableStatus(device, &exclusive, &openFiles);
    if (NT_SUCCESS(status) && exclusive && openFiles != 0) status = STATUS_ACCESS_DENIED;
    if (!NT_SUCCESS(status)) {
      ob::Dereference(device, "IopParseDevice");
      return status;
    }
    InterlockedIncrement(&device->ReferenceCount);
  }
  PFILE_OBJECT file = NewFileObject(device, desiredAccess, shareAccess);
  file->FileName = UNICODE_STRING{USHORT(record->fileName.size() * sizeof(WCHAR)),
                                  USHORT(record->fileName.size() * sizeof(WCHAR)), record->fileName.data()};
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp = NewFileIrp(file, top, IRP_MJ_CREATE, false);
  if (irp == nullptr) {
    ReleaseDevice(device);
    std::free(file);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->Flags |= IRP_CREATE_OPERATION | IRP_DEFER_IO_COMPLETION;
  IO_SECURITY_CONTEXT security{nullptr, nullptr, desiredAccess, 0};
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Create.SecurityContext = &security;
  sp->Parameters.Create.Options = ULONG(FILE_OPEN) << 24;
  sp->Parameters.Create.ShareAccess = USHORT(shareAccess);
  const IO_STATUS_BLOCK result = SendAndWait(irp, top);
  if (!NT_SUCCESS(result.Status)) {
    ReleaseDevice(device);
    std::free(file);
    return result.Status;
  }
  file->Flags |= FO_HANDLE_CREATED;
  record->file = file;
  std::lock_guard guard(f.lock);
  f.open[file] = std::move(record);
  *fileObject = file;
  return result.Status;
}

void CloseFile(PFILE_OBJECT file) {
  verifier::CheckIrql("CloseFile", file, PASSIVE_LEVEL);
  CheckFileOpen(file, "CloseFile");
  Files& f = F();
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  SendAndWait(NewFileIrp(file, top, IRP_MJ_CLEANUP, true), top);
  {
    std::lock_guard guard(f.lock);
    FileRecord& record = *FindLocked(f, file);
    record.handleClosed = true;
    file->Flags |= FO_CLEANUP_COMPLETE;
    if (--record.references != 0) return;
  }
  CloseAndDelete(file);
}

size_t OutstandingRequests(PFILE_OBJECT file) {
  Files& f = F();
  std::lock_guard guard(f.lock);
  FileRecord* record = FindLocked(f, file);
  return record == nullptr ? 0 : record->outstanding.size();
}

}  // namespace kernel::io
