// Kept apart from <termios.h>: the kernel's own termios2, which carries any
// speed as a number, clashes with the C library's termios.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <utility>

#include "user/tool/pty.h"

namespace t7315 {

std::optional<LineFormat> ReadTermiosFormat(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  LineFormat f;
  f.baud = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      f.dataBits = 5;
      break;
    case CS6:
      f.dataBits = 6;
      break;
    case CS7:
      f.dataBits = 7;
      break;
    default:
      f.dataBits = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    f.parity = LineFormat::kNone;
  } else if (t.c_cflag & CMSPAR) {
    f.parity = (t.c_cflag & PARODD) ? LineFormat::kMark : LineFormat::kSpace;
  } else {
    f.parity = (t.c_cflag & PARODD) ? LineFormat::kOdd : LineFormat::kEven;
  }
  f.stopBits = (t.c_cflag & CSTOPB) ? LineFormat::kTwo : LineFormat::kOne;
  f.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  f.xonOut = (t.c_iflag & IXON) != 0;
  f.xonIn = (t.c_iflag & IXOFF) != 0;
  return f;
}

namespace {

void PutFormat(const LineFormat& format, struct termios2& t) {
  t.c_iflag &= ~(IXON | IXOFF);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |=
      kSizes[(format.dataBits >= 5 && format.dataBits <= 8 ? format.dataBits : 8) - 5] | CREAD | CLOCAL;
  switch (format.parity) {
    case LineFormat::kOdd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case LineFormat::kEven:
      t.c_cflag |= PARENB;
      break;
    case LineFormat::kMark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case LineFormat::kSpace:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (format.stopBits != LineFormat::kOne) t.c_cflag |= CSTOPB;
  if (format.rtsCts) t.c_cflag |= CRTSCTS;
  if (format.xonOut) t.c_iflag |= IXON;
  if (format.xonIn) t.c_iflag |= IXOFF;
  // A standard speed by its code, which programs that read termios
  // through the C library understand; any other as a number.
  static const std::pair<uint32_t, tcflag_t> kCodes[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000}};
  tcflag_t code = BOTHER;
  for (const auto& [rate, c] : kCodes) {
    if (rate == format.baud) code = c;
  }
  t.c_cflag |= code | (code << IBSHIFT);
  t.c_ospeed = t.c_ispeed = format.baud;
}

}  // namespace

bool WriteTermiosFormat(int fd, const LineFormat& format) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  PutFormat(format, t);
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool WriteRawTermios(int fd, const LineFormat& format) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  // As cfmakeraw: no line editing, no translation, no signals, no echo.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  PutFormat(format, t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace t7315
