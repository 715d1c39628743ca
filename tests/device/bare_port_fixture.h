// A port's device object with its context, attached above a plugged one-port
// simulated chip whose device has no function driver: enough for the routines
// that work on the registry, the settings file, the chip's registers and WMI
// without the start path. The context gets what device creation gives the
// fields these routines read.
#pragma once

#include <string>

#include "chip/usb_bus.h"
#include "context/pool.h"
#include "context/port_context.h"
#include "device/naming.h"
#include "host/io_manager.h"
#include "host/pnp_manager.h"
#include "host/registry.h"
#include "platform/platform.h"
#include "support/machine_test.h"

namespace device_test {

constexpr char16_t kDeviceName[] = u"\\Device\\Tarvio7315Serial0";
constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q2740xA_Port";

inline NTSTATUS BareEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class BarePortTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    board_.emplace(chip::ChipOptions{.ports = 1});
    board_->Plug();  // no driver matches: the device node exists, unstarted
    ASSERT_EQ(host::io::LoadDriver(u"T7315Bare", BareEntry, kServiceKey, &driver_), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kDeviceName));
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PORT_DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo_),
              STATUS_SUCCESS);
    ctx_ = GetPortContext(fdo_);
    ctx_->DeviceObject = fdo_;
    ctx_->Pdo = board_->Pdo(0);
    ctx_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, ctx_->Pdo);
    ctx_->DevPowerState = 1;
    ctx_->SysPowerState = 1;
    IoInitializeRemoveLock(&ctx_->RemoveLock, DriverPoolTag, 0, 0);
    KeInitializeMutex(&ctx_->RegisterMutex, 0);
    GiveDeviceName();
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  void TearDown() override {
    if (fdo_ != nullptr) {
      FreeDriverString(&ctx_->DeviceName);
      FreeDriverString(&ctx_->SymbolicLinkName);
      FreeDriverString(&ctx_->PortNameString);
      IoDetachDevice(ctx_->LowerDeviceObject);
      IoDeleteDevice(fdo_);
      host::io::UnloadDriver(driver_);
    }
    board_.reset();
    MachineTest::TearDown();
  }

  // The device's hardware key, in host::registry's form.
  std::string HardwareKey() const {
    return host::pnp::HardwareKeyPath(host::pnp::InstancePath(board_->Pdo(0)));
  }

  std::optional<chip::UsbChip> board_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;

  // DeviceName as device creation leaves it: zero-terminated, Length + 2.
  void GiveDeviceName() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kDeviceName));
    USHORT size = USHORT(name.Length + sizeof(WCHAR));
    ctx_->DeviceName.Buffer = static_cast<PWCHAR>(AllocatePoolMemory(PagedPool, size));
    RtlZeroMemory(ctx_->DeviceName.Buffer, size);
    RtlCopyMemory(ctx_->DeviceName.Buffer, name.Buffer, name.Length);
    ctx_->DeviceName.Length = name.Length;
    ctx_->DeviceName.MaximumLength = size;
  }
};

}  // namespace device_test
