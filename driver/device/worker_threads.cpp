#include "driver/device/worker_threads.h"

#include "driver/context/pool.h"
#include "driver/datapath/bulk_in.h"
#include "driver/context/shared_flags.h"
#include "driver/datapath/write.h"
#include "driver/uart/modem_status.h"
#include "driver/uart/register_access.h"

namespace {

constexpr ULONG SlotUrbSize = 128;
constexpr ULONG ThreadStopPauseMs = 100;

// Pipes of the selected interface, by slot.
constexpr ULONG InterruptInPipe = 0;
constexpr ULONG BulkInPipe = 1;
constexpr ULONG BulkOutPipe = 2;

// One system thread running `Routine` with the context, kept referenced in
// `*Thread`. Should the reference fail, the thread is told to end at once, so
// that no thread runs that removal could not wait for.
NTSTATUS CreateWorkerThread(PPORT_DEVICE_CONTEXT Context, PKSTART_ROUTINE Routine, PKEVENT KillEvent,
                            PKTHREAD* Thread) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Routine, Context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PVOID object = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
  ZwClose(handle);
  if (NT_SUCCESS(status)) {
    *Thread = static_cast<PKTHREAD>(object);
  } else {
    KeSetEvent(KillEvent, IO_NO_INCREMENT, FALSE);
  }
  return status;
}

// Creates the thread unless it exists; its events are initialised only then,
// never under a running thread.
NTSTATUS StartWorkerThread(PPORT_DEVICE_CONTEXT Context, PKSTART_ROUTINE Routine, PKEVENT KillEvent,
                           PKEVENT PollEvent, PKTHREAD* Thread) {
  if (*Thread != nullptr) {
    return STATUS_SUCCESS;
  }
  KeInitializeEvent(KillEvent, NotificationEvent, FALSE);
  KeInitializeEvent(PollEvent, SynchronizationEvent, FALSE);
  return CreateWorkerThread(Context, Routine, KillEvent, Thread);
}

// Kill event, a pause for the thread to finish its pass, then the wait for
// its end.
VOID StopWorkerThread(PKEVENT KillEvent, PKTHREAD* Thread) {
  if (*Thread == nullptr) {
    return;
  }
  KeSetEvent(KillEvent, IO_NO_INCREMENT, FALSE);
  DelayMilliseconds(ThreadStopPauseMs);
  KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(*Thread);
  *Thread = nullptr;
}

NTSTATUS AllocateSlotIrp(PDEVICE_OBJECT Fdo, IntUrb& Slot) {
  if (Slot.Irp == nullptr) {
    Slot.Irp = IoAllocateIrp(Fdo->StackSize, FALSE);
  }
  return Slot.Irp != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS AllocateSlotUrb(IntUrb& Slot) {
  if (Slot.Urb == nullptr) {
    Slot.Urb = static_cast<PURB>(AllocatePoolMemory(SelectNonPagedPoolType(), SlotUrbSize));
  }
  return Slot.Urb != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The IRP and URB of a slot; without its URB a slot keeps no IRP either.
NTSTATUS AllocateSlot(PDEVICE_OBJECT Fdo, IntUrb& Slot) {
  NTSTATUS status = AllocateSlotIrp(Fdo, Slot);
  if (NT_SUCCESS(status)) {
    status = AllocateSlotUrb(Slot);
    if (!NT_SUCCESS(status)) {
      IoFreeIrp(Slot.Irp);
      Slot.Irp = nullptr;
    }
  }
  return status;
}

VOID PrimeSlot(PPORT_DEVICE_CONTEXT Context, PDEVICE_OBJECT Fdo, IntUrb& Slot, ULONG Pipe) {
  Slot.Fdo = Fdo;
  Slot.PipeInfo = &Context->InterfaceInfo->Pipes[Pipe];
  WriteSharedByte(&Slot.Idle, 1);
}

VOID FreeSlot(IntUrb& Slot) {
  if (Slot.Irp != nullptr) {
    IoFreeIrp(Slot.Irp);
    Slot.Irp = nullptr;
  }
  FreePoolMemory(Slot.Urb);
  Slot.Urb = nullptr;
}

// The slot IRP when its transfer may be in flight, read under the lock that
// guards its pointer.
PIRP SlotIrpToCancel(PPORT_DEVICE_CONTEXT Context, ULONG Index, PKSPIN_LOCK Lock, BOOLEAN OnlyWhenBusy) {
  IntUrb& slot = Context->IntUrbs[Index];
  KIRQL oldIrql;
  KeAcquireSpinLock(Lock, &oldIrql);
  PIRP irp = slot.Irp;
  if (OnlyWhenBusy && ReadSharedByte(&slot.Idle) != 0) {
    irp = nullptr;
  }
  KeReleaseSpinLock(Lock, oldIrql);
  return irp;
}

}  // namespace

NTSTATUS StartPollingThreads(PDEVICE_OBJECT Fdo) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(Fdo);
  PUSBD_INTERFACE_INFORMATION pipes = context->InterfaceInfo;
  if (pipes == nullptr || pipes->NumberOfPipes <= BulkOutPipe) {
    return STATUS_INVALID_DEVICE_STATE;  // no configuration: the slots would have no pipe
  }
  IntUrb& bulkIn = context->IntUrbs[BulkInSlot];
  NTSTATUS status = AllocateSlot(Fdo, bulkIn);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PrimeSlot(context, Fdo, bulkIn, BulkInPipe);
  status = StartWorkerThread(context, PollingReadInterruptUrb, &context->ReadKillEvent,
                             &context->ReadPollEvent, &context->ReadThread);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  IntUrb& bulkOut = context->IntUrbs[BulkOutSlot];
  status = AllocateSlot(Fdo, bulkOut);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PrimeSlot(context, Fdo, bulkOut, BulkOutPipe);
  status = StartWorkerThread(context, PollingWriteInterruptUrb, &context->WriteKillEvent,
                             &context->WritePollEvent, &context->WriteThread);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // The interrupt-in slot keeps an IRP it got even when its URB is missing.
  IntUrb& interruptIn = context->IntUrbs[InterruptInSlot];
  status = AllocateSlotIrp(Fdo, interruptIn);
  if (NT_SUCCESS(status)) {
    status = AllocateSlotUrb(interruptIn);
  }
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PrimeSlot(context, Fdo, interruptIn, InterruptInPipe);
  return StartWorkerThread(context, PollingInterruptInUrb, &context->IntKillEvent, &context->IntPollEvent,
                           &context->IntThread);
}

NTSTATUS StartMsrThread(PDEVICE_OBJECT Fdo) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(Fdo);
  if (context->MsrThread != nullptr) {
    return STATUS_SUCCESS;
  }
  KeInitializeEvent(&context->MsrKillEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->MsrPollEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&context->LsrPollEvent, SynchronizationEvent, FALSE);
  return CreateWorkerThread(context, PollingMSR, &context->MsrKillEvent, &context->MsrThread);
}

VOID ResumeTransfers(PPORT_DEVICE_CONTEXT Context) {
  // A thread's events exist once a start has created it.
  if (Context->WriteThread != nullptr) {
    KeSetEvent(&Context->WritePollEvent, IO_NO_INCREMENT, FALSE);
  }
  if (ReadShared(&Context->handles) == 0 || ReadSharedByte(&Context->PortClosing) != 0) {
    return;
  }
  if (Context->ReadThread != nullptr) {
    KeSetEvent(&Context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  }
  if (Context->IntThread != nullptr) {
    KeSetEvent(&Context->IntPollEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID CancelPendingTransfers(PPORT_DEVICE_CONTEXT Context) {
  // Cancelled outside the locks: the bus driver may complete a cancelled
  // transfer at once, and its completion routine takes the same lock.
  PIRP bulkIn = SlotIrpToCancel(Context, BulkInSlot, &Context->IntUrbLock, FALSE);
  PIRP interruptIn = SlotIrpToCancel(Context, InterruptInSlot, &Context->IntUrbLock, FALSE);
  if (bulkIn != nullptr) {
    IoCancelIrp(bulkIn);
  }
  if (interruptIn != nullptr) {
    IoCancelIrp(interruptIn);
  }
  // A busy bulk-out slot turns idle when its cancelled chunk comes back
  // (OnWriteCompletion, under WriteQueueLock); marking it idle before that
  // would let the bulk-out thread reuse an IRP the bus driver still holds.
  PIRP bulkOut = SlotIrpToCancel(Context, BulkOutSlot, &Context->WriteQueueLock, TRUE);
  if (bulkOut != nullptr) {
    IoCancelIrp(bulkOut);
  }
}

VOID StopPollingThreads(PPORT_DEVICE_CONTEXT Context) {
  StopWorkerThread(&Context->IntKillEvent, &Context->IntThread);
  StopWorkerThread(&Context->ReadKillEvent, &Context->ReadThread);
  StopWorkerThread(&Context->WriteKillEvent, &Context->WriteThread);
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->IntUrbLock, &oldIrql);
  FreeSlot(Context->IntUrbs[InterruptInSlot]);
  FreeSlot(Context->IntUrbs[BulkInSlot]);
  FreeSlot(Context->IntUrbs[BulkOutSlot]);
  KeReleaseSpinLock(&Context->IntUrbLock, oldIrql);
}

VOID StopMsrThread(PPORT_DEVICE_CONTEXT Context) {
  StopWorkerThread(&Context->MsrKillEvent, &Context->MsrThread);
}
