// One death test per I/O manager verifier rule.
#include <functional>

#include "io_fixture.h"

namespace iotest {
namespace {

class IoVerifierDeathTest : public IoTest {
 protected:
  // A read request on a fresh device whose read dispatch routine is `read`.
  void SendRead(PDRIVER_DISPATCH read) {
    PDEVICE_OBJECT bottom = AddBottom();
    driver_->MajorFunction[IRP_MJ_READ] = read;
    Owner* owner = new Owner;  // the process dies before it could be freed
    IoCallDriver(bottom, NewIrp(bottom, owner));
  }

  PIRP QueuedIrp(bool cancelable) {
    PDEVICE_OBJECT bottom = AddBottom();
    Config(bottom).queue = true;
    Config(bottom).held.cancelable = cancelable;
    PIRP irp = NewIrp(bottom, new Owner);
    IoCallDriver(bottom, irp);
    return irp;
  }

  PIRP BuildControl(ULONG code, void* output, ULONG outputLength) {
    PDEVICE_OBJECT bottom = AddBottom();
    static IO_STATUS_BLOCK iosb;
    return IoBuildDeviceIoControlRequest(code, bottom, nullptr, 0, output, outputLength, FALSE, nullptr,
                                         &iosb);
  }
};

struct DeathCase {
  const char* rule;
  const char* routine;
  std::function<void()> violate;
};

TEST_F(IoVerifierDeathTest, EveryRuleStopsTheProgramNamingRuleAndRoutine) {
  static UCHAR small[2];
  const DeathCase cases[] = {
      {"IRP completed twice", "IofCompleteRequest",
       [&] {
         PDEVICE_OBJECT bottom = AddBottom();
         PIRP irp = NewIrp(bottom, new Owner);
         IoCallDriver(bottom, irp);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       }},
      {"IRP completed with a cancel routine set", "IofCompleteRequest",
       [&] {
         PIRP irp = QueuedIrp(true);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       }},
      {"IRP completed with STATUS_PENDING", "IofCompleteRequest",
       [&] {
         PIRP irp = QueuedIrp(false);
         irp->IoStatus.Status = STATUS_PENDING;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
       }},
      {"IRP freed while a driver holds it", "IoFreeIrp", [&] { IoFreeIrp(QueuedIrp(false)); }},
      {"IRP freed by the wrong owner", "IoFreeIrp",
       [&] { IoFreeIrp(BuildControl(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, 0), nullptr, 0)); }},
      {"IRP used after it was freed", "IoCancelIrp",
       [&] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoCancelIrp(irp);
       }},
      {"no stack location left", "IofCallDriver",
       [&] {
         PDEVICE_OBJECT relay = AddRelay(AddBottom());
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);
         IoCallDriver(relay, irp);
       }},
      {"IRQL too high", "IofCallDriver",
       [&] {
         PDEVICE_OBJECT bottom = AddBottom();
         PIRP irp = NewIrp(bottom, new Owner);
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         IoCallDriver(bottom, irp);
       }},
      {"pending returned but IoMarkIrpPending not called", "IofCallDriver",
       [&] {
         SendRead([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           Complete(irp, STATUS_SUCCESS, 0);
           return STATUS_PENDING;
         });
       }},
      {"IRP marked pending but STATUS_PENDING not returned", "IofCallDriver",
       [&] {
         SendRead([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           IoMarkIrpPending(irp);
           Complete(irp, STATUS_SUCCESS, 0);
           return STATUS_SUCCESS;
         });
       }},
      {"IRQL changed across a driver routine", "IofCallDriver",
       [&] {
         SendRead([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
           KIRQL old;
           KeRaiseIrql(DISPATCH_LEVEL, &old);
           Complete(irp, STATUS_SUCCESS, 0);
           return STATUS_SUCCESS;
         });
       }},
      {"driver-allocated IRP completed to the I/O manager", "IofCompleteRequest",
       [&] {
         PDEVICE_OBJECT bottom = AddBottom();
         PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
         IoCallDriver(bottom, irp);
       }},
      {"IRP sent to an invalid device object", "IofCallDriver",
       [&] {
         static DEVICE_OBJECT fake;
         IoCallDriver(&fake, IoAllocateIrp(1, FALSE));
       }},
      {"remove lock released without being acquired", "IoReleaseRemoveLockEx",
       [&] {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0, 0, 0);
         IoAcquireRemoveLock(&lock, &lock);
         IoReleaseRemoveLock(&lock, nullptr);
       }},
      {"remove lock of the wrong size", "IoInitializeRemoveLockEx",
       [&] {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLockEx(&lock, 0, 0, 0, 8);
       }},
      {"IRP too small for its stack", "IoInitializeIrp",
       [&] {
         static UCHAR memory[sizeof(IRP)];
         IoInitializeIrp(reinterpret_cast<PIRP>(memory), sizeof memory, 1);
       }},
      {"Information exceeds the request's buffer", "IofCompleteRequest",
       [&] {
         PIRP irp = BuildControl(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0), small, sizeof small);
         PDEVICE_OBJECT bottom = devices_.back();
         Config(bottom).information = 8;
         IoCallDriver(bottom, irp);
       }},
      {"device object deleted while attached", "IoDeleteDevice",
       [&] { IoDeleteDevice(AddRelay(AddBottom())); }},
      {"device object deleted twice", "IoDeleteDevice",
       [&] {
         PDEVICE_OBJECT device = nullptr;
         IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         IoDeleteDevice(device);
         IoDeleteDevice(device);
       }},
      {"detach of a device with nothing attached", "IoDetachDevice", [&] { IoDetachDevice(AddBottom()); }},
      {"driver unloaded with device objects", "UnloadDriver",
       [&] {
         AddBottom();
         kernel::io::UnloadDriver(driver_);
       }},
      {"file object used after close", "SubmitUserRequest",
       [&] {
         AddBottom(u"\\Device\\Closed");
         PFILE_OBJECT file = nullptr;
         kernel::io::OpenFile(u"\\Device\\Closed", GENERIC_READ, 0, &file);
         kernel::io::CloseFile(file);
         kernel::io::SubmitUserRequest(file, kernel::io::UserRequest{});
       }},
      {"file object leak", "machine shutdown",
       [&] {
         AddBottom(u"\\Device\\Left");
         PFILE_OBJECT file = nullptr;
         kernel::io::OpenFile(u"\\Device\\Left", GENERIC_READ, 0, &file);
         machine_.reset();
       }},
      {"IRP leak", "machine shutdown",
       [&] {
         IoAllocateIrp(2, FALSE);
         machine_.reset();
       }},
      {"device object leak", "machine shutdown",
       [&] {
         AddBottom();
         machine_.reset();
       }},
      {"driver object leak", "machine shutdown", [&] { machine_.reset(); }},
  };
  for (const DeathCase& c : cases) {
    SCOPED_TRACE(c.rule);
    EXPECT_DEATH(c.violate(), std::string("VERIFIER: ") + c.rule + ": " + c.routine);
  }
}

}  // namespace
}  // namespace iotest
