// The zero-level file routines over host files, with the sharing rules of
// IoCheckShareAccess: an open that asks for access another open does not
// share, or that refuses to share access another open holds, fails with
// STATUS_SHARING_VIOLATION and changes nothing.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/kernel/files/files_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ke.h"

namespace kernel::files {
namespace {

constexpr ULONG kValidOptions = 0x00FFFFFF;
constexpr int64_t kAllocationUnit = 4096;

struct Files {
  std::mutex lock;
  std::map<std::string, ShareAccess> shares;
};

Files& TheFiles() {
  static auto* files = new Files;
  return *files;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
  if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= FILE_ALL_ACCESS;
  return access &
         ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return STATUS_ACCESS_DENIED;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
      return STATUS_DISK_FULL;
    case ENOMEM:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS ValidateCreate(ACCESS_MASK access, ULONG shareAccess, ULONG disposition, ULONG options,
                        PVOID eaBuffer) {
  bool synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  bool directory = (options & FILE_DIRECTORY_FILE) != 0;
  if (disposition > FILE_MAXIMUM_DISPOSITION || (shareAccess & ~ULONG(FILE_SHARE_VALID_FLAGS)) != 0 ||
      (options & ~kValidOptions) != 0 || eaBuffer != nullptr)
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_SYNCHRONOUS_IO_ALERT) && (options & FILE_SYNCHRONOUS_IO_NONALERT))
    return STATUS_INVALID_PARAMETER;
  if (synchronous && !(access & SYNCHRONIZE)) return STATUS_INVALID_PARAMETER;
  if (directory && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
  if (directory && disposition != FILE_CREATE && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// What the disposition makes of an existing or missing target; *information
// is the IoStatus.Information of the outcome.
NTSTATUS Decide(const Resolved& target, ULONG disposition, ULONG options, ULONG_PTR& information) {
  if (!target.exists) {
    information = FILE_DOES_NOT_EXIST;
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
    information = FILE_CREATED;
    return STATUS_SUCCESS;
  }
  information = FILE_EXISTS;
  if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
  if (target.isDirectory && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
  if (!target.isDirectory && (options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
  if (target.isDirectory && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
    return STATUS_FILE_IS_A_DIRECTORY;
  switch (disposition) {
    case FILE_SUPERSEDE:
      information = FILE_SUPERSEDED;
      break;
    case FILE_OVERWRITE:
    case FILE_OVERWRITE_IF:
      information = FILE_OVERWRITTEN;
      break;
    default:
      information = FILE_OPENED;
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CheckShareAccess(const ShareAccess& state, const FileObject& open) {
  if (!open.readAccess && !open.writeAccess && !open.deleteAccess) return STATUS_SUCCESS;
  bool shareRead = open.shareAccess & FILE_SHARE_READ, shareWrite = open.shareAccess & FILE_SHARE_WRITE,
       shareDelete = open.shareAccess & FILE_SHARE_DELETE;
  if ((open.readAccess && state.sharedRead < state.openCount) ||
      (open.writeAccess && state.sharedWrite < state.openCount) ||
      (open.deleteAccess && state.sharedDelete < state.openCount) || (state.readers != 0 && !shareRead) ||
      (state.writers != 0 && !shareWrite) || (state.deleters != 0 && !shareDelete))
    return STATUS_SHARING_VIOLATION;
  return STATUS_SUCCESS;
}

// Adds (+1) or removes (-1) an open's share of its file (lock held).
void UpdateShareAccess(const FileObject& open, int delta) {
  if (!open.readAccess && !open.writeAccess && !open.deleteAccess) return;
  auto it = TheFiles().shares.find(open.hostPath);
  if (it == TheFiles().shares.end()) {
    if (delta < 0) return;  // the machine rebooted since this open was counted
    it = TheFiles().shares.emplace(open.hostPath, ShareAccess{}).first;
  }
  ShareAccess& state = it->second;
  state.openCount += delta;
  state.readers += open.readAccess ? delta : 0;
  state.writers += open.writeAccess ? delta : 0;
  state.deleters += open.deleteAccess ? delta : 0;
  state.sharedRead += (open.shareAccess & FILE_SHARE_READ) ? delta : 0;
  state.sharedWrite += (open.shareAccess & FILE_SHARE_WRITE) ? delta : 0;
  state.sharedDelete += (open.shareAccess & FILE_SHARE_DELETE) ? delta : 0;
  if (state.openCount == 0) TheFiles().shares.erase(it);
}

NTSTATUS OpenHostFile(FileObject& file, bool create, bool truncate) {
  if (file.isDirectory) {
    if (create && ::mkdir(file.hostPath.c_str(), 0755) != 0) return StatusFromErrno(errno);
    return STATUS_SUCCESS;
  }
  int flags = file.writeAccess ? (file.readAccess ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (create) flags |= O_CREAT | O_EXCL;
  if (truncate) flags |= O_TRUNC;
  file.fd = ::open(file.hostPath.c_str(), flags | O_CLOEXEC, 0644);
  return file.fd < 0 ? StatusFromErrno(errno) : STATUS_SUCCESS;
}

NTSTATUS NameOf(POBJECT_ATTRIBUTES attributes, std::u16string_view& name) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
      attributes->ObjectName == nullptr)
    return STATUS_INVALID_PARAMETER;
  // Names relative to an open folder are not supported.
  if (attributes->RootDirectory != nullptr) return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING& string = *attributes->ObjectName;
  if ((string.Length & 1) != 0 || (string.Buffer == nullptr && string.Length != 0))
    return STATUS_OBJECT_NAME_INVALID;
  name = text::View(string);
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  return STATUS_SUCCESS;
}

// The open file behind a handle, or the status that refuses it.
NTSTATUS ReferenceFile(HANDLE handle, std::shared_ptr<FileObject>& file) {
  std::shared_ptr<handles::Object> object = handles::Lookup(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  file = std::dynamic_pointer_cast<FileObject>(object);
  return file == nullptr ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_SUCCESS;
}

// No event objects are handed out as handles: any event handle is invalid.
NTSTATUS CheckEventAndApc(HANDLE event, PIO_APC_ROUTINE apcRoutine) {
  if (event != nullptr)
    return handles::Lookup(event) == nullptr ? STATUS_INVALID_HANDLE : STATUS_OBJECT_TYPE_MISMATCH;
  return apcRoutine != nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// The offset a transfer starts at, following the handle's file position
// when asked to (lock held).
NTSTATUS StartOffset(const FileObject& file, PLARGE_INTEGER byteOffset, bool isWrite, int64_t& offset) {
  bool usePosition = byteOffset == nullptr ||
                     (byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
  if (usePosition) {
    if (!file.synchronous) return STATUS_INVALID_PARAMETER;
    offset = file.position;
    return STATUS_SUCCESS;
  }
  if (isWrite && byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
    struct stat info;
    if (::fstat(file.fd, &info) != 0) return StatusFromErrno(errno);
    offset = info.st_size;
    return STATUS_SUCCESS;
  }
  if (byteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
  offset = byteOffset->QuadPart;
  return STATUS_SUCCESS;
}

NTSTATUS Finish(PIO_STATUS_BLOCK ioStatusBlock, NTSTATUS status, ULONG_PTR information) {
  ioStatusBlock->Status = status;
  ioStatusBlock->Information = information;
  return status;
}

// Checks shared by reads and writes; on success `file` is the open file.
NTSTATUS PrepareTransfer(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                         PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                         std::shared_ptr<FileObject>& file) {
  NTSTATUS status = ReferenceFile(fileHandle, file);
  if (!NT_SUCCESS(status)) return status;
  status = CheckEventAndApc(event, apcRoutine);
  if (!NT_SUCCESS(status)) return status;
  if (ioStatusBlock == nullptr) return STATUS_INVALID_PARAMETER;
  if (buffer == nullptr && length != 0) return STATUS_INVALID_USER_BUFFER;
  if (file->isDirectory) return STATUS_INVALID_DEVICE_REQUEST;
  return STATUS_SUCCESS;
}

void Boot(const MachineOptions& options) {
  ::mkdir((options.systemRoot + "/System32").c_str(), 0755);
  std::lock_guard guard(TheFiles().lock);
  TheFiles().shares.clear();
}

const bool registered = RegisterSubsystem({"files", 50, Boot, nullptr});

}  // namespace

FileObject::~FileObject() {
  {
    std::lock_guard guard(TheFiles().lock);
    UpdateShareAccess(*this, -1);
  }
  if (fd >= 0) ::close(fd);
  if (deleteOnClose) isDirectory ? ::rmdir(hostPath.c_str()) : ::unlink(hostPath.c_str());
}

std::mutex& Lock() { return TheFiles().lock; }
std::map<std::string, ShareAccess>& Shares() { return TheFiles().shares; }

}  // namespace kernel::files

namespace files = kernel::files;

NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                      ULONG eaLength) {
  kernel::verifier::CheckIrql("ZwCreateFile", objectAttributes, PASSIVE_LEVEL);
  if (fileHandle == nullptr || ioStatusBlock == nullptr) return STATUS_INVALID_PARAMETER;
  ACCESS_MASK access = files::MapGenericAccess(desiredAccess);
  NTSTATUS status = files::ValidateCreate(access, shareAccess, createDisposition, createOptions, eaBuffer);
  std::u16string_view name;
  if (NT_SUCCESS(status)) status = files::NameOf(objectAttributes, name);
  if (!NT_SUCCESS(status)) return status;

  std::shared_ptr<files::FileObject> file;  // released after the lock: its destructor takes it
  std::lock_guard guard(files::Lock());
  files::Resolved target;
  status = files::Resolve(name, target);
  ULONG_PTR information = 0;
  if (NT_SUCCESS(status)) status = files::Decide(target, createDisposition, createOptions, information);
  if (!NT_SUCCESS(status)) return files::Finish(ioStatusBlock, status, information);

  bool truncate = information == FILE_OVERWRITTEN || information == FILE_SUPERSEDED;
  if (truncate) access |= FILE_WRITE_DATA;  // replacing the contents is writing them
  file = std::make_shared<files::FileObject>();
  file->hostPath = target.hostPath;
  file->isDirectory = target.exists ? target.isDirectory : (createOptions & FILE_DIRECTORY_FILE) != 0;
  file->readAccess = access & (FILE_READ_DATA | FILE_EXECUTE);
  file->writeAccess = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
  file->deleteAccess = access & DELETE;
  file->shareAccess = shareAccess;
  file->synchronous = createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
  file->deleteOnClose = createOptions & FILE_DELETE_ON_CLOSE;

  auto share = files::Shares().find(target.hostPath);
  if (share != files::Shares().end()) status = files::CheckShareAccess(share->second, *file);
  if (NT_SUCCESS(status)) status = files::OpenHostFile(*file, !target.exists, truncate);
  if (!NT_SUCCESS(status)) {
    file->deleteOnClose = false;
    file->readAccess = file->writeAccess = file->deleteAccess = false;  // its share was never counted
    return files::Finish(ioStatusBlock, status, 0);
  }
  files::UpdateShareAccess(*file, +1);
  *fileHandle = kernel::handles::Insert(std::move(file));
  return files::Finish(ioStatusBlock, STATUS_SUCCESS, information);
}

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                    PULONG key) {
  kernel::verifier::CheckIrql("ZwReadFile", fileHandle, PASSIVE_LEVEL);
  std::shared_ptr<files::FileObject> file;
  NTSTATUS status =
      files::PrepareTransfer(fileHandle, event, apcRoutine, ioStatusBlock, buffer, length, file);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(files::Lock());
  if (!file->readAccess) return files::Finish(ioStatusBlock, STATUS_ACCESS_DENIED, 0);
  int64_t offset;
  status = files::StartOffset(*file, byteOffset, false, offset);
  if (!NT_SUCCESS(status)) return files::Finish(ioStatusBlock, status, 0);
  if (length == 0) return files::Finish(ioStatusBlock, STATUS_SUCCESS, 0);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(file->fd, static_cast<uint8_t*>(buffer) + done, length - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return files::Finish(ioStatusBlock, files::StatusFromErrno(errno), 0);
    if (n == 0) break;
    done += size_t(n);
  }
  if (done == 0) return files::Finish(ioStatusBlock, STATUS_END_OF_FILE, 0);
  if (file->synchronous) file->position = offset + int64_t(done);
  return files::Finish(ioStatusBlock, STATUS_SUCCESS, done);
}

NTSTATUS ZwWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                     PULONG key) {
  kernel::verifier::CheckIrql("ZwWriteFile", fileHandle, PASSIVE_LEVEL);
  std::shared_ptr<files::FileObject> file;
  NTSTATUS status =
      files::PrepareTransfer(fileHandle, event, apcRoutine, ioStatusBlock, buffer, length, file);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(files::Lock());
  if (!file->writeAccess) return files::Finish(ioStatusBlock, STATUS_ACCESS_DENIED, 0);
  int64_t offset = 0;
  status = files::StartOffset(*file, byteOffset, true, offset);
  if (!NT_SUCCESS(status)) return files::Finish(ioStatusBlock, status, 0);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(file->fd, static_cast<const uint8_t*>(buffer) + done, length - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return files::Finish(ioStatusBlock, files::StatusFromErrno(errno), done);
    done += size_t(n);
  }
  if (file->synchronous) file->position = offset + int64_t(done);
  return files::Finish(ioStatusBlock, STATUS_SUCCESS, done);
}

// FileStandardInformation and FilePositionInformation are served; other
// classes get STATUS_INVALID_INFO_CLASS.
NTSTATUS ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation,
                                ULONG length, FILE_INFORMATION_CLASS fileInformationClass) {
  kernel::verifier::CheckIrql("ZwQueryInformationFile", fileHandle, PASSIVE_LEVEL);
  std::shared_ptr<files::FileObject> file;
  NTSTATUS status = files::ReferenceFile(fileHandle, file);
  if (!NT_SUCCESS(status)) return status;
  if (ioStatusBlock == nullptr || fileInformation == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(files::Lock());
  if (fileInformationClass == FilePositionInformation) {
    if (length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    static_cast<PFILE_POSITION_INFORMATION>(fileInformation)->CurrentByteOffset.QuadPart = file->position;
    return files::Finish(ioStatusBlock, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
  }
  if (fileInformationClass != FileStandardInformation) return STATUS_INVALID_INFO_CLASS;
  if (length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  struct stat info;
  int result = file->isDirectory ? ::stat(file->hostPath.c_str(), &info) : ::fstat(file->fd, &info);
  if (result != 0) return files::Finish(ioStatusBlock, files::StatusFromErrno(errno), 0);
  auto standard = static_cast<PFILE_STANDARD_INFORMATION>(fileInformation);
  standard->EndOfFile.QuadPart = file->isDirectory ? 0 : info.st_size;
  standard->AllocationSize.QuadPart = (standard->EndOfFile.QuadPart + files::kAllocationUnit - 1) /
                                      files::kAllocationUnit * files::kAllocationUnit;
  standard->NumberOfLinks = ULONG(info.st_nlink);
  standard->DeletePending = file->deleteOnClose;
  standard->Directory = file->isDirectory;
  return files::Finish(ioStatusBlock, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
}
