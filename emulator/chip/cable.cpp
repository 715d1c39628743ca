#include "emulator/chip/cable.h"

#include "emulator/chip/external_end.h"

namespace chip {
namespace {

class LoopbackPlug final : public Cable {
 public:
  Line* RxLineFor(const Connector& end) const override { return &const_cast<Connector&>(end).TxLine(); }
  ModemInputs InputsFor(const Connector& end) const override {
    ModemOutputs out = end.Outputs();
    return {.cts = out.rts, .dsr = out.dtr, .ri = false, .dcd = out.dtr};
  }
  Connector& FarEnd(const Connector& end) const override { return const_cast<Connector&>(end); }
};

class NullModemCable final : public Cable {
 public:
  NullModemCable(Connector& a, Connector& b) : a_(a), b_(b) {}
  Line* RxLineFor(const Connector& end) const override { return &FarEnd(end).TxLine(); }
  ModemInputs InputsFor(const Connector& end) const override {
    ModemOutputs out = FarEnd(end).Outputs();
    return {.cts = out.rts, .dsr = out.dtr, .ri = false, .dcd = out.dtr};
  }
  Connector& FarEnd(const Connector& end) const override { return &end == &a_ ? b_ : a_; }

 private:
  Connector& a_;
  Connector& b_;
};

// The external end presents CTS, DSR, DCD and RI to the port as it is told,
// and sees the port's RTS and DTR.
class ExternalLink final : public Cable {
 public:
  ExternalLink(Connector& port, ExternalEnd& end) : port_(port), end_(end) {}
  Line* RxLineFor(const Connector& end) const override { return &FarEnd(end).TxLine(); }
  ModemInputs InputsFor(const Connector& end) const override {
    if (&end == &port_) return end_.Presented();
    ModemOutputs out = port_.Outputs();
    return {.cts = out.rts, .dsr = out.dtr, .ri = false, .dcd = out.dtr};
  }
  Connector& FarEnd(const Connector& end) const override {
    return &end == &port_ ? static_cast<Connector&>(end_) : port_;
  }

 private:
  Connector& port_;
  ExternalEnd& end_;
};

void Tell(Connector& end) {
  end.RxReplaced();
  end.InputsChanged();
}

}  // namespace

// ---------------------------------------------------------------------------
// Connector

Connector::~Connector() {
  if (cable_) cable_->Detach(this);
}

Line* Connector::RxLine() const { return cable_ ? cable_->RxLineFor(*this) : nullptr; }

ModemInputs Connector::Inputs() const { return cable_ ? cable_->InputsFor(*this) : ModemInputs{}; }

void Connector::TxDrawn() {
  if (cable_) {
    cable_->FarEnd(*this).RxActivity();
  } else {
    txLine_.ForgetHistory();  // nobody listens
  }
}

void Connector::OutputsChanged() {
  if (cable_) cable_->FarEnd(*this).InputsChanged();
}

// ---------------------------------------------------------------------------
// Cable

void Cable::Attach(const std::shared_ptr<Cable>& cable, Connector& a, Connector& b) {
  Unplug(a);
  Unplug(b);
  cable->a_ = &a;
  cable->b_ = &b;
  a.cable_ = cable;
  b.cable_ = cable;
  Tell(a);
  if (&b != &a) Tell(b);
}

void Cable::Detach(Connector* quiet) {
  std::shared_ptr<Cable> keep = shared_from_this();
  Connector* ends[2] = {a_, b_};
  for (Connector* end : ends) end->cable_.reset();
  for (int i = 0; i < 2; ++i) {
    if (ends[i] == quiet || (i == 1 && ends[1] == ends[0])) continue;
    Tell(*ends[i]);
  }
}

void PlugLoopback(Connector& end) { Cable::Attach(std::make_shared<LoopbackPlug>(), end, end); }

void ConnectNullModem(Connector& a, Connector& b) {
  Cable::Attach(std::make_shared<NullModemCable>(a, b), a, b);
}

void ConnectExternal(Connector& port, ExternalEnd& end) {
  Cable::Attach(std::make_shared<ExternalLink>(port, end), port, end);
}

void Unplug(Connector& end) {
  if (end.cable_) end.cable_->Detach(nullptr);
}

}  // namespace chip
