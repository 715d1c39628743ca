// A tap on a simulated chip's power requests, beside urb_tap.h's tap on its
// URBs: every power request that reaches the chip's bus driver is recorded,
// and a test's rule may end it in the chip's place (fail it, or hold it
// pending for a while) before the chip sees it. Requests may also be made to
// end at DISPATCH_LEVEL, as a bus driver completing from its DPC would.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "emulator/chip/usb_bus.h"
#include "support/bus_entry.h"
#include "emulator/kernel/clock.h"
#include "platform/platform.h"

namespace power_tap {

struct PowerSeen {
  UCHAR minor;
  POWER_STATE_TYPE type;
  int state;  // DeviceState or SystemState, after `type`
};

// How the tap ends a request: `status` at once, or `delay` later with the
// request pending meanwhile. A successful answer is passed to the chip (after
// the delay), so the device changes state; a failure never reaches it.
struct Answer {
  NTSTATUS status = STATUS_SUCCESS;
  int64_t delay = 0;
};
using PowerRule = std::function<std::optional<Answer>(const PowerSeen&)>;

class PowerTap {
  using Bus = bus_entry::BusEntry<IRP_MJ_POWER>;

 public:
  // Taps every port of `board`; only one tap exists at a time.
  explicit PowerTap(chip::UsbChip& board) {
    Bus::Take(board, Dispatch);
    Current() = this;
  }
  ~PowerTap() { Current() = nullptr; }

  void SetRule(PowerRule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
  }
  // Every request from now on ends at DISPATCH_LEVEL.
  void CompleteAtDispatch(bool on) { atDispatch_ = on; }
  // Requests that ended at DISPATCH_LEVEL.
  int CompletedAtDispatch() const { return completedAtDispatch_; }

  std::vector<PowerSeen> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // The device set-power requests seen, in order: their states.
  std::vector<int> DeviceSetPowers() {
    std::vector<int> states;
    for (const PowerSeen& s : Seen()) {
      if (s.minor == IRP_MN_SET_POWER && s.type == DevicePowerState) states.push_back(s.state);
    }
    return states;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
    completedAtDispatch_ = 0;
  }

 private:
  static std::atomic<PowerTap*>& Current() {
    static std::atomic<PowerTap*> tap{nullptr};
    return tap;
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PowerTap* tap = Current();
    if (tap == nullptr) return Bus::PassOn(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PowerSeen seen{stack->MinorFunction, stack->Parameters.Power.Type, 0};
    seen.state = seen.type == DevicePowerState ? int(stack->Parameters.Power.State.DeviceState)
                                               : int(stack->Parameters.Power.State.SystemState);
    std::optional<Answer> answer;
    {
      std::lock_guard<std::mutex> lock(tap->mutex_);
      tap->seen_.push_back(seen);
      if (tap->rule_) answer = tap->rule_(seen);
    }
    if (!answer) return End(device, irp, std::nullopt);
    if (answer->delay <= 0) return End(device, irp, answer->status);
    IoMarkIrpPending(irp);
    NTSTATUS status = answer->status;
    kernel::clock::ScheduleAfter(answer->delay, [device, irp, status] { End(device, irp, status); });
    return STATUS_PENDING;
  }

  // Ends the request: the chip answers a success (or a request with no
  // answer), the tap a failure.
  static NTSTATUS End(PDEVICE_OBJECT device, PIRP irp, std::optional<NTSTATUS> answer) {
    KIRQL old = PASSIVE_LEVEL;
    PowerTap* tap = Current();
    const bool raise = tap != nullptr && tap->atDispatch_.load();
    if (raise) {
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      ++tap->completedAtDispatch_;
    }
    NTSTATUS status;
    if (!answer || NT_SUCCESS(*answer)) {
      status = Bus::PassOn(device, irp);
    } else {
      status = *answer;
      PoStartNextPowerIrp(irp);
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    if (raise) KeLowerIrql(old);
    return status;
  }

  std::mutex mutex_;
  PowerRule rule_;
  std::vector<PowerSeen> seen_;
  std::atomic<bool> atDispatch_{false};
  std::atomic<int> completedAtDispatch_{0};
};

}  // namespace power_tap
