// A tap on a simulated chip's bus driver: every URB a port's driver sends
// down is recorded, and a test's rule may answer it in the chip's place
// (to fail it, or to hand back other descriptors) before the chip sees it.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "chip/usb_bus.h"
#include "platform/platform.h"

namespace start_test {

struct UrbSeen {
  USHORT function;
  UCHAR descriptorType;  // GET_DESCRIPTOR only
  ULONG length;          // transfer length asked for
};

// Returns the status to complete the URB's IRP with, or nothing to let the
// chip answer.
using UrbRule = std::function<std::optional<NTSTATUS>(PURB urb)>;

class UrbTap {
 public:
  // Taps every port of `board`; only one tap exists at a time.
  explicit UrbTap(chip::UsbChip& board) : driver_(board.Pdo(0)->DriverObject) {
    Current() = this;
    original_ = driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  }
  ~UrbTap() {
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = original_;
    Current() = nullptr;
  }
  void SetRule(UrbRule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
  }
  std::vector<UrbSeen> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  size_t Count(USHORT function, UCHAR descriptorType = 0) {
    size_t n = 0;
    for (const UrbSeen& s : Seen()) n += s.function == function && s.descriptorType == descriptorType;
    return n;
  }

  // Answers a descriptor request with `bytes`, cut to what was asked for.
  static NTSTATUS AnswerDescriptor(PURB urb, const std::vector<uint8_t>& bytes) {
    auto& r = urb->UrbControlDescriptorRequest;
    ULONG n = std::min<ULONG>(r.TransferBufferLength, ULONG(bytes.size()));
    std::memcpy(r.TransferBuffer, bytes.data(), n);
    r.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  static NTSTATUS Fail(PURB urb) {
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    return STATUS_UNSUCCESSFUL;
  }

 private:
  static UrbTap*& Current() {
    static UrbTap* tap = nullptr;
    return tap;
  }

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UrbTap& tap = *Current();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr) {
      return tap.original_(device, irp);
    }
    std::optional<NTSTATUS> answer;
    {
      std::lock_guard<std::mutex> lock(tap.mutex_);
      UrbSeen seen{urb->UrbHeader.Function, 0, 0};
      if (seen.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        seen.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        seen.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      }
      tap.seen_.push_back(seen);
      if (tap.rule_) answer = tap.rule_(urb);
    }
    if (!answer) return tap.original_(device, irp);
    irp->IoStatus.Status = *answer;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *answer;
  }

  PDRIVER_OBJECT driver_;
  PDRIVER_DISPATCH original_ = nullptr;
  std::mutex mutex_;
  UrbRule rule_;
  std::vector<UrbSeen> seen_;
};

}  // namespace start_test
