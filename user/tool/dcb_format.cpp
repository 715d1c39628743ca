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

void ApplyFormatChange(const LineFormat& before, const LineFormat& now, DCB& dcb) {
  if (now.baud != before.baud) dcb.BaudRate = now.baud;
  if (now.dataBits != before.dataBits) dcb.ByteSize = now.dataBits;
  if (now.parity != before.parity) {
    dcb.Parity = now.parity;
    dcb.fParity = now.parity != NOPARITY;
  }
  if (now.stopBits != before.stopBits) dcb.StopBits = now.stopBits;
  if (now.rtsCts != before.rtsCts) {
    dcb.fOutxCtsFlow = now.rtsCts;
    dcb.fRtsControl = now.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  }
  if (now.xonOut != before.xonOut) dcb.fOutX = now.xonOut;
  if (now.xonIn != before.xonIn) dcb.fInX = now.xonIn;
}

}  // namespace t7315
