// A small test driver for the I/O manager tests. It makes two kinds of
// device: a bottom device that completes requests at once or queues them
// pending with a cancel routine, and a relay device that passes requests to
// the device below with a completion routine (or skipping its location) and
// records every call of that routine. The test itself owns IRPs through an
// Owner whose completion routine returns STATUS_MORE_PROCESSING_REQUIRED.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/kernel/io_manager.h"
#include "support/held_irps.h"
#include "platform/host/ex.h"
#include "support/machine_test.h"

namespace iotest {

constexpr auto Text = testdriver::Counted;

struct Invocation {
  PDEVICE_OBJECT device;  // the routine's DeviceObject argument
  BOOLEAN pendingReturned;
  KIRQL irql;
  NTSTATUS status;
};

struct DeviceConfig {
  bool relay = false;
  // Bottom device. Create, cleanup and close complete at once.
  bool queue = false;  // mark pending and hold instead of completing
  testdriver::HeldIrps held;
  NTSTATUS status = STATUS_SUCCESS;
  NTSTATUS createStatus = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<UCHAR> reply;          // put into the system buffer on completion
  std::vector<UCHAR> majors;         // every request received, in order
  IO_STACK_LOCATION lastLocation{};  // of the last request
  std::vector<UCHAR> lastInput;      // its system buffer's input bytes
  // Relay device.
  PDEVICE_OBJECT lower = nullptr;
  bool skip = false;  // IoSkipCurrentIrpStackLocation instead of a routine
  bool onSuccess = true, onError = true, onCancel = true;
  bool stop = false;  // the routine returns STATUS_MORE_PROCESSING_REQUIRED
  bool propagatePending = true;
  std::vector<Invocation> invocations;
};

inline DeviceConfig& Config(PDEVICE_OBJECT device) {
  return **static_cast<DeviceConfig**>(device->DeviceExtension);
}

inline void Record(std::vector<Invocation>& log, PDEVICE_OBJECT device, PIRP irp) {
  log.push_back({device, irp->PendingReturned, KeGetCurrentIrql(), irp->IoStatus.Status});
}

// Into the system buffer, where a buffered driver puts its output.
inline void FillReply(const DeviceConfig& config, PIRP irp) {
  void* output = irp->AssociatedIrp.SystemBuffer;
  if (!config.reply.empty() && output != nullptr)
    std::memcpy(output, config.reply.data(), config.reply.size());
}

inline void RecordRequest(DeviceConfig& config, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  config.majors.push_back(sp->MajorFunction);
  config.lastLocation = *sp;
  ULONG length = 0;
  if (sp->MajorFunction == IRP_MJ_WRITE) length = sp->Parameters.Write.Length;
  if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) length = sp->Parameters.DeviceIoControl.InputBufferLength;
  const auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  config.lastInput.assign(buffer, buffer ? buffer + length : buffer);
}

using testdriver::Complete;

inline NTSTATUS NTAPI RelayCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  DeviceConfig& config = Config(static_cast<PDEVICE_OBJECT>(context));
  Record(config.invocations, device, irp);
  if (config.stop) return STATUS_MORE_PROCESSING_REQUIRED;
  if (config.propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_CONTINUE_COMPLETION;
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  DeviceConfig& config = Config(device);
  if (!config.relay) {
    RecordRequest(config, irp);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
      return Complete(irp, major == IRP_MJ_CREATE ? config.createStatus : STATUS_SUCCESS);
    if (config.queue) return config.held.Hold(irp);
    FillReply(config, irp);
    return Complete(irp, config.status, config.information);
  }
  if (config.skip) {
    IoSkipCurrentIrpStackLocation(irp);
  } else {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RelayCompletion, device, config.onSuccess, config.onError, config.onCancel);
  }
  return IoCallDriver(config.lower, irp);
}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = Dispatch;
  return STATUS_SUCCESS;
}

// Completes the oldest held request of a bottom device that no canceller
// owns; false when there is none.
inline bool CompleteNext(PDEVICE_OBJECT bottom, NTSTATUS status, ULONG_PTR information = 0) {
  PIRP irp = Config(bottom).held.Take();
  if (irp == nullptr) return false;
  FillReply(Config(bottom), irp);
  Complete(irp, status, information);
  return true;
}

// The test's own IRPs: the owner's routine keeps them (MORE_PROCESSING_REQUIRED).
struct Owner {
  std::vector<Invocation> invocations;
  KEVENT done;
  Owner() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

inline NTSTATUS NTAPI OwnerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* owner = static_cast<Owner*>(context);
  Record(owner->invocations, device, irp);
  KeSetEvent(&owner->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(kernel::io::LoadDriver(u"iotest", DriverEntry, kService, &driver_), STATUS_SUCCESS);
  }

  void TearDown() override {
    while (!devices_.empty()) RemoveDevice(devices_.back());
    kernel::io::UnloadDriver(driver_);
    MachineTest::TearDown();
  }

  // Detaches (relays), deletes the device object and forgets it.
  void RemoveDevice(PDEVICE_OBJECT device) {
    if (Config(device).relay) IoDetachDevice(Config(device).lower);
    delete &Config(device);
    IoDeleteDevice(device);
    devices_.erase(std::find(devices_.begin(), devices_.end(), device));
  }

  PDEVICE_OBJECT NewDevice(const std::u16string& name, DeviceConfig* config) {
    UNICODE_STRING text = Text(name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(DeviceConfig*), name.empty() ? nullptr : &text,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    *static_cast<DeviceConfig**>(device->DeviceExtension) = config;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(device);
    return device;
  }

  PDEVICE_OBJECT AddBottom(const std::u16string& name = u"") { return NewDevice(name, new DeviceConfig); }

  PDEVICE_OBJECT AddRelay(PDEVICE_OBJECT below, const std::u16string& name = u"") {
    auto* config = new DeviceConfig;
    config->relay = true;
    PDEVICE_OBJECT device = NewDevice(name, config);
    config->lower = IoAttachDeviceToDeviceStack(device, below);
    EXPECT_NE(config->lower, nullptr);
    return device;
  }

  // An IRP for `target` whose last location carries the owner's routine.
  static PIRP NewIrp(PDEVICE_OBJECT target, Owner* owner, UCHAR major = IRP_MJ_READ) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    IoSetCompletionRoutine(irp, OwnerCompletion, owner, TRUE, TRUE, TRUE);
    return irp;
  }

  static constexpr const char16_t* kService =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iotest";
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

inline std::u16string FromCounted(const UNICODE_STRING& text) {
  return std::u16string(text.Buffer, text.Length / 2);
}

inline std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

}  // namespace iotest
