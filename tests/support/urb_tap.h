// A tap on a simulated chip's bus driver: every URB a port's driver sends
// down is recorded (with the bytes of each bulk-out transfer), and a test's
// rule may answer it in the chip's place (to fail it, or to hand back other
// descriptors) before the chip sees it. The Plug and Play manager stacks
// nothing between a port's driver and the chip, so the tap sits in the bus
// driver's dispatch table.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "emulator/chip/usb_bus.h"
#include "support/bus_entry.h"
#include "emulator/kernel/clock.h"
#include "platform/platform.h"

namespace urb_tap {

struct UrbSeen {
  USHORT function;
  UCHAR descriptorType;             // GET_DESCRIPTOR only
  ULONG length;                     // transfer length asked for
  std::vector<uint8_t> out;         // bytes of a transfer on the out pipe
  USBD_PIPE_HANDLE pipe = nullptr;  // of a bulk or interrupt transfer
};

// Returns the status to complete the URB's IRP with, or nothing to let the
// chip answer.
using UrbRule = std::function<std::optional<NTSTATUS>(PURB urb)>;

class UrbTap {
  using Bus = bus_entry::BusEntry<IRP_MJ_INTERNAL_DEVICE_CONTROL>;

 public:
  // Taps every port of `board`, before it is plugged; only one tap exists at
  // a time. It may go before the chip when no request is in flight.
  explicit UrbTap(chip::UsbChip& board) {
    Bus::Take(board, Dispatch);
    Current() = this;
  }
  ~UrbTap() { Current() = nullptr; }
  void SetRule(UrbRule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
  }
  std::vector<UrbSeen> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // The pipe whose transfers carry data to the chip (the direction flag of a
  // bulk transfer does not tell: the pipe does).
  void SetOutPipe(USBD_PIPE_HANDLE pipe) {
    std::lock_guard<std::mutex> lock(mutex_);
    outPipe_ = pipe;
  }
  // The bytes of every transfer on the out pipe, oldest first.
  std::vector<std::vector<uint8_t>> OutTransfers() {
    std::vector<std::vector<uint8_t>> transfers;
    for (const UrbSeen& s : Seen()) {
      if (s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !s.out.empty()) transfers.push_back(s.out);
    }
    return transfers;
  }
  // From now on transfers from the chip never reach it: they
  // stay pending until cancelled, and a cancelled one completes `delay` later
  // on the clock, as a slow bus would complete it.
  void HoldInTransfers(int64_t delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdDelay_ = delay;
    holding_ = true;
  }
  // New transfers from the chip reach it again; those held stay held.
  void PassInTransfers() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
  }
  // How many transfers were sent down `pipe`.
  size_t TransfersOn(USBD_PIPE_HANDLE pipe) {
    size_t n = 0;
    for (const UrbSeen& s : Seen())
      n += s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && s.pipe == pipe;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
  }

  // Answers a descriptor request with `bytes`, cut to what was asked for.
  static NTSTATUS AnswerDescriptor(PURB urb, const std::vector<uint8_t>& bytes) {
    auto& r = urb->UrbControlDescriptorRequest;
    ULONG n = std::min<ULONG>(r.TransferBufferLength, ULONG(bytes.size()));
    if (n != 0) std::memcpy(r.TransferBuffer, bytes.data(), n);
    r.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  static NTSTATUS Fail(PURB urb) {
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    return STATUS_UNSUCCESSFUL;
  }

 private:
  static std::atomic<UrbTap*>& Current() {
    static std::atomic<UrbTap*> tap{nullptr};
    return tap;
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UrbTap* current = Current();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (current == nullptr ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr) {
      return Bus::PassOn(device, irp);
    }
    UrbTap& tap = *current;
    std::optional<NTSTATUS> answer;
    {
      std::lock_guard<std::mutex> lock(tap.mutex_);
      UrbSeen seen{urb->UrbHeader.Function, 0, 0};
      if (seen.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        seen.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        seen.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      }
      if (seen.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        seen.length = t.TransferBufferLength;
        seen.pipe = t.PipeHandle;
        if (t.PipeHandle == tap.outPipe_ && t.TransferBuffer != nullptr) {
          auto bytes = static_cast<const uint8_t*>(t.TransferBuffer);
          seen.out.assign(bytes, bytes + t.TransferBufferLength);
        }
      }
      tap.seen_.push_back(seen);
      if (tap.rule_) answer = tap.rule_(urb);
    }
    if (!answer && tap.Holds(urb)) return Hold(irp);
    if (!answer) return Bus::PassOn(device, irp);
    irp->IoStatus.Status = *answer;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *answer;
  }

  bool Holds(PURB urb) {
    std::lock_guard<std::mutex> lock(mutex_);
    return holding_ && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           urb->UrbBulkOrInterruptTransfer.PipeHandle != outPipe_;
  }
  static NTSTATUS Hold(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) EndHeld(irp);
    return STATUS_PENDING;
  }
  static VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    int64_t delay = 0;
    if (UrbTap* tap = Current()) {
      std::lock_guard<std::mutex> lock(tap->mutex_);
      delay = tap->holdDelay_;
    }
    kernel::clock::ScheduleAfter(delay, [irp] { EndHeld(irp); });
  }
  static VOID EndHeld(PIRP irp) {
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  std::mutex mutex_;
  bool holding_ = false;
  int64_t holdDelay_ = 0;
  USBD_PIPE_HANDLE outPipe_ = nullptr;
  UrbRule rule_;
  std::vector<UrbSeen> seen_;
};

}  // namespace urb_tap
