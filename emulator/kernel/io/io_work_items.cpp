// IoAllocateWorkItem, IoQueueWorkItem and IoFreeWorkItem over the system
// worker. An item is queued at most once at a time, and freeing one that is
// still queued is a verifier failure, as on Windows with the verifier on.
#include <atomic>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/system_worker.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ex.h"
#include "platform/host/io.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  std::atomic<bool> queued;
};

namespace {

constexpr ULONG kWorkItemTag = kernel::pool::Tag("IoWk");

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  kernel::verifier::CheckIrql("IoAllocateWorkItem", DeviceObject, DISPATCH_LEVEL);
  if (DeviceObject == nullptr)
    kernel::verifier::Fail("work item without a device object", "IoAllocateWorkItem", nullptr);
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), kWorkItemTag);
  if (block == nullptr) return nullptr;
  return new (block) IO_WORKITEM{DeviceObject, false};
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  kernel::verifier::CheckIrql("IoFreeWorkItem", IoWorkItem, DISPATCH_LEVEL);
  if (IoWorkItem->queued.load())
    kernel::verifier::Fail("work item freed while queued", "IoFreeWorkItem", IoWorkItem);
  IoWorkItem->~IO_WORKITEM();
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  kernel::verifier::CheckIrql("IoQueueWorkItem", IoWorkItem, DISPATCH_LEVEL);
  if (IoWorkItem->queued.exchange(true))
    kernel::verifier::Fail("work item queued while already queued", "IoQueueWorkItem", IoWorkItem);
  PDEVICE_OBJECT device = IoWorkItem->device;
  ObReferenceObject(device);
  kernel::worker::Queue([IoWorkItem, WorkerRoutine, Context, device] {
    // The routine may queue the item again or free it.
    IoWorkItem->queued.store(false);
    WorkerRoutine(device, Context);
    ObDereferenceObject(device);
  });
}
