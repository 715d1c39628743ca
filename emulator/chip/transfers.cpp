// The transfer queues of the four endpoints: submission, completion (always
// from a clock callback, as a host controller reports it), cancellation and
// aborts.
#include "emulator/chip/model_lock.h"
#include "emulator/chip/port.h"
#include "platform/host/usb.h"

namespace chip {

TransferId Port::SubmitControl(const SetupPacket& setup, uint8_t* data, TransferDone done) {
  ModelGuard guard;
  return Enqueue({.pipe = Pipe::Control,
                  .setup = setup,
                  .buffer = data,
                  .length = setup.length,
                  .callback = std::move(done)});
}

TransferId Port::Submit(Pipe pipe, uint8_t* buffer, uint32_t length, TransferDone done) {
  ModelGuard guard;
  submitting_ = true;
  TransferId id = Enqueue({.pipe = pipe, .buffer = buffer, .length = length, .callback = std::move(done)});
  submitting_ = false;
  return id;
}

TransferId Port::Enqueue(Transfer t) {
  t.id = nextId_++;
  TransferId id = t.id;
  int p = static_cast<int>(t.pipe);
  int32_t status = USBD_STATUS_SUCCESS;
  if (!connected_) {
    Finish(std::move(t), USBD_STATUS_DEVICE_GONE, 0);
  } else if (t.pipe != Pipe::Control && configuration_ == 0) {
    Finish(std::move(t), USBD_STATUS_INVALID_PIPE_HANDLE, 0);
  } else if (halted_[p]) {
    Finish(std::move(t), USBD_STATUS_ENDPOINT_HALTED, 0);
  } else if (TakeFailure(t.pipe, status)) {
    Finish(std::move(t), status, 0);
  } else {
    if (faults_.hang[p] > 0) {
      --faults_.hang[p];
      t.hung = true;
    }
    Queue(t.pipe).push_back(std::move(t));
    Service(static_cast<Pipe>(p));
  }
  return id;
}

void Port::Service(Pipe pipe) {
  switch (pipe) {
    case Pipe::Control:
      StartControl();
      return;
    case Pipe::InterruptIn:
      ServiceInterruptIn();
      return;
    case Pipe::BulkIn:
      ServiceBulkIn();
      return;
    case Pipe::BulkOut:
      ServiceBulkOut();
      return;
  }
}

bool Port::TakeFailure(Pipe pipe, int32_t& status) {
  auto& fail = faults_.fail[static_cast<int>(pipe)];
  if (fail.empty()) return false;
  status = fail.front();
  fail.pop_front();
  if (status == USBD_STATUS_STALL_PID && pipe != Pipe::Control) halted_[static_cast<int>(pipe)] = true;
  return true;
}

void Port::Finish(Transfer t, int32_t usbdStatus, uint32_t length) {
  finished_.push_back({std::move(t), {usbdStatus, length}});
  if (!finishTimer_.Armed()) finishTimer_.Arm(scheduler_.Now());
}

void Port::FinishFront(Pipe pipe, int32_t usbdStatus, uint32_t length) {
  Transfer t = std::move(Queue(pipe).front());
  Queue(pipe).pop_front();
  Finish(std::move(t), usbdStatus, length);
}

void Port::DeliverFinished() {
  for (auto& [t, result] : finished_) {
    Defer([done = std::move(t.callback), result = result] { done(result.first, result.second); });
  }
  finished_.clear();
}

bool Port::Cancel(TransferId id) {
  ModelGuard guard;
  for (int p = 0; p < kPipeCount; ++p) {
    auto& q = queues_[p];
    for (auto it = q.begin(); it != q.end(); ++it) {
      if (it->id != id) continue;
      bool wasFront = it == q.begin();
      Transfer t = std::move(*it);
      q.erase(it);
      Defer([done = std::move(t.callback), sent = t.done] { done(USBD_STATUS_CANCELED, sent); });
      if (wasFront && t.pipe == Pipe::Control) {
        controlTimer_.Disarm();
        StartControl();
      } else if (wasFront) {
        Service(t.pipe);
      }
      return true;
    }
  }
  return false;
}

void Port::AbortPipe(Pipe pipe) {
  ModelGuard guard;
  auto& q = Queue(pipe);
  for (Transfer& t : q) {
    Defer([done = std::move(t.callback), sent = t.done] { done(USBD_STATUS_CANCELED, sent); });
  }
  q.clear();
  if (pipe == Pipe::Control) controlTimer_.Disarm();
}

void Port::ResetPort(TransferDone done) {
  ModelGuard guard;
  if (!connected_) {
    Defer([done] { done(USBD_STATUS_DEVICE_GONE, 0); });
    return;
  }
  for (int p = 0; p < kPipeCount; ++p) {
    AbortPipe(static_cast<Pipe>(p));
    halted_[p] = false;
  }
  resetsPending_.push_back(std::move(done));
  if (!resetTimer_.Armed()) resetTimer_.Arm(scheduler_.Now() + options_.portResetTime);
}

bool Port::Connected() const {
  ModelGuard guard;
  return connected_;
}

uint8_t Port::Configuration() const {
  ModelGuard guard;
  return configuration_;
}

bool Port::RemoteWakeEnabled() const {
  ModelGuard guard;
  return remoteWake_;
}

bool Port::Halted(Pipe pipe) const {
  ModelGuard guard;
  return halted_[static_cast<int>(pipe)];
}

}  // namespace chip
