// Faults on demand: stalls, transfers that never end, chosen failures,
// malformed bulk-in data, disconnection and power loss.
#include "emulator/chip/model_lock.h"
#include "emulator/chip/port.h"
#include "emulator/chip/register_map.h"
#include "platform/host/usb.h"

namespace chip {

void Port::StallControlTransfers(int count) {
  ModelGuard guard;
  faults_.stallControl = count;
}

void Port::StallRegisterReads(uint16_t address, int count) {
  ModelGuard guard;
  faults_.stallReadAddress = address;
  faults_.stallReads = count;
}

bool Port::TakeRegisterReadStall(const SetupPacket& s) {
  bool read = s.requestType == 0xC0 && s.request == reg::kVendorRequest;
  if (!read || s.value != faults_.stallReadAddress || faults_.stallReads <= 0) return false;
  --faults_.stallReads;
  return true;
}

void Port::NeverComplete(Pipe pipe, int count) {
  ModelGuard guard;
  faults_.hang[static_cast<int>(pipe)] = count;
}

void Port::FailNext(Pipe pipe, int32_t usbdStatus) {
  ModelGuard guard;
  auto& q = Queue(pipe);
  if (q.empty() || q.front().hung) {
    faults_.fail[static_cast<int>(pipe)].push_back(usbdStatus);
    return;
  }
  if (usbdStatus == USBD_STATUS_STALL_PID && pipe != Pipe::Control) halted_[static_cast<int>(pipe)] = true;
  if (pipe == Pipe::Control) controlTimer_.Disarm();
  FinishFront(pipe, usbdStatus, 0);
  Service(pipe);
}

void Port::InjectBulkIn(std::vector<uint8_t> raw) {
  ModelGuard guard;
  faults_.rawBulkIn.push_back(std::move(raw));
  ServiceBulkIn();
}

void Port::Disconnect() {
  ModelGuard guard;
  if (!connected_) return;
  connected_ = false;
  for (auto& q : queues_) {
    for (Transfer& t : q) {
      Defer([done = std::move(t.callback), sent = t.done] { done(USBD_STATUS_DEVICE_GONE, sent); });
    }
    q.clear();
  }
  controlTimer_.Disarm();
  for (TransferDone& done : resetsPending_) Defer([done] { done(USBD_STATUS_DEVICE_GONE, 0); });
  resetsPending_.clear();
  resetTimer_.Disarm();
  PowerOnReset();
  if (onDisconnect_) Defer(onDisconnect_);
}

void Port::OnDisconnect(std::function<void()> callback) {
  ModelGuard guard;
  onDisconnect_ = std::move(callback);
}

}  // namespace chip
