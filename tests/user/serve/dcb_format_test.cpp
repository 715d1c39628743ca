#include "user/tool/dcb_format.h"

#include <gtest/gtest.h>

namespace t7315 {
namespace {

// 9600 7E1 as an RFC 2217 client left it, RTS and DTR on.
DCB Base() {
  DCB dcb{};
  EXPECT_TRUE(BuildCommDCBA("9600,e,7,1", &dcb));
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

TEST(DcbFormatTest, OnlyWhatChangedOnThePtyReachesTheDcb) {
  const LineFormat pty{9600, 8, LineFormat::kNone, LineFormat::kOne};
  struct Case {
    const char* name;
    LineFormat now;
    LineFormat expected;  // FormatOf the result
    BYTE rtsControl;
  };
  using F = LineFormat;
  const Case cases[] = {
      {"speed only", {115200, 8}, {115200, 7, F::kEven}, RTS_CONTROL_ENABLE},
      {"two stop bits", {9600, 8, F::kNone, F::kTwo}, {9600, 7, F::kEven, F::kTwo}, RTS_CONTROL_ENABLE},
      {"odd parity", {9600, 8, F::kOdd}, {9600, 7, F::kOdd}, RTS_CONTROL_ENABLE},
      {"hardware flow control",
       {9600, 8, F::kNone, F::kOne, true},
       {9600, 7, F::kEven, F::kOne, true},
       RTS_CONTROL_HANDSHAKE},
      {"XON/XOFF both ways",
       {9600, 8, F::kNone, F::kOne, false, true, true},
       {9600, 7, F::kEven, F::kOne, false, true, true},
       RTS_CONTROL_ENABLE},
      {"nothing", pty, {9600, 7, F::kEven}, RTS_CONTROL_ENABLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DCB dcb = Base();
    ApplyFormatChange(pty, c.now, dcb);
    EXPECT_EQ(FormatOf(dcb), c.expected);
    EXPECT_EQ(dcb.fRtsControl, c.rtsControl);
    EXPECT_EQ(dcb.fParity, dcb.Parity != NOPARITY);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.XoffChar, 0x13);
  }
  // A data size alone keeps the long stop bits valid: 1.5 goes with 5 data
  // bits, 2 with more, so that a client setting 8N1 field by field after
  // 5 data bits and 1.5 stop bits gets 8N1.
  const struct {
    BYTE dataBits, stopBits, newDataBits, expectedStopBits;
  } longStops[] = {
      {5, ONE5STOPBITS, 8, TWOSTOPBITS}, {7, TWOSTOPBITS, 5, ONE5STOPBITS}, {5, ONESTOPBIT, 8, ONESTOPBIT}};
  for (const auto& row : longStops) {
    DCB dcb = Base();
    dcb.ByteSize = row.dataBits;
    dcb.StopBits = row.stopBits;
    LineFormat before = FormatOf(dcb), now = before;
    now.dataBits = row.newDataBits;
    ApplyFormatChange(before, now, dcb);
    EXPECT_EQ(dcb.ByteSize, row.newDataBits);
    EXPECT_EQ(dcb.StopBits, row.expectedStopBits) << int(row.dataBits) << " to " << int(row.newDataBits);
  }
  // Flow control switched off again gives RTS back to the application.
  DCB dcb = Base();
  ApplyFormatChange(pty, cases[3].now, dcb);
  ApplyFormatChange(cases[3].now, pty, dcb);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
}

}  // namespace
}  // namespace t7315
