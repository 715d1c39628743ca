// The timeout rules of a read (all in milliseconds, MaxUlong = 0xFFFFFFFF):
//   I = MaxUlong, M = 0, K = 0         return at once with what is held;
//   I = MaxUlong, M = MaxUlong, 0 < K < MaxUlong
//                                      return at once with what is held, or as
//                                      soon as the first bytes come; total K;
//   I = MaxUlong, K = MaxUlong         no total timeout;
//   I = MaxUlong, otherwise            total Length * M + K, M = MaxUlong as 0;
//   I other,      M = 0, K = 0         no total timeout;
//   I other,      otherwise            total Length * M + K.
//
// Bytes reach reads in the order the reads were issued: a read that arrives
// while another is queued or current waits its turn, and when a read ends the
// next one is served at once from what the ring holds. Each read carries its
// own rule and deadline (counted from when it was issued) in its
// Tail.Overlay.DriverContext. The one ReadTimer belongs to the read at the
// front, the current read or, when none is current, the oldest queued one: it
// is armed with what is left of that read's total whenever the front changes.
//
// Lock rule: CurrentReadLock is held wherever CurrentReadIrp or the head of
// ReadQueue changes and wherever a pending read is completed; ReadQueueLock
// and ReceiveBufferLock are taken inside it, never together. Completing under
// the lock, at DISPATCH_LEVEL, is by design: the front and its completion
// change in one step, so no other path can complete the same read or serve
// the next one out of order. A completion routine above must not call back
// into the read path. Every pending
// read, queued or current, carries ReadIrpCancelRoutine: whoever takes the
// routine back first owns the read.
#include "driver/datapath/read.h"

#include "driver/context/receive_flow.h"
#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"

namespace {

// On the bulk-in path the interval counts in units of 10 ms.
constexpr LONGLONG TimerUnitsPerIntervalUnit = 100000;
constexpr ULONG MaxUlong = 0xFFFFFFFF;

// A pending read's own rule, in Tail.Overlay.DriverContext while the driver
// owns the read: set at entry before anyone else can see the read, changed
// afterwards only under CurrentReadLock.
constexpr ULONG DeadlineSlot = 0;  // system time at which its total runs out
constexpr ULONG FlagsSlot = 1;
constexpr ULONG_PTR ReturnsPresent = 0x01;    // ends with whatever is held, even nothing
constexpr ULONG_PTR EndsOnFirstBytes = 0x02;  // ends as soon as anything is held
constexpr ULONG_PTR HasTotal = 0x04;          // ends at its deadline
constexpr ULONG_PTR OwnsTimer = 0x08;         // ReadTimer was armed for this read

struct ReadRule {
  ULONG_PTR Flags;  // ReturnsPresent, EndsOnFirstBytes, HasTotal
  LONGLONG Amount;  // the total in 100-ns units, with HasTotal
};

// Why the current read is looked at, which decides what else may end it.
enum class Occasion { TakenUp, Transfer, Timer };
enum class Outcome { Pending, Completed, Cancelling };

ULONG ReadLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length; }

ULONG_PTR Flags(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[FlagsSlot]); }

VOID SetFlags(PIRP irp, ULONG_PTR flags) {
  irp->Tail.Overlay.DriverContext[FlagsSlot] = reinterpret_cast<PVOID>(flags);
}

LONGLONG Deadline(PIRP irp) {
  return LONGLONG(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[DeadlineSlot]));
}

VOID SetDeadline(PIRP irp, LONGLONG deadline) {
  irp->Tail.Overlay.DriverContext[DeadlineSlot] = reinterpret_cast<PVOID>(ULONG_PTR(deadline));
}

// (Length * M + K) * 10000 from unsigned 32-bit values; a result beyond the
// signed 64-bit range is held at Never (tens of thousands of years) instead
// of wrapping into a short or negative time.
LONGLONG TotalTimerUnits(ULONG length, ULONG multiplier, ULONG constant) {
  ULONGLONG milliseconds = ULONGLONG(length) * multiplier + constant;
  ULONGLONG limit = ULONGLONG(Never) / TimerUnitsPerMillisecond;
  return milliseconds > limit ? Never : LONGLONG(milliseconds) * TimerUnitsPerMillisecond;
}

ReadRule WorkOutRule(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  ULONG i = timeouts.ReadIntervalTimeout;
  ULONG m = timeouts.ReadTotalTimeoutMultiplier;
  ULONG k = timeouts.ReadTotalTimeoutConstant;
  ReadRule rule = {0, 0};
  if (i == MaxUlong) {
    if (m == 0 && k == 0) {
      rule.Flags = ReturnsPresent;
    } else if (k != MaxUlong) {
      rule.Flags = HasTotal | (m == MaxUlong && k != 0 ? EndsOnFirstBytes : 0);
      rule.Amount = TotalTimerUnits(length, m == MaxUlong ? 0 : m, k);
    }
  } else if (m != 0 || k != 0) {
    rule.Flags = HasTotal;
    rule.Amount = TotalTimerUnits(length, m, k);
  }
  return rule;
}

LONGLONG SystemTimeNow() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

// Neither value is negative: the sum is held at Never rather than overflow,
// and what is left is 0 once the deadline has passed.
LONGLONG DeadlineAfter(LONGLONG now, LONGLONG amount) { return amount > Never - now ? Never : now + amount; }

LONGLONG TimeLeft(PIRP irp) {
  LONGLONG deadline = Deadline(irp);
  LONGLONG now = SystemTimeNow();
  return deadline > now ? deadline - now : 0;
}

// Due time `due` from now for `irp`; zero expires at once.
VOID ArmReadTimer(PPORT_DEVICE_CONTEXT context, PIRP irp, LONGLONG due) {
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = due > 0 ? -due : 0;
  KeSetTimer(&context->ReadTimer, dueTime, &context->ReadTimeoutDpc);
  SetFlags(irp, Flags(irp) | OwnsTimer);
}

// Gives ReadTimer to the read at the front for what is left of its total, or
// stops it when there is none. Caller holds CurrentReadLock.
VOID ArmTotalTimer(PPORT_DEVICE_CONTEXT context, PIRP front) {
  if (front != nullptr && (Flags(front) & HasTotal) != 0) {
    ArmReadTimer(context, front, TimeLeft(front));
  } else {
    KeCancelTimer(&context->ReadTimer);
  }
}

// Caller holds CurrentReadLock, which keeps the head of ReadQueue in place.
PIRP OldestQueuedRead(PPORT_DEVICE_CONTEXT context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReadQueueLock, &oldIrql);
  PIRP head = IsListEmpty(&context->ReadQueue)
                  ? nullptr
                  : CONTAINING_RECORD(context->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&context->ReadQueueLock, oldIrql);
  return head;
}

PIRP FrontRead(PPORT_DEVICE_CONTEXT context) {
  PIRP current = ReadSharedIrp(&context->CurrentReadIrp);
  return current != nullptr ? current : OldestQueuedRead(context);
}

// Pops min(length, held) bytes into the read's buffer; the caller holds
// ReceiveBufferLock. Returns the count taken.
ULONG TakeFromRing(PPORT_DEVICE_CONTEXT context, PIRP irp, ULONG length) {
  ULONG held = GetQueueBufferCount(&context->ReceiveBuffer);
  ULONG n = length < held ? length : held;
  if (n > 0) {
    PopQueueBufferEntry(&context->ReceiveBuffer, static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), n);
    UpdateReceiveFlow(context, held - n);
  }
  return n;
}

// Queues the read with its cancel routine; the caller holds CurrentReadLock.
// STATUS_CANCELLED when it turned out to be cancelled already and is now ours
// to complete.
NTSTATUS QueueRead(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  KeAcquireSpinLockAtDpcLevel(&context->ReadQueueLock);
  IoMarkIrpPending(irp);
  InsertTailList(&context->ReadQueue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, ReadIrpCancelRoutine);
  NTSTATUS status = STATUS_PENDING;
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    status = STATUS_CANCELLED;
  }
  KeReleaseSpinLockFromDpcLevel(&context->ReadQueueLock);
  return status;
}

// A read with none ahead of it ends at entry when it is satisfied, returns
// what is present, or ends on the first bytes and bytes are there.
BOOLEAN EndsAtEntry(ULONG_PTR flags, ULONG length, ULONG held) {
  return length <= held || (flags & ReturnsPresent) != 0 || ((flags & EndsOnFirstBytes) != 0 && held > 0);
}

// Once current, a read also ends on bytes held when the bulk-in path returns
// what is present (I not 0 with M and K both 0).
BOOLEAN EndsWithWhatIsHeld(PPORT_DEVICE_CONTEXT context, PIRP irp, ULONG length, ULONG held) {
  const SERIAL_TIMEOUTS& t = context->Timeouts;
  BOOLEAN bulkInReturnsPresent =
      t.ReadIntervalTimeout != 0 && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  return EndsAtEntry(Flags(irp), length, held) || (bulkInReturnsPresent && held > 0);
}

BOOLEAN RxcharSeen(PPORT_DEVICE_CONTEXT context) {
  return (ReadShared(&context->HistoryMask) & ReadShared(&context->WaitMask) & SERIAL_EV_RXCHAR) != 0;
}

// Ends the current read `irp` if the occasion allows: by what the ring holds
// (any occasion), by a receive event standing recorded and wanted (a
// transfer), by time (the timer, or a read taken up after its deadline).
// Caller holds CurrentReadLock. Cancelling: the read's cancel routine has
// begun and will end it and take up the next one; it stays current until
// then. `held` receives the bytes held.
Outcome EndCurrentReadIf(PPORT_DEVICE_CONTEXT context, PIRP irp, Occasion occasion, ULONG* held) {
  ULONG length = ReadLength(irp);
  KeAcquireSpinLockAtDpcLevel(&context->ReceiveBufferLock);
  *held = GetQueueBufferCount(&context->ReceiveBuffer);
  BOOLEAN late = occasion == Occasion::Timer ||
                 (occasion == Occasion::TakenUp && (Flags(irp) & HasTotal) != 0 && TimeLeft(irp) == 0);
  BOOLEAN due = late || EndsWithWhatIsHeld(context, irp, length, *held) ||
                (occasion == Occasion::Transfer && RxcharSeen(context));
  if (!due || IoSetCancelRoutine(irp, nullptr) == nullptr) {
    KeReleaseSpinLockFromDpcLevel(&context->ReceiveBufferLock);
    return due ? Outcome::Cancelling : Outcome::Pending;
  }
  ULONG n = TakeFromRing(context, irp, length);
  KeReleaseSpinLockFromDpcLevel(&context->ReceiveBufferLock);
  WriteSharedIrp(&context->CurrentReadIrp, nullptr);
  // Under CurrentReadLock by design (the lock rule above).
  CompleteIrpWithInfo(irp, late && n < length ? STATUS_TIMEOUT : STATUS_SUCCESS, n);
  return Outcome::Completed;
}

// Makes the oldest queued read current and serves it from what the ring
// already holds, for as long as the reads taken up end that way; the read
// left current gets ReadTimer for what is left of its total. Caller holds
// CurrentReadLock; no read is current.
VOID StartNextRead(PPORT_DEVICE_CONTEXT context) {
  for (;;) {
    PIRP next = DequeueReadIrp(context);
    WriteSharedIrp(&context->CurrentReadIrp, next);
    if (next == nullptr) {
      KeCancelTimer(&context->ReadTimer);
      return;
    }
    ULONG held;
    Outcome outcome = EndCurrentReadIf(context, next, Occasion::TakenUp, &held);
    if (outcome == Outcome::Pending) {
      ArmTotalTimer(context, next);
    }
    if (outcome != Outcome::Completed) {
      return;
    }
  }
}

// Interval timing: the read ends I * 10 ms after this completion unless more
// bytes come, or when its own total runs out, whichever is first.
VOID ArmIntervalTimer(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  LONGLONG due = LONGLONG(context->Timeouts.ReadIntervalTimeout) * TimerUnitsPerIntervalUnit;
  if ((Flags(irp) & HasTotal) != 0) {
    LONGLONG left = TimeLeft(irp);
    if (left < due) {
      due = left;
    }
  }
  ArmReadTimer(context, irp, due);
}

}  // namespace

NTSTATUS QueueOrCompleteReadIrp(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  ULONG length = ReadLength(Irp);
  if (length == 0 || Irp->AssociatedIrp.SystemBuffer == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  IntUrb& slot = Context->IntUrbs[BulkInSlot];
  if (Context->DeviceState != PnpStateWorking || slot.Irp == nullptr || slot.Urb == nullptr) {
    return CompleteIrpWithInfo(Irp, STATUS_DELETE_PENDING, 0);
  }
  ReadRule rule = WorkOutRule(Context->Timeouts, length);
  SetFlags(Irp, rule.Flags);
  SetDeadline(Irp, DeadlineAfter(SystemTimeNow(), rule.Amount));

  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  // Only a read with none ahead of it may take bytes now.
  BOOLEAN first = FrontRead(Context) == nullptr;
  if (first) {
    KeAcquireSpinLockAtDpcLevel(&Context->ReceiveBufferLock);
    if (EndsAtEntry(rule.Flags, length, GetQueueBufferCount(&Context->ReceiveBuffer))) {
      ULONG n = TakeFromRing(Context, Irp, length);
      KeReleaseSpinLockFromDpcLevel(&Context->ReceiveBufferLock);
      KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
      return CompleteIrpWithInfo(Irp, STATUS_SUCCESS, n);
    }
    KeReleaseSpinLockFromDpcLevel(&Context->ReceiveBufferLock);
  }
  NTSTATUS status = QueueRead(Context, Irp);
  if (status == STATUS_PENDING && first) {
    ArmTotalTimer(Context, Irp);
  }
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);

  // A request marked pending is reported pending, even when it turned out to
  // be cancelled already and is completed here.
  if (status == STATUS_CANCELLED) {
    CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);
  }
  return STATUS_PENDING;
}

PIRP DequeueReadIrp(PPORT_DEVICE_CONTEXT Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->ReadQueueLock, &oldIrql);
  PIRP irp = nullptr;
  if (!IsListEmpty(&Context->ReadQueue)) {
    PLIST_ENTRY entry = RemoveHeadList(&Context->ReadQueue);
    // Off the queue, so that its cancel routine's unlink does nothing.
    InitializeListHead(entry);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&Context->ReadQueueLock, oldIrql);
  return irp;
}

VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->CurrentReadLock, &oldIrql);
  // Not the front when a purge or close has already taken it off.
  BOOLEAN wasFront = FrontRead(context) == Irp;
  if (ReadSharedIrp(&context->CurrentReadIrp) == Irp) {
    WriteSharedIrp(&context->CurrentReadIrp, nullptr);
  }
  KeAcquireSpinLockAtDpcLevel(&context->ReadQueueLock);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLockFromDpcLevel(&context->ReadQueueLock);
  CompleteIrpWithInfo(Irp, STATUS_CANCELLED, 0);  // under CurrentReadLock by design
  if (wasFront) {
    StartNextRead(context);
  }
  KeReleaseSpinLock(&context->CurrentReadLock, oldIrql);
}

BOOLEAN CompleteReadFromReceive(PPORT_DEVICE_CONTEXT Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  PIRP current = ReadSharedIrp(&Context->CurrentReadIrp);
  // While DSR holds the transmitter no new read is taken up here.
  if (current == nullptr && (ReadShared(&Context->TxHolding) & HeldForDsr) == 0) {
    current = DequeueReadIrp(Context);
    WriteSharedIrp(&Context->CurrentReadIrp, current);
  }
  Outcome outcome = Outcome::Pending;
  if (current != nullptr) {
    ULONG held;
    outcome = EndCurrentReadIf(Context, current, Occasion::Transfer, &held);
    ULONG interval = Context->Timeouts.ReadIntervalTimeout;
    if (outcome == Outcome::Completed) {
      StartNextRead(Context);
    } else if (outcome == Outcome::Pending && held > 0 && interval != 0 && interval != MaxUlong) {
      ArmIntervalTimer(Context, current);
    }
  }
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
  return outcome == Outcome::Completed;
}

VOID ReadTimeoutRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  PPORT_DEVICE_CONTEXT context = static_cast<PPORT_DEVICE_CONTEXT>(DeferredContext);
  // Re-armed after it fired: this expiry is stale.
  if (!KeReadStateTimer(&context->ReadTimer)) {
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&context->CurrentReadLock);
  PIRP front = FrontRead(context);
  // The timer stopped, or was armed for a read that has ended since, and
  // fired before that: not this read's expiry.
  if (front != nullptr && (Flags(front) & OwnsTimer) != 0) {
    if (ReadSharedIrp(&context->CurrentReadIrp) == nullptr) {
      WriteSharedIrp(&context->CurrentReadIrp, DequeueReadIrp(context));
    }
    ULONG held;
    if (EndCurrentReadIf(context, front, Occasion::Timer, &held) == Outcome::Completed) {
      StartNextRead(context);
    }
  }
  KeReleaseSpinLockFromDpcLevel(&context->CurrentReadLock);
}

VOID CompleteCurrentReadWithStatus(PPORT_DEVICE_CONTEXT Context, NTSTATUS Status) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->CurrentReadLock, &oldIrql);
  PIRP current = ReadSharedIrp(&Context->CurrentReadIrp);
  // A current read being cancelled is left to its cancel routine.
  if (current != nullptr && IoSetCancelRoutine(current, nullptr) != nullptr) {
    WriteSharedIrp(&Context->CurrentReadIrp, nullptr);
    CompleteIrpWithInfo(current, Status, 0);  // under CurrentReadLock by design
    // The next read waits for reception to resume, but not beyond its total.
    ArmTotalTimer(Context, OldestQueuedRead(Context));
  }
  KeReleaseSpinLock(&Context->CurrentReadLock, oldIrql);
}
