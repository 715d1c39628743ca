// Requests from "user mode" on an open file: the IRPs the I/O system
// services build for NtReadFile, NtWriteFile, NtDeviceIoControlFile,
// NtFlushBuffersFile and NtQuery/SetInformationFile, with buffered, direct or
// neither I/O as the device and control code ask, and their final processing.
#include <algorithm>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {
namespace {

ULONG Method(PDEVICE_OBJECT top, const UserRequest& request) {
  if (request.majorFunction == IRP_MJ_DEVICE_CONTROL) return METHOD_FROM_CTL_CODE(request.ioControlCode);
  if (request.majorFunction == IRP_MJ_READ || request.majorFunction == IRP_MJ_WRITE) {
    if (top->Flags & DO_BUFFERED_IO) return METHOD_BUFFERED;
    if (top->Flags & DO_DIRECT_IO) return METHOD_OUT_DIRECT;
    return METHOD_NEITHER;
  }
  return METHOD_BUFFERED;  // information requests are always buffered
}

void FillParameters(PIO_STACK_LOCATION sp, const UserRequest& request) {
  switch (request.majorFunction) {
    case IRP_MJ_READ:
      sp->Parameters.Read.Length = request.outputLength;
      sp->Parameters.Read.ByteOffset.QuadPart = request.byteOffset;
      break;
    case IRP_MJ_WRITE:
      sp->Parameters.Write.Length = request.inputLength;
      sp->Parameters.Write.ByteOffset.QuadPart = request.byteOffset;
      break;
    case IRP_MJ_DEVICE_CONTROL:
      sp->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
      sp->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
      sp->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
      break;
    case IRP_MJ_QUERY_INFORMATION:
      sp->Parameters.QueryFile.Length = request.outputLength;
      sp->Parameters.QueryFile.FileInformationClass = request.informationClass;
      break;
    case IRP_MJ_SET_INFORMATION:
      sp->Parameters.SetFile.Length = request.inputLength;
      sp->Parameters.SetFile.FileInformationClass = request.informationClass;
      break;
  }
}

// Buffers as the services set them up; false when the pool has no memory.
bool AttachBuffers(PIRP irp, PIO_STACK_LOCATION sp, ULONG method, const UserRequest& request) {
  const bool takesOutput = request.majorFunction != IRP_MJ_WRITE &&
                           request.majorFunction != IRP_MJ_SET_INFORMATION &&
                           request.majorFunction != IRP_MJ_FLUSH_BUFFERS;
  const bool control = request.majorFunction == IRP_MJ_DEVICE_CONTROL;
  void* const transfer = takesOutput ? request.output : const_cast<void*>(request.input);
  switch (method) {
    case METHOD_NEITHER:
      irp->UserBuffer = transfer;
      if (control) sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(request.input);
      return true;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (control)
        return AttachDirectBuffers(irp, request.input, request.inputLength, request.output,
                                   request.outputLength);
      return AttachMdl(irp, transfer, takesOutput ? request.outputLength : request.inputLength);
  }
  const ULONG inputLength = request.majorFunction == IRP_MJ_READ ? 0 : request.inputLength;
  const ULONG outputLength = takesOutput ? request.outputLength : 0;
  if (!AttachSystemBuffer(irp, request.input, inputLength, std::max(inputLength, outputLength))) return false;
  if (takesOutput && outputLength != 0) {
    irp->Flags |= IRP_INPUT_OPERATION;
    irp->UserBuffer = request.output;
  }
  return true;
}

ULONG OperationFlag(UCHAR majorFunction) {
  if (majorFunction == IRP_MJ_READ) return IRP_READ_OPERATION;
  if (majorFunction == IRP_MJ_WRITE) return IRP_WRITE_OPERATION;
  return 0;
}

bool Supported(UCHAR majorFunction) {
  switch (majorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_INFORMATION:
      return true;
  }
  return false;
}

// `*sent` tells whether the IRP reached the driver (and onComplete will run).
NTSTATUS Submit(PFILE_OBJECT file, UserRequest request, bool* sent) {
  *sent = false;
  verifier::CheckIrql("SubmitUserRequest", file, PASSIVE_LEVEL);
  CheckFileOpen(file, "SubmitUserRequest");
  if (!Supported(request.majorFunction)) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = AllocateIrp(top->StackSize, Origin::User);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->UserIosb = request.userIosb;
  irp->Flags = OperationFlag(request.majorFunction);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = request.majorFunction;
  sp->FileObject = file;
  FillParameters(sp, request);
  if (!AttachBuffers(irp, sp, Method(top, request), request)) {
    ReleaseIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!AddFileReference(file, irp)) verifier::Fail("file object used after close", "SubmitUserRequest", file);
  const ULONG outputLength = request.outputLength;
  *sent = true;
  SetFinisher(irp, [file, outputLength, onComplete = std::move(request.onComplete)](PIRP done) {
    FinishTransfer(done, outputLength);
    const IO_STATUS_BLOCK result = done->IoStatus;
    ReleaseIrp(done);
    if (onComplete) onComplete(result);
    DropFileReference(file, done);
  });
  return IofCallDriver(top, irp);
}

}  // namespace
}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

NTSTATUS SubmitUserRequest(PFILE_OBJECT file, UserRequest request) {
  bool sent;
  return Submit(file, std::move(request), &sent);
}

IO_STATUS_BLOCK SendUserRequest(PFILE_OBJECT file, UserRequest request) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  auto onComplete = std::move(request.onComplete);
  request.onComplete = [&](const IO_STATUS_BLOCK& status) {
    result = status;
    if (onComplete) onComplete(status);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  };
  bool sent;
  const NTSTATUS status = Submit(file, std::move(request), &sent);
  if (!sent) {
    result.Status = status;
    return result;
  }
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return result;
}

void CancelUserRequests(PFILE_OBJECT file) { CancelUserRequests(file, nullptr, nullptr); }

size_t CancelUserRequests(PFILE_OBJECT file, PETHREAD thread, PIO_STATUS_BLOCK userIosb) {
  verifier::CheckIrql("CancelUserRequests", file, DISPATCH_LEVEL);
  size_t found = 0;
  for (PIRP irp : HoldOutstandingIrps(file)) {
    if ((thread == nullptr || irp->Tail.Overlay.Thread == thread) &&
        (userIosb == nullptr || irp->UserIosb == userIosb)) {
      CancelHeldIrp(irp);
      ++found;
    }
    Unhold(irp);
  }
  return found;
}

}  // namespace kernel::io
