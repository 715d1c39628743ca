// Internal to the emulated kernel: the thread object behind PKTHREAD. Its dispatcher header
// comes first so that a thread object can be waited on like any other.
#pragma once

#include <csetjmp>

#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/ke/scheduler.h"

struct _KTHREAD {
  DISPATCHER_HEADER Header;
  kernel::sched::ThreadState* state;  // null once the thread has ended
  bool system;
  PKSTART_ROUTINE routine;
  PVOID context;
  std::jmp_buf exit;  // PsTerminateSystemThread returns here
};

namespace kernel::kthread {

extern const ob::ObjectType kThreadType;

// Test threads and the tool's threads get a thread object when they first
// use the kernel, so that mutex ownership and KeGetCurrentThread work.
PKTHREAD CreateForAttachedThread(sched::ThreadState* state);
// Drops the attached thread's object (dispatcher lock held).
void ReleaseForAttachedThread(sched::ThreadState& state);

}  // namespace kernel::kthread
