#include "user/tool/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace t7315 {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

// A port that takes every value except a baud rate of 1234567 and data sizes
// outside 5..8, and logs what it was asked.
class FakePort : public Rfc2217Port {
 public:
  uint32_t BaudRate(uint32_t r) override {
    log += "baud " + std::to_string(r) + ";";
    if (r != 0 && r != 1234567) baud = r;
    return baud;
  }
  uint8_t DataSize(uint8_t v) override {
    log += "size " + std::to_string(v) + ";";
    if (v >= 5 && v <= 8) size = v;
    return size;
  }
  uint8_t Parity(uint8_t v) override {
    log += "parity " + std::to_string(v) + ";";
    return v ? v : 1;
  }
  uint8_t StopSize(uint8_t v) override {
    log += "stop " + std::to_string(v) + ";";
    return v ? v : 1;
  }
  std::optional<uint8_t> Control(uint8_t v) override {
    log += "control " + std::to_string(v) + ";";
    if (v == rfc2217::kControlDtrQuery) return rfc2217::kControlDtrOn;
    if (v >= 17) return std::nullopt;
    return v;
  }
  void Purge(uint8_t which) override { log += "purge " + std::to_string(which) + ";"; }
  uint8_t ModemLines() override { return lines; }

  std::string log;
  uint32_t baud = 9600;
  uint8_t size = 8;
  uint8_t lines = rfc2217::kCts | rfc2217::kDsr;
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Sb(uint8_t command, const Bytes& value) {
  return Cat({{kIac, kSb, kComPortOption, command}, value, {kIac, kSe}});
}

const Bytes kSignatureReply = Sb(100, {'t', '7', '3', '1', '5', ' ', 'C', 'O', 'M', '3'});

class Rfc2217Test : public ::testing::Test {
 protected:
  // A session whose client has agreed to COM-PORT-OPTION, output drained.
  void Activate() {
    session.Start();
    Feed({kIac, kWill, kComPortOption, kIac, kDo, kComPortOption});
    session.Consume(session.Output().size());
  }
  Bytes Feed(const Bytes& in) {
    Bytes toPort;
    session.Receive(in, toPort);
    return toPort;
  }
  Bytes Out() {
    Bytes out(session.Output().begin(), session.Output().end());
    session.Consume(out.size());
    return out;
  }

  FakePort port;
  Rfc2217Session session{port, "t7315 COM3"};
};

TEST_F(Rfc2217Test, OpeningNegotiationOffersBinaryEchoGoAheadAndComPort) {
  session.Start();
  EXPECT_EQ(Out(), (Bytes{kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead, kIac,
                          kWill, kEcho, kIac, kWill, kComPortOption}));
  EXPECT_FALSE(session.ComPortActive());
}

TEST_F(Rfc2217Test, NegotiationAnswersOnlyChanges) {
  struct Case {
    const char* name;
    Bytes in;
    Bytes out;
  };
  const uint8_t msr = rfc2217::kCts | rfc2217::kDsr;
  const Case cases[] = {
      {"acknowledgements of our requests", {kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kDo, kEcho}, {}},
      {"unknown option asked of us", {kIac, kDo, 99}, {kIac, kWont, 99}},
      {"unknown option offered", {kIac, kWill, 24}, {kIac, kDont, 24}},
      {"echo refused by us for them", {kIac, kWill, kEcho}, {kIac, kDont, kEcho}},
      {"client offers go-ahead suppression", {kIac, kWill, kSuppressGoAhead}, {kIac, kDo, kSuppressGoAhead}},
      {"repeated DO after agreement", {kIac, kDo, kBinary, kIac, kDo, kBinary}, {}},
      {"DONT after agreement", {kIac, kDo, kEcho, kIac, kDont, kEcho}, {kIac, kWont, kEcho}},
      {"DONT of what was never on", {kIac, kDont, 77, kIac, kWont, 77}, {}},
      {"refusal of our request", {kIac, kDont, kComPortOption}, {}},
      {"COM-PORT agreed: first modem state",
       {kIac, kDo, kComPortOption},
       {kIac, kSb, kComPortOption, 107, msr, kIac, kSe}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rfc2217Session fresh(port, "sig");
    fresh.Start();
    fresh.Consume(fresh.Output().size());
    Bytes toPort;
    fresh.Receive(c.in, toPort);
    EXPECT_EQ(Bytes(fresh.Output().begin(), fresh.Output().end()), c.out);
    EXPECT_TRUE(toPort.empty());
  }
}

TEST_F(Rfc2217Test, ComPortCommandsReachThePortAndAreAnswered) {
  using namespace rfc2217;
  struct Case {
    const char* name;
    Bytes in;
    std::string calls;
    Bytes reply;
  };
  const Case cases[] = {
      {"signature request", Sb(kSignature, {}), "", kSignatureReply},
      {"client's own signature", Sb(kSignature, {'x'}), "", {}},
      {"baud rate set", Sb(kSetBaudRate, {0, 1, 0xC2, 0}), "baud 115200;", Sb(101, {0, 1, 0xC2, 0})},
      {"baud rate with an escaped 0xFF", Sb(kSetBaudRate, {0, 0, kIac, kIac, 0xFF, 0xFF}), "baud 65535;",
       Sb(101, {0, 0, kIac, kIac, kIac, kIac})},
      {"baud rate refused", Sb(kSetBaudRate, {0, 0x12, 0xD6, 0x87}), "baud 1234567;",
       Sb(101, {0, 0, 0x25, 0x80})},
      {"baud rate of a wrong length is a query", Sb(kSetBaudRate, {1, 2}), "baud 0;",
       Sb(101, {0, 0, 0x25, 0x80})},
      {"data size", Sb(kSetDataSize, {7}), "size 7;", Sb(102, {7})},
      {"data size refused", Sb(kSetDataSize, {9}), "size 9;", Sb(102, {8})},
      {"parity query", Sb(kSetParity, {}), "parity 0;", Sb(103, {1})},
      {"stop size", Sb(kSetStopSize, {2}), "stop 2;", Sb(104, {2})},
      {"DTR query", Sb(kSetControl, {kControlDtrQuery}), "control 7;", Sb(105, {kControlDtrOn})},
      {"break on", Sb(kSetControl, {kControlBreakOn}), "control 5;", Sb(105, {kControlBreakOn})},
      {"control the port does not answer", Sb(kSetControl, {18}), "control 18;", {}},
      {"control out of range", Sb(kSetControl, {200}), "", {}},
      {"purge both", Sb(kPurgeData, {kPurgeBoth}), "purge 3;", Sb(112, {3})},
      {"purge of nothing", Sb(kPurgeData, {0}), "", {}},
      {"purge past both", Sb(kPurgeData, {kPurgeBoth + 1}), "", {}},
      {"modem state poll", Sb(kNotifyModemState, {}), "", Sb(107, {kCts | kDsr})},
      {"line-state mask", Sb(kSetLineStateMask, {0x1E}), "", Sb(110, {0x1E})},
      {"unknown command", Sb(42, {1, 2, 3}), "", {}},
      {"another option's subnegotiation", {kIac, kSb, 24, 1, kIac, kSe}, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port = FakePort();
    Activate();
    EXPECT_TRUE(Feed(c.in).empty());
    EXPECT_EQ(port.log, c.calls);
    EXPECT_EQ(Out(), c.reply);
  }
}

TEST_F(Rfc2217Test, CommandsBeforeAgreementAreIgnored) {
  session.Start();
  Out();
  Feed(Sb(rfc2217::kSetBaudRate, {0, 1, 0xC2, 0}));
  EXPECT_EQ(port.log, "");
  EXPECT_TRUE(Out().empty());
}

TEST_F(Rfc2217Test, DataIsEscapedBothWaysAcrossChunkBoundaries) {
  Activate();
  EXPECT_EQ(Feed({'a', kIac}), (Bytes{'a'}));
  EXPECT_EQ(Feed({kIac, 'b', kIac}), (Bytes{kIac, 'b'}));
  EXPECT_EQ(Feed({kNop, 0, 13, 10}), (Bytes{0, 13, 10}));
  session.SendData(Bytes{1, kIac, 2});
  EXPECT_EQ(Out(), (Bytes{1, kIac, kIac, 2}));
}

TEST_F(Rfc2217Test, FlowControlSuspendAndResume) {
  Activate();
  Feed(Sb(rfc2217::kFlowControlSuspend, {}));
  EXPECT_TRUE(session.Suspended());
  Feed(Sb(rfc2217::kFlowControlResume, {}));
  EXPECT_FALSE(session.Suspended());
  EXPECT_TRUE(Out().empty());
}

TEST_F(Rfc2217Test, NotificationsFollowTheMasks) {
  using namespace rfc2217;
  Activate();
  struct Case {
    const char* name;
    Bytes setup;
    uint8_t lines;   // new modem lines (for a modem case)
    int lineErrors;  // or line errors; -1 for none
    Bytes expected;
  };
  const Case cases[] = {
      {"no change, no notification", {}, kCts | kDsr, -1, {}},
      {"CTS drops", {}, kDsr, -1, Sb(107, {kDsr | kDeltaCts})},
      {"CD rises", {}, kDsr | kCd, -1, Sb(107, {kDsr | kCd | kDeltaCd})},
      {"RI pulse ends", {}, kDsr | kCd | kRi, -1, Sb(107, {kDsr | kCd | kRi})},
      {"RI trailing edge", {}, kDsr | kCd, -1, Sb(107, {kDsr | kCd | kTrailingRi})},
      {"masked to CTS: DSR change stays quiet", Sb(kSetModemStateMask, {kCts | kDeltaCts}), kCd, -1, {}},
      {"masked to CTS: CTS change is sent masked", {}, kCd | kCts, -1, Sb(107, {kCts | kDeltaCts})},
      {"line errors with the default mask of 0", {}, kCd | kCts, kFramingError, {}},
      {"line errors through a mask", Sb(kSetLineStateMask, {kFramingError | kBreakDetect}), kCd | kCts,
       kFramingError | kParityError, Sb(106, {kFramingError})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feed(c.setup);
    Out();
    if (c.lineErrors >= 0) {
      session.LineErrors(static_cast<uint8_t>(c.lineErrors));
    } else {
      session.ModemLinesChanged(c.lines);
    }
    EXPECT_EQ(Out(), c.expected);
  }
}

TEST_F(Rfc2217Test, MalformedInputIsDroppedAndTheSessionRecovers) {
  const Bytes signature = Sb(rfc2217::kSignature, {});
  const Bytes resync = {0, kIac, kSe};  // ends any sequence, whatever state it left
  struct Case {
    const char* name;
    Bytes in;
    Bytes toPort;
  };
  Bytes endless = {kIac, kSb, kComPortOption, rfc2217::kSetBaudRate};
  endless.resize(endless.size() + 10000, 'x');
  const Case cases[] = {
      {"command cut by IAC in a subnegotiation", {kIac, kSb, kComPortOption, 1, 0, kIac, kNop, 'z'}, {'z'}},
      {"subnegotiation longer than allowed", Cat({endless, {kIac, kSe, 'k'}}), {'k'}},
      {"lone SE", {kIac, kSe, 'q'}, {'q'}},
      {"verb without option at the end", {kIac, kWill}, {}},
      {"SB without anything", {kIac, kSb}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.log.clear();
    Activate();
    EXPECT_EQ(Feed(c.in), c.toPort);
    EXPECT_EQ(port.log, "");
    Out();
    Feed(Cat({resync, signature}));
    EXPECT_EQ(Out(), kSignatureReply);
  }
}

}  // namespace
}  // namespace t7315
