// A port device object with its context, added by a small test driver above
// one port of a simulated chip that the Plug and Play manager has started: as
// device creation leaves the context, enough for register access, the pins,
// baud programming and device power requests. The test driver answers power
// requests the way the test asks.
#pragma once

#include <atomic>
#include <optional>
#include <vector>

#include "chip/register_map.h"
#include "chip/usb_bus.h"
#include "context/port_context.h"
#include "context/port_defaults.h"
#include "datapath/receive_ring.h"
#include "host/clock.h"
#include "host/io_manager.h"
#include "host/pnp_manager.h"
#include "platform/platform.h"
#include "support/machine_test.h"

namespace uart_test {

// How the test driver's power dispatch ends a set-power request.
struct PowerAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  int64_t delay = 0;  // > 0: left pending and completed this much later
  std::atomic<int> requests{0};
  std::atomic<int> lastState{0};
};

inline PowerAnswer& Answer() {
  static PowerAnswer answer;
  return answer;
}

inline NTSTATUS TestPowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  ++Answer().requests;
  Answer().lastState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  PoStartNextPowerIrp(irp);
  NTSTATUS status = Answer().status;
  irp->IoStatus.Status = status;
  if (Answer().delay == 0) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  host::clock::ScheduleAfter(Answer().delay, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  return STATUS_PENDING;
}

// The port's device object, created by the test driver's AddDevice.
struct TestPort {
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // as attached, whatever a test does to the context
};

inline TestPort& Added() {
  static TestPort port;
  return port;
}

inline NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(PORT_DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  status = InitializePortDefaults(fdo);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  PPORT_DEVICE_CONTEXT ctx = GetPortContext(fdo);
  KeInitializeMutex(&ctx->RegisterMutex, 0);
  ctx->Pdo = pdo;
  ctx->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  ctx->DeviceState = 1;
  ctx->DevPowerState = PowerDeviceD0;
  // The settings defaults a start gives before the settings file is read.
  ctx->BaudClockMode = 0xFF;
  ctx->BaudClockSelect = 0x01;
  ctx->BaudClockParam = 0x01;
  ctx->RxFifoTrigger = 0xC0;
  ctx->FifoTriggerLow = 0x0B;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Added() = {fdo, ctx->LowerDeviceObject};
  return STATUS_SUCCESS;
}

// Every Plug and Play request goes down; removal also takes the port away.
inline NTSTATUS TestPnpDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = Added().lower;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    FreeQueueBuffer(&GetPortContext(fdo)->ReceiveBuffer);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    Added() = {};
  }
  return status;
}

inline VOID TestDriverUnload(PDRIVER_OBJECT) {}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = TestAddDevice;
  driver->DriverUnload = TestDriverUnload;
  driver->MajorFunction[IRP_MJ_PNP] = TestPnpDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = TestPowerDispatch;
  return STATUS_SUCCESS;
}

inline void ResetAnswer() {
  Answer().status = STATUS_SUCCESS;
  Answer().delay = 0;
  Answer().requests = 0;
  Answer().lastState = 0;
}

class ChipPortTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ResetAnswer();
    board_.emplace(chip::ChipOptions{.ports = 1});
    ASSERT_TRUE(host::pnp::InstallDriver(
        {.service = u"T7315UartTest", .entry = TestDriverEntry, .hardwareIds = {board_->HardwareId()}}));
    ASSERT_EQ(board_->Plug(), std::vector<NTSTATUS>{STATUS_SUCCESS});
    ASSERT_NE(Added().fdo, nullptr);
    ctx_ = GetPortContext(Added().fdo);
    ResetAnswer();
  }

  void TearDown() override {
    if (ctx_ != nullptr) ctx_->LowerDeviceObject = Added().lower;
    ResetAnswer();
    board_.reset();
    ctx_ = nullptr;
    MachineTest::TearDown();
  }

  chip::Port& Chip() { return board_->port(0); }

  // The port as if it had no lower device.
  void Detach() { ctx_->LowerDeviceObject = nullptr; }

  // The mutex is free when a thread that does not own it can take it at once.
  bool MutexFree() { return KeReadStateMutex(&ctx_->RegisterMutex) == 1; }

  // Register writes the chip saw, as (address, value) pairs.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const auto& w : Chip().RegisterWrites()) writes.emplace_back(w.address, w.value);
    return writes;
  }

  std::optional<chip::UsbChip> board_;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

}  // namespace uart_test
