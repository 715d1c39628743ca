#include "user/tool/served_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

namespace t7315 {
namespace {

// A client that reads this far behind stops us taking data from the port.
constexpr size_t kClientBacklog = 256 * 1024;
// A client that takes nothing of what waits for it this long gives way to a
// new one.
constexpr int64_t kStalledMs = 2000;
// Keepalive probes after 2 s of silence, 1 s apart, 3 unanswered: a peer
// that vanished without a word is found within seconds. Data unacknowledged
// for 10 s is the same (also a client that keeps its window shut that long).
constexpr int kKeepIdleS = 2, kKeepIntervalS = 1, kKeepCount = 3, kUnackedMs = 10000;
// Little beyond our own backlog waits in the kernel for a client.
constexpr int kClientSendBuffer = 32 * 1024;
constexpr int64_t kStatusPollMs = 20;
// While data keeps coming, a read at most this often carries all of it: the
// chip hands on a few dozen bytes at a time, and a read for each costs two
// thread switches. A fast stream (reads of kFastRead bytes or more) is read
// half as often again: a few hundred bytes wait at most 2 ms. A read after a
// quiet spell starts at once.
constexpr auto kReadSpacing = std::chrono::microseconds(1000);
constexpr auto kFastReadSpacing = std::chrono::microseconds(2000);
constexpr DWORD kFastRead = 64;
constexpr int64_t kReportEveryMs = 1000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

// ClearCommError's errors as the console tells them.
std::string CommErrorNames(DWORD errors) {
  static const std::pair<DWORD, const char*> kNames[] = {{CE_OVERRUN, "overrun"},
                                                         {CE_RXOVER, "receive buffer full"},
                                                         {CE_RXPARITY, "parity error"},
                                                         {CE_FRAME, "framing error"},
                                                         {CE_BREAK, "break received"}};
  std::string text;
  for (const auto& [bit, name] : kNames) {
    if (errors & bit) text += std::string(text.empty() ? "" : ", ") + name;
  }
  return text;
}

int Listen(int tcpPort, std::string* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int yes = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(tcpPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(tcpPort) + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<ServedPort> ServedPort::Open(const Setup& setup, Console& console, std::string* error) {
  std::unique_ptr<ServedPort> port(new ServedPort(setup, console));
  port->handle_ = CreateFileA(setup.devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port->handle_ == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + setup.devicePath + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  // A read returns as soon as anything arrived, or empty after 100 ms so
  // that the reader notices a stop; writes wait as long as the line holds.
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 0, 0};
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  // The flow limits stay whatever flow control a client turns on later: a
  // slow pty reader must not lose what the port receives meanwhile.
  bool ready = SetCommTimeouts(port->handle_, &timeouts) && GetCommState(port->handle_, &dcb);
  SetFlowLimits(dcb);
  if (!ready || !SetCommState(port->handle_, &dcb)) {
    *error = "cannot set up " + setup.devicePath + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  port->dtr_ = dcb.fDtrControl != DTR_CONTROL_DISABLE;
  port->rts_ = dcb.fRtsControl != RTS_CONTROL_DISABLE;
  port->terminalFormat_ = FormatOf(dcb);
  port->pty_ = Pty::Open(port->terminalFormat_, error);
  if (!port->pty_ || !port->pty_->LinkAs(setup.link, error)) return nullptr;
  // The pty may not hold the whole format; what it holds is our reference.
  port->terminalFormat_ = port->pty_->Format();
  port->listener_ = Listen(setup.tcpPort, error);
  if (port->listener_ < 0) return nullptr;
  port->wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return port;
}

ServedPort::~ServedPort() { Stop(); }

void ServedPort::Start() {
  ioThreads_ = 2;
  reader_ = std::thread([this] {
    ReadLoop();
    --ioThreads_;
  });
  writer_ = std::thread([this] {
    WriteLoop();
    --ioThreads_;
  });
  pump_ = std::thread([this] { PumpLoop(); });
}

void ServedPort::Stop() {
  stop_ = true;
  fromPort_.Stop();
  toPort_.Stop();
  Wake();
  // A read or write may start just after a cancel; cancel until both
  // threads have seen the stop. The write being sent, which flow control may
  // hold for ever, ends only by a purge.
  while (ioThreads_ > 0 && handle_ != INVALID_HANDLE_VALUE) {
    CancelIoEx(handle_, nullptr);  // the reads and writes belong to other threads
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (std::thread* t : {&reader_, &writer_, &pump_}) {
    if (t->joinable()) t->join();
  }
  if (client_ >= 0) close(client_);
  if (listener_ >= 0) close(listener_);
  if (wake_ >= 0) close(wake_);
  client_ = listener_ = wake_ = -1;
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void ServedPort::Wake() {
  const uint64_t one = 1;
  if (wake_ >= 0) (void)!write(wake_, &one, sizeof(one));
}

// One overlapped read or write, waited for on the calling thread's own
// `event` (a new event for every transfer would cost as much as the
// transfer); false on failure or stop.
bool ServedPort::Transfer(HANDLE event, bool write, void* buffer, DWORD length, DWORD& done) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  ResetEvent(event);
  BOOL ok = write ? WriteFile(handle_, buffer, length, nullptr, &overlapped)
                  : ReadFile(handle_, buffer, length, nullptr, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(handle_, &overlapped, &done, TRUE);
  } else if (ok) {
    ok = GetOverlappedResult(handle_, &overlapped, &done, FALSE);
  }
  return ok;
}

void ServedPort::ReadLoop() {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  uint8_t buffer[16384];
  bool failing = false;
  auto nextRead = std::chrono::steady_clock::time_point{};
  while (!stop_) {
    std::this_thread::sleep_until(nextRead);
    DWORD got = 0;
    if (!Transfer(event, false, buffer, sizeof(buffer), got)) {
      if (stop_) break;
      if (GetLastError() == ERROR_OPERATION_ABORTED) continue;  // a purge
      if (!failing) Say("reading failed: " + ErrorText(GetLastError()));
      failing = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    failing = false;
    if (got == 0) continue;
    nextRead = std::chrono::steady_clock::now() + (got >= kFastRead ? kFastReadSpacing : kReadSpacing);
    if (!fromPort_.Push(std::span<const uint8_t>(buffer, got))) break;
    Wake();
  }
  CloseHandle(event);
}

void ServedPort::WriteLoop() {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  while (true) {
    std::vector<uint8_t> bytes = toPort_.WaitTake();
    if (bytes.empty()) break;
    size_t sent = 0;
    while (sent < bytes.size() && !stop_) {
      DWORD done = 0;
      if (!Transfer(event, true, bytes.data() + sent, static_cast<DWORD>(bytes.size() - sent), done)) {
        // A purge aborts the write in flight: those bytes are meant to go.
        if (!stop_ && GetLastError() != ERROR_OPERATION_ABORTED)
          Say("writing failed: " + ErrorText(GetLastError()));
        break;
      }
      sent += done;
    }
    Wake();  // room again for the pty and the client
  }
  CloseHandle(event);
}

void ServedPort::PumpLoop() {
  while (!stop_) {
    const bool room = toPort_.HasRoom();
    const bool clientCanSend = session_ && session_->Output().size() < kClientBacklog;
    // A pty nobody has open reports a hang-up at every poll; PollStatus
    // looks for its next user.
    pollfd fds[4] = {
        {wake_, POLLIN, 0},
        {terminalUser_ ? pty_->Master() : -1,
         short((room ? POLLIN : 0) | (terminalPending_.empty() ? 0 : POLLOUT)), 0},
        {listener_, POLLIN, 0},
        {client_,
         short((room && clientCanSend ? POLLIN : 0) |
               (session_ && !session_->Output().empty() ? POLLOUT : 0)),
         0},
    };
    poll(fds, client_ >= 0 ? 4 : 3, kStatusPollMs);
    uint64_t count;
    (void)!read(wake_, &count, sizeof(count));
    // A client that vanished is noticed even while we are not reading it.
    if (client_ >= 0 && (fds[3].revents & (POLLERR | POLLHUP))) DropClient("gone");
    if (fds[1].revents & POLLHUP) TerminalInUse();
    PumpOnce();
    // After the pump, which notices a client that has just closed: a client
    // that comes as another goes is not turned away.
    if (fds[2].revents & POLLIN) AcceptClient();
  }
}

void ServedPort::PumpOnce() {
  MoveFromPort();
  ReadTerminal();
  if (client_ >= 0) ReadClient();
  FlushTerminal();
  if (client_ >= 0) FlushClient();
  PollStatus();
}

// The port's data goes to whoever has the port open, the pty's program and
// the client, and to nobody else; while one of them asks us to hold or lags
// far behind, it stays queued and slows the reader.
void ServedPort::MoveFromPort() {
  if (session_ && (session_->Suspended() || session_->Output().size() >= kClientBacklog)) return;
  if (terminalUser_ && terminalPending_.size() >= kQueueBytes) return;
  std::vector<uint8_t> bytes = fromPort_.TakeAll();
  if (bytes.empty()) return;
  if (session_) session_->SendData(bytes);
  if (terminalUser_ || TerminalInUse())
    terminalPending_.insert(terminalPending_.end(), bytes.begin(), bytes.end());
}

void ServedPort::ReadTerminal() {
  uint8_t buffer[4096];
  const ssize_t n = terminalUser_ && toPort_.HasRoom() ? read(pty_->Master(), buffer, sizeof(buffer)) : 0;
  // Settings are looked at after the read and applied before the bytes go
  // on, so that what a program wrote after changing them goes out with them.
  FollowTerminalSettings();
  if (n > 0) toPort_.Push(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
}

void ServedPort::FlushTerminal() {
  if (terminalPending_.empty()) return;
  const ssize_t n = write(pty_->Master(), terminalPending_.data(), terminalPending_.size());
  if (n > 0) terminalPending_.erase(terminalPending_.begin(), terminalPending_.begin() + n);
}

// Whether a program has the pty open. When its last program has gone, what
// it left unread is dropped, and the port rests unless a client has it.
bool ServedPort::TerminalInUse() {
  const bool inUse = pty_->InUse();
  if (terminalUser_ && !inUse) {
    terminalPending_.clear();
    pty_->DropUnread();
    if (client_ < 0) Rest();
  }
  terminalUser_ = inUse;
  return inUse;
}

// As a fresh open leaves a port: no break, DTR and RTS on.
void ServedPort::Rest() {
  if (!break_ && dtr_ && rts_) return;
  if (break_) EscapeCommFunction(handle_, CLRBREAK);
  if (!dtr_) EscapeCommFunction(handle_, SETDTR);
  if (!rts_) EscapeCommFunction(handle_, SETRTS);
  break_ = false;
  dtr_ = rts_ = true;
  Say("nobody uses the port: break off, DTR and RTS on");
}

void ServedPort::AcceptClient() {
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  const int fd =
      accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  const std::string from = std::string(inet_ntoa(peer.sin_addr)) + ":" + std::to_string(ntohs(peer.sin_port));
  if (client_ >= 0 && !Stalled()) {
    Say("RFC 2217 client from " + from + " refused: the port is in use");
    close(fd);
    return;
  }
  if (client_ >= 0) {
    DropClient("has not taken what waits for it for " + std::to_string(kStalledMs / 1000) +
               " s; the port goes to the new client from " + from);
  }
  const int options[][3] = {{IPPROTO_TCP, TCP_NODELAY, 1},
                            {SOL_SOCKET, SO_KEEPALIVE, 1},
                            {IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS},
                            {IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS},
                            {IPPROTO_TCP, TCP_KEEPCNT, kKeepCount},
                            {IPPROTO_TCP, TCP_USER_TIMEOUT, kUnackedMs},
                            {SOL_SOCKET, SO_SNDBUF, kClientSendBuffer}};
  for (const auto& [level, name, value] : options) setsockopt(fd, level, name, &value, sizeof(value));
  client_ = fd;
  clientFrom_ = from;
  clientSent_ = clientAcked_ = 0;
  clientTook_ = clientSentAt_ = NowMs();
  session_.emplace(static_cast<Rfc2217Port&>(*this), "t7315 " + setup_.comName);
  session_->Start();
  Say("RFC 2217 client connected from " + from);
}

void ServedPort::ReadClient() {
  if (!toPort_.HasRoom() || session_->Output().size() >= kClientBacklog) return;
  uint8_t buffer[16384];
  const ssize_t n = recv(client_, buffer, sizeof(buffer), 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    DropClient(n == 0 ? "disconnected" : std::string("lost: ") + std::strerror(errno));
    return;
  }
  if (n < 0) return;
  std::vector<uint8_t> data;
  session_->Receive(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), data);
  if (!data.empty()) toPort_.Push(data);
}

void ServedPort::FlushClient() {
  std::span<const uint8_t> out = session_->Output();
  if (out.empty()) {
    clientSentAt_ = NowMs();
  } else {
    const ssize_t n = send(client_, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      clientSent_ += static_cast<uint64_t>(n);
      clientSentAt_ = NowMs();
      session_->Consume(static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      DropClient(std::string("lost: ") + std::strerror(errno));
      return;
    }
  }
  NoteClientProgress();
}

// Bytes in our socket's send buffer are not taken yet: what the client's side
// acknowledges counts, so that a client that stopped reading is seen as
// stalled before the kernel gives up on its shut window.
void ServedPort::NoteClientProgress() {
  int unacknowledged = 0;
  if (ioctl(client_, SIOCOUTQ, &unacknowledged) != 0) unacknowledged = 0;
  const uint64_t acknowledged = clientSent_ - static_cast<uint64_t>(unacknowledged);
  if (acknowledged != clientAcked_ || (unacknowledged == 0 && session_->Output().empty())) {
    clientAcked_ = acknowledged;
    clientTook_ = NowMs();
  }
}

void ServedPort::DropClient(const std::string& why) {
  close(client_);
  client_ = -1;
  session_.reset();
  Say("RFC 2217 client from " + clientFrom_ + " " + why);
  if (!TerminalInUse()) Rest();
}

// Stalled: nothing acknowledged, or nothing more handed to the socket while
// data waits, for kStalledMs.
bool ServedPort::Stalled() const {
  const int64_t now = NowMs();
  return session_ && (now - clientTook_ >= kStalledMs ||
                      (!session_->Output().empty() && now - clientSentAt_ >= kStalledMs));
}

// Modem lines and line errors, a few dozen times a second; errors are also
// told on the console, at most once a second.
void ServedPort::PollStatus() {
  const int64_t now = NowMs();
  if (now - lastStatusPoll_ < kStatusPollMs) return;
  lastStatusPoll_ = now;
  if (!terminalUser_) TerminalInUse();
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(handle_, &errors, &status)) {
    uint8_t line = 0;
    if (errors & (CE_OVERRUN | CE_RXOVER)) line |= rfc2217::kOverrunError;
    if (errors & CE_RXPARITY) line |= rfc2217::kParityError;
    if (errors & CE_FRAME) line |= rfc2217::kFramingError;
    if (errors & CE_BREAK) line |= rfc2217::kBreakDetect;
    if (line != 0 && session_) session_->LineErrors(line);
    commErrors_ |= errors;
  }
  if (session_) session_->ModemLinesChanged(ModemLines());
  if (now - lastReport_ < kReportEveryMs) return;
  const std::string errorNames = CommErrorNames(commErrors_);
  if (errorNames.empty()) return;
  Say(errorNames);
  lastReport_ = now;
  commErrors_ = 0;
}

// A program that sets the pty's termios reconfigures the port; only the
// fields it changed are applied, so a change made over RFC 2217 stays.
void ServedPort::FollowTerminalSettings() {
  const LineFormat now = pty_->Format();
  if (now == terminalFormat_) return;
  const LineFormat before = terminalFormat_;
  terminalFormat_ = now;
  if (ChangeFormat("the pty asked for " + now.Describe(), before, now)) {
    Say("set from the pty to " + FormatOf(CurrentState()).Describe());
  }
}

// One port, one state: what a client changed shows in the pty's termios.
void ServedPort::ShowOnTerminal() {
  pty_->SetFormat(FormatOf(CurrentState()));
  terminalFormat_ = pty_->Format();
}

DCB ServedPort::CurrentState() {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(handle_, &dcb);
  return dcb;
}

bool ServedPort::ChangeFormat(const std::string& what, const LineFormat& before, const LineFormat& now) {
  DCB old = CurrentState();
  DCB dcb = old;
  ApplyFormatChange(before, now, dcb);
  if (SetCommState(handle_, &dcb)) return true;
  const DWORD error = GetLastError();
  // A refused state may have been applied in part: put the old one back.
  SetCommState(handle_, &old);
  Say(what + "; the driver refused it (" + ErrorText(error) + "); the port keeps " +
      FormatOf(old).Describe());
  return false;
}

// A client's change of one field; the format the port has afterwards.
LineFormat ServedPort::Request(const std::string& what, const std::function<void(LineFormat&)>& change) {
  const LineFormat before = FormatOf(CurrentState());
  LineFormat now = before;
  change(now);
  ChangeFormat("RFC 2217 client asked for " + what, before, now);
  ShowOnTerminal();
  return FormatOf(CurrentState());
}

uint32_t ServedPort::BaudRate(uint32_t requested) {
  if (requested == 0) return CurrentState().BaudRate;
  return Request(std::to_string(requested) + " baud", [&](LineFormat& f) { f.baud = requested; }).baud;
}

uint8_t ServedPort::DataSize(uint8_t requested) {
  if (requested == 0) return CurrentState().ByteSize;
  return Request(std::to_string(requested) + " data bits", [&](LineFormat& f) { f.dataBits = requested; })
      .dataBits;
}

// RFC 2217 numbers parity from 1 (none) in the DCB's order.
uint8_t ServedPort::Parity(uint8_t requested) {
  if (requested < 1 || requested > 5) return CurrentState().Parity + 1;
  return Request("parity " + std::to_string(requested), [&](LineFormat& f) { f.parity = requested - 1; })
             .parity +
         1;
}

// RFC 2217: 1 = one, 2 = two, 3 = one and a half stop bits.
uint8_t ServedPort::StopSize(uint8_t requested) {
  static const uint8_t kToDcb[] = {0, ONESTOPBIT, TWOSTOPBITS, ONE5STOPBITS};
  static const uint8_t kFromDcb[] = {1, 3, 2};
  uint8_t stop = CurrentState().StopBits;
  if (requested >= 1 && requested <= 3) {
    stop = Request("stop size " + std::to_string(requested), [&](LineFormat& f) {
             f.stopBits = kToDcb[requested];
           }).stopBits;
  }
  return stop <= TWOSTOPBITS ? kFromDcb[stop] : 1;
}

std::optional<uint8_t> ServedPort::Escape(DWORD function, bool& state, bool on, uint8_t onValue,
                                          uint8_t offValue) {
  if (EscapeCommFunction(handle_, function)) state = on;
  return state ? onValue : offValue;
}

// RTS follows the receive buffer, or goes back to the state last asked for.
void ServedPort::SetInboundHardware(DCB& dcb, bool on) const {
  if (on) {
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    dcb.fRtsControl = rts_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
}

std::optional<uint8_t> ServedPort::Control(uint8_t request) {
  using namespace rfc2217;
  DCB dcb = CurrentState();
  auto set = [&](auto change) {
    DCB changed = dcb;
    change(changed);
    if (!SetCommState(handle_, &changed)) {
      Say("RFC 2217 client's flow control refused by the driver (" + ErrorText(GetLastError()) + ")");
    }
    ShowOnTerminal();
    dcb = CurrentState();
  };
  auto outbound = [&] {
    return dcb.fOutxCtsFlow ? kControlFlowHardware : dcb.fOutX ? kControlFlowXonXoff : kControlFlowNone;
  };
  auto inbound = [&] {
    return dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? kControlInboundHardware
           : dcb.fInX                               ? kControlInboundXonXoff
                                                    : kControlInboundNone;
  };
  switch (request) {
    case kControlFlowQuery:
      return outbound();
    case kControlFlowNone:
    case kControlFlowXonXoff:
    case kControlFlowHardware:
      // Both directions, as on a POSIX port (which is what clients such as
      // pyserial send this for); the inbound requests below refine it.
      set([&](DCB& d) {
        d.fOutX = d.fInX = request == kControlFlowXonXoff;
        d.fOutxCtsFlow = request == kControlFlowHardware;
        SetInboundHardware(d, request == kControlFlowHardware);
      });
      return outbound();
    case kControlBreakQuery:
      return break_ ? kControlBreakOn : kControlBreakOff;
    case kControlBreakOn:
    case kControlBreakOff:
      return Escape(request == kControlBreakOn ? SETBREAK : CLRBREAK, break_, request == kControlBreakOn,
                    kControlBreakOn, kControlBreakOff);
    case kControlDtrQuery:
      return dtr_ ? kControlDtrOn : kControlDtrOff;
    case kControlDtrOn:
    case kControlDtrOff:
      return Escape(request == kControlDtrOn ? SETDTR : CLRDTR, dtr_, request == kControlDtrOn, kControlDtrOn,
                    kControlDtrOff);
    case kControlRtsQuery:
      return rts_ ? kControlRtsOn : kControlRtsOff;
    case kControlRtsOn:
    case kControlRtsOff:
      return Escape(request == kControlRtsOn ? SETRTS : CLRRTS, rts_, request == kControlRtsOn, kControlRtsOn,
                    kControlRtsOff);
    case kControlInboundQuery:
      return inbound();
    case kControlInboundNone:
    case kControlInboundXonXoff:
    case kControlInboundHardware:
      set([&](DCB& d) {
        d.fInX = request == kControlInboundXonXoff;
        SetInboundHardware(d, request == kControlInboundHardware);
      });
      return inbound();
    default:  // DCD, DTR and DSR flow control: not offered
      return std::nullopt;
  }
}

void ServedPort::Purge(uint8_t which) {
  DWORD flags = 0;
  if (which & rfc2217::kPurgeReceive) {
    flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    fromPort_.Clear();
  }
  if (which & rfc2217::kPurgeTransmit) {
    flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    toPort_.Clear();
  }
  if (!PurgeComm(handle_, flags)) Say("purge failed: " + ErrorText(GetLastError()));
}

uint8_t ServedPort::ModemLines() {
  DWORD lines = 0;
  GetCommModemStatus(handle_, &lines);
  // MS_*_ON have the modem-state layout.
  return static_cast<uint8_t>(lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
}

}  // namespace t7315
