// IofCallDriver, and the record of each dispatch call that lets the verifier
// check, the way Driver Verifier does, that a routine returning STATUS_PENDING
// marked its stack location pending and that one which marked it returned
// STATUS_PENDING. The check happens once both the routine has returned and
// the completion has passed its location, whichever comes last, using the
// Control byte as the completion found it: the IRP may be gone by the time the
// routine returns.
#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {

struct CallFrame {
  PIRP irp;
  PDEVICE_OBJECT device;
  CHAR location;
  UCHAR majorFunction;
  bool passed = false;
  UCHAR control = 0;  // as the completion walk found it
  bool returned = false;
  NTSTATUS status = 0;
};

namespace {

struct Frames {
  std::mutex lock;
  std::unordered_map<PIRP, std::vector<std::shared_ptr<CallFrame>>> open;
};

Frames& F() {
  static auto* frames = new Frames;
  return *frames;
}

void CheckPendingAgreement(const CallFrame& frame) {
  const bool marked = (frame.control & SL_PENDING_RETURNED) != 0;
  if (frame.status == STATUS_PENDING && !marked)
    verifier::Fail("pending returned but IoMarkIrpPending not called", "IofCallDriver", frame.irp,
                   "the dispatch routine of device %p for major function 0x%02x returned "
                   "STATUS_PENDING without marking stack location %d pending",
                   static_cast<void*>(frame.device), frame.majorFunction, frame.location);
  if (frame.status != STATUS_PENDING && marked)
    verifier::Fail("IRP marked pending but STATUS_PENDING not returned", "IofCallDriver", frame.irp,
                   "the dispatch routine of device %p for major function 0x%02x marked stack "
                   "location %d pending and returned 0x%08x",
                   static_cast<void*>(frame.device), frame.majorFunction, frame.location,
                   static_cast<unsigned>(frame.status));
}

// Lock held. Drops a frame whose call and completion are both over.
void RetireLocked(Frames& f, const std::shared_ptr<CallFrame>& frame) {
  CheckPendingAgreement(*frame);
  auto it = f.open.find(frame->irp);
  if (it == f.open.end()) return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), frame), list.end());
  if (list.empty()) f.open.erase(it);
}

}  // namespace

std::shared_ptr<CallFrame> BeginCall(PIRP irp, PDEVICE_OBJECT device) {
  auto frame = std::make_shared<CallFrame>();
  frame->irp = irp;
  frame->device = device;
  frame->location = irp->CurrentLocation;
  frame->majorFunction = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  Frames& f = F();
  std::lock_guard guard(f.lock);
  f.open[irp].push_back(frame);
  return frame;
}

void EndCall(const std::shared_ptr<CallFrame>& frame, NTSTATUS status) {
  Frames& f = F();
  std::lock_guard guard(f.lock);
  frame->returned = true;
  frame->status = status;
  if (frame->passed) RetireLocked(f, frame);
}

void PassLocation(PIRP irp, CHAR location, UCHAR control) {
  Frames& f = F();
  std::lock_guard guard(f.lock);
  auto it = f.open.find(irp);
  if (it == f.open.end()) return;
  // Copied: retiring edits the list.
  const std::vector<std::shared_ptr<CallFrame>> frames = it->second;
  for (const auto& frame : frames) {
    if (frame->passed || frame->location != location) continue;
    frame->passed = true;
    frame->control = control;
    if (frame->returned) RetireLocked(f, frame);
  }
}

bool HeldBelow(PIRP irp) {
  Frames& f = F();
  std::lock_guard guard(f.lock);
  auto it = f.open.find(irp);
  if (it == f.open.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(), [](const auto& frame) { return !frame->passed; });
}

void ResetCallFrames() {
  Frames& f = F();
  std::lock_guard guard(f.lock);
  f.open.clear();
}

}  // namespace kernel::io::internal

using namespace kernel;
using namespace kernel::io::internal;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  verifier::CheckIrql("IofCallDriver", Irp, DISPATCH_LEVEL);
  CheckLive(Irp, "IofCallDriver");
  if (!IsDevice(DeviceObject))
    verifier::Fail("IRP sent to an invalid device object", "IofCallDriver", DeviceObject,
                   "not a device object (deleted, or never created)");
  if (Irp->CurrentLocation <= 1)
    verifier::Fail("no stack location left", "IofCallDriver", Irp,
                   "the IRP has %d stack location(s) and none is left for device %p", Irp->StackCount,
                   static_cast<void*>(DeviceObject));
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  sp->DeviceObject = DeviceObject;
  const UCHAR major = sp->MajorFunction;
  PDRIVER_DISPATCH dispatch =
      major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
  if (dispatch == nullptr)
    verifier::Fail("IRP sent to an invalid device object", "IofCallDriver", DeviceObject,
                   "its driver has no dispatch routine for major function 0x%02x", major);
  const auto frame = BeginCall(Irp, DeviceObject);
  const KIRQL irql = KeGetCurrentIrql();
  const NTSTATUS status = dispatch(DeviceObject, Irp);
  const KIRQL after = KeGetCurrentIrql();
  if (after != irql)
    verifier::Fail("IRQL changed across a driver routine", "IofCallDriver", DeviceObject,
                   "the dispatch routine for major function 0x%02x was called at IRQL %u and "
                   "returned at %u",
                   major, irql, after);
  EndCall(frame, status);
  return status;
}
