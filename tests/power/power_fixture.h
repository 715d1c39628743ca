// A port device object on a one-port chip that the Plug and Play manager
// knows, so that the port has its device node, registry keys and properties
// and takes part in system power changes: a small test driver adds, for the
// chip's device, a filter on the chip's PDO and above it the port's device
// object with its context (defaults, register mutex, poll events), and sends
// the port's power requests to DispatchPower. The filter passes everything down, but can fail a device
// power request or complete power requests at DISPATCH_LEVEL, and counts
// remote-wake requests on their way.
#pragma once

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "chip/register_map.h"
#include "chip/usb_bus.h"
#include "context/pool.h"
#include "context/port_context.h"
#include "context/port_defaults.h"
#include "device/power.h"
#include "host/pnp_manager.h"
#include "host/power_manager.h"
#include "support/machine_test.h"

namespace power_test {

// What the filter does with the power requests it sees.
struct FilterControl {
  std::atomic<UCHAR> failMinor{0xFF};  // fail the device request of this minor function...
  std::atomic<int> failState{0};       // ...to this device state
  NTSTATUS failStatus = STATUS_DEVICE_DATA_ERROR;
  std::atomic<bool> completeAtDispatch{false};
  std::atomic<int> remoteWakeRequests{0};
  std::atomic<int> powerAtDispatch{0};  // power requests finished at DISPATCH_LEVEL
  PDEVICE_OBJECT fdo = nullptr;
};

inline FilterControl& Filter() {
  static FilterControl control;
  return control;
}

inline PDEVICE_OBJECT& LowerOf(PDEVICE_OBJECT filter) { return *static_cast<PDEVICE_OBJECT*>(filter->DeviceExtension); }
inline bool IsFilter(PDEVICE_OBJECT device) { return device->DeviceType == FILE_DEVICE_UNKNOWN; }

inline NTSTATUS FinishAtDispatch(PDEVICE_OBJECT, PIRP irp, PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ++Filter().powerAtDispatch;
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // the walk goes on upwards, at DISPATCH_LEVEL
  KeLowerIrql(old);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS FilterPower(PDEVICE_OBJECT filter, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  FilterControl& f = Filter();
  if (sp->Parameters.Power.Type == DevicePowerState && sp->MinorFunction == f.failMinor.load() &&
      int(sp->Parameters.Power.State.DeviceState) == f.failState.load()) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = f.failStatus;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return f.failStatus;
  }
  PoStartNextPowerIrp(irp);
  if (f.completeAtDispatch.load()) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FinishAtDispatch, nullptr, TRUE, TRUE, TRUE);
  } else {
    IoSkipCurrentIrpStackLocation(irp);
  }
  return PoCallDriver(LowerOf(filter), irp);
}

inline NTSTATUS FilterInternal(PDEVICE_OBJECT filter, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  auto urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
  if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
      urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE &&
      urb->UrbControlFeatureRequest.FeatureSelector == USB_FEATURE_REMOTE_WAKEUP) {
    ++Filter().remoteWakeRequests;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(filter), irp);
}

inline NTSTATUS PassPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = IsFilter(device) ? LowerOf(device) : GetPortContext(device)->LowerDeviceObject;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (!IsFilter(device)) {
      FreeQueueBuffer(&GetPortContext(device)->ReceiveBuffer);
      Filter().fdo = nullptr;
    }
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

inline NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
  return IsFilter(device) ? FilterPower(device, irp) : DispatchPower(device, irp);
}

inline NTSTATUS AddPort(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT filter = nullptr, fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
  if (!NT_SUCCESS(status)) return status;
  LowerOf(filter) = IoAttachDeviceToDeviceStack(filter, pdo);
  filter->Flags |= DO_POWER_PAGABLE;
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateDevice(driver, sizeof(PORT_DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PPORT_DEVICE_CONTEXT ctx = GetPortContext(fdo);
  InitializePortDefaults(fdo);
  ctx->Pdo = pdo;
  ctx->SysPowerState = PowerSystemWorking;
  ctx->DevPowerState = PowerDeviceD0;
  ctx->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, filter);
  KeInitializeMutex(&ctx->RegisterMutex, 0);
  KeInitializeEvent(&ctx->ReadPollEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&ctx->IntPollEvent, SynchronizationEvent, FALSE);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Filter().fdo = fdo;
  return STATUS_SUCCESS;
}

inline VOID UnloadPowerTest(PDRIVER_OBJECT) {}

inline NTSTATUS PowerTestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = UnloadPowerTest;
  driver->DriverExtension->AddDevice = AddPort;
  driver->MajorFunction[IRP_MJ_PNP] = PassPnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterInternal;
  return STATUS_SUCCESS;
}

class PowerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    FilterControl& f = Filter();
    f.failMinor = 0xFF;
    f.failState = 0;
    f.completeAtDispatch = false;
    f.remoteWakeRequests = 0;
    f.powerAtDispatch = 0;
    board_.emplace(chip::ChipOptions{.ports = 1});
    ASSERT_TRUE(host::pnp::InstallDriver(
        {.service = u"T7315PowerTest", .entry = PowerTestEntry, .hardwareIds = {board_->HardwareId()}}));
    ASSERT_EQ(board_->Plug(), std::vector<NTSTATUS>{STATUS_SUCCESS});
    ctx_ = GetPortContext(f.fdo);
    Chip().ClearRegisterLog();
  }

  void TearDown() override {
    board_.reset();
    host::pnp::WaitForPendingActions();
    MachineTest::TearDown();
  }

  chip::Port& Chip() { return board_->port(0); }
  PDEVICE_OBJECT Pdo() { return board_->Pdo(0); }

  // A device set-power of the port's own stack, waited for; its final status.
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state) {
    struct Done {
      KEVENT event;
      NTSTATUS status;
    } done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(
        Pdo(), IRP_MN_SET_POWER, power,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
          auto d = static_cast<Done*>(context);
          d->status = io->Status;
          KeSetEvent(&d->event, IO_NO_INCREMENT, FALSE);
        },
        &done, nullptr);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    return done.status;
  }

  static bool Signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }

  // A buffered device-control request to the port (for a test that gives the
  // driver a device-control routine); its status, count and output (0xEE
  // where the driver wrote nothing).
  struct Reply {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> out;
  };
  Reply Control(ULONG code, std::vector<uint8_t> in, ULONG outLength) {
    Reply reply;
    reply.out.assign(outLength, 0xEE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, Filter().fdo, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()), outLength ? reply.out.data() : nullptr,
                                             outLength, FALSE, &done, &io);
    if (IoCallDriver(Filter().fdo, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    reply.status = io.Status;
    reply.information = io.Information;
    return reply;
  }
  static std::vector<uint8_t> Ulong(ULONG value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  }
  static ULONG UlongOf(const Reply& reply) {
    ULONG value = 0;
    std::memcpy(&value, reply.out.data(), sizeof value);
    return value;
  }

  std::string InstancePath() const {
    std::u16string path = board_->InstancePath(0);
    return std::string(path.begin(), path.end());
  }
  static std::string InstanceKey(const std::string& path) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + path;
  }
  // The port's device key, where "PortName" and "BaudRate" live.
  std::string HardwareKey() const { return InstanceKey(InstancePath()) + "\\Device Parameters"; }

  std::optional<chip::UsbChip> board_;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

}  // namespace power_test
