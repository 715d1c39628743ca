#include "user/tool/wire_pty.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace t7315 {

// Received characters, handed over from the clock's thread. Shared with the
// end's callback, which may still run once after the bridge is gone.
struct WirePty::Inbox {
  std::mutex mutex;
  std::vector<uint8_t> bytes;
  size_t dropped = 0;
  int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Inbox() { close(wake); }
  void Put(uint8_t byte) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (bytes.size() >= kMaxPending) {
        ++dropped;
        return;
      }
      bytes.push_back(byte);
    }
    const uint64_t one = 1;
    (void)!write(wake, &one, sizeof(one));
  }
};

chip::LineSettings WireSettings(const LineFormat& format) {
  static const chip::Parity kParity[] = {chip::Parity::None, chip::Parity::Odd, chip::Parity::Even,
                                         chip::Parity::Mark, chip::Parity::Space};
  chip::LineSettings s;
  s.rate = format.baud;
  s.dataBits = format.dataBits;
  s.parity = format.parity <= LineFormat::kSpace ? kParity[format.parity] : chip::Parity::None;
  // As a 16550: two stop bits with 5-bit characters are one and a half.
  s.stopHalfBits = format.stopBits == LineFormat::kOne                                    ? 2
                   : (format.stopBits == LineFormat::kOneAndHalf || format.dataBits == 5) ? 3
                                                                                          : 4;
  return s;
}

WirePty::WirePty(chip::ExternalEnd& end, std::unique_ptr<Pty> pty)
    : end_(end), pty_(std::move(pty)), inbox_(std::make_shared<Inbox>()), format_(pty_->Format()) {
  end_.SetSettings(WireSettings(format_));
  end_.Present({.cts = true, .dsr = true, .ri = false, .dcd = true});
  end_.OnReceive([inbox = inbox_](const chip::RxChar& c) { inbox->Put(c.value); });
}

WirePty::~WirePty() {
  stop_ = true;
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!write(inbox_->wake, &one, sizeof(one));
    thread_.join();
  }
  end_.OnReceive(nullptr);
}

void WirePty::Start() {
  thread_ = std::thread([this] { Run(); });
}

void WirePty::Run() {
  while (!stop_) {
    // The terminal is read only while the wire is free, so a fast writer is
    // held at the wire's speed instead of queueing without bound.
    // A pty no program has open reports a hang-up at every poll: it is
    // looked at again on the next pass instead.
    const bool wireFree = !end_.Sending();
    pollfd fds[2] = {{pty_->InUse() ? pty_->Master() : -1,
                      short((wireFree ? POLLIN : 0) | (pending_.empty() ? 0 : POLLOUT)), 0},
                     {inbox_->wake, POLLIN, 0}};
    poll(fds, 2, wireFree ? 50 : 5);
    uint64_t count;
    (void)!read(inbox_->wake, &count, sizeof(count));
    Pump();
  }
}

void WirePty::Pump() {
  uint8_t buffer[4096];
  const ssize_t n = end_.Sending() ? 0 : read(pty_->Master(), buffer, sizeof(buffer));
  // The settings are looked at after the read, so that whatever the program
  // wrote after changing them goes out with them.
  const LineFormat now = pty_->Format();
  if (now != format_) {
    format_ = now;
    end_.SetSettings(WireSettings(format_));
  }
  if (n > 0) end_.Send(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
  {
    std::lock_guard<std::mutex> lock(inbox_->mutex);
    const size_t room = kMaxPending - std::min(kMaxPending, pending_.size());
    const size_t take = std::min(room, inbox_->bytes.size());
    pending_.insert(pending_.end(), inbox_->bytes.begin(), inbox_->bytes.begin() + take);
    dropped_ += inbox_->dropped + (inbox_->bytes.size() - take);
    inbox_->bytes.clear();
    inbox_->dropped = 0;
  }
  // The end keeps its own record of what it received; we have ours.
  end_.ClearReceived();
  if (!pending_.empty()) {
    const ssize_t n = write(pty_->Master(), pending_.data(), pending_.size());
    if (n > 0) pending_.erase(pending_.begin(), pending_.begin() + n);
  }
  UpdateClearToSend();
}

void WirePty::UpdateClearToSend() {
  const bool clear = pending_.size() < kMaxPending / 4;
  if (clear == clearToSend_) return;
  clearToSend_ = clear;
  end_.Present({.cts = clear, .dsr = true, .ri = false, .dcd = true});
}

}  // namespace t7315
