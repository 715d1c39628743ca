#include "user/tool/dcb_format.h"

namespace t7315 {

LineFormat FormatOf(const DCB& dcb) {
  LineFormat f;
  f.baud = dcb.BaudRate;
  f.dataBits = dcb.ByteSize;
  f.parity = dcb.Parity;
  f.stopBits = dcb.StopBits;
  f.rtsCts = dcb.fOutxCtsFlow;
  f.xonOut = dcb.fOutX;
  f.xonIn = dcb.fInX;
  return f;
}

namespace {

// One and a half stop bits go only with 5 data bits, two only with more: the
// UART's one "long stop" setting is either, by the data size. A client that
// sets the data size alone (RFC 2217 sets one field at a time) gets that
// setting kept, not a state the driver refuses.
void KeepStopBitsValid(DCB& dcb) {
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) dcb.StopBits = TWOSTOPBITS;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) dcb.StopBits = ONE5STOPBITS;
}

}  // namespace

void ApplyFormatChange(const LineFormat& before, const LineFormat& now, DCB& dcb) {
  if (now.baud != before.baud) dcb.BaudRate = now.baud;
  if (now.dataBits != before.dataBits) dcb.ByteSize = now.dataBits;
  if (now.parity != before.parity) {
    dcb.Parity = now.parity;
    dcb.fParity = now.parity != NOPARITY;
  }
  if (now.stopBits != before.stopBits) {
    dcb.StopBits = now.stopBits;
  } else if (now.dataBits != before.dataBits) {
    KeepStopBitsValid(dcb);
  }
  if (now.rtsCts != before.rtsCts) {
    dcb.fOutxCtsFlow = now.rtsCts;
    dcb.fRtsControl = now.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  }
  if (now.xonOut != before.xonOut) dcb.fOutX = now.xonOut;
  if (now.xonIn != before.xonIn) dcb.fInX = now.xonIn;
}

void SetFlowLimits(DCB& dcb) {
  dcb.XoffLim = 4096;
  dcb.XonLim = 2048;
}

}  // namespace t7315
