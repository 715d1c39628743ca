// The far end of a port's cable as a test or a bridge (pty, RFC 2217) drives
// it: it sends bytes with its own framing and rate, sends breaks, presents
// CTS, DSR, DCD and RI to the port, and sees what the port sends and drives.
#pragma once

#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "emulator/chip/cable.h"
#include "emulator/chip/scheduler.h"

namespace chip {

class ExternalEnd final : public Connector {
 public:
  ExternalEnd(Scheduler& scheduler, LineSettings settings = {});
  ~ExternalEnd() override;

  // Every member takes the model lock itself.
  void SetSettings(const LineSettings& settings);
  LineSettings Settings() const;
  // Queues bytes; they leave back to back at the end's own rate.
  void Send(std::span<const uint8_t> bytes);
  // Holds the line at space for `duration`, after what is queued before it.
  void SendBreak(Time duration);
  bool Sending() const;
  // What the port sees on its CTS, DSR, DCD and RI.
  void Present(const ModemInputs& lines);
  ModemInputs Presented() const;
  // What the port drives: RTS and DTR.
  ModemOutputs PortLines() const;

  // Characters received, with their errors and times, oldest first.
  std::vector<RxChar> Received() const;
  std::vector<uint8_t> ReceivedBytes() const;
  void ClearReceived();
  // Called without the model lock, for each character as it arrives and
  // whenever the port's RTS or DTR changes (bridges).
  void OnReceive(std::function<void(const RxChar&)> callback);
  void OnPortLines(std::function<void(const ModemOutputs&)> callback);

  // Connector
  ModemOutputs Outputs() const override;
  void InputsChanged() override;
  void RxActivity() override;
  void RxReplaced() override;

 private:
  struct Item {  // a byte, or a break of some length
    uint8_t byte = 0;
    Time breakLength = 0;
  };
  std::optional<uint8_t> TakeByte();
  void EndBreak();

  Scheduler& scheduler_;
  LineSettings settings_;
  ModemInputs presented_;
  ModemOutputs lastPortLines_;
  std::deque<Item> queue_;
  std::vector<RxChar> received_;
  std::function<void(const RxChar&)> onReceive_;
  std::function<void(const ModemOutputs&)> onPortLines_;
  Transmitter tx_;
  Receiver rx_;
  Timer breakTimer_;
};

}  // namespace chip
