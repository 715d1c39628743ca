// IoBuildDeviceIoControlRequest and IoBuildSynchronousFsdRequest, and the
// buffered-I/O bookkeeping that every
// IRP built by the I/O manager shares: the system buffer holds the input on
// the way down and the output on the way up, and is copied back to the
// caller's buffer when the request did not fail.
#include <algorithm>
#include <cstring>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {

namespace {

constexpr ULONG kSystemBufferTag = pool::Tag("IoSB");

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

// A threaded IRP hands its status to the caller's block and event and goes.
void MakeThreaded(PIRP irp, ULONG outputLength, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  SetFinisher(irp, [outputLength](PIRP done) {
    FinishBufferedTransfer(done, outputLength);
    if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
    PKEVENT doneEvent = done->UserEvent;
    ReleaseIrp(done);
    if (doneEvent != nullptr) KeSetEvent(doneEvent, IO_NO_INCREMENT, FALSE);
  });
}

}  // namespace

bool AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, ULONG bufferLength) {
  if (bufferLength == 0) return true;
  void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, bufferLength, kSystemBufferTag);
  if (buffer == nullptr) return false;
  std::memset(buffer, 0, bufferLength);
  if (input != nullptr) std::memcpy(buffer, input, inputLength);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  return true;
}

void FinishBufferedTransfer(PIRP irp, ULONG outputLength) {
  const bool copyBack = (irp->Flags & IRP_INPUT_OPERATION) && !IsError(irp->IoStatus.Status) &&
                        irp->AssociatedIrp.SystemBuffer != nullptr;
  if (copyBack) {
    if (irp->IoStatus.Information > outputLength)
      verifier::Fail("Information exceeds the request's buffer", "IofCompleteRequest", irp,
                     "IoStatus.Information is %llu, the output buffer holds %u bytes",
                     static_cast<unsigned long long>(irp->IoStatus.Information), outputLength);
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
  }
  if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
}

void CheckNotDirect(ULONG method, bool hasBuffers, PIRP irp, const char* routine) {
  if (hasBuffers && (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT))
    verifier::Fail("direct I/O is not modelled", routine, irp,
                   "the host builds buffered and neither-I/O requests only");
}

}  // namespace kernel::io::internal

using namespace kernel;
using namespace kernel::io::internal;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  verifier::CheckIrql("IoBuildDeviceIoControlRequest", DeviceObject, PASSIVE_LEVEL);
  PIRP irp = AllocateIrp(DeviceObject->StackSize, Origin::Threaded);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  CheckNotDirect(method, InputBufferLength || OutputBufferLength, irp,
                 "IoBuildDeviceIoControlRequest");
  if (method == METHOD_BUFFERED) {
    if (!AttachSystemBuffer(irp, InputBuffer, InputBufferLength,
                            std::max(InputBufferLength, OutputBufferLength))) {
      ReleaseIrp(irp);
      return nullptr;
    }
    if (OutputBuffer != nullptr && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
  } else {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  }
  irp->UserBuffer = OutputBuffer;
  MakeThreaded(irp, OutputBufferLength, Event, IoStatusBlock);
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  verifier::CheckIrql("IoBuildSynchronousFsdRequest", DeviceObject, PASSIVE_LEVEL);
  const bool transfer = MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE;
  if (!transfer && MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN)
    return nullptr;
  PIRP irp = AllocateIrp(DeviceObject->StackSize, Origin::Threaded);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = UCHAR(MajorFunction);
  ULONG outputLength = 0;
  if (transfer) {
    sp->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
    CheckNotDirect((DeviceObject->Flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT : METHOD_BUFFERED,
                   Length != 0, irp, "IoBuildSynchronousFsdRequest");
    const bool read = MajorFunction == IRP_MJ_READ;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      if (!AttachSystemBuffer(irp, read ? nullptr : Buffer, read ? 0 : Length, Length)) {
        ReleaseIrp(irp);
        return nullptr;
      }
      if (read && Length != 0) irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    irp->UserBuffer = Buffer;
    outputLength = read ? Length : 0;
  }
  MakeThreaded(irp, outputLength, Event, IoStatusBlock);
  return irp;
}
