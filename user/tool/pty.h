// A pseudo-terminal that stands for a serial line: the program under test
// opens the terminal side (reached through a stable symlink), we keep the
// master side. The line settings a program leaves behind stay with the pty
// for the next program, as they stay with a serial port.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "user/tool/line_format.h"

namespace t7315 {

class Pty {
 public:
  // A new pty in raw mode at `format`; nullptr with a message in *error.
  static std::unique_ptr<Pty> Open(const LineFormat& format, std::string* error);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // Non-blocking.
  int Master() const { return master_; }
  const std::string& TerminalPath() const { return terminalPath_; }
  // The line settings as the terminal's termios holds them now.
  LineFormat Format() const;
  // Puts `format` into the terminal's termios, leaving its other modes.
  bool SetFormat(const LineFormat& format) const;
  // True while a program has the terminal open.
  bool InUse() const;
  // Drops what was written to the terminal and not read: once its reader
  // has gone, it belongs to nobody.
  void DropUnread() const;
  // Points `link` at the terminal, replacing an older link of that name (but
  // never anything else); removed again by the destructor.
  bool LinkAs(const std::string& link, std::string* error);

 private:
  Pty() = default;
  int master_ = -1;
  std::string terminalPath_;
  std::string link_;
};

// termios (the kernel's termios2, which carries any speed) of a terminal.
std::optional<LineFormat> ReadTermiosFormat(int fd);
// Raw mode at `format`.
bool WriteRawTermios(int fd, const LineFormat& format);
// `format`, other modes kept.
bool WriteTermiosFormat(int fd, const LineFormat& format);

}  // namespace t7315
