// IoCancelIrp and the cancel spin lock. Cancel sets the IRP's Cancel flag
// and then exchanges its cancel routine with none: of a canceller and a
// driver dequeuing the IRP, whoever gets the routine back owns the IRP.
#include <algorithm>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace {

KSPIN_LOCK g_cancelSpinLock;

}  // namespace

namespace kernel::io::internal {

void BootCancel() { KeInitializeSpinLock(&g_cancelSpinLock); }

BOOLEAN CancelHeldIrp(PIRP irp) {
  const KIRQL entryIrql = KeGetCurrentIrql();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  const KIRQL after = KeGetCurrentIrql();
  const auto& held = sched::Current().heldSpinLocks;
  if (after != entryIrql || std::count(held.begin(), held.end(), &g_cancelSpinLock) != 0)
    verifier::Fail("IRQL changed across a driver routine", "IoCancelIrp", irp,
                   "cancel routine %p returned at IRQL %u (entered from %u) or holding the "
                   "cancel spin lock: it must release it with "
                   "IoReleaseCancelSpinLock(Irp->CancelIrql)",
                   reinterpret_cast<void*>(routine), after, entryIrql);
  return TRUE;
}

}  // namespace kernel::io::internal

using namespace kernel;
using namespace kernel::io::internal;

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelSpinLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  verifier::CheckIrql("IoCancelIrp", Irp, DISPATCH_LEVEL);
  // The hold keeps the IRP's memory while its completion may free it on
  // another processor; the kernel gets the same from raising IRQL.
  if (!Hold(Irp)) CheckLive(Irp, "IoCancelIrp");
  const BOOLEAN called = CancelHeldIrp(Irp);
  Unhold(Irp);
  return called;
}
