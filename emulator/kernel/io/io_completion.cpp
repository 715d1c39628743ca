// IofCompleteRequest: the walk up the stack locations with the kernel's rules
// (invoke flags, pending propagation, STATUS_MORE_PROCESSING_REQUIRED), then,
// for IRPs that the I/O manager owns, the final processing that hands the
// result to whoever asked and frees the IRP.
#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

namespace {

using namespace kernel;
using namespace kernel::io::internal;

void CheckCompletable(PIRP irp) {
  verifier::CheckIrql("IofCompleteRequest", irp, DISPATCH_LEVEL);
  CheckLive(irp, "IofCompleteRequest");
  if (irp->CurrentLocation > irp->StackCount)
    verifier::Fail("IRP completed twice", "IofCompleteRequest", irp,
                   "no driver holds the IRP (current location %d of %d): it was completed already "
                   "or never sent",
                   irp->CurrentLocation, irp->StackCount);
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
    verifier::Fail("IRP completed with a cancel routine set", "IofCompleteRequest", irp,
                   "clear it with IoSetCancelRoutine(Irp, NULL) and complete only when that "
                   "returned the routine");
  if (irp->IoStatus.Status == STATUS_PENDING)
    verifier::Fail("IRP completed with STATUS_PENDING", "IofCompleteRequest", irp,
                   "IoStatus.Status must hold the final status");
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
  const NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
         (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// What the kernel clears in a location it has walked past.
void ZeroIrpStackLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control &= SL_ERROR_RETURNED;
  sp->Parameters.Others.Argument1 = nullptr;
  sp->Parameters.Others.Argument2 = nullptr;
  sp->Parameters.Others.Argument3 = nullptr;
  sp->Parameters.Others.Argument4 = nullptr;
  sp->FileObject = nullptr;
}

// Calls the completion routine kept in `sp`; the IRP now stands at the
// location of the driver that set it. True when the routine stopped the walk.
bool InvokeCompletionRoutine(PIRP irp, PIO_STACK_LOCATION sp) {
  PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
  PVOID context = sp->Context;
  ZeroIrpStackLocation(sp);
  PDEVICE_OBJECT device =
      irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  const KIRQL irql = KeGetCurrentIrql();
  const NTSTATUS result = routine(device, irp, context);
  const KIRQL after = KeGetCurrentIrql();
  if (after != irql)
    verifier::Fail("IRQL changed across a driver routine", "IofCompleteRequest", irp,
                   "completion routine %p was called at IRQL %u and returned at %u",
                   reinterpret_cast<void*>(routine), irql, after);
  if (result == STATUS_MORE_PROCESSING_REQUIRED) return true;
  if (!IsLive(irp))
    verifier::Fail("IRP used after it was freed", "IofCompleteRequest", irp,
                   "completion routine %p freed the IRP without returning "
                   "STATUS_MORE_PROCESSING_REQUIRED",
                   reinterpret_cast<void*>(routine));
  return false;
}

// The walk went past the top location.
void FinishAtTop(PIRP irp) {
  const Origin origin = OriginOf(irp);
  if (origin == Origin::Driver || origin == Origin::DriverMemory)
    verifier::Fail("driver-allocated IRP completed to the I/O manager", "IofCompleteRequest", irp,
                   "the %s IRP's own completion routine must return "
                   "STATUS_MORE_PROCESSING_REQUIRED and free or reuse it",
                   OriginName(origin));
  TakeFinisher(irp)(irp);
}

}  // namespace

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  CheckCompletable(Irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  do {
    const UCHAR control = sp->Control;
    PassLocation(Irp, CHAR(Irp->CurrentLocation - 1), control);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    if (ShouldInvoke(Irp, control)) {
      if (InvokeCompletionRoutine(Irp, sp)) return;
    } else {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
      ZeroIrpStackLocation(sp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    ++sp;
  } while (Irp->CurrentLocation <= Irp->StackCount + 1);
  FinishAtTop(Irp);
}
