// The chip on the Plug and Play manager: a function driver stacks on every
// port, a port that drops off the bus is surprise-removed, device power
// requests reach the model.
#include "emulator/kernel/pnp_manager.h"
#include "usb_face_fixture.h"

namespace chip_test {
namespace {

// A function driver that only passes requests down its stack.
struct PassThrough {
  PDEVICE_OBJECT lower;
};

PassThrough& Of(PDEVICE_OBJECT fdo) { return *static_cast<PassThrough*>(fdo->DeviceExtension); }

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Of(fdo).lower, irp);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(fdo, irp);
  PDEVICE_OBJECT lower = Of(fdo).lower;
  NTSTATUS status = PassDown(fdo, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Of(fdo).lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(PassThrough), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Of(fdo).lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
  return STATUS_SUCCESS;
}

class ChipUsbPlugTest : public ChipUsbFaceTest {
 protected:
  chip::ChipOptions Options_() override { return {.ports = 2}; }
  void Install() {
    ASSERT_TRUE(kernel::pnp::InstallDriver(
        {.service = u"ChipPassThrough", .entry = Entry, .hardwareIds = {board_->HardwareId()}}));
  }
};

TEST_F(ChipUsbPlugTest, DisconnectedPortIsSurpriseRemovedAndItsTransfersEnd) {
  Install();
  EXPECT_EQ(board_->Plug(), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(kernel::pnp::StateOf(Pdo(i)), kernel::pnp::DeviceState::Started);
    // Known beforehand, so a rig can prepare the device key.
    EXPECT_EQ(kernel::pnp::InstancePath(Pdo(i)), board_->InstancePath(i));
  }
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure(1);
  uint8_t buffer[64];
  URB in = Transfer(pipes[1].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo(1));
  AsyncUrb pending(top, &in);
  ObDereferenceObject(top);
  board_->Disconnect(1);
  EXPECT_EQ(pending.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  kernel::pnp::WaitForPendingActions();
  EXPECT_EQ(Pdo(1), nullptr);  // removed and deleted by the bus
  EXPECT_EQ(kernel::pnp::Pdos().size(), 1u);
  EXPECT_EQ(kernel::pnp::StateOf(Pdo(0)), kernel::pnp::DeviceState::Started);
}

VOID NTAPI PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID event, PIO_STATUS_BLOCK) {
  KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
}

TEST_F(ChipUsbPlugTest, DevicePowerCycleThroughD3ResetsTheRegisters) {
  Install();
  board_->Plug();
  uint8_t value = 0x0B;
  URB write = VendorRequest(false, chip::reg::kModemControl, &value, 1);
  ASSERT_EQ(Send(&write), STATUS_SUCCESS);
  for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ASSERT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, POWER_STATE{.DeviceState = state}, PowerDone, &done,
                                nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  EXPECT_EQ(*board_->port(0).Peek(chip::reg::kModemControl), 0x00);
}

TEST_F(ChipUsbPlugTest, RemovalOfAPresentPortEndsItsTransfersAndKeepsThePdo) {
  Install();
  board_->Plug();
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure(0);
  uint8_t buffer[64];
  URB in = Transfer(pipes[1].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  AsyncUrb pending(Pdo(0), &in);
  EXPECT_EQ(kernel::pnp::QueryStopAndStop(Pdo(0)), STATUS_SUCCESS);
  kernel::clock::Sleep(10 * kMs);
  EXPECT_FALSE(pending.Done());  // a stop leaves transfers to the function driver
  EXPECT_EQ(kernel::pnp::QueryRemoveAndRemove(Pdo(0)), STATUS_SUCCESS);
  EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);
  ASSERT_NE(Pdo(0), nullptr);
  EXPECT_EQ(kernel::pnp::StateOf(Pdo(0)), kernel::pnp::DeviceState::NoDriver);
  // The pipes closed with the removal; a new start selects them again.
  URB stale = Transfer(pipes[1].PipeHandle, buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(Send(&stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kernel::pnp::AddAndStart(Pdo(0)), STATUS_SUCCESS);
  EXPECT_EQ(Configure(0).size(), 3u);
}

}  // namespace
}  // namespace chip_test
