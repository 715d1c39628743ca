#include "user/tool/line_format.h"

namespace t7315 {

std::string LineFormat::Describe() const {
  static const char kParity[] = "NOEMS";
  std::string text = std::to_string(baud) + " " + std::to_string(dataBits) +
                     (parity <= kSpace ? kParity[parity] : '?') +
                     (stopBits == kOne          ? "1"
                      : stopBits == kOneAndHalf ? "1.5"
                                                : "2");
  if (rtsCts) text += " rtscts";
  if (xonOut) text += " xon";
  if (xonIn) text += " xoff";
  return text;
}

}  // namespace t7315
