// One dispatcher thread hands each queued item to a system thread of its own
// and, when it stops, waits for every item thread to end.
#include "emulator/kernel/system_worker.h"

#include <deque>
#include <mutex>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

namespace kernel::worker {
namespace {

struct State {
  std::mutex lock;
  std::deque<std::function<void()>> queue;
  int outstanding = 0;
  bool running = false;
  bool stopping = false;
  KEVENT newWork;  // synchronization: the dispatcher has something to do
  KEVENT idle;     // notification: nothing queued or running
  PKTHREAD dispatcher = nullptr;
  std::vector<PKTHREAD> items;  // item threads not yet seen to end (dispatcher's)
};

State& S() {
  static auto* state = new State;
  return *state;
}

void NTAPI ItemMain(PVOID context) {
  auto* work = static_cast<std::function<void()>*>(context);
  (*work)();
  delete work;
  State& s = S();
  std::lock_guard guard(s.lock);
  if (--s.outstanding == 0) KeSetEvent(&s.idle, 0, FALSE);
}

PKTHREAD ReferenceThread(HANDLE handle) {
  PVOID thread = nullptr;
  ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  return static_cast<PKTHREAD>(thread);
}

void StartItem(std::function<void()> work) {
  auto* context = new std::function<void()>(std::move(work));
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ItemMain, context);
  if (!NT_SUCCESS(status))
    verifier::Fail("cannot start a worker thread", "kernel::worker", context, "status 0x%08X",
                   unsigned(status));
  S().items.push_back(ReferenceThread(handle));
}

// Drops the item threads that have ended; with `wait`, waits for all.
void ReapItems(bool wait) {
  LARGE_INTEGER now{};
  std::erase_if(S().items, [&](PKTHREAD thread) {
    if (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, wait ? nullptr : &now) != STATUS_SUCCESS)
      return false;
    ObDereferenceObject(thread);
    return true;
  });
}

void NTAPI DispatcherMain(PVOID) {
  State& s = S();
  for (;;) {
    KeWaitForSingleObject(&s.newWork, Executive, KernelMode, FALSE, nullptr);
    std::deque<std::function<void()>> batch;
    bool stop;
    {
      std::lock_guard guard(s.lock);
      batch.swap(s.queue);
      stop = s.stopping;
    }
    for (auto& work : batch) StartItem(std::move(work));
    ReapItems(stop);
    if (stop) return;
  }
}

void Boot(const MachineOptions&) {
  State& s = S();
  KeInitializeEvent(&s.newWork, SynchronizationEvent, FALSE);
  KeInitializeEvent(&s.idle, NotificationEvent, TRUE);
  s.stopping = false;
  s.outstanding = 0;
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, DispatcherMain, nullptr)))
    verifier::Fail("cannot start the worker dispatcher", "kernel::worker", nullptr);
  s.dispatcher = ReferenceThread(handle);
  std::lock_guard guard(s.lock);
  s.running = true;
}

void Shutdown() {
  State& s = S();
  WaitForIdle();
  {
    std::lock_guard guard(s.lock);
    s.stopping = true;
    s.running = false;
  }
  KeSetEvent(&s.newWork, 0, FALSE);
  KeWaitForSingleObject(s.dispatcher, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(s.dispatcher);
  s.dispatcher = nullptr;
}

// Boots after the kernel and the handle table, and shuts down after the Plug
// and Play manager, whose last actions run here.
const bool registered = RegisterSubsystem({"worker", 55, Boot, Shutdown});

}  // namespace

void Queue(std::function<void()> work) {
  State& s = S();
  {
    std::lock_guard guard(s.lock);
    if (!s.running) verifier::Fail("work queued while the machine is down", "kernel::worker::Queue", nullptr);
    s.queue.push_back(std::move(work));
    if (s.outstanding++ == 0) KeClearEvent(&s.idle);
  }
  KeSetEvent(&s.newWork, 0, FALSE);
}

void WaitForIdle() {
  verifier::CheckIrql("kernel::worker::WaitForIdle", nullptr, PASSIVE_LEVEL);
  KeWaitForSingleObject(&S().idle, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace kernel::worker
