// Cables between serial connectors. A connector is the port's (or a far
// end's) plug: it drives a TX data wire, RTS and DTR, and reads RX, CTS, DSR,
// DCD and RI through whatever cable is plugged in:
//   nothing        RX idles at mark, every modem input is off;
//   loopback plug  TX to RX, RTS to CTS, DTR to DSR and DCD;
//   null modem     TX to the other end's RX, RTS to its CTS, DTR to its DSR
//                  and DCD, both ways;
//   external link  to an ExternalEnd (external_end.h), which sets CTS, DSR,
//                  DCD and RI itself and reads RTS and DTR.
// All calls need the model lock (ModelGuard).
#pragma once

#include <memory>

#include "emulator/chip/wire.h"

namespace chip {

class Connector;
void Unplug(Connector& end);

struct ModemOutputs {
  bool rts = false;
  bool dtr = false;
};

struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
  bool operator==(const ModemInputs&) const = default;
};

class Cable;

class Connector {
 public:
  virtual ~Connector();
  Line& TxLine() { return txLine_; }
  // What the connector drives now.
  virtual ModemOutputs Outputs() const = 0;
  // Told by the cable: the modem inputs may have changed.
  virtual void InputsChanged() = 0;
  // Told by the cable: the RX wire got new levels or was replaced.
  virtual void RxActivity() = 0;
  virtual void RxReplaced() = 0;

  // nullptr while nothing is plugged in: RX idles at mark.
  Line* RxLine() const;
  ModemInputs Inputs() const;
  // The owner reports its own changes so that the far side hears them.
  void TxDrawn();
  void OutputsChanged();

 private:
  friend class Cable;
  friend void Unplug(Connector& end);
  Line txLine_;
  std::shared_ptr<Cable> cable_;
};

class Cable : public std::enable_shared_from_this<Cable> {
 public:
  virtual ~Cable() = default;
  virtual Line* RxLineFor(const Connector& end) const = 0;
  virtual ModemInputs InputsFor(const Connector& end) const = 0;
  // The connector that hears what `end` sends and drives (itself for a plug).
  virtual Connector& FarEnd(const Connector& end) const = 0;

  // Plugs the cable into `a` and `b` (the same for a plug), unplugging what
  // they had, and tells both.
  static void Attach(const std::shared_ptr<Cable>& cable, Connector& a, Connector& b);
  // Unplugs both ends; `quiet` is not told (it is being destroyed).
  void Detach(Connector* quiet);

 private:
  Connector* a_ = nullptr;
  Connector* b_ = nullptr;
};

void PlugLoopback(Connector& end);
void ConnectNullModem(Connector& a, Connector& b);
class ExternalEnd;
void ConnectExternal(Connector& port, ExternalEnd& end);
// Removes whatever cable `end` has; its other end is left unplugged too.
void Unplug(Connector& end);

}  // namespace chip
