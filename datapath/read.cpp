// The timeout rules of a read (all in milliseconds, MaxUlong = 0xFFFFFFFF):
//   I = MaxUlong, M = 0, K = 0       return at once with what is held;
//   I = MaxUlong, K = MaxUlong       no total timeout;
//   I = MaxUlong, otherwise          total Length * M + K, M = MaxUlong as 0;
//   I other,      M = 0, K = 0       no total timeout;
//   I other,      otherwise          total Length * M + K.
// One ReadTimer serves all reads: arming it for one read replaces whatever it
// was armed for, and when it fires it ends the read that is current then.
#include "datapath/read.h"

#include "context/request_completion.h"
#include "datapath/shared_flags.h"

namespace {

constexpr LONGLONG TimerUnitsPerMillisecond = 10000;
// On the bulk-in path the interval counts in units of 10 ms.
constexpr LONGLONG TimerUnitsPerIntervalUnit = 100000;
constexpr ULONG HeldForDsr = 0x02;
constexpr ULONG MaxUlong = 0xFFFFFFFF;

struct TotalTimeout {
  BOOLEAN ReturnPresent;  // complete at once with whatever is held
  BOOLEAN Applies;        // arm ReadTimer with Amount
  LONGLONG Amount;        // 100-ns units
};

ULONG ReadLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length; }

// (Length * M + K) * 10000 from unsigned 32-bit values; a result beyond the
// signed 64-bit range is held at its largest value (tens of thousands of
// years) instead of wrapping into a short or negative time.
LONGLONG TotalTimerUnits(ULONG length, ULONG multiplier, ULONG constant) {
  ULONGLONG milliseconds = ULONGLONG(length) * multiplier + constant;
  ULONGLONG limit = ULONGLONG(0x7FFFFFFFFFFFFFFF) / TimerUnitsPerMillisecond;
  return milliseconds > limit ? LONGLONG(0x7FFFFFFFFFFFFFFF) : LONGLONG(milliseconds) * TimerUnitsPerMillisecond;
}

TotalTimeout WorkOutTimeout(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  ULONG i = timeouts.ReadIntervalTimeout;
  ULONG m = timeouts.ReadTotalTimeoutMultiplier;
  ULONG k = timeouts.ReadTotalTimeoutConstant;
  TotalTimeout result = {FALSE, FALSE, 0};
  if (i == MaxUlong) {
    if (m == 0 && k == 0) {
      result.ReturnPresent = TRUE;
    } else if (k != MaxUlong) {
      result.Applies = TRUE;
      result.Amount = TotalTimerUnits(length, m == MaxUlong ? 0 : m, k);
    }
  } else if (m != 0 || k != 0) {
    result.Applies = TRUE;
    result.Amount = TotalTimerUnits(length, m, k);
  }
  return result;
}

LONGLONG SystemTimeNow() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

// Due time `due` from now; zero or less expires at once.
VOID ArmReadTimer(PPORT_DEVICE_CONTEXT context, LONGLONG due) {
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = due > 0 ? -due : 0;
  KeSetTimer(&context->ReadTimer, dueTime, &context->ReadTimeoutDpc);
}

// Pops min(length, held) bytes into the read's buffer; the caller holds
// ReceiveBufferLock. Returns the count taken.
ULONG TakeFromRing(PPORT_DEVICE_CONTEXT context, PIRP irp, ULONG length) {
  ULONG held = GetQueueBufferCount(&context->ReceiveBuffer);
  ULONG n = length < held ? length : held;
  if (n > 0) {
    PopQueueBufferEntry(&context->ReceiveBuffer, static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), n);
  }
  return n;
}

// Queues the read with its cancel routine; STATUS_CANCELLED when it turned
// out to be cancelled already and is now ours to complete.
NTSTATUS QueueRead(PPORT_DEVICE_CONTEXT context, PIRP irp, const TotalTimeout& timeout) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReadQueueLock, &oldIrql);
  WriteShared64(reinterpret_cast<volatile LONGLONG*>(&context->ReadStartTime), SystemTimeNow());
  if (timeout.Applies) {
    WriteShared64(&context->ReadTotalTimeoutAmount, timeout.Amount);
    ArmReadTimer(context, timeout.Amount);
  }
  IoMarkIrpPending(irp);
  InsertTailList(&context->ReadQueue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, ReadIrpCancelRoutine);
  NTSTATUS status = STATUS_PENDING;
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    status = STATUS_CANCELLED;
  }
  KeReleaseSpinLock(&context->ReadQueueLock, oldIrql);
  return status;
}

// Whether the bulk-in path completes the current read now: it is satisfied,
// it returns what is present (I not 0 with M and K both 0) and bytes are
// there, or a receive event stands recorded and wanted.
BOOLEAN ReadIsDue(PPORT_DEVICE_CONTEXT context, ULONG length, ULONG held) {
  const SERIAL_TIMEOUTS& t = context->Timeouts;
  BOOLEAN returnPresent = t.ReadIntervalTimeout != 0 && t.ReadTotalTimeoutMultiplier == 0 &&
                          t.ReadTotalTimeoutConstant == 0;
  BOOLEAN rxcharSeen = (ReadShared(&context->HistoryMask) & ReadShared(&context->WaitMask) & SERIAL_EV_RXCHAR) != 0;
  return length <= held || (returnPresent && held > 0) || rxcharSeen;
}

// Interval timing: the read ends I * 10 ms after this completion unless more
// bytes come, or when its total timeout runs out, whichever is first.
VOID ArmIntervalTimer(PPORT_DEVICE_CONTEXT context) {
  LONGLONG due = LONGLONG(context->Timeouts.ReadIntervalTimeout) * TimerUnitsPerIntervalUnit;
  LONGLONG total = ReadShared64(&context->ReadTotalTimeoutAmount);
  if (total != 0) {
    LONGLONG start = ReadShared64(reinterpret_cast<volatile LONGLONG*>(&context->ReadStartTime));
    LONGLONG remaining = start + total - SystemTimeNow();
    if (remaining < due) {
      due = remaining;
    }
  }
  KeCancelTimer(&context->ReadTimer);
  ArmReadTimer(context, due);
}

}  // namespace

NTSTATUS QueueOrCompleteReadIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  KeCancelTimer(&Context->ReadTimer);
  ULONG length = ReadLength(Irp);
  if (length == 0 || Irp->AssociatedIrp.SystemBuffer == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  IntUrb& slot = Context->IntUrbs[BulkInSlot];
  if (Context->DeviceState != 1 || slot.Irp == nullptr || slot.Urb == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_DELETE_PENDING, 0);
  }
  TotalTimeout timeout = WorkOutTimeout(Context->Timeouts, length);
  WriteShared64(&Context->ReadTotalTimeoutAmount, 0);

  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->ReceiveBufferLock, &oldIrql);
  ULONG held = GetQueueBufferCount(&Context->ReceiveBuffer);
  if (length <= held || timeout.ReturnPresent) {
    ULONG n = TakeFromRing(Context, Irp, length);
    KeReleaseSpinLock(&Context->ReceiveBufferLock, oldIrql);
    return CompleteIrpWithInfo(Irp, STATUS_SUCCESS, n);
  }
  KeReleaseSpinLock(&Context->ReceiveBufferLock, oldIrql);

  // A request marked pending is reported pending, even when it turned out to
  // be cancelled already and is completed here.
  if (QueueRead(Context, Irp, timeout) == STATUS_CANCELLED) {
    CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
  }
  return STATUS_PENDING;
}

PIRP DequeueReadIrp(PPORT_DEVICE_CONTEXT Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->ReadQueueLock, &oldIrql);
  PIRP found = nullptr;
  while (found == nullptr && !IsListEmpty(&Context->ReadQueue)) {
    PLIST_ENTRY entry = RemoveHeadList(&Context->ReadQueue);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      found = irp;
    } else {
      // Its cancel routine is running and will unlink it: make that harmless.
      InitializeListHead(entry);
    }
  }
  KeReleaseSpinLock(&Context->ReadQueueLock, oldIrql);
  return found;
}

VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  KeCancelTimer(&context->ReadTimer);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReadQueueLock, &oldIrql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&context->ReadQueueLock, oldIrql);
  CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
}

BOOLEAN CompleteReadFromReceive(PPORT_DEVICE_CONTEXT Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  PIRP current = ReadSharedIrp(&Context->CurrentReadIrp);
  if (current == nullptr && (ReadShared(&Context->TxHolding) & HeldForDsr) == 0) {
    current = DequeueReadIrp(Context);
    WriteSharedIrp(&Context->CurrentReadIrp, current);
  }
  if (current == nullptr) {
    KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
    return FALSE;
  }
  ULONG length = ReadLength(current);
  KeAcquireSpinLockAtDpcLevel(&Context->ReceiveBufferLock);
  ULONG held = GetQueueBufferCount(&Context->ReceiveBuffer);
  if (ReadIsDue(Context, length, held)) {
    KeCancelTimer(&Context->ReadTimer);
    ULONG n = TakeFromRing(Context, current, length);
    KeReleaseSpinLockFromDpcLevel(&Context->ReceiveBufferLock);
    CompleteIrpWithInfo(current, STATUS_SUCCESS, n);
    WriteSharedIrp(&Context->CurrentReadIrp, DequeueReadIrp(Context));
    KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
    return TRUE;
  }
  ULONG interval = Context->Timeouts.ReadIntervalTimeout;
  if (held > 0 && interval != 0 && interval != MaxUlong) {
    ArmIntervalTimer(Context);
  }
  KeReleaseSpinLockFromDpcLevel(&Context->ReceiveBufferLock);
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
  return FALSE;
}

VOID ReadTimeoutRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(DeferredContext);
  // Re-armed or cancelled after it fired: this expiry is stale.
  if (!KeReadStateTimer(&context->ReadTimer)) {
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&context->CurrentReadLock);
  PIRP current = ReadSharedIrp(&context->CurrentReadIrp);
  if (current == nullptr) {
    current = DequeueReadIrp(context);
  }
  if (current == nullptr) {
    KeReleaseSpinLockFromDpcLevel(&context->CurrentReadLock);
    return;
  }
  ULONG length = ReadLength(current);
  KeAcquireSpinLockAtDpcLevel(&context->ReceiveBufferLock);
  ULONG n = TakeFromRing(context, current, length);
  KeReleaseSpinLockFromDpcLevel(&context->ReceiveBufferLock);
  CompleteIrpWithInfo(current, n < length ? STATUS_TIMEOUT : STATUS_SUCCESS, n);
  WriteSharedIrp(&context->CurrentReadIrp, DequeueReadIrp(context));
  KeReleaseSpinLockFromDpcLevel(&context->CurrentReadLock);
}

VOID CompleteCurrentReadWithStatus(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  PIRP current = ExchangeSharedIrp(&Context->CurrentReadIrp, nullptr);
  if (current != nullptr) {
    CompleteIrpWithInfo(current, Status, 0);
  }
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
}
