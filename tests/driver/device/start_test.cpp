// Device start: descriptors, port index, configuration, the UART probe and
// the failures that must stop a start.
#include <cstring>
#include <tuple>

#include "emulator/chip/register_map.h"
#include "emulator/kernel/pnp_manager.h"
#include "support/driver_fixture.h"
#include "support/urb_tap.h"

namespace {

using urb_tap::UrbSeen;
using urb_tap::UrbTap;

class StartTest : public DriverTest {
 protected:
  // A one-port chip, tapped, then plugged; the status of its start.
  NTSTATUS PlugTapped(urb_tap::UrbRule rule, chip::ChipOptions options = {.ports = 1}) {
    chip::UsbChip& board = Pc().AddChip(options);
    board_ = &board;
    tap_.emplace(board);
    tap_->SetRule(std::move(rule));
    return Pc().Plug(board).at(0);
  }
  void TearDown() override {
    DriverTest::TearDown();
    tap_.reset();
  }
  // Writes the driver made to the UART registers (0x120 and up), in order.
  std::vector<std::pair<uint16_t, uint8_t>> UartWrites() { return WritesOf(board_->port(0), 0x120); }

  chip::UsbChip* board_ = nullptr;
  std::optional<UrbTap> tap_;
};

constexpr USHORT kGet = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
constexpr USHORT kSelect = URB_FUNCTION_SELECT_CONFIGURATION;

// PortIndex from the high byte of bcdDevice: its low nibble counts from 1.
class PortIndex : public StartTest, public testing::WithParamInterface<std::pair<uint8_t, ULONG>> {};

TEST_P(PortIndex, ComesFromTheLowNibbleOfBcdDevice) {
  auto [bcdHigh, index] = GetParam();
  EXPECT_EQ(PlugTapped([&](PURB urb) -> std::optional<NTSTATUS> {
              if (urb->UrbHeader.Function != kGet || urb->UrbControlDescriptorRequest.DescriptorType != 1)
                return {};
              std::vector<uint8_t> d = board_->port(0).DeviceDescriptor();
              d[13] = bcdHigh;
              return UrbTap::AnswerDescriptor(urb, d);
            }),
            STATUS_SUCCESS);
  EXPECT_EQ(Context(0)->PortIndex, index);
}
INSTANTIATE_TEST_SUITE_P(Start, PortIndex,
                         testing::Values(std::pair<uint8_t, ULONG>{0x01, 0},
                                         std::pair<uint8_t, ULONG>{0x04, 3},
                                         std::pair<uint8_t, ULONG>{0x09, 8},
                                         std::pair<uint8_t, ULONG>{0x00, 0xFFFFFFFF},
                                         std::pair<uint8_t, ULONG>{0x12, 1}));

// The descriptor type and length of each read: a configuration longer than
// the first read is read again whole, and kept whole.
struct LongConfiguration {
  size_t padding;
  std::vector<std::pair<UCHAR, ULONG>> reads;
};
const LongConfiguration kLongConfigurations[] = {
    {482, {{1, 18}, {1, 521}, {2, 521}}},  // 521 bytes in all
    {561, {{1, 18}, {1, 521}, {2, 521}, {1, 600}, {2, 600}}},
};
class LongConfigurations : public StartTest, public testing::WithParamInterface<LongConfiguration> {};

TEST_P(LongConfigurations, AreReadAgainWhole) {
  const LongConfiguration& c = GetParam();
  ASSERT_EQ(PlugTapped(nullptr, {.ports = 1, .configurationPadding = c.padding}), STATUS_SUCCESS);
  std::vector<std::pair<UCHAR, ULONG>> reads;
  for (const UrbSeen& s : tap_->Seen()) {
    if (s.function == kGet) reads.emplace_back(s.descriptorType, s.length);
  }
  EXPECT_EQ(reads, c.reads);
  std::vector<uint8_t> whole = board_->port(0).ConfigurationDescriptor();
  PUSB_CONFIGURATION_DESCRIPTOR kept = Context(0)->ConfigurationDescriptor;
  ASSERT_EQ(kept->wTotalLength, whole.size());
  EXPECT_EQ(std::memcmp(kept, whole.data(), whole.size()), 0);
}
INSTANTIATE_TEST_SUITE_P(Start, LongConfigurations, testing::ValuesIn(kLongConfigurations));

bool IsConfigurationRead(PURB urb) {
  return urb->UrbHeader.Function == kGet && urb->UrbControlDescriptorRequest.DescriptorType == 2;
}
bool IsSelect(PURB urb) {
  return urb->UrbHeader.Function == kSelect && urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr;
}
int g_selects = 0;  // select requests seen in the current case

struct BadConfiguration {
  const char* what;
  urb_tap::UrbRule rule;
  NTSTATUS start;
  size_t selectsSent;
};
// Answers the requests `match` picks with `answer`; the chip answers the rest.
urb_tap::UrbRule When(bool (*match)(PURB), NTSTATUS (*answer)(PURB)) {
  return [=](PURB urb) -> std::optional<NTSTATUS> {
    if (match(urb)) return answer(urb);
    return {};
  };
}
bool IsAnyRead(PURB urb) { return urb->UrbHeader.Function == kGet; }
bool IsThirdSelectOrEarlier(PURB urb) { return IsSelect(urb) && ++g_selects <= 3; }
NTSTATUS Empty(PURB urb) { return UrbTap::AnswerDescriptor(urb, {}); }
NTSTATUS NoInterface(PURB urb) { return UrbTap::AnswerDescriptor(urb, {9, 2, 9, 0, 0, 1, 0, 0x80, 50}); }

const BadConfiguration kBadConfigurations[] = {
    {"device descriptor unreadable", When(IsAnyRead, UrbTap::Fail), STATUS_UNSUCCESSFUL, 0},
    {"configuration read transfers nothing", When(IsConfigurationRead, Empty), STATUS_DEVICE_DATA_ERROR, 0},
    {"configuration read fails", When(IsConfigurationRead, UrbTap::Fail), STATUS_UNSUCCESSFUL, 0},
    {"no interface", When(IsConfigurationRead, NoInterface), STATUS_INSUFFICIENT_RESOURCES, 0},
    {"select keeps failing", When(IsSelect, UrbTap::Fail), STATUS_UNSUCCESSFUL, 4},
    {"select fails three times", When(IsThirdSelectOrEarlier, UrbTap::Fail), STATUS_SUCCESS, 4},
    // The slots use the pipes by position: data must not go the wrong way.
    {"bulk-out pipe pointing in",
     [](PURB urb) -> std::optional<NTSTATUS> {
       if (!IsSelect(urb)) return {};
       USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
       info.NumberOfPipes = 3;
       const std::pair<USBD_PIPE_TYPE, UCHAR> pipes[] = {
           {UsbdPipeTypeInterrupt, 0x81}, {UsbdPipeTypeBulk, 0x82}, {UsbdPipeTypeBulk, 0x83}};
       for (int i = 0; i < 3; ++i) std::tie(info.Pipes[i].PipeType, info.Pipes[i].EndpointAddress) = pipes[i];
       urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
       return STATUS_SUCCESS;
     },
     STATUS_DEVICE_DATA_ERROR, 1},
};
class BadConfigurations : public StartTest, public testing::WithParamInterface<BadConfiguration> {};

TEST_P(BadConfigurations, StopAStartUnlessARetryServes) {
  const BadConfiguration& c = GetParam();
  SCOPED_TRACE(c.what);
  g_selects = 0;
  EXPECT_EQ(PlugTapped(c.rule), c.start);
  size_t sent = 0;
  for (const UrbSeen& s : tap_->Seen()) sent += s.function == kSelect;
  // A failed start is followed by the removal, which sends no deconfigure
  // request for a port that never worked.
  EXPECT_EQ(sent, c.selectsSent);
  EXPECT_EQ(kernel::pnp::StateOf(board_->Pdo(0)), c.start == STATUS_SUCCESS
                                                      ? kernel::pnp::DeviceState::Started
                                                      : kernel::pnp::DeviceState::NoDriver);
}
INSTANTIATE_TEST_SUITE_P(Start, BadConfigurations, testing::ValuesIn(kBadConfigurations));

TEST_F(StartTest, ProbeFindsTheFifosAndSetsTheirTriggerFromTheRate) {
  using W = std::vector<std::pair<uint16_t, uint8_t>>;
  // What the probe writes, given the line control and interrupt enable it
  // finds and the trigger bits it should use.
  auto probe = [](uint8_t lcr, uint8_t ier, uint8_t trigger) {
    lcr &= 0x7F;
    return W{{0x123, lcr},
             {0x121, 0x08},
             {0x123, uint8_t(lcr | 0x80)},
             {0x123, lcr},
             {0x123, lcr},
             {0x121, ier},
             {0x121, 0x0F},
             {0x122, uint8_t(trigger | 0x01)},
             {0x122, 0x00},
             {0x122, uint8_t(trigger | 0x07)}};
  };
  chip::UsbChip& board = Pc().AddChip({.ports = 1});
  board_ = &board;
  chip::Port& port = board.port(0);
  auto lcr = [&port] { return port.Peek(chip::reg::kLineControl).value(); };
  auto ier = [&port] { return port.Peek(chip::reg::kInterruptEnable).value(); };
  W first = probe(lcr(), ier(), 0);
  ASSERT_EQ(Pc().Plug(board), std::vector<NTSTATUS>{STATUS_SUCCESS});
  // The first start probes before any settings are loaded: trigger bits 0.
  EXPECT_EQ(UartWrites(), first);
  EXPECT_EQ(Context(0)->FifoPresent, 1);
  const uint8_t loaded = Context(0)->RxFifoTrigger;
  struct Case {
    ULONG rate;
    uint8_t trigger;
  } cases[] = {{9600, loaded}, {1200, 0}, {1201, loaded}};
  // Each restart also replaces the descriptor and interface buffers of the
  // one before: teardown finds none of them left.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    ASSERT_EQ(kernel::pnp::QueryStopAndStop(board.Pdo(0)), STATUS_SUCCESS);
    Context(0)->BaudRate = c.rate;
    port.ClearRegisterLog();
    W expected = probe(lcr(), ier(), c.trigger);
    ASSERT_EQ(kernel::pnp::Restart(board.Pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(UartWrites(), expected);
  }
}

TEST_F(StartTest, WithoutAUartAnsweringTheProbeOnlyRestoresWhatItTouched) {
  // Every register reads 0: the two 16-bit values compared are equal.
  ASSERT_EQ(PlugTapped([](PURB urb) -> std::optional<NTSTATUS> {
              auto& r = urb->UrbControlVendorClassRequest;
              if (urb->UrbHeader.Function != URB_FUNCTION_VENDOR_DEVICE ||
                  !(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
                return {};
              }
              std::memset(r.TransferBuffer, 0, r.TransferBufferLength);
              urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
              return STATUS_SUCCESS;
            }),
            STATUS_SUCCESS);
  EXPECT_EQ(Context(0)->FifoPresent, 0);
  using W = std::vector<std::pair<uint16_t, uint8_t>>;
  EXPECT_EQ(UartWrites(), (W{{0x123, 0}, {0x121, 0x08}, {0x123, 0x80}, {0x123, 0}, {0x123, 0}, {0x121, 0}}));
}

}  // namespace
