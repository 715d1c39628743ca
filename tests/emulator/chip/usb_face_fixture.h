// A simulated chip on an emulated machine, and a test that talks to a port's
// device object the way a function driver does: URBs inside internal
// device-control requests.
#pragma once

#include <optional>

#include "emulator/chip/external_end.h"
#include "emulator/chip/register_map.h"
#include "emulator/chip/usb_bus.h"
#include "platform/platform.h"
#include "support/machine_test.h"

namespace chip_test {

// An IRP the test owns, completed into an event.
class AsyncUrb {
 public:
  AsyncUrb(PDEVICE_OBJECT target, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, Signal, &done_, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp_);
  }
  ~AsyncUrb() {
    Wait();
    IoFreeIrp(irp_);
  }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    return irp_->IoStatus.Status;
  }

 private:
  static NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KEVENT done_;
  PIRP irp_;
};

class ChipUsbFaceTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    board_.emplace(chip::ChipOptions{});
  }
  void TearDown() override {
    board_.reset();
    MachineTest::TearDown();
  }

  PDEVICE_OBJECT Pdo(int index = 0) { return board_->Pdo(index); }
  NTSTATUS Send(PURB urb, int port = 0) { return AsyncUrb(Pdo(port), urb).Wait(); }

  // Requests built as a driver builds them.
  static URB VendorRequest(bool in, uint16_t address, void* buffer, ULONG length) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : 0, in ? 0xC0 : 0x40, chip::reg::kVendorRequest,
                          address, 0, buffer, nullptr, length, nullptr);
    return urb;
  }
  static URB DescriptorRequest(UCHAR type, void* buffer, ULONG length) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    return urb;
  }
  static URB Transfer(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                           nullptr, length, flags, nullptr);
    return urb;
  }

  // Reads the configuration descriptor and selects it as a driver does.
  // The pipes in the order the interface lists them.
  std::vector<USBD_PIPE_INFORMATION> Configure(int port = 0) {
    std::vector<uint8_t> descriptor(521);
    URB get = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor.data(), 521);
    EXPECT_EQ(Send(&get, port), STATUS_SUCCESS);
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    PURB select = USBD_CreateConfigurationRequest(config, &selectLength_);
    EXPECT_NE(select, nullptr);
    EXPECT_EQ(Send(select, port), STATUS_SUCCESS);
    std::vector<USBD_PIPE_INFORMATION> pipes;
    auto& info = select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) pipes.push_back(info.Pipes[i]);
    configurationHandle_ = select->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(select);
    return pipes;
  }

  std::optional<chip::UsbChip> board_;
  USHORT selectLength_ = 0;
  USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
};

}  // namespace chip_test
