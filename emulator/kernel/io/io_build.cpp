// IoBuildDeviceIoControlRequest and IoBuildSynchronousFsdRequest, and the
// buffer bookkeeping that every IRP built by the I/O manager shares. Buffered
// I/O: the system buffer holds the input on the way down and the output on
// the way up, and is copied back to the caller's buffer when the request did
// not fail. Direct I/O: the input (of a control request) goes in a system
// buffer, the output buffer is described by an MDL and written in place.
#include <algorithm>
#include <cstring>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {

namespace {

constexpr ULONG kSystemBufferTag = pool::Tag("IoSB");
constexpr ULONG kMdlTag = pool::Tag("IoMd");
constexpr ULONG_PTR kPageSize = 0x1000;

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

// A threaded IRP hands its status to the caller's block and event and goes.
void MakeThreaded(PIRP irp, ULONG outputLength, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  SetFinisher(irp, [outputLength](PIRP done) {
    FinishTransfer(done, outputLength);
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

bool AttachMdl(PIRP irp, void* buffer, ULONG length) {
  if (length == 0) return true;
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag));
  if (mdl == nullptr) return false;
  const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(buffer);
  *mdl = MDL{};
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
  mdl->MappedSystemVa = buffer;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  mdl->ByteOffset = ULONG(address & (kPageSize - 1));
  mdl->ByteCount = length;
  irp->MdlAddress = mdl;
  return true;
}

bool AttachDirectBuffers(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  if (!AttachSystemBuffer(irp, input, inputLength, inputLength)) return false;
  if (AttachMdl(irp, output, outputLength)) return true;
  FinishTransfer(irp, 0);
  return false;
}

void FinishTransfer(PIRP irp, ULONG outputLength) {
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
  if (irp->MdlAddress != nullptr) {
    ExFreePoolWithTag(irp->MdlAddress, kMdlTag);
    irp->MdlAddress = nullptr;
  }
}

}  // namespace kernel::io::internal

using namespace kernel;
using namespace kernel::io::internal;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
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
  bool attached = true;
  if (method == METHOD_BUFFERED) {
    attached = AttachSystemBuffer(irp, InputBuffer, InputBufferLength,
                                  std::max(InputBufferLength, OutputBufferLength));
    if (OutputBuffer != nullptr && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
  } else if (method == METHOD_NEITHER) {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  } else {
    attached = AttachDirectBuffers(irp, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
  }
  if (!attached) {
    ReleaseIrp(irp);
    return nullptr;
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
  if (!transfer && MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) return nullptr;
  PIRP irp = AllocateIrp(DeviceObject->StackSize, Origin::Threaded);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = UCHAR(MajorFunction);
  ULONG outputLength = 0;
  if (transfer) {
    sp->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
    const bool read = MajorFunction == IRP_MJ_READ;
    bool attached = true;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      attached = AttachSystemBuffer(irp, read ? nullptr : Buffer, read ? 0 : Length, Length);
      if (read && Length != 0) irp->Flags |= IRP_INPUT_OPERATION;
    } else if (DeviceObject->Flags & DO_DIRECT_IO) {
      attached = AttachMdl(irp, Buffer, Length);
    }
    if (!attached) {
      ReleaseIrp(irp);
      return nullptr;
    }
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    irp->UserBuffer = Buffer;
    outputLength = read ? Length : 0;
  }
  MakeThreaded(irp, outputLength, Event, IoStatusBlock);
  return irp;
}
