// A port device object with its context, attached above one port of a
// simulated chip, as device creation leaves it: enough for register access,
// the pins, baud programming and device power requests. Its driver answers
// power requests the way the test asks (IRP_MJ_POWER only).
#pragma once

#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "chip/register_map.h"
#include "chip/usb_bus.h"
#include "context/port_context.h"
#include "context/port_defaults.h"
#include "datapath/receive_ring.h"
#include "host/io_manager.h"
#include "host/pool.h"
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

struct DelayedCompletion {
  KTIMER timer;
  KDPC dpc;
  PIRP irp;
};

inline VOID CompleteLater(PKDPC, PVOID context, PVOID, PVOID) {
  auto* pending = static_cast<DelayedCompletion*>(context);
  PIRP irp = pending->irp;
  ExFreePool(pending);
  irp->IoStatus.Status = Answer().status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

inline NTSTATUS TestPowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ++Answer().requests;
  Answer().lastState = stack->Parameters.Power.State.DeviceState;
  PoStartNextPowerIrp(irp);
  if (Answer().delay > 0) {
    auto* pending = static_cast<DelayedCompletion*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DelayedCompletion), host::pool::Tag("UTst")));
    pending->irp = irp;
    KeInitializeTimer(&pending->timer);
    KeInitializeDpc(&pending->dpc, CompleteLater, pending);
    IoMarkIrpPending(irp);
    LARGE_INTEGER due;
    due.QuadPart = -Answer().delay;
    KeSetTimer(&pending->timer, due, &pending->dpc);
    return STATUS_PENDING;
  }
  NTSTATUS status = Answer().status;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_POWER] = TestPowerDispatch;
  return STATUS_SUCCESS;
}

class ChipPortTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    Answer().status = STATUS_SUCCESS;
    Answer().delay = 0;
    Answer().requests = 0;
    Answer().lastState = 0;
    board_.emplace(chip::ChipOptions{.ports = 1});
    ASSERT_EQ(host::io::LoadDriver(u"T7315UartTest", TestDriverEntry, u"", &driver_), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PORT_DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                             &fdo_),
              STATUS_SUCCESS);
    ctx_ = GetPortContext(fdo_);
    ASSERT_EQ(InitializePortDefaults(fdo_), STATUS_SUCCESS);
    KeInitializeMutex(&ctx_->RegisterMutex, 0);
    ctx_->Pdo = board_->Pdo(0);
    ctx_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, board_->Pdo(0));
    ctx_->DeviceState = 1;
    ctx_->DevPowerState = PowerDeviceD0;
    // The settings defaults a start gives before the settings file is read.
    ctx_->BaudClockMode = 0xFF;
    ctx_->BaudClockSelect = 0x01;
    ctx_->BaudClockParam = 0x01;
    ctx_->RxFifoTrigger = 0xC0;
    ctx_->FifoTriggerLow = 0x0B;
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  void TearDown() override {
    if (ctx_ != nullptr) {
      FreeQueueBuffer(&ctx_->ReceiveBuffer);
      if (lower_ == nullptr) lower_ = ctx_->LowerDeviceObject;
      IoDetachDevice(lower_);
      IoDeleteDevice(fdo_);
      host::io::UnloadDriver(driver_);
      ctx_ = nullptr;
      lower_ = nullptr;
    }
    board_.reset();
    MachineTest::TearDown();
  }

  chip::Port& Chip() { return board_->port(0); }

  // The port as if it had no lower device; TearDown still detaches it.
  void Detach() {
    lower_ = ctx_->LowerDeviceObject;
    ctx_->LowerDeviceObject = nullptr;
  }

  // The mutex is free when a thread that does not own it can take it at once.
  bool MutexFree() { return KeReadStateMutex(&ctx_->RegisterMutex) == 1; }

  // Register writes the chip saw, as (address, value) pairs.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const auto& w : Chip().RegisterWrites()) writes.emplace_back(w.address, w.value);
    return writes;
  }

  std::optional<chip::UsbChip> board_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

}  // namespace uart_test
