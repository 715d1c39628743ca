// The default control pipe: one request at a time, each taking a USB frame,
// answering the vendor register request and the standard requests a bus
// driver sends (descriptors, configuration, features). Anything else stalls,
// as a real device answers a request it does not know.
#include <algorithm>
#include <cstring>

#include "emulator/chip/port.h"
#include "emulator/chip/register_map.h"
#include "platform/host/usb.h"

namespace chip {
namespace {

using Result = std::pair<int32_t, uint32_t>;
constexpr Result kStall{USBD_STATUS_STALL_PID, 0};

constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kRecipientMask = 0x1F;

}  // namespace

void Port::StartControl() {
  auto& q = Queue(Pipe::Control);
  if (q.empty() || q.front().hung || controlTimer_.Armed()) return;
  controlTimer_.Arm(scheduler_.Now() + options_.frameLength);
}

void Port::ControlDone() {
  auto& q = Queue(Pipe::Control);
  if (q.empty()) return;
  if (faults_.stallControl > 0 || TakeRegisterReadStall(q.front().setup)) {
    faults_.stallControl = std::max(0, faults_.stallControl - 1);
    FinishFront(Pipe::Control, USBD_STATUS_STALL_PID, 0);
  } else {
    auto [status, length] = Execute(q.front().setup, q.front().buffer);
    FinishFront(Pipe::Control, status, length);
  }
  StartControl();
}

Result Port::Execute(const SetupPacket& s, uint8_t* data) {
  if (s.length > 0 && data == nullptr) return {USBD_STATUS_INVALID_PARAMETER, 0};
  switch ((s.requestType >> 5) & 0x03) {
    case BMREQUEST_STANDARD:
      return ExecuteStandard(s, data);
    case BMREQUEST_VENDOR:
      return ExecuteVendor(s, data);
    default:
      return kStall;
  }
}

// wValue is the first register, wLength the number of consecutive registers.
// A range that touches an unknown address is refused as a whole.
Result Port::ExecuteVendor(const SetupPacket& s, uint8_t* data) {
  if (s.request != reg::kVendorRequest || (s.requestType & kRecipientMask) != 0) return kStall;
  for (uint32_t i = 0; i < s.length; ++i) {
    uint32_t address = s.value + i;
    if (address > 0xFFFF || !PeekRegister(static_cast<uint16_t>(address))) return kStall;
  }
  bool in = s.requestType & kDirectionIn;
  Time now = scheduler_.Now();
  for (uint16_t i = 0; i < s.length; ++i) {
    uint16_t address = static_cast<uint16_t>(s.value + i);
    if (in) {
      data[i] = *ReadRegister(address);
    } else {
      WriteRegister(address, data[i]);
    }
    log_.push_back({.at = now, .write = !in, .address = address, .value = data[i]});
  }
  return {USBD_STATUS_SUCCESS, s.length};
}

Result Port::ExecuteStandard(const SetupPacket& s, uint8_t* data) {
  bool in = s.requestType & kDirectionIn;
  uint8_t recipient = s.requestType & kRecipientMask;
  switch (s.request) {
    case USB_REQUEST_GET_DESCRIPTOR:
      if (!in || recipient != BMREQUEST_TO_DEVICE) return kStall;
      return GetDescriptor(s, data);
    case USB_REQUEST_SET_CONFIGURATION:
      if (in || recipient != BMREQUEST_TO_DEVICE || s.value > 1) return kStall;
      SetConfiguration(static_cast<uint8_t>(s.value));
      return {USBD_STATUS_SUCCESS, 0};
    case USB_REQUEST_SET_FEATURE:
    case USB_REQUEST_CLEAR_FEATURE:
      if (in) return kStall;
      return SetFeature(s, s.request == USB_REQUEST_SET_FEATURE);
    default:
      return kStall;
  }
}

Result Port::GetDescriptor(const SetupPacket& s, uint8_t* data) {
  uint8_t type = s.value >> 8, index = s.value & 0xFF;
  std::vector<uint8_t> descriptor;
  if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
    descriptor = DeviceDescriptor();
  } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
    descriptor = ConfigurationDescriptor();
  } else {
    return kStall;
  }
  uint32_t n = std::min<uint32_t>(s.length, static_cast<uint32_t>(descriptor.size()));
  std::memcpy(data, descriptor.data(), n);
  return {USBD_STATUS_SUCCESS, n};
}

// The device knows remote wake-up and the endpoints' halt; an interface has
// no feature to set or clear.
Result Port::SetFeature(const SetupPacket& s, bool on) {
  uint8_t recipient = s.requestType & kRecipientMask;
  if (recipient == BMREQUEST_TO_DEVICE && s.value == USB_FEATURE_REMOTE_WAKEUP) {
    remoteWake_ = on;
    return {USBD_STATUS_SUCCESS, 0};
  }
  if (recipient != BMREQUEST_TO_ENDPOINT || s.value != USB_FEATURE_ENDPOINT_STALL || configuration_ == 0) {
    return kStall;
  }
  Pipe pipe;
  switch (s.index & 0xFF) {
    case kInterruptInEndpoint:
      pipe = Pipe::InterruptIn;
      break;
    case kBulkInEndpoint:
      pipe = Pipe::BulkIn;
      break;
    case kBulkOutEndpoint:
      pipe = Pipe::BulkOut;
      break;
    default:
      return kStall;
  }
  halted_[static_cast<int>(pipe)] = on;
  if (!on) Service(pipe);
  return {USBD_STATUS_SUCCESS, 0};
}

// A new configuration (or none) ends every transfer of the old one.
void Port::SetConfiguration(uint8_t value) {
  for (Pipe pipe : {Pipe::InterruptIn, Pipe::BulkIn, Pipe::BulkOut}) {
    AbortPipe(pipe);
    halted_[static_cast<int>(pipe)] = false;
  }
  configuration_ = value;
}

}  // namespace chip
