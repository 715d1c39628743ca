// System threads, thread objects and handle-based references to them.
#include <memory>
#include <thread>

#include "emulator/kernel/ex/handles.h"
#include "emulator/kernel/ke/kthread.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::kthread {
namespace {

void DeleteThreadObject(void* object) { delete static_cast<PKTHREAD>(object); }

struct ThreadHandle : handles::Object {
  explicit ThreadHandle(PKTHREAD t) : thread(t) {}
  ~ThreadHandle() override { ob::Dereference(thread, "ZwClose"); }
  const char* TypeName() const override { return "thread"; }
  PKTHREAD thread;
};

PKTHREAD NewThreadObject(sched::ThreadState* state, bool system) {
  auto* thread = new KTHREAD{};
  thread->Header.Type = sched::kThread;
  thread->Header.Initialized = sched::kInitializedMark;
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->state = state;
  thread->system = system;
  return thread;
}

void CheckCleanExit(sched::ThreadState& state, PKTHREAD thread) {
  if (state.irql != PASSIVE_LEVEL)
    verifier::Fail("thread ended at raised IRQL", "PsTerminateSystemThread", thread, "IRQL %u", state.irql);
  if (!state.heldSpinLocks.empty())
    verifier::Fail("thread ended holding a spin lock", "PsTerminateSystemThread", thread);
  if (state.ownedMutexes != 0)
    verifier::Fail("thread ended owning a mutex", "PsTerminateSystemThread", thread);
}

void SystemThreadMain(PKTHREAD thread) {
  sched::AttachAsSystemThread(thread);
  sched::ThreadState& state = sched::Current();
  state.name = "system thread";
  thread->state = &state;
  if (setjmp(thread->exit) == 0) thread->routine(thread->context);
  CheckCleanExit(state, thread);
  {
    auto lock = sched::LockDispatcher();
    thread->state = nullptr;
    thread->Header.SignalState = 1;
    sched::WakeWaiters(&thread->Header);
    sched::ThreadEnded();
  }
  sched::DetachCurrent();
  state.kthread = nullptr;
  ob::Dereference(thread, "system thread exit");
  auto lock = sched::LockDispatcher();
  sched::ThreadExited();
}

}  // namespace

const ob::ObjectType kThreadType{"thread", DeleteThreadObject};

PKTHREAD CreateForAttachedThread(sched::ThreadState* state) {
  PKTHREAD thread = NewThreadObject(state, false);
  ob::Insert(thread, &kThreadType, 1);
  return thread;
}

void ReleaseForAttachedThread(sched::ThreadState& state) {
  PKTHREAD thread = state.kthread;
  if (thread == nullptr || thread->system) return;
  state.kthread = nullptr;
  thread->state = nullptr;
  ob::Dereference(thread, "thread detach");
}

}  // namespace kernel::kthread

struct _OBJECT_TYPE {
  const char* name;
};
static _OBJECT_TYPE g_threadObjectType{"Thread"};
static POBJECT_TYPE g_threadObjectTypePointer = &g_threadObjectType;
POBJECT_TYPE* PsThreadType = &g_threadObjectTypePointer;

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
  using namespace kernel;
  verifier::CheckIrql("PsCreateSystemThread", startContext, PASSIVE_LEVEL);
  if (threadHandle == nullptr || startRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  sched::Current();
  PKTHREAD thread = kthread::NewThreadObject(nullptr, true);
  thread->routine = startRoutine;
  thread->context = startContext;
  // One reference for the handle, one for the running thread.
  ob::Insert(thread, &kthread::kThreadType, 2);
  *threadHandle = handles::Insert(std::make_shared<kthread::ThreadHandle>(thread));
  if (clientId != nullptr) {
    clientId->UniqueProcess = nullptr;
    clientId->UniqueThread = *threadHandle;
  }
  {
    auto lock = sched::LockDispatcher();
    sched::PrecountNewThread();
    sched::ThreadStarted();
  }
  std::thread(kthread::SystemThreadMain, thread).detach();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
  using namespace kernel;
  sched::ThreadState& state = sched::Current();
  if (state.kthread == nullptr || !state.kthread->system)
    verifier::Fail("PsTerminateSystemThread outside a system thread", "PsTerminateSystemThread",
                   state.kthread);
  std::longjmp(state.kthread->exit, 1);
}

PKTHREAD KeGetCurrentThread() { return kernel::sched::Current().kthread; }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) { return 8; }

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation) {
  using namespace kernel;
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  auto opened = handles::Lookup(handle);
  if (!opened) return STATUS_INVALID_HANDLE;
  auto threadHandle = std::dynamic_pointer_cast<kthread::ThreadHandle>(opened);
  if (!threadHandle || (objectType != nullptr && objectType != *PsThreadType))
    return STATUS_OBJECT_TYPE_MISMATCH;
  ob::Reference(threadHandle->thread, "ObReferenceObjectByHandle");
  *object = threadHandle->thread;
  if (handleInformation != nullptr) {
    handleInformation->HandleAttributes = 0;
    handleInformation->GrantedAccess = desiredAccess;
  }
  return STATUS_SUCCESS;
}
