// Requests a test driver keeps pending, in arrival order, with a cancel
// routine: whoever clears the routine (the canceller or Take) owns the IRP.
#pragma once

#include <string>

#include "emulator/kernel/io_manager.h"

namespace testdriver {

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct HeldIrps {
  KSPIN_LOCK lock;
  LIST_ENTRY list;
  bool cancelable = true;

  HeldIrps() {
    KeInitializeSpinLock(&lock);
    InitializeListHead(&list);
  }

  // Marks the IRP pending and queues it; one cancelled already ends at once.
  NTSTATUS Hold(PIRP irp) {
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (cancelable) {
      IoSetCancelRoutine(irp, Cancel);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&lock, irql);
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
      }
    }
    InsertTailList(&list, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, irql);
    return STATUS_PENDING;
  }

  // The oldest IRP that no canceller owns, off the queue; null when none.
  PIRP Take() {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    PIRP taken = nullptr;
    while (taken == nullptr && !IsListEmpty(&list)) {
      PLIST_ENTRY entry = RemoveHeadList(&list);
      taken = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      if (cancelable && IoSetCancelRoutine(taken, nullptr) == nullptr) {
        InitializeListHead(entry);  // its cancel routine is on the way
        taken = nullptr;
      }
    }
    KeReleaseSpinLock(&lock, irql);
    return taken;
  }

  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<HeldIrps*>(irp->Tail.Overlay.DriverContext[0]);
    KIRQL irql;
    KeAcquireSpinLock(&self->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&self->lock, irql);
    Complete(irp, STATUS_CANCELLED);
  }
};

inline UNICODE_STRING Counted(const std::u16string& text) {
  return UNICODE_STRING{USHORT(text.size() * 2), USHORT(text.size() * 2), const_cast<PWSTR>(text.c_str())};
}

}  // namespace testdriver
