// The byte stream an RFC 2217 client sends, into serve's protocol engine:
// commands reach the port only with values it can take, the replies stay
// bounded, and once the client resynchronises, data still passes both ways.
#include "fuzz/support/fuzz_port.h"
#include "user/tool/rfc2217.h"

namespace {

// A port that checks what the session asks of it.
class CheckedPort final : public t7315::Rfc2217Port {
 public:
  uint32_t BaudRate(uint32_t requested) override { return requested == 0 ? baud_ : (baud_ = requested); }
  uint8_t DataSize(uint8_t requested) override {
    return requested >= 5 && requested <= 8 ? (size_ = requested) : size_;
  }
  uint8_t Parity(uint8_t requested) override { return requested >= 1 && requested <= 5 ? requested : 1; }
  uint8_t StopSize(uint8_t requested) override { return requested >= 1 && requested <= 3 ? requested : 1; }
  std::optional<uint8_t> Control(uint8_t request) override {
    fuzz::Check(request <= t7315::rfc2217::kControlLast,
                "SET-CONTROL value past the last one reached the port");
    return request;
  }
  void Purge(uint8_t which) override {
    fuzz::Check(which >= t7315::rfc2217::kPurgeReceive && which <= t7315::rfc2217::kPurgeBoth,
                "PURGE-DATA value reached the port");
  }
  uint8_t ModemLines() override { return t7315::rfc2217::kCts | t7315::rfc2217::kDsr; }

 private:
  uint32_t baud_ = 9600;
  uint8_t size_ = 8;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace t7315;
  CheckedPort port;
  Rfc2217Session session(port, "fuzz");
  session.Start();
  std::vector<uint8_t> toPort;
  fuzz::Input input(data, size);
  // Pieces of any size, as TCP may split them.
  while (!input.Empty()) {
    std::vector<uint8_t> piece = input.Take(1 + input.Byte() % 64);
    size_t before = session.Output().size();
    session.Receive(piece, toPort);
    // A reply is a few bytes per command; never more than the command cost.
    fuzz::Check(session.Output().size() - before <= 16 + 8 * piece.size(), "replies out of bounds");
    session.Consume(session.Output().size());
  }
  fuzz::Check(toPort.size() <= size, "more data for the port than the client sent");
  // Resynchronise: a byte (an option nobody knows) ends a pending command,
  // IAC SE any subnegotiation; then data goes through, 0xFF escaped both ways.
  const uint8_t resync[] = {200, telnet::kIac, telnet::kSe};
  session.Receive(resync, toPort);
  toPort.clear();
  const uint8_t text[] = {'o', 'k', telnet::kIac, telnet::kIac, 0x00};
  session.Receive(text, toPort);
  fuzz::Check(toPort == std::vector<uint8_t>{'o', 'k', 0xFF, 0x00}, "client data no longer reaches the port");
  session.Consume(session.Output().size());
  const uint8_t back[] = {'y', 0xFF};
  if (!session.Suspended()) {
    session.SendData(back);
    std::vector<uint8_t> out(session.Output().begin(), session.Output().end());
    fuzz::Check(out == std::vector<uint8_t>{'y', 0xFF, 0xFF}, "port data no longer reaches the client");
  }
  return 0;
}
