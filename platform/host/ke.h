// Kernel core for the host build: IRQL, spin locks, dispatcher objects
// (events, mutexes, timers, threads), DPCs, waits, time, interlocked
// operations and system threads. Names and signatures are the kernel's.
#pragma once

#include "platform/host/ntdef.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3

// ---- IRQL -----------------------------------------------------------------
KIRQL NTAPI KeGetCurrentIrql();
void NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void NTAPI KeLowerIrql(KIRQL newIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel();

// ---- Spin locks -----------------------------------------------------------
void NTAPI KeInitializeSpinLock(PKSPIN_LOCK spinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock);
void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock);

// ---- Dispatcher objects ---------------------------------------------------
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Inserted;  // timers: in the timer queue
  UCHAR Size;
  UCHAR Initialized;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  MaximumWaitReason = 40
} KWAIT_REASON;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;  // absolute interrupt time
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PVOID Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

void NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
void NTAPI KeClearEvent(PRKEVENT event);
LONG NTAPI KeResetEvent(PRKEVENT event);
LONG NTAPI KeReadStateEvent(PRKEVENT event);

void NTAPI KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG NTAPI KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX mutex);

void NTAPI KeInitializeTimer(PKTIMER timer);
void NTAPI KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
BOOLEAN NTAPI KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN NTAPI KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER timer);

void NTAPI KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC dpc);
void NTAPI KeFlushQueuedDpcs();

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                     BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType,
                                        KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                        PLARGE_INTEGER timeout, PKWAIT_BLOCK waitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval);
void NTAPI KeStallExecutionProcessor(ULONG microSeconds);

// ---- Time -----------------------------------------------------------------
void NTAPI KeQuerySystemTime(PLARGE_INTEGER currentTime);
ULONGLONG NTAPI KeQueryInterruptTime();
void NTAPI KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG NTAPI KeQueryTimeIncrement();

// ---- Threads and objects --------------------------------------------------
typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;
extern POBJECT_TYPE* PsThreadType;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                                    POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                                    PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext);
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exitStatus);
PKTHREAD NTAPI KeGetCurrentThread();
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                         KPROCESSOR_MODE accessMode, PVOID* object,
                                         POBJECT_HANDLE_INFORMATION handleInformation);
LONG_PTR NTAPI ObfReferenceObject(PVOID object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// ---- Interlocked operations -----------------------------------------------
inline LONG InterlockedIncrement(volatile LONG* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedOr(volatile LONG* target, LONG value) {
  return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(volatile LONG* target, LONG value) {
  return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(volatile LONG64* target, LONG64 value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline char InterlockedExchange8(volatile char* target, char value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)

// ---- Loads that later accesses are not moved ahead of -----------------------
inline BYTE ReadUCharAcquire(BYTE const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline ULONG ReadULongAcquire(ULONG const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline LONG64 ReadAcquire64(LONG64 const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}

// ---- Lists ----------------------------------------------------------------
inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

// ---- Debug output ---------------------------------------------------------
// Printed to stderr when the environment variable T7315_DBGPRINT is set.
ULONG NTAPI DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));
ULONG NTAPI DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Layouts that must match Windows x64 -----------------------------------------------
static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK");
static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER");
static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(sizeof(KDPC) == 64, "KDPC");
static_assert(FIELD_OFFSET(KDPC, DeferredRoutine) == 24, "KDPC.DeferredRoutine");
static_assert(FIELD_OFFSET(KDPC, DeferredContext) == 32, "KDPC.DeferredContext");
static_assert(sizeof(KTIMER) == 64, "KTIMER");
static_assert(FIELD_OFFSET(KTIMER, DueTime) == 24, "KTIMER.DueTime");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
