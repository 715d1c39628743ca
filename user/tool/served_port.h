// One COM port opened through the Win32 API and offered to Linux programs
// twice: as a pseudo-terminal and as an RFC 2217 server on loopback. Bytes a
// program writes go out of the port; bytes the port receives come back to
// the pty and to the RFC 2217 client. Each port has its own threads, so a
// stalled or misbehaving client holds up only its own port.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "user/tool/byte_queue.h"
#include "user/tool/console.h"
#include "user/tool/dcb_format.h"
#include "user/tool/line_format.h"
#include "user/tool/pty.h"
#include "user/tool/rfc2217.h"
#include "user/win32/windows.h"

namespace t7315 {

class ServedPort final : private Rfc2217Port {
 public:
  struct Setup {
    std::string comName;     // "COM3"
    std::string devicePath;  // "\\.\COM3"
    int tcpPort = 0;         // on 127.0.0.1
    std::string link;        // STATE/COM3, to the pty
  };
  static constexpr size_t kQueueBytes = 64 * 1024;

  // nullptr with a message in *error when the port, the pty or the socket
  // cannot be had.
  static std::unique_ptr<ServedPort> Open(const Setup& setup, Console& console, std::string* error);
  ~ServedPort() override;
  ServedPort(const ServedPort&) = delete;
  ServedPort& operator=(const ServedPort&) = delete;

  const Pty& Terminal() const { return *pty_; }
  void Start();
  // Ends the threads, closes the client, the listener and the port.
  void Stop();

 private:
  ServedPort(const Setup& setup, Console& console) : setup_(setup), console_(console) {}

  // Threads.
  void ReadLoop();
  void WriteLoop();
  void PumpLoop();
  // Pump pieces.
  void PumpOnce();
  void MoveFromPort();
  void ReadTerminal();
  void FlushTerminal();
  void AcceptClient();
  void ReadClient();
  void FlushClient();
  void NoteClientProgress();
  void DropClient(const std::string& why);
  bool Stalled() const;
  bool TerminalInUse();
  void Rest();
  void PollStatus();
  void FollowTerminalSettings();
  void ShowOnTerminal();
  void Wake();

  // Port operations.
  bool Transfer(HANDLE event, bool write, void* buffer, DWORD length, DWORD& done);
  bool ChangeFormat(const std::string& what, const LineFormat& before, const LineFormat& now);
  DCB CurrentState();
  LineFormat Request(const std::string& what, const std::function<void(LineFormat&)>& change);
  void Say(const std::string& text) { console_.Line(setup_.comName + ": " + text); }

  // Rfc2217Port
  uint32_t BaudRate(uint32_t requested) override;
  uint8_t DataSize(uint8_t requested) override;
  uint8_t Parity(uint8_t requested) override;
  uint8_t StopSize(uint8_t requested) override;
  std::optional<uint8_t> Control(uint8_t request) override;
  void Purge(uint8_t which) override;
  uint8_t ModemLines() override;
  void SetInboundHardware(DCB& dcb, bool on) const;
  std::optional<uint8_t> Escape(DWORD function, bool& state, bool on, uint8_t onValue, uint8_t offValue);

  const Setup setup_;
  Console& console_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<Pty> pty_;
  int listener_ = -1;
  int client_ = -1;
  int wake_ = -1;
  std::optional<Rfc2217Session> session_;

  ByteQueue fromPort_{kQueueBytes};
  ByteQueue toPort_{kQueueBytes};
  std::vector<uint8_t> terminalPending_;
  bool terminalUser_ = false;  // a program has the pty open
  LineFormat terminalFormat_;  // as last seen on the pty
  std::string clientFrom_;
  int64_t clientTook_ = 0;                     // when the client last had nothing waiting or took some
  uint64_t clientSent_ = 0, clientAcked_ = 0;  // bytes handed to its socket, and acknowledged
  int64_t clientSentAt_ = 0;                   // when its socket last took bytes from us, or none waited
  bool dtr_ = true, rts_ = true, break_ = false;
  DWORD commErrors_ = 0;  // not yet told on the console
  int64_t lastStatusPoll_ = 0, lastReport_ = 0;

  std::atomic<bool> stop_{false};
  std::atomic<int> ioThreads_{0};
  std::thread reader_, writer_, pump_;
};

}  // namespace t7315
